// SPDX-License-Identifier: Apache-2.0
// files.cpp -- an adapter's per-user files: its configuration folder,
// reading a file only its owner may have written, and writing a private
// file whole (the steps in support/write_whole.inc, shared with the
// service's own writes).
#include "include/kestrovan/adapter_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "support/write_whole.inc"

size_t KestrovanFile_ConfigFolder(const char* name, char* out, size_t size) {
  if (out == nullptr || size == 0) return 0;
  out[0] = '\0';
  if (name == nullptr) return 0;
  const char* xdg = getenv("XDG_CONFIG_HOME");
  int n = -1;
  if (xdg != nullptr && xdg[0] == '/') {
    n = snprintf(out, size, "%s/kestrovan/%s", xdg, name);
  } else {
    const char* home = getenv("HOME");
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if ((home == nullptr || home[0] != '/') && getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/')
      home = found->pw_dir;
    if (home != nullptr && home[0] == '/') n = snprintf(out, size, "%s/.config/kestrovan/%s", home, name);
  }
  if (n < 0 || (size_t)n >= size) {
    out[0] = '\0';
    return 0;
  }
  return (size_t)n;
}

int KestrovanFile_Read(const char* path, size_t maxBytes, const uid_t* owner, char** bytes, size_t* length,
                       int* error) {
  *bytes = nullptr;
  *length = 0;
  *error = 0;
  // Non-blocking: a FIFO planted in place of the file never holds us.
  int fd = path != nullptr ? open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK) : -1;
  if (fd < 0) {
    *error = path != nullptr ? errno : EINVAL;
    return KESTROVAN_FILE_CANNOT_OPEN;
  }
  struct stat info;
  int status = KESTROVAN_FILE_READ;
  char* text = nullptr;
  size_t done = 0;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    status = KESTROVAN_FILE_NOT_REGULAR;
  } else if (owner != nullptr && (info.st_uid != *owner || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
    status = KESTROVAN_FILE_NOT_OWN;
  } else if ((size_t)info.st_size > maxBytes) {
    status = KESTROVAN_FILE_TOO_LARGE;
  } else if ((text = (char*)malloc((size_t)info.st_size + 1)) == nullptr) {
    status = KESTROVAN_FILE_NO_MEMORY;
  } else {
    while (done < (size_t)info.st_size) {
      ssize_t n = read(fd, text + done, (size_t)info.st_size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *error = errno;
        status = KESTROVAN_FILE_CANNOT_READ;
        break;
      }
      if (n == 0) break;  // it shrank meanwhile: what was there
      done += (size_t)n;
    }
  }
  close(fd);
  if (status != KESTROVAN_FILE_READ) {
    free(text);
    return status;
  }
  text[done] = '\0';
  *bytes = text;
  *length = done;
  return status;
}

const char* KestrovanFile_ReadProblem(int status) {
  switch (status) {
    case KESTROVAN_FILE_READ: return "was read";
    case KESTROVAN_FILE_CANNOT_OPEN: return "cannot be opened";
    case KESTROVAN_FILE_NOT_REGULAR: return "is not a regular file";
    case KESTROVAN_FILE_NOT_OWN: return "may be written by another user";
    case KESTROVAN_FILE_TOO_LARGE: return "is too large";
    default: return "cannot be read";
  }
}

int KestrovanFile_WritePrivate(const char* path, const void* data, size_t length, int* error) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  if (path == nullptr || (data == nullptr && length > 0)) {
    *error = EINVAL;
    return KESTROVAN_WRITE_CREATE;
  }
  return writeWhole(path, data, length, 0600, error);
}

const char* KestrovanFile_WriteStepName(int step) { return writeWholeStepName(step); }
