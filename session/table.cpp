// SPDX-License-Identifier: Apache-2.0
// table.cpp -- the 32-slot session table, session identifiers, the ageing
// queue that names the session opened earliest, the module's start and end,
// and freeing a released session once nobody is in its library (the
// adapter's release call, unloading, deleting the session's own copy).
#include "session/session.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "params/params.h"
#include "support/support.h"
#include "values/values.h"

static const uint64_t kNoStamp = UINT64_MAX;

KestrovanSession* SessionList[KESTROVAN_SESSION_SLOTS];
uint64_t Queue[KESTROVAN_SESSION_SLOTS] = {
    kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp,
    kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp,
    kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp,
    kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp,
};
uint64_t Age = 0;
char CopyPath[KESTROVAN_PATH_SIZE];
char ExecutePath[KESTROVAN_PATH_SIZE];
std::mutex KestrovanSession_TableLock;
bool KestrovanSession_Closed = false;

// Signalled whenever a library's users drop to zero (Final waits for it).
static std::condition_variable tableChanged;
// Every session from KestrovanSession_newSession until it is freed.
static KestrovanSession* liveSessions = nullptr;
// Every library from its first load until its last session is freed.
static KestrovanAdapterLibrary* libraries = nullptr;

void KestrovanQueue_initQueue() {
  for (int i = 0; i < KESTROVAN_SESSION_SLOTS; i++) Queue[i] = kNoStamp;
}

bool KestrovanQueue_setQueue(int index) {
  if (index < 0 || index >= KESTROVAN_SESSION_SLOTS) return false;
  Queue[index] = Age;
  Age++;
  return true;
}

int KestrovanQueue_getQueue() {
  int oldest = -1;
  uint64_t smallest = kNoStamp;
  for (int i = 0; i < KESTROVAN_SESSION_SLOTS; i++) {
    if (Queue[i] != kNoStamp && Queue[i] < smallest) {
      smallest = Queue[i];
      oldest = i;
    }
  }
  return oldest;
}

void KestrovanQueue_removeQueue(int index) {
  if (index < 0 || index >= KESTROVAN_SESSION_SLOTS) return;
  Queue[index] = kNoStamp;
}

// Creates the copy folder private to this user. An existing folder of ours
// that others can write to is tightened to 0700; one that is not ours, or is
// a link, is left alone and later refused by the folder check before any
// copy is made in it.
static void prepareCopyFolder(const char* path) {
  if (mkdir(path, 0700) != 0 && errno != EEXIST) {
    printfColorWarningLine("Create copy folder fail: ", strerror(errno));
    return;
  }
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
      (info.st_mode & 0077) != 0) {
    if (fchmod(fd, 0700) != 0) printfColorWarningLine("Restrict copy folder fail: ", strerror(errno));
  }
  close(fd);
}

// Copies a folder into a fixed buffer only when it fits whole.
static bool copyFolder(char* destination, const char* source, const char* name) {
  if (strlen(source) >= KESTROVAN_PATH_SIZE) {
    printfColorErrorLine("Folder path too long: ", name);
    destination[0] = '\0';
    return false;
  }
  ArrayCopy(destination, KESTROVAN_PATH_SIZE, source);
  return true;
}

void KestrovanSession_Init(const char* inputCopyPath, const char* inputExecutePath) {
  setLog("NORTAKestrovan", "KestrovanSession");
  if (inputCopyPath == nullptr) {
    showNullParameter("inputCopyPath", "KestrovanSession", __LINE__);
    return;
  }
  if (inputExecutePath == nullptr) {
    showNullParameter("inputExecutePath", "KestrovanSession", __LINE__);
    return;
  }
  char copyPath[KESTROVAN_PATH_SIZE];
  char executePath[KESTROVAN_PATH_SIZE];
  if (copyFolder(copyPath, inputCopyPath, "inputCopyPath") && copyPath[0] != '\0') prepareCopyFolder(copyPath);
  copyFolder(executePath, inputExecutePath, "inputExecutePath");
  KestrovanValue_init();
  std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
  memcpy(CopyPath, copyPath, sizeof(CopyPath));
  memcpy(ExecutePath, executePath, sizeof(ExecutePath));
  KestrovanSession_Closed = false;
}

void KestrovanSession_folders(char* copyPath, char* executePath) {
  std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
  memcpy(copyPath, CopyPath, KESTROVAN_PATH_SIZE);
  memcpy(executePath, ExecutePath, KESTROVAN_PATH_SIZE);
}

// For adapters (include/kestrovan/host.h), exported by the executable: they
// run from private copies, and find what is installed beside them here.
extern "C" int KestrovanHost_installFolder(char* out, size_t size) {
  if (out == nullptr || size == 0)
    return 0;
  std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
  size_t length = strnlen(ExecutePath, KESTROVAN_PATH_SIZE);
  if (length == 0 || length >= KESTROVAN_PATH_SIZE || length >= size)
    return 0;
  memcpy(out, ExecutePath, length);
  out[length] = '\0';
  return 1;
}

bool KestrovanSession_isClosed() {
  std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
  return KestrovanSession_Closed;
}

// Under the table lock. Takes the session out of slot index: from now on its
// identifier is unknown.
static KestrovanSession* detachLocked(int index) {
  KestrovanSession* session = SessionList[index];
  SessionList[index] = nullptr;
  KestrovanQueue_removeQueue(index);
  if (session != nullptr) {
    session->slot = -1;
    session->detached = true;
  }
  return session;
}

// Under the table lock.
static void unlinkSessionLocked(KestrovanSession* session) {
  for (KestrovanSession** link = &liveSessions; *link != nullptr; link = &(*link)->next) {
    if (*link == session) {
      *link = session->next;
      return;
    }
  }
}

// Under the table lock. A library nobody uses and no session holds is gone.
static bool dropLibraryLocked(KestrovanAdapterLibrary* library) {
  if (library->users != 0 || library->sessions != 0) return false;
  for (KestrovanAdapterLibrary** link = &libraries; *link != nullptr; link = &(*link)->next) {
    if (*link == library) {
      *link = library->next;
      return true;
    }
  }
  return false;
}

bool CP_FreeLibrary(void* handle) {
  if (handle == nullptr) {
    printfColorWarningLine("FreeLibrary: ", "NULL");
    return true;
  }
  if (dlclose(handle) == 0) return true;
  const char* error = dlerror();
  if (error == nullptr) return true;
  printfColorWarningLine("Free library error code: ", error);
  return false;
}

static void releaseText(const char* label, char*& text) {
  printfColorLine(label, text != nullptr ? text : "");
  free(text);
  text = nullptr;
}

void KestrovanSession_freeSession(KestrovanSession* session) {
  if (session == nullptr) return;
  session->browserMode = 0;
  releaseText("Release Session id: ", session->sessionId);
  releaseText("Release AdapterName: ", session->adapterName);
  releaseText("Release Adapter Version: ", session->adapterVersion);
  releaseText("Release Installer Version: ", session->installerVersion);
  free(session->origin);
  session->origin = nullptr;

  KestrovanAdapterLibrary* library = session->library;
  if (session->jsonMapMethod != nullptr && library != nullptr) {
    KestrovanJsonMap* release = static_cast<KestrovanJsonMap*>(newMemSize(sizeof(KestrovanJsonMap)));
    if (release == nullptr) {
      // Without the map the adapter is not told, but it is still unloaded
      // below: a session that is gone must not keep a library loaded.
      showMemoryFail("KestrovanSession", __LINE__);
    } else {
      addKestrovanJsonMapUnit(release, KESTROVAN_FUNCTION_NAME_KEY, KESTROVAN_FUNCTION_RELEASE);
      addKestrovanJsonMapUnit(release, KESTROVAN_KEY_CHECK_KEY, "true");
      addKestrovanJsonMapUnit(release, KESTROVAN_FUNCTION_INDEX_KEY, KESTROVAN_FUNCTION_INDEX_RELEASE);
      KestrovanTrace_flushRequest();  // the call may take long: the lines so far first
      KestrovanSession_callStarted(library, nullptr, KESTROVAN_FUNCTION_RELEASE);
      session->jsonMapMethod(release, KESTROVAN_FUNCTION_RELEASE);  // the answer is not looked at
      KestrovanSession_callEnded(library);
      KestrovanJsonFinal(release);
    }
  }
  session->jsonStringMethod = nullptr;
  session->jsonMapMethod = nullptr;
  session->initTime = 0;

  bool unloaded = CP_FreeLibrary(library != nullptr ? library->handle : nullptr);
  showWarningState("Release adapter state: ", unloaded, "Success", "Fail");
  if (session->adapterIsCopy) {
    showWarningState("Delete adapter state: ", deleteFile(session->adapterPath), "Success", "Fail");
  } else if (session->adapterPath[0] != '\0') {
    // The session ran on the installed file, which is not ours to delete.
    printfColorLine("Delete adapter state: ", "Skip installed adapter");
  }
  session->adapterIsCopy = false;
  session->adapterPath[0] = '\0';
}

// Frees a session claimed for release. The caller holds the library's call
// lock (when there is a library) and one use of it.
static void freeClaimed(KestrovanSession* session) {
  KestrovanAdapterLibrary* library = session->library;
  {
    // Out of the list before its texts go: identifier checks read them.
    std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
    unlinkSessionLocked(session);
  }
  KestrovanSession_freeSession(session);
  if (library != nullptr) library->callLock.unlock();
  if (library != nullptr) {
    std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
    library->sessions--;
  }
  free(session);
}

// Gives back one use of library and, when it was the last, frees the sessions
// of the library released meanwhile. Each is claimed under the table lock,
// so exactly one thread frees it; the claim takes a use of its own, so the
// library stays while the release call runs.
static void leaveLibrary(KestrovanAdapterLibrary* library) {
  for (;;) {
    KestrovanSession* claimed = nullptr;
    bool dropped = false;
    {
      std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
      library->users--;
      if (library->users == 0) {
        tableChanged.notify_all();
        for (KestrovanSession* s = liveSessions; s != nullptr && claimed == nullptr; s = s->next) {
          if (s->library == library && s->releasePending && !s->releasing) claimed = s;
        }
        if (claimed != nullptr) {
          claimed->releasing = true;
          library->users++;
        } else {
          dropped = dropLibraryLocked(library);
        }
      }
    }
    if (dropped) delete library;
    if (claimed == nullptr) return;
    // Whoever holds the call lock also uses the library and comes through
    // here when done: give the release back to that one instead of waiting.
    if (!library->callLock.try_lock()) {
      std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
      claimed->releasing = false;
      continue;
    }
    freeClaimed(claimed);
  }
}

void KestrovanSession_leave(KestrovanSession* session) {
  if (session == nullptr) return;
  if (session->library != nullptr) {
    leaveLibrary(session->library);
    return;
  }
  // Never loaded: only its opener knew it, and it goes with the opener. It
  // is released with the usual lines only when the opener said so (a load
  // that failed); else its identifier is just dropped.
  bool release = false;
  {
    std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
    release = session->releasePending;
    if (!release) unlinkSessionLocked(session);
  }
  if (release) {
    freeClaimed(session);
    return;
  }
  free(session->sessionId);
  free(session->adapterName);
  free(session->origin);
  free(session);
}

// Releases a session already out of the table: now when nobody is in its
// library, else by the last one out.
static void releaseDetached(KestrovanSession* session) {
  KestrovanAdapterLibrary* library = session->library;
  std::unique_lock<std::mutex> guard(KestrovanSession_TableLock);
  session->releasePending = true;
  if (library == nullptr) {
    guard.unlock();
    // Never loaded and not in the table: the caller is its only holder and
    // frees it when it leaves.
    return;
  }
  library->users++;
  guard.unlock();
  leaveLibrary(library);
}

void KestrovanSession_release(KestrovanSession* session) {
  if (session == nullptr) return;
  int index = -1;
  {
    std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
    index = session->slot;
    if (index >= 0) detachLocked(index);
  }
  if (index >= 0) printfColorLine("Release session index: ", index);
  releaseDetached(session);
}

void KestrovanReleaseSession(int index) {
  if (index < 0 || index >= KESTROVAN_SESSION_SLOTS) return;
  KestrovanSession* session = nullptr;
  {
    std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
    session = detachLocked(index);
  }
  printfColorLine("Release session index: ", index);
  if (session != nullptr) releaseDetached(session);
}

void KestrovanSession_Final() { KestrovanSession_FinalWithin(KESTROVAN_FINAL_GRACE_MS); }

void KestrovanSession_FinalWithin(int graceMs) {
  printfColorLine("[KestrovanFinal] ", "Start release all adapters");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs > 0 ? graceMs : 0);
  KestrovanSession* order[KESTROVAN_SESSION_SLOTS];
  int indexes[KESTROVAN_SESSION_SLOTS];
  int count = 0;
  {
    // Closed first: a request that comes after this must find nothing to
    // open; every identifier is unknown from here on.
    std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
    KestrovanSession_Closed = true;
    for (int index = KestrovanQueue_getQueue(); index != -1; index = KestrovanQueue_getQueue()) {
      indexes[count] = index;
      order[count++] = detachLocked(index);
    }
    for (int i = 0; i < KESTROVAN_SESSION_SLOTS; i++) {
      if (SessionList[i] != nullptr) {  // taken without a stamp: cannot happen, but must not stay
        indexes[count] = i;
        order[count++] = detachLocked(i);
      }
    }
  }
  for (int i = 0; i < count; i++) {
    KestrovanSession* session = order[i];
    printfColorLine("Release session index: ", indexes[i]);
    if (session == nullptr) continue;
    KestrovanAdapterLibrary* library = session->library;
    char adapter[KESTROVAN_NAME_SIZE] = "";
    char function[KESTROVAN_NAME_SIZE] = "";
    if (library != nullptr) {
      std::unique_lock<std::mutex> guard(KestrovanSession_TableLock);
      tableChanged.wait_until(guard, deadline, [library] { return library->users == 0; });
      if (library->users != 0) {
        ArrayCopy(adapter, sizeof(adapter), library->adapterName);
        ArrayCopy(function, sizeof(function), library->running[0] != '\0' ? library->running : "(waiting)");
      }
    }
    if (adapter[0] != '\0') {
      // Not waited for any longer: the session goes when its call returns.
      char text[2 * KESTROVAN_NAME_SIZE + 2];
      snprintf(text, sizeof(text), "%s %s", adapter, function);
      printfColorWarningLine("Adapter in a call, released when it returns: ", text);
    }
    releaseDetached(session);
  }
  // The values and their key do not outlive the service's end.
  KestrovanValue_final();
}

int KestrovanSession_findSession(const char* sessionId) {
  if (checkNoValue(sessionId)) return -1;
  std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
  for (int i = 0; i < KESTROVAN_SESSION_SLOTS; i++) {
    if (SessionList[i] != nullptr && strcmp(SessionList[i]->sessionId, sessionId) == 0) return i;
  }
  return -1;
}

bool KestrovanSession_sameOrigin(const char* opener, const char* origin) {
  return !checkNoValue(opener) && !checkNoValue(origin) && strcmp(opener, origin) == 0;
}

KestrovanSession* KestrovanSession_use(const char* sessionId, const char* origin) {
  if (checkNoValue(sessionId)) return nullptr;
  std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
  for (int i = 0; i < KESTROVAN_SESSION_SLOTS; i++) {
    KestrovanSession* session = SessionList[i];
    // Another origin holding the identifier meets an unknown session: it is
    // not held, so nothing of the session changes.
    if (session != nullptr && strcmp(session->sessionId, sessionId) == 0 &&
        KestrovanSession_sameOrigin(session->origin, origin)) {
      // Every session in the table has its library.
      session->library->users++;
      return session;
    }
  }
  return nullptr;
}

KestrovanSession* KestrovanSession_newSession() {
  printfColorLine("Generate new session id", "");
  KestrovanSession* session = static_cast<KestrovanSession*>(calloc(1, sizeof(KestrovanSession)));
  if (session == nullptr) {
    showMemoryFail("KestrovanSession", __LINE__);
    return nullptr;
  }
  session->slot = -1;
  for (;;) {
    char* candidate = genUUID();
    if (candidate == nullptr) {  // no randomness: retrying cannot help
      free(session);
      return nullptr;
    }
    // Compared with every live session, those being opened on other threads
    // included, and registered in the same step: two openings never get one
    // identifier.
    int taken = -2;
    {
      std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
      for (KestrovanSession* s = liveSessions; s != nullptr && taken == -2; s = s->next) {
        if (strcmp(s->sessionId, candidate) == 0) taken = s->slot;
      }
      if (taken == -2) {
        session->sessionId = candidate;
        session->next = liveSessions;
        liveSessions = session;
        return session;
      }
    }
    printfColorLine("Session id collision index: ", taken);
    free(candidate);
  }
}

int KestrovanSession_takeSlot(KestrovanSession* session) {
  int index = -1;
  int evictedIndex = -1;
  KestrovanSession* evicted = nullptr;
  bool full = false;
  int64_t now = static_cast<int64_t>(time(nullptr));
  {
    std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
    if (KestrovanSession_Closed) return -2;
    for (int i = 0; i < KESTROVAN_SESSION_SLOTS && index == -1; i++) {
      if (SessionList[i] == nullptr) index = i;
    }
    if (index == -1) {
      full = true;
      evictedIndex = KestrovanQueue_getQueue();
      if (evictedIndex != -1) {
        evicted = detachLocked(evictedIndex);
        index = evictedIndex;
      }
    }
    if (index != -1 && KestrovanQueue_setQueue(index)) {
      SessionList[index] = session;
      session->slot = index;
      session->initTime = now;
    } else {
      index = -1;
    }
  }
  if (full) printfColorWarningLine("", "Kestrovan slot is full, release the oldest one");
  if (evictedIndex != -1) {
    printfColorLine("Release session index: ", evictedIndex);
    if (evicted != nullptr) releaseDetached(evicted);
  } else if (full) {
    printfColorWarningLine("", "Get the oldest SessionIndex fail");
  }
  if (index == -1) return -1;
  printfColorLine("Session index: ", index);
  printfColorLine("Init time: ", static_cast<int>(now));
  return index;
}

bool KestrovanSession_joinLibrary(KestrovanSession* session, void* handle, const char* adapterName) {
  KestrovanAdapterLibrary* fresh = new (std::nothrow) KestrovanAdapterLibrary();
  std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
  for (KestrovanAdapterLibrary* library = libraries; library != nullptr; library = library->next) {
    if (library->handle == handle) {
      library->users++;
      library->sessions++;
      session->library = library;
      delete fresh;
      return true;
    }
  }
  if (fresh == nullptr) return false;
  fresh->handle = handle;
  ArrayCopy(fresh->adapterName, sizeof(fresh->adapterName), adapterName != nullptr ? adapterName : "");
  fresh->users = 1;
  fresh->sessions = 1;
  fresh->next = libraries;
  libraries = fresh;
  session->library = fresh;
  return true;
}

bool KestrovanSession_callStarted(KestrovanAdapterLibrary* library, KestrovanSession* session, const char* function) {
  std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
  if (session != nullptr && session->detached) return false;
  ArrayCopy(library->running, sizeof(library->running), function != nullptr && function[0] != '\0' ? function : "-");
  return true;
}

void KestrovanSession_callEnded(KestrovanAdapterLibrary* library) {
  std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
  library->running[0] = '\0';
}

int KestrovanSession_reportRunning() {
  enum { kMost = 64 };
  char texts[kMost][2 * KESTROVAN_NAME_SIZE + 2];
  int count = 0;
  {
    std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
    for (KestrovanAdapterLibrary* library = libraries; library != nullptr && count < kMost; library = library->next) {
      if (library->running[0] == '\0') continue;
      snprintf(texts[count++], sizeof(texts[0]), "%s %s", library->adapterName, library->running);
    }
  }
  for (int i = 0; i < count; i++) printfColorWarningLine("Adapter call left running: ", texts[i]);
  return count;
}
