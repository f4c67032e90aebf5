// SPDX-License-Identifier: Apache-2.0
// files.cpp -- the executable and copy folders, existence, reading a text
// file whole, copying and deleting adapter copies, the private-folder check,
// timestamps, the seconds counter, session identifiers and random bytes.
#include "support/files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "platform/platform.h"
#include "support/text.h"
#include "support/trace.h"

static const char kModule[] = "Tool";

char* getExecutePath() {
  char path[512];
  uint32_t size = sizeof(path);
  int status = KestrovanPlatform_executablePath(path, &size);
  if (status == -1) {
    printfColorWarningLine("getExecutePath: ", "Buffer too small");
    return nullptr;
  }
  if (status != 0 || strlen(path) < 6) {
    printfColorWarningLine("getExecutePath: ", "Unknow error");
    return nullptr;
  }
  char* dotFolder = strstr(path, "/./");
  if (dotFolder != nullptr) {
    *dotFolder = '\0';
  } else {
    char* slash = strrchr(path, '/');
    if (slash == path)
      path[1] = '\0';  // an executable in / lives in the folder "/"
    else if (slash != nullptr)
      *slash = '\0';
  }
  char* folder = newMem(path);
  if (folder == nullptr)
    showMemoryFail(kModule, __LINE__);
  return folder;
}

// The user's cache folder, made (0700) when missing, by its real path so that
// a ~/.cache that is a link to the user's own folder elsewhere still counts.
static bool privateCacheFolder(char* buffer, size_t size) {
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] != '/')
    return false;
  char cache[2048];
  int written = snprintf(cache, sizeof(cache), "%s" KESTROVAN_CACHE_FOLDER, home);
  if (written < 0 || (size_t)written >= sizeof(cache))
    return false;
  if (mkdir(cache, 0700) != 0 && errno != EEXIST) {
    char reason[2200];
    snprintf(reason, sizeof(reason), "%s: %s", cache, strerror(errno));
    printfColorWarningLine("Folder not trusted: ", reason);
    return false;
  }
  char real[PATH_MAX];
  const char* failure = nullptr;
  if (realpath(cache, real) == nullptr)
    failure = strerror(errno);
  else if (strlen(real) >= size)
    failure = strerror(ENAMETOOLONG);
  if (failure != nullptr) {
    char reason[2200];
    snprintf(reason, sizeof(reason), "%s: %s", cache, failure);
    printfColorWarningLine("Folder not trusted: ", reason);
    return false;
  }
  if (!checkPrivateFolder(real))
    return false;
  ArrayCopy(buffer, size, real);
  return true;
}

char* getCopyPath(const char* name) {
  // /tmp is one folder for every user of the machine: whoever makes the
  // folder there first owns it, and the other users' sessions would have no
  // copies of their own. The user's own runtime folder (when private), else
  // the user's cache folder, has no such neighbours.
  char base[2048];
  bool own = KestrovanPlatform_runtimeFolder(base, sizeof(base)) && checkPrivateFolder(base);
  if (!own)
    own = privateCacheFolder(base, sizeof(base));
  if (!own) {
    printfColorWarningLine("getCopyPath: ", "No private folder of this user");
    return nullptr;
  }
  const size_t size = 4096;
  char* path = (char*)newMemSize(size);
  if (path == nullptr) {
    showMemoryFail(kModule, __LINE__);
    return nullptr;
  }
  ArrayCopy(path, size, base);
  if (name != nullptr) {
    if (!endsWith("/", path))
      StringAppend(path, size, "/");
    StringAppend(path, size, name);
  }
  return path;
}

bool isFileExist(const char* path) {
  if (path == nullptr) {
    showNullParameter("inputFileName", kModule, __LINE__);
    return false;
  }
  struct stat info;
  return stat(path, &info) == 0;
}

char* readFile(const char* path, const char* mode) {
  if (path == nullptr) {
    printfColorWarningLine("inputPath is null", "");
    return nullptr;
  }
  if (checkNoValue(mode)) {
    printfColorWarningLine("inputMode is empty", "");
    return nullptr;
  }
  FILE* file = fopen(path, mode);
  if (file == nullptr) {
    printfColorWarningLine("Read file pointer is null", "");
    return nullptr;
  }
  // The block doubles as the text grows; the largest text is the largest
  // block newMemSize hands out.
  char* text = nullptr;
  size_t length = 0;
  size_t capacity = 0;
  for (;;) {
    if (length + 1 >= capacity) {
      size_t larger = capacity == 0 ? 513 : capacity * 2;
      char* block = (char*)newMemSize(larger);
      if (block == nullptr) {
        showMemoryFail(kModule, __LINE__);
        free(text);
        fclose(file);
        return nullptr;
      }
      if (text != nullptr)
        memcpy(block, text, length);
      free(text);
      text = block;
      capacity = larger;
    }
    size_t want = capacity - 1 - length;
    size_t got = fread(text + length, 1, want, file);
    length += got;
    if (got < want)
      break;
  }
  fclose(file);
  text[length] = '\0';
  // The text ends at the first zero byte of the file.
  if (text[0] == '\0') {
    free(text);
    return nullptr;
  }
  return text;
}

bool Kestrovan_CopyFile(const char* source, const char* destination) {
  if (source == nullptr) {
    showNullParameter("inputSource", kModule, __LINE__);
    return false;
  }
  if (destination == nullptr) {
    showNullParameter("inputDestination", kModule, __LINE__);
    return false;
  }
  int in = open(source, O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    printfColorErrorLine("Copyfile failed: ", strerror(errno));
    return false;
  }
  struct stat info;
  int error = 0;
  if (fstat(in, &info) != 0)
    error = errno;
  else if (!S_ISREG(info.st_mode))
    error = EINVAL;
  if (error != 0) {
    printfColorErrorLine("Copyfile failed: ", strerror(error));
    close(in);
    return false;
  }
  // Never replace or follow what is already at the destination: a file
  // planted there must not be loaded in place of the copy.
  int out = open(destination, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, info.st_mode & 0777);
  if (out < 0) {
    printfColorErrorLine("Copyfile failed: ", strerror(errno));
    close(in);
    return false;
  }
  char buffer[16384];
  for (;;) {
    ssize_t got = read(in, buffer, sizeof(buffer));
    if (got < 0) {
      if (errno == EINTR)
        continue;
      error = errno;
      break;
    }
    if (got == 0)
      break;
    for (ssize_t done = 0; done < got && error == 0;) {
      ssize_t put = write(out, buffer + done, (size_t)(got - done));
      if (put < 0) {
        if (errno != EINTR)
          error = errno;
        continue;
      }
      done += put;
    }
    if (error != 0)
      break;
  }
  close(in);
  if (close(out) != 0 && error == 0)
    error = errno;
  if (error != 0) {
    unlink(destination);  // the partial copy is ours: it was created above
    printfColorErrorLine("Copyfile failed: ", strerror(error));
    return false;
  }
  return true;
}

bool deleteFile(const char* path) {
  if (path == nullptr) {
    showNullParameter("inputFilePath", kModule, __LINE__);
    return false;
  }
  return remove(path) == 0;
}

bool checkPrivateFolder(const char* path) {
  if (path == nullptr) {
    showNullParameter("inputFolder", kModule, __LINE__);
    return false;
  }
  char reason[640];
  struct stat info;
  if (lstat(path, &info) != 0) {
    snprintf(reason, sizeof(reason), "%s: %s", path, strerror(errno));
  } else if (S_ISLNK(info.st_mode)) {
    snprintf(reason, sizeof(reason), "%s is a symbolic link", path);
  } else if (!S_ISDIR(info.st_mode)) {
    snprintf(reason, sizeof(reason), "%s is not a directory", path);
  } else if (info.st_uid != geteuid()) {
    snprintf(reason, sizeof(reason), "%s is owned by uid %u, not by uid %u", path, (unsigned)info.st_uid,
             (unsigned)geteuid());
  } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    snprintf(reason, sizeof(reason), "%s is writable by group or others", path);
  } else {
    return true;
  }
  printfColorWarningLine("Folder not trusted: ", reason);
  return false;
}

// "<name>-XXXXXXXX_SID<suffix>": a session copy (a name, a hyphen, a session
// identifier and the library suffix).
static bool isCopyName(const char* name) {
  static const char kSuffix[] = "_SID" KESTROVAN_ADAPTER_SUFFIX;
  size_t length = strlen(name);
  size_t tail = 1 + 8 + strlen(kSuffix);
  if (length <= tail || strcmp(name + length - strlen(kSuffix), kSuffix) != 0)
    return false;
  const char* id = name + length - tail;
  if (id[0] != '-')
    return false;
  for (int i = 1; i <= 8; i++)
    if (!((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'A' && id[i] <= 'Z')))
      return false;
  return true;
}

// The copy folder of this run, held open with a shared lock for the life of
// the process: a run that starts while another uses the folder sees the lock
// and leaves the other's copies alone.
static int copyFolderLock = -1;

int removeCopyLeftovers(const char* folder) {
  if (folder == nullptr) {
    showNullParameter("inputFolder", kModule, __LINE__);
    return -1;
  }
  int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    if (fd >= 0)
      close(fd);
    return -1;
  }
  if (copyFolderLock >= 0)
    close(copyFolderLock);
  copyFolderLock = fd;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    printfColorWarningLine("Copy folder in use by another run, leftovers kept: ", folder);
    flock(fd, LOCK_SH | LOCK_NB);
    return -1;
  }
  int removed = 0;
  int listFd = dup(fd);
  DIR* list = listFd >= 0 ? fdopendir(listFd) : nullptr;
  if (list == nullptr && listFd >= 0)
    close(listFd);
  while (list != nullptr) {
    struct dirent* entry = readdir(list);
    if (entry == nullptr)
      break;
    struct stat file;
    // Only this user's own regular files by a copy's name: links, folders
    // and anything else are not ours to judge.
    if (!isCopyName(entry->d_name) || fstatat(fd, entry->d_name, &file, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(file.st_mode) || file.st_uid != geteuid())
      continue;
    if (unlinkat(fd, entry->d_name, 0) == 0) {
      printfColorLine("Adapter copy left behind, removed: ", entry->d_name);
      removed++;
    }
  }
  if (list != nullptr)
    closedir(list);
  flock(fd, LOCK_SH);
  return removed;
}

static bool readLocalTime(struct tm* local) {
  time_t now = time(nullptr);
  return now != (time_t)-1 && localtime_r(&now, local) != nullptr;
}

char* getTime(const char* format) {
  const size_t size = 64;
  char* text = (char*)newMemSize(size);
  if (text == nullptr) {
    showMemoryFail(kModule, __LINE__);
    return nullptr;
  }
  if (format == nullptr)
    format = "[%d-%02d-%02d %02d:%02d:%02d]";
  struct tm local;
  if (!readLocalTime(&local)) {
    ArrayCopy(text, size, "Unknow time");
    return text;
  }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  snprintf(text, size, format, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
           local.tm_sec);
#pragma GCC diagnostic pop
  return text;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
static int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = (unsigned)(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + (int64_t)dayOfEra - 719468;
}

uint64_t getTimeValue() {
  struct tm local;
  if (!readLocalTime(&local))
    return 0;
  int64_t days = daysFromCivil(local.tm_year + 1900, (unsigned)local.tm_mon + 1, (unsigned)local.tm_mday) -
                 daysFromCivil(2015, 1, 1);
  int64_t seconds = days * 86400 + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  return seconds > 0 ? (uint64_t)seconds : 0;
}

bool getSecureRandom(void* buffer, int count) {
  if (buffer == nullptr) {
    showNullParameter("inputBuffer", kModule, __LINE__);
    return false;
  }
  if (count < 0) {
    printfColorWarningLine("getSecureRandom: ", "Invalid count");
    return false;
  }
  int error = fillRandom(buffer, (size_t)count);
  if (error != 0) {
    printfColorErrorLine("getSecureRandom: ", strerror(error));
    return false;
  }
  return true;
}

char* genUUID() {
  static const char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  unsigned char bytes[8] = {0};
  // Without randomness there is no identifier: a predictable one would let
  // a page guess another page's session.
  if (!getSecureRandom(bytes, sizeof(bytes)))
    return nullptr;
  char name[9];
  for (size_t i = 0; i < sizeof(bytes); i++)
    name[i] = kAlphabet[bytes[i] % 36];
  name[8] = '\0';
  char identifier[512];
  snprintf(identifier, sizeof(identifier), "%s_SID", name);
  char* copy = newMem(identifier);
  if (copy == nullptr)
    showMemoryFail(kModule, __LINE__);
  return copy;
}
