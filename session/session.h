// session.h -- sessions and adapters: the path table of permitted adapters
// and file-name cleaning, the 32-slot session table with its identifiers and
// ageing queue, the adapter lifecycle (private copy, load, release), the
// adapter entry points with the unlock and version gate, and the request
// dispatcher KestrovanSession_Process.
//
// Locking: one mutex (KestrovanSession_DispatchLock) is held for the whole of
// KestrovanSession_Process, KestrovanSession_Final and KestrovanSession_Init,
// so at most one dispatch runs at a time and shutdown never unloads an
// adapter another thread is calling. The other functions below take no lock:
// they are the steps of a dispatch and run under it (tests call them from one
// thread).
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
#define KESTROVAN_SERVER_VERSION "3.0.23.0721"

// The one row of the path table.
#define KESTROVAN_PATH_TABLE_ID "7E41A0C2D95B4F3E8A61C07B2D9F54E1"
#define KESTROVAN_PATH_TABLE_LIB_DIR "NORTA"
#define KESTROVAN_PATH_TABLE_COM_NAME "HelmPKICryptAdapter"

// One slot of the session table. Free when sessionId is null or empty.
struct KestrovanSession {
  char* sessionId;          // owned; "XXXXXXXX_SID"
  char* adapterName;        // owned copy of the component name
  char* adapterVersion;     // owned; the version text the adapter reported
  char* installerVersion;   // owned; text of the installer version file, or null
  char adapterPath[KESTROVAN_PATH_SIZE];  // the library file that was loaded
  void* libraryHandle;
  KestrovanCallMethod jsonStringMethod;        // "callMethod", or null
  KestrovanCallJsonMapMethod jsonMapMethod;    // "callJsonMapMethod", or null
  int32_t browserMode;      // 1 when opened by an echo with "KestrovanMode" 1
  int64_t initTime;         // seconds since the epoch when the slot was taken
  bool adapterIsCopy;       // adapterPath is the session's own copy, deleted on release
};

extern KestrovanSession SessionList[KESTROVAN_SESSION_SLOTS];
// Age stamp per slot; UINT64_MAX means no stamp.
extern uint64_t Queue[KESTROVAN_SESSION_SLOTS];
// Hands out the stamps; only grows.
extern uint64_t Age;
extern char CopyPath[KESTROVAN_PATH_SIZE];     // folder of the session copies
extern char ExecutePath[KESTROVAN_PATH_SIZE];  // folder under which adapter folders lie
extern std::mutex KestrovanSession_DispatchLock;
// True from KestrovanSession_Final until the next KestrovanSession_Init;
// guarded by the dispatch lock.
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

// ---- Session table and ageing queue (table.cpp) ----

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
// Under the dispatch lock: closes the dispatcher (until the next Init every
// request is answered 61001), releases every session, oldest first, and
// wipes the value store with its key.
void KestrovanSession_Final();
// Releases one slot (adapter release call, unload, copy deletion) and its stamp.
void KestrovanReleaseSession(int index);

// The slot whose identifier equals sessionId exactly, or -1.
int KestrovanSession_findSession(const char* sessionId);
// A fresh identifier held by no slot, or null when no randomness is available.
char* KestrovanSession_newSessionId();
// Takes the lowest free slot, releasing the oldest session when all are
// taken, stamps it and moves sessionId into it (on success the slot owns it).
// Returns the index, or -1 (the identifier stays the caller's).
int KestrovanSession_takeSlot(char* sessionId);

// ---- Adapter lifecycle (lifecycle.cpp) ----

// Copies "<ExecutePath>/<libDir>/<comName>.so" into the copy folder as
// "<comName>-<sessionId>.so" and loads the copy, falling back to the installed
// file. Returns 0, or 61902 after releasing the slot.
int32_t KestrovanSession_loadAdapter(int index, const char* libDir, const char* comName);
// Frees the slot's texts, calls the adapter's "Kestrovan_Release", unloads it
// and deletes the session's own copy (never the installed file).
void KestrovanSession_freeSession(int index);
// dlclose; true for a null handle and on success.
bool CP_FreeLibrary(void* handle);

// ---- Adapter calls and version gate (adapter.cpp) ----

// Entry points, unlock for origin, version query and checks, installer
// version. True when the session is open. On false the slot has been
// released (except when memory ran out) and *result holds the answer for
// the page: reset with a "result", or left as it was when the path has no
// result code; *result is null when even the reset failed.
bool KestrovanSession_openAdapter(int index, KestrovanJsonMap* map, const char* origin, KestrovanJsonMap*& result);
// Calls the slot's adapter with functionName and puts its answer into
// "result" (the empty text when it answers none).
void KestrovanSession_callAdapter(int index, const char* functionName, KestrovanJsonMap* map, KestrovanJsonMap*& result);
// The map as a JSON object of texts with proper escaping: what an adapter
// that exports only "callMethod" receives. Fresh text, or null.
char* KestrovanSession_mapToJsonText(const KestrovanJsonMap* map);

// ---- Dispatch (dispatch.cpp) ----

// Frees *result and starts an empty one that then receives "result"; traces
// the source line. *result is null when memory ran out.
void KestrovanSession_resetResult(KestrovanJsonMap*& result, int line);
void KestrovanSession_resetResult(KestrovanJsonMap*& result, int line, int32_t code);
void KestrovanSession_resetResult(KestrovanJsonMap*& result, int line, const char* text);

// Runs one request: finds or opens the page's session, answers the built-in
// functions and passes every other function to the session's adapter.
// Answers 61001 alone, calling no adapter, after Final and for a function
// named like the service's own adapter calls (any letter case).
// Returns the result map (the caller releases it), or null when map or
// origin is null or memory runs out. A request without "SessionId" is a new
// session; one without "FunctionName" names the empty function.
KestrovanJsonMap* KestrovanSession_Process(unsigned int processId, KestrovanJsonMap* map, const char* origin);

#endif
