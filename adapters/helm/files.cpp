// SPDX-License-Identifier: Apache-2.0
// files.cpp -- the user's own files: reading one only when nobody else may
// have written it (the SDK's reader), its lines, and the per-user lock files that order what
// the adapter's copies (one per session, possibly in several processes) do
// with shared things: the tokens, the screen, the allow-list.
#include "helm.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int HelmFiles_Read(const std::string& path, size_t maxBytes, const uid_t* owner, std::string* bytes, int* error) {
  bytes->clear();
  char* text = nullptr;
  size_t length = 0;
  int status = KestrovanFile_Read(path.c_str(), maxBytes, owner, &text, &length, error);
  if (status == HELM_FILE_READ) {
    bytes->assign(text, length);
    Helm_Wipe(text, length);
    free(text);
  }
  return status;
}

bool HelmFiles_ReadOwn(const std::string& path, uid_t owner, size_t maxBytes, std::string* text, bool* exists,
                       std::string* problem) {
  int error = 0;
  int status = HelmFiles_Read(path, maxBytes, &owner, text, &error);
  // A file that cannot be opened counts as missing.
  *exists = status != HELM_FILE_CANNOT_OPEN;
  if (status == HELM_FILE_READ || status == HELM_FILE_CANNOT_OPEN) return true;
  *problem = KestrovanFile_ReadProblem(status);
  return false;
}

bool HelmFiles_NextLine(const std::string& text, size_t* at, std::string* line, std::string* comment) {
  if (*at >= text.size()) return false;
  size_t end = text.find('\n', *at);
  if (end == std::string::npos) end = text.size();
  *line = text.substr(*at, end - *at);
  *at = end + 1;
  size_t hash = line->find('#');
  if (hash == std::string::npos) {
    comment->clear();
  } else {
    *comment = line->substr(hash);
    line->resize(hash);
  }
  return true;
}

std::string HelmFiles_Trim(const std::string& text) {
  size_t start = 0, stop = text.size();
  while (start < stop && (text[start] == ' ' || text[start] == '\t' || text[start] == '\r')) start++;
  while (stop > start && (text[stop - 1] == ' ' || text[stop - 1] == '\t' || text[stop - 1] == '\r')) stop--;
  return text.substr(start, stop - start);
}

// The locks order the copies' work through the kernel, which
// ThreadSanitizer cannot see; tell it, on an address every copy shares (a
// function of GnuTLS, loaded once per process).
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

static void lockOrdered(bool acquired) {
#if defined(__SANITIZE_THREAD__)
  void* shared = reinterpret_cast<void*>(&gnutls_hash_fast);
  if (acquired) __tsan_acquire(shared);
  else __tsan_release(shared);
#else
  (void)acquired;
#endif
}

int HelmLock_Take(const char* name, int waitMs) { return HelmLock_TakeUnless(name, waitMs, nullptr, nullptr); }

int HelmLock_TakeUnless(const char* name, int waitMs, bool (*giveUp)(void*), void* opaque) {
  std::string folder = HelmPaths_ConfigFolder();
  if (folder.empty()) return -1;
  std::string path;
  for (size_t i = 1; i <= folder.size(); i++) {
    if (i == folder.size() || folder[i] == '/') {
      path = folder.substr(0, i);
      if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    }
  }
  int fd = open((folder + "/" + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  int waited = 0;
  for (;;) {
    if (flock(fd, waitMs < 0 ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || waited >= waitMs || (giveUp != nullptr && waited % 250 == 0 && giveUp(opaque))) {
      close(fd);
      return -1;
    }
    struct timespec pause = {0, 50 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    waited += 50;
  }
  lockOrdered(true);
  return fd;
}

void HelmLock_Release(int fd) {
  if (fd < 0) return;
  lockOrdered(false);
  close(fd);  // closing drops the lock
}

