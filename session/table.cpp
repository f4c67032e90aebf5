// table.cpp -- the 32-slot session table, session identifiers, the ageing
// queue that names the session opened earliest, and the module's start and
// end.
#include "session/session.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/support.h"
#include "values/values.h"

static const uint64_t kNoStamp = UINT64_MAX;

KestrovanSession SessionList[KESTROVAN_SESSION_SLOTS];
uint64_t Queue[KESTROVAN_SESSION_SLOTS] = {
    kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp,
    kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp,
    kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp,
    kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp, kNoStamp,
};
uint64_t Age = 0;
char CopyPath[KESTROVAN_PATH_SIZE];
char ExecutePath[KESTROVAN_PATH_SIZE];
bool KestrovanSession_Closed = false;

static bool isFreeSlot(int index) {
  return SessionList[index].sessionId == nullptr || SessionList[index].sessionId[0] == '\0';
}

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
// that others could write to (made by an older version) is tightened; one
// that is not ours, or is a link, is left alone and later refused by the
// folder check before any copy is made in it.
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
  std::lock_guard<std::mutex> guard(KestrovanSession_DispatchLock);
  setLog("NORTAKestrovan", "KestrovanSession");
  if (inputCopyPath == nullptr) {
    showNullParameter("inputCopyPath", "KestrovanSession", __LINE__);
    return;
  }
  if (inputExecutePath == nullptr) {
    showNullParameter("inputExecutePath", "KestrovanSession", __LINE__);
    return;
  }
  if (copyFolder(CopyPath, inputCopyPath, "inputCopyPath") && CopyPath[0] != '\0') prepareCopyFolder(CopyPath);
  copyFolder(ExecutePath, inputExecutePath, "inputExecutePath");
  KestrovanValue_init();
  KestrovanSession_Closed = false;
}

void KestrovanSession_Final() {
  std::lock_guard<std::mutex> guard(KestrovanSession_DispatchLock);
  printfColorLine("[KestrovanFinal] ", "Start release all adapters");
  // Closed first: a request waiting for the lock runs after this and must
  // find nothing to open.
  KestrovanSession_Closed = true;
  for (int index = KestrovanQueue_getQueue(); index != -1; index = KestrovanQueue_getQueue()) {
    KestrovanReleaseSession(index);
  }
  // The values and their key do not outlive the service's end.
  KestrovanValue_final();
}

void KestrovanReleaseSession(int index) {
  if (index < 0 || index >= KESTROVAN_SESSION_SLOTS) return;
  printfColorLine("Release session index: ", index);
  KestrovanSession_freeSession(index);
  KestrovanQueue_removeQueue(index);
}

int KestrovanSession_findSession(const char* sessionId) {
  if (checkNoValue(sessionId)) return -1;
  for (int i = 0; i < KESTROVAN_SESSION_SLOTS; i++) {
    if (SessionList[i].sessionId != nullptr && strcmp(SessionList[i].sessionId, sessionId) == 0) return i;
  }
  return -1;
}

char* KestrovanSession_newSessionId() {
  printfColorLine("Generate new session id", "");
  for (;;) {
    char* candidate = genUUID();
    if (candidate == nullptr) return nullptr;  // no randomness: retrying cannot help
    int taken = -1;
    for (int i = 0; i < KESTROVAN_SESSION_SLOTS && taken == -1; i++) {
      if (!isFreeSlot(i) && strcmp(SessionList[i].sessionId, candidate) == 0) taken = i;
    }
    if (taken == -1) return candidate;
    printfColorLine("Session id collision index: ", taken);
    free(candidate);
  }
}

int KestrovanSession_takeSlot(char* sessionId) {
  int index = -1;
  for (int i = 0; i < KESTROVAN_SESSION_SLOTS && index == -1; i++) {
    if (isFreeSlot(i)) index = i;
  }
  if (index == -1) {
    printfColorWarningLine("", "Kestrovan slot is full, release the oldest one");
    index = KestrovanQueue_getQueue();
    if (index == -1) {
      printfColorWarningLine("", "Get the oldest SessionIndex fail");
      return -1;
    }
    KestrovanReleaseSession(index);
  }
  if (!KestrovanQueue_setQueue(index)) return -1;
  printfColorLine("Session index: ", index);
  KestrovanSession& slot = SessionList[index];
  free(slot.sessionId);  // an empty identifier may be left in a free slot
  slot.sessionId = sessionId;
  slot.initTime = static_cast<int64_t>(time(nullptr));
  printfColorLine("Init time: ", static_cast<int>(slot.initTime));
  return index;
}
