// SPDX-License-Identifier: Apache-2.0
// session.h -- sessions and adapters: the path table of permitted adapters
// and file-name cleaning, the 32-slot session table with its identifiers and
// ageing queue, the adapter lifecycle (private copy, load, release), the
// adapter entry points with the unlock and version gate, and the request
// dispatcher KestrovanSession_Process.
//
// Locking. Two kinds of lock, so that pages do not wait for each other:
//   - The table lock (KestrovanSession_TableLock) guards the session table
//     (SessionList, Queue, Age, KestrovanSession_Closed), the list of live
//     sessions, the list of loaded libraries and the sharing fields of both
//     (users, sessions, slot, detached, releasePending, releasing, running).
//     It is held only for a few memory operations: never across an adapter
//     call, a dlopen/dlclose, a file operation or a trace line.
//   - One call lock per loaded library (KestrovanAdapterLibrary::callLock)
//     is held for every call into that library: the page's function, the
//     unlock, the version query and the release call. Calls into one
//     library never overlap; calls into different libraries run at the
//     same time on the listener threads and the main thread. Sessions whose
//     load returned the same handle (the installed file, loaded by several
//     sessions when no private copy could be made) share one library and so
//     one call lock.
// Lock order: a call lock may be held while the table lock is taken, never
// the other way round.
// The origin policy keeps no state reached from a dispatch (the value store
// checks with objects of its own) and the value store has its own lock.
//
// Release when done: a session is detached from the table at once when it is
// closed, force-released, evicted or at Final (its identifier is unknown from
// then on), but it is freed (release call, unload, copy deleted) only when
// nobody is inside its library: a dispatch that found a session holds it
// ("users" of its library) until the dispatch returns, and the last one out
// frees what was released meanwhile. Final waits up to its grace for running
// calls, then leaves a session still in a call to be freed when the call
// returns. Instance fields other than the sharing fields are written only
// while the session is being opened, before it enters the table, and read
// freely by whoever holds it.
//
// Ownership: KestrovanSession_Process returns a result map the caller
// releases with KestrovanJsonFinal; the request map stays the caller's. The
// text an adapter returns stays the adapter's: it is copied before anything
// else happens (in particular before the library could be unloaded).
#ifndef KESTROVAN_SESSION_SESSION_H
#define KESTROVAN_SESSION_SESSION_H

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "include/kestrovan/adapter.h"

#define KESTROVAN_SESSION_SLOTS 32
// Folder and component names: at most 63 characters and a terminator.
#define KESTROVAN_NAME_SIZE 64
// Folders and adapter paths. Longer paths are rejected, never truncated.
#define KESTROVAN_PATH_SIZE 4096
// The adapter's version text: at most 511 characters.
#define KESTROVAN_VERSION_SIZE 512
// KESTROVAN_SERVER_VERSION, the service's version text, is the project's
// VERSION, given by CMake to everything that links the session library.
#ifndef KESTROVAN_SERVER_VERSION
#error "KESTROVAN_SERVER_VERSION is defined by the build (session/CMakeLists.txt)"
#endif

// The one row of the path table.
#define KESTROVAN_PATH_TABLE_ID "7E41A0C2D95B4F3E8A61C07B2D9F54E1"
#define KESTROVAN_PATH_TABLE_LIB_DIR "NORTA"
#define KESTROVAN_PATH_TABLE_COM_NAME "HelmPKICryptAdapter"

// How long KestrovanSession_Final waits for running adapter calls before it
// leaves them to release their sessions when they return.
#define KESTROVAN_FINAL_GRACE_MS 5000

// One loaded adapter library: one per handle dlopen returned.
struct KestrovanAdapterLibrary {
  void* handle;
  std::mutex callLock;                     // held for every call into the library
  char adapterName[KESTROVAN_NAME_SIZE];   // component name, for reports
  // Under the table lock:
  int users;        // dispatches (and releases) inside sessions of this library
  int sessions;     // sessions that loaded it and are not yet freed
  char running[KESTROVAN_NAME_SIZE];       // function of the call in progress, "" when none
  KestrovanAdapterLibrary* next;
};

// One session: a page's loaded adapter. Lives on the heap from its opening
// until it is freed; the table holds a pointer to it while it is open.
struct KestrovanSession {
  char* sessionId;          // owned; "XXXXXXXX_SID"
  char* adapterName;        // owned copy of the component name
  char* adapterVersion;     // owned; the version text the adapter reported
  char* installerVersion;   // owned; text of the installer version file, or null
  char adapterPath[KESTROVAN_PATH_SIZE];  // the library file that was loaded
  KestrovanAdapterLibrary* library;       // null until loaded
  KestrovanCallMethod jsonStringMethod;        // "callMethod", or null
  KestrovanCallJsonMapMethod jsonMapMethod;    // "callJsonMapMethod", or null
  int32_t browserMode;      // 1 when opened by an echo with "KestrovanMode" 1
  int64_t initTime;         // seconds since the epoch when the slot was taken
  bool adapterIsCopy;       // adapterPath is the session's own copy, deleted on release
  bool installerNamed;      // the page named an installer when opening: its version is reported
  char* origin;             // owned; the origin of the page that opened it, the only one it serves
  // Under the table lock:
  int slot;                 // index in SessionList, or -1
  bool detached;            // taken out of the table: its identifier is unknown
  bool releasePending;      // freed by the last one out of its library
  bool releasing;           // being freed
  KestrovanSession* next;   // list of live sessions
};

// The table: a pointer per slot, null when the slot is free.
extern KestrovanSession* SessionList[KESTROVAN_SESSION_SLOTS];
// Age stamp per slot; UINT64_MAX means no stamp.
extern uint64_t Queue[KESTROVAN_SESSION_SLOTS];
// Hands out the stamps; only grows.
extern uint64_t Age;
extern char CopyPath[KESTROVAN_PATH_SIZE];     // folder of the session copies
extern char ExecutePath[KESTROVAN_PATH_SIZE];  // folder under which adapter folders lie
extern std::mutex KestrovanSession_TableLock;
// True from KestrovanSession_Final until the next KestrovanSession_Init.
extern bool KestrovanSession_Closed;

// ---- Path table (paths.cpp) ----

// On a PathID equal to the table's (ignoring case) overwrites the two
// 64-byte buffers with the row's folder and component name.
void KestrovanSession_searchPathTable(const char* pathId, char* libDir, char* comName);
// Whether the pair is the table's row (ignoring case); traces the comparison.
bool KestrovanSession_isInPathTable(const char* libDir, const char* comName);
// Drops the characters < > : " / \ | ? * ; & $ ` ' in place, zero-fills the
// buffer up to size, and empties a result of exactly "..".
void sanitize_file_name(char* name, size_t size);
// Reads "PathID", "LibDir" and "ComName" from the request and fills the two
// 64-byte buffers with a permitted, non-empty folder and component name.
// Returns 0, or 61009 when the location is rejected.
int32_t KestrovanSession_resolveLocation(KestrovanJsonMap* map, char* libDir, char* comName);

// The files stand in one order, each calling only files before it: paths,
// table, lifecycle, adapter, dispatch. The adapter steps return codes and
// answers; the dispatcher owns the result map and decides on releases.

// ---- Session table, ageing queue and freeing (table.cpp) ----

// The queue steps run under the table lock (tests call them from one thread).
void KestrovanQueue_initQueue();
bool KestrovanQueue_setQueue(int index);   // false for indexes outside 0..31
int KestrovanQueue_getQueue();             // oldest stamped slot, or -1
void KestrovanQueue_removeQueue(int index);

// Records the copy folder (created with mode 0700) and the executable's
// folder, initialises the value store and opens the dispatcher. A folder
// that does not fit KESTROVAN_PATH_SIZE is refused and left empty (adapters
// then cannot load). A null argument leaves folders, store and dispatcher
// as they were.
void KestrovanSession_Init(const char* inputCopyPath, const char* inputExecutePath);
// Closes the dispatcher (until the next Init every request is answered
// 61001), takes every session out of the table and releases them oldest
// first, waiting up to KESTROVAN_FINAL_GRACE_MS in all for running calls;
// a session still in a call then is released when the call returns (a
// warning line names its adapter and function). Wipes the value store with
// its key.
void KestrovanSession_Final();
void KestrovanSession_FinalWithin(int graceMs);
// Takes slot index out of the table with its stamp and releases its session
// (adapter release call, unload, copy deletion) now, or when the last call
// in it returns.
void KestrovanReleaseSession(int index);
// The same for a session the caller holds: after this its identifier is
// unknown; it is freed once the caller and everybody else has left it.
void KestrovanSession_release(KestrovanSession* session);

// Whether KestrovanSession_Final closed the dispatcher.
bool KestrovanSession_isClosed();
// Copies the two folders (KESTROVAN_PATH_SIZE bytes each) as Init set them.
void KestrovanSession_folders(char* copyPath, char* executePath);
// The executable's folder for adapters (include/kestrovan/host.h).
extern "C" int KestrovanHost_installFolder(char* out, size_t size);
// The slot whose session has this identifier (exactly), or -1.
int KestrovanSession_findSession(const char* sessionId);
// Whether origin is the opener's: exactly the same text, neither empty nor
// null. Origins are compared as the browser sent them, so one differing in
// case, port, scheme or a trailing slash is another origin.
bool KestrovanSession_sameOrigin(const char* opener, const char* origin);
// The open session with this identifier that origin opened, held for the
// caller (who gives it back with KestrovanSession_leave), or null: a session
// opened by another origin is not found, exactly like an unknown one.
KestrovanSession* KestrovanSession_use(const char* sessionId, const char* origin);
// A fresh session, outside the table, held by the caller, with an
// identifier no live session holds (also those being opened), or null when
// no randomness or memory is available.
KestrovanSession* KestrovanSession_newSession();
// Gives a held session back. The last one out of a library frees the
// sessions released meanwhile. A new session that never loaded its adapter
// goes with its opener (with the release lines when it was released).
void KestrovanSession_leave(KestrovanSession* session);
// Puts an opened session into the table: the lowest free slot, else the
// slot of the oldest session, which is released. Returns the index; -1 when
// the table is full without stamps; -2 when the dispatcher was closed
// meanwhile. On failure the caller still holds the session.
int KestrovanSession_takeSlot(KestrovanSession* session);
// Sets session->library to the loaded library for handle, shared with
// sessions that got the same handle, or to a new one; the session counts as
// one of its sessions and its opener holds it (as KestrovanSession_use
// does). False when memory ran out.
bool KestrovanSession_joinLibrary(KestrovanSession* session, void* handle, const char* adapterName);
// Marks the call the holder of library's call lock makes, for reports;
// false (and nothing marked) when session is given and was taken out of the
// table meanwhile: the page's call must not reach a released session.
bool KestrovanSession_callStarted(KestrovanAdapterLibrary* library, KestrovanSession* session, const char* function);
void KestrovanSession_callEnded(KestrovanAdapterLibrary* library);
// Prints a warning line "Adapter call left running: " with the adapter and
// the function of every call in progress; returns how many there were.
int KestrovanSession_reportRunning();
// Frees the session's texts, calls the adapter's "Kestrovan_Release", unloads
// it and deletes the session's own copy (never the installed file). The
// caller holds the library's call lock.
void KestrovanSession_freeSession(KestrovanSession* session);
// dlclose; true for a null handle and on success.
bool CP_FreeLibrary(void* handle);

// ---- Adapter copy and load (lifecycle.cpp) ----

// Copies "<ExecutePath>/<libDir>/<comName>.so" into the copy folder as
// "<comName>-<sessionId>.so" and loads the copy, falling back to the installed
// file, then joins the session to its library. Returns 0, or 61902 (the
// caller then releases the session).
int32_t KestrovanSession_loadAdapter(KestrovanSession* session, const char* libDir, const char* comName);

// ---- Adapter calls and version gate (adapter.cpp) ----

// What opening a session came to besides 0 (open) and a result code for
// the page: refused without a code (the page's result stays as it is), or
// refused by the adapter's unlock with an answer of its own.
#define KESTROVAN_OPEN_NO_ANSWER (-1)
#define KESTROVAN_OPEN_REFUSED (-2)

// Entry points, unlock for origin, version query and checks, installer
// version. Returns 0 when the session is open (adapterVersion,
// installerVersion and installerNamed set for the answer); otherwise the
// caller answers the page and releases the session: a result code, or
// KESTROVAN_OPEN_NO_ANSWER, or KESTROVAN_OPEN_REFUSED with the adapter's
// unlock answer in *refusal (the caller frees it; null otherwise).
int32_t KestrovanSession_openAdapter(KestrovanSession* session, KestrovanJsonMap* map, const char* origin,
                                     char** refusal);
// Calls the session's adapter with functionName. Returns 0 with its answer
// in *result (fresh, the empty text when it answered none; null when memory
// ran out); 61906 when the adapter has no entry point (the caller releases
// the session and answers that); 61001 when the session was released while
// the call waited for the library (nothing was called).
int32_t KestrovanSession_callAdapter(KestrovanSession* session, const char* functionName, KestrovanJsonMap* map,
                                     char** result);

// ---- Dispatch (dispatch.cpp) ----

// Runs one request: finds or opens the page's session, answers the built-in
// functions and passes every other function to the session's adapter.
// Answers 61001 alone, calling no adapter, after Final and for a function
// named like the service's own adapter calls (any letter case).
// Returns the result map (the caller releases it), or null when map or
// origin is null or memory runs out. A request without "SessionId" is a new
// session; one without "FunctionName" names the empty function.
KestrovanJsonMap* KestrovanSession_Process(unsigned int processId, KestrovanJsonMap* map, const char* origin);

#endif
