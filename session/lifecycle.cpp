// lifecycle.cpp -- an adapter's life in a session: the private copy made in
// the checked copy folder, loading it (or the installed file when no copy can
// be made or loaded), and at the end the adapter's release call, unloading
// and deleting the session's own copy.
#include "session/session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "params/params.h"
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
  static char buffer[65536];

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
  for (;;) {
    ssize_t got = read(sourceFd, buffer, sizeof(buffer));
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
  return copied;
}

int32_t KestrovanSession_loadAdapter(int index, const char* libDir, const char* comName) {
  KestrovanSession& slot = SessionList[index];
  static char installedPath[KESTROVAN_PATH_SIZE];
  static char copyPath[KESTROVAN_PATH_SIZE];
  static char copyName[KESTROVAN_PATH_SIZE];

  if (ExecutePath[0] == '\0') {
    printfColorErrorLine("Adapter load error reason: ", "No executable folder");
    KestrovanReleaseSession(index);
    return KESTROVAN_ERR_LOAD;
  }
  bool fits = formatPath(installedPath, sizeof(installedPath), "%s/%s/%s" KESTROVAN_ADAPTER_SUFFIX, ExecutePath,
                         libDir, comName);
  fits = fits && formatPath(copyName, sizeof(copyName), "%s-%s%s" KESTROVAN_ADAPTER_SUFFIX, comName,
                            slot.sessionId, "");
  fits = fits && formatPath(copyPath, sizeof(copyPath), "%s/%s%s", CopyPath, copyName, "");
  if (!fits) {
    // Cutting a path to fit would name another file.
    printfColorErrorLine("Adapter path too long: ", comName);
    KestrovanReleaseSession(index);
    return KESTROVAN_ERR_LOAD;
  }
  printfColorLine("Original adapter: ", installedPath);
  printfColorLine("Copy adapter: ", copyPath);

  void* handle = nullptr;
  bool copied = false;
  if (CopyPath[0] == '\0' || !checkPrivateFolder(CopyPath)) {
    printfColorWarningLine("Copy folder is not private, load the installed adapter: ", CopyPath);
  } else {
    copied = copyAdapterFile(installedPath, CopyPath, copyName);
  }
  if (copied) {
    printfColorLine("Copy adapter state: ", "Success");
    handle = dlopen(copyPath, RTLD_LAZY);
    if (handle != nullptr) {
      printfColorLine("Copied adapter: ", "Active");
      ArrayCopy(slot.adapterPath, KESTROVAN_PATH_SIZE, copyPath);
      slot.adapterIsCopy = true;
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
    handle = dlopen(installedPath, RTLD_LAZY);
    if (handle != nullptr) {
      printfColorLine("Origin adapter: ", "Active");
      ArrayCopy(slot.adapterPath, KESTROVAN_PATH_SIZE, installedPath);
      slot.adapterIsCopy = false;
    } else {
      printfColorWarningLine("Origin adapter: ", "Inactive");
      const char* error = dlerror();
      char reason[1024];
      ArrayCopy(reason, sizeof(reason), error != nullptr ? error : "");
      showErrorState("Origin adpater: ", isFileExist(installedPath), "Exist", "Not Exist");
      showErrorState("Copied adpater: ", isFileExist(copyPath), "Exist", "Not Exist");
      printfColorErrorLine("Adapter load error reason: ", reason);
      KestrovanReleaseSession(index);
      return KESTROVAN_ERR_LOAD;
    }
  }
  slot.libraryHandle = handle;
  free(slot.adapterName);
  slot.adapterName = newMem(comName);
  return 0;
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

void KestrovanSession_freeSession(int index) {
  if (index < 0 || index >= KESTROVAN_SESSION_SLOTS) return;
  KestrovanSession& slot = SessionList[index];
  if (slot.sessionId == nullptr) return;
  slot.browserMode = 0;
  releaseText("Release Session id: ", slot.sessionId);
  releaseText("Release AdapterName: ", slot.adapterName);
  releaseText("Release Adapter Version: ", slot.adapterVersion);
  releaseText("Release Installer Version: ", slot.installerVersion);

  if (slot.jsonMapMethod != nullptr) {
    KestrovanJsonMap* release = static_cast<KestrovanJsonMap*>(newMemSize(sizeof(KestrovanJsonMap)));
    if (release == nullptr) {
      // Without the map the adapter is not told, but it is still unloaded
      // below: a slot that looks free must not keep a library loaded.
      showMemoryFail("KestrovanSession", __LINE__);
    } else {
      addKestrovanJsonMapUnit(release, KESTROVAN_FUNCTION_NAME_KEY, KESTROVAN_FUNCTION_RELEASE);
      addKestrovanJsonMapUnit(release, KESTROVAN_KEY_CHECK_KEY, "true");
      addKestrovanJsonMapUnit(release, KESTROVAN_FUNCTION_INDEX_KEY, KESTROVAN_FUNCTION_INDEX_RELEASE);
      slot.jsonMapMethod(release, KESTROVAN_FUNCTION_RELEASE);  // the answer is not looked at
      KestrovanJsonFinal(release);
    }
  }
  slot.jsonStringMethod = nullptr;
  slot.jsonMapMethod = nullptr;
  slot.initTime = 0;

  bool unloaded = CP_FreeLibrary(slot.libraryHandle);
  slot.libraryHandle = nullptr;
  showWarningState("Release adapter state: ", unloaded, "Success", "Fail");
  if (slot.adapterIsCopy) {
    showWarningState("Delete adapter state: ", deleteFile(slot.adapterPath), "Success", "Fail");
  } else if (slot.adapterPath[0] != '\0') {
    // The session ran on the installed file, which is not ours to delete.
    printfColorLine("Delete adapter state: ", "Skip installed adapter");
  }
  slot.adapterIsCopy = false;
  slot.adapterPath[0] = '\0';
}
