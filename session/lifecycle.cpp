// SPDX-License-Identifier: Apache-2.0
// lifecycle.cpp -- an adapter's start in a session: the private copy made in
// the checked copy folder and loading it (or the installed file when no copy
// can be made or loaded); its end is table.cpp's, where the last one out of
// a library frees what was released.
#include "session/session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "support/support.h"

// Formats into buffer; false (and nothing usable) when the text would not fit.
static bool formatPath(char* buffer, size_t size, const char* format, const char* a, const char* b,
                       const char* c) {
  int written = snprintf(buffer, size, format, a, b, c);
  if (written < 0 || static_cast<size_t>(written) >= size) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

// Copies the installed file into the copy folder as fileName. The folder is
// opened without following links and must be ours and closed to others; the
// copy is created there with O_EXCL|O_NOFOLLOW, so the file we then load is
// the one we wrote: nobody else can create, replace or link it in between.
static bool copyAdapterFile(const char* source, const char* folder, const char* fileName) {
  bool copied = false;
  bool created = false;
  int sourceFd = -1;
  int folderFd = -1;
  int targetFd = -1;
  const char* failure = nullptr;
  struct stat info;
  long long left = -1;  // bytes still to copy; -1: to the end of the file
  // Copies run on several threads at once: each has its own buffer.
  const size_t bufferSize = 65536;
  char* buffer = static_cast<char*>(malloc(bufferSize));

  if (buffer == nullptr) {
    failure = strerror(ENOMEM);
    goto out;
  }
  folderFd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folderFd < 0 || fstat(folderFd, &info) != 0) {
    failure = strerror(errno);
    goto out;
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    failure = "copy folder is not private";
    goto out;
  }
  sourceFd = open(source, O_RDONLY | O_CLOEXEC);
  if (sourceFd < 0 || fstat(sourceFd, &info) != 0) {
    failure = strerror(errno);
    goto out;
  }
  if (!S_ISREG(info.st_mode)) {
    failure = "not a regular file";
    goto out;
  }
  targetFd = openat(folderFd, fileName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
  if (targetFd < 0) {
    failure = strerror(errno);
    goto out;
  }
  created = true;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Only what the loader maps: a library built with debugging information
  // is mostly that, and copying it made opening a session several times
  // slower. (Sanitizer builds copy all of it for their reports' symbols.)
  left = KestrovanPlatform_loadedLibrarySize(sourceFd);
#endif
  while (left != 0) {
    size_t want = left > 0 && (unsigned long long)left < bufferSize ? (size_t)left : bufferSize;
    ssize_t got = read(sourceFd, buffer, want);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      failure = strerror(errno);
      goto out;
    }
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(targetFd, buffer + done, static_cast<size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        failure = strerror(errno);
        goto out;
      }
      done += put;
    }
    if (left > 0)
      left -= got;
  }
  if (close(targetFd) != 0) {
    targetFd = -1;
    failure = strerror(errno);
    goto out;
  }
  targetFd = -1;
  copied = true;

out:
  if (failure != nullptr) printfColorErrorLine("Copy adapter error: ", failure);
  if (targetFd >= 0) close(targetFd);
  // A partial copy is ours and useless: remove it.
  if (!copied && created) unlinkat(folderFd, fileName, 0);
  if (sourceFd >= 0) close(sourceFd);
  if (folderFd >= 0) close(folderFd);
  free(buffer);
  return copied;
}

int32_t KestrovanSession_loadAdapter(KestrovanSession* session, const char* libDir, const char* comName) {
  char copyFolder[KESTROVAN_PATH_SIZE];
  char executeFolder[KESTROVAN_PATH_SIZE];
  char installedPath[KESTROVAN_PATH_SIZE];
  char copyPath[KESTROVAN_PATH_SIZE];
  char copyName[KESTROVAN_PATH_SIZE];
  KestrovanSession_folders(copyFolder, executeFolder);

  if (executeFolder[0] == '\0') {
    printfColorErrorLine("Adapter load error reason: ", "No executable folder");
    return KESTROVAN_ERR_LOAD;
  }
  bool fits = formatPath(installedPath, sizeof(installedPath), "%s/%s/%s" KESTROVAN_ADAPTER_SUFFIX, executeFolder,
                         libDir, comName);
  fits = fits && formatPath(copyName, sizeof(copyName), "%s-%s%s" KESTROVAN_ADAPTER_SUFFIX, comName,
                            session->sessionId, "");
  fits = fits && formatPath(copyPath, sizeof(copyPath), "%s/%s%s", copyFolder, copyName, "");
  if (!fits) {
    // Cutting a path to fit would name another file.
    printfColorErrorLine("Adapter path too long: ", comName);
    return KESTROVAN_ERR_LOAD;
  }
  printfColorLine("Original adapter: ", installedPath);
  printfColorLine("Copy adapter: ", copyPath);

  void* handle = nullptr;
  bool copied = false;
  if (copyFolder[0] == '\0' || !checkPrivateFolder(copyFolder)) {
    printfColorWarningLine("Copy folder is not private, load the installed adapter: ", copyFolder);
  } else {
    copied = copyAdapterFile(installedPath, copyFolder, copyName);
  }
  if (copied) {
    printfColorLine("Copy adapter state: ", "Success");
    handle = dlopen(copyPath, RTLD_LAZY);
    if (handle != nullptr) {
      printfColorLine("Copied adapter: ", "Active");
      ArrayCopy(session->adapterPath, KESTROVAN_PATH_SIZE, copyPath);
      session->adapterIsCopy = true;
    } else {
      printfColorWarningLine("Copied adapter: ", "Inactive");
      const char* reason = dlerror();
      if (reason != nullptr) printfColorWarningLine("Adapter load error reason: ", reason);
      deleteFile(copyPath);
      copied = false;
    }
  } else {
    printfColorWarningLine("Copy adapter state: ", "Fail");
  }

  if (handle == nullptr) {
    // The installed file: several sessions loading it get one handle, and
    // so share one library and its call lock.
    handle = dlopen(installedPath, RTLD_LAZY);
    if (handle != nullptr) {
      printfColorLine("Origin adapter: ", "Active");
      ArrayCopy(session->adapterPath, KESTROVAN_PATH_SIZE, installedPath);
      session->adapterIsCopy = false;
    } else {
      printfColorWarningLine("Origin adapter: ", "Inactive");
      const char* error = dlerror();
      char reason[1024];
      ArrayCopy(reason, sizeof(reason), error != nullptr ? error : "");
      // The console's wording, misspelling included.
      showErrorState("Origin adpater: ", isFileExist(installedPath), "Exist", "Not Exist");
      showErrorState("Copied adpater: ", isFileExist(copyPath), "Exist", "Not Exist");
      printfColorErrorLine("Adapter load error reason: ", reason);
      return KESTROVAN_ERR_LOAD;
    }
  }
  free(session->adapterName);
  session->adapterName = newMem(comName);
  if (!KestrovanSession_joinLibrary(session, handle, comName)) {
    showMemoryFail("KestrovanSession", __LINE__);
    CP_FreeLibrary(handle);
    if (session->adapterIsCopy) deleteFile(session->adapterPath);
    session->adapterIsCopy = false;
    session->adapterPath[0] = '\0';
    return KESTROVAN_ERR_LOAD;
  }
  return 0;
}
