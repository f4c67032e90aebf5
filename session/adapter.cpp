// SPDX-License-Identifier: Apache-2.0
// adapter.cpp -- the boundary with an adapter library: its entry points, the
// internal calls (unlock, version query), the version gate that opens a
// session, and the call of a page's function.
#include "session/session.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

#include "params/params.h"
#include "support/support.h"

// Looks an entry point up; a missing one is traced with dlerror's text.
static void* findEntry(void* handle, const char* name) {
  dlerror();
  void* entry = dlsym(handle, name);
  const char* error = dlerror();
  if (error != nullptr) {
    printfColorWarningLine("[Warning] ", error);
    return nullptr;
  }
  return entry;
}

// Calls an entry point with map: the map form when the adapter has it, else
// the text form with the map written as JSON (its source when it has one).
// Returns a copy of the answer, null when the adapter answered none.
// *memoryFail is set when the JSON text or the copy could not be made.
// The answer may be the text the adapter was given, or point into it, so it
// is copied before that text is freed; and it is copied before the call lock
// is given back, as the adapter may reuse its buffer on its next call.
// With page set, a session taken out of the table while the call waited for
// its library is not called: *released is set instead.
static char* callEntry(KestrovanSession& session, KestrovanJsonMap* map, const char* function, bool page,
                       bool* memoryFail, bool* released) {
  *memoryFail = false;
  *released = false;
  char* json = nullptr;
  if (session.jsonMapMethod == nullptr && session.jsonStringMethod != nullptr && map->source == nullptr) {
    json = KestrovanSession_mapToJsonText(map);
    if (json == nullptr) {
      *memoryFail = true;
      return nullptr;
    }
  }
  KestrovanAdapterLibrary* library = session.library;
  char* copy = nullptr;
  // The call may take long (a PIN dialog) or wait for another: the
  // request's lines so far go out first.
  KestrovanTrace_flushRequest();
  {
    std::lock_guard<std::mutex> call(library->callLock);
    if (!KestrovanSession_callStarted(library, page ? &session : nullptr, function)) {
      *released = true;
    } else {
      const char* answer = nullptr;
      if (session.jsonMapMethod != nullptr) {
        answer = session.jsonMapMethod(map, function);
      } else if (session.jsonStringMethod != nullptr) {
        answer = session.jsonStringMethod(json != nullptr ? json : map->source);
      }
      if (answer != nullptr) {
        copy = newMem(answer);
        if (copy == nullptr) *memoryFail = true;
      }
      KestrovanSession_callEnded(library);
    }
  }
  freeSecret(json);
  return copy;
}

// One internal call ("Kestrovan_Unlock", "Kestrovan_GetVersion") with its
// fresh map. url is added for the unlock only.
static char* callInternal(KestrovanSession& session, const char* function, const char* index, const char* url,
                          bool* memoryFail) {
  KestrovanJsonMap* map = static_cast<KestrovanJsonMap*>(newMemSize(sizeof(KestrovanJsonMap)));
  if (map == nullptr) {
    showMemoryFail("KestrovanSession", __LINE__);
    *memoryFail = true;
    return nullptr;
  }
  addKestrovanJsonMapUnit(map, KESTROVAN_FUNCTION_NAME_KEY, function);
  if (url != nullptr) addKestrovanJsonMapUnit(map, KESTROVAN_UNLOCK_URL_KEY, url);
  addKestrovanJsonMapUnit(map, KESTROVAN_KEY_CHECK_KEY, "true");
  addKestrovanJsonMapUnit(map, KESTROVAN_FUNCTION_INDEX_KEY, index);
  bool released = false;
  char* answer = callEntry(session, map, function, false, memoryFail, &released);
  if (*memoryFail) showMemoryFail("KestrovanSession", __LINE__);
  KestrovanJsonFinal(map);
  return answer;
}

// checkVersion's answer: 0 equal, -1 the minimum is lower; anything else
// (higher, not comparable, missing, empty part) fails.
static bool versionMet(const char* minimum, const char* actual) {
  int32_t answer = checkVersion(minimum, actual);
  return answer == 0 || answer == -1;
}

// The leading decimal number of a version text, the way atol reads it.
static bool leadingNumber(const char* text, long long* number) {
  errno = 0;
  char* end = nullptr;
  long long value = strtoll(text, &end, 10);
  if (end == text) return false;
  *number = value;
  return true;
}

// The library's entry points. KESTROVAN_ERR_NO_ENTRY when it has neither.
static int32_t findEntries(KestrovanSession& slot) {
  void* handle = slot.library->handle;
  slot.jsonStringMethod = reinterpret_cast<KestrovanCallMethod>(findEntry(handle, KESTROVAN_CALL_METHOD_SYMBOL));
  slot.jsonMapMethod =
      reinterpret_cast<KestrovanCallJsonMapMethod>(findEntry(handle, KESTROVAN_CALL_JSON_MAP_METHOD_SYMBOL));
  showNormalState("Json string callMethod: ", slot.jsonStringMethod != nullptr, "Active", "Inactive");
  showNormalState("Json map callMethod: ", slot.jsonMapMethod != nullptr, "Active", "Inactive");
  if (slot.jsonStringMethod == nullptr && slot.jsonMapMethod == nullptr) {
    printfColorWarningLine("", "All callMethod load fail");
    return KESTROVAN_ERR_NO_ENTRY;
  }
  if (slot.jsonMapMethod != nullptr) {
    printfColorLine("Json map init: ", "Active");
  } else {
    printfColorLine("Json string init: ", "Active");
  }
  return 0;
}

// The adapter's unlock for origin: 0 when it answers "0"; its answer in
// *refusal (KESTROVAN_OPEN_REFUSED) when it answers anything else.
static int32_t unlockFor(KestrovanSession& slot, const char* origin, char** refusal) {
  bool memoryFail = false;
  char* unlock = callInternal(slot, KESTROVAN_FUNCTION_UNLOCK, KESTROVAN_FUNCTION_INDEX_UNLOCK, origin, &memoryFail);
  if (memoryFail) {
    // A session that was never unlocked must not stay open.
    free(unlock);
    return KESTROVAN_OPEN_NO_ANSWER;
  }
  if (unlock != nullptr && strcmp(unlock, "0") == 0) {
    printfColorLine("Unlock: ", "Success");
    free(unlock);
    return 0;
  }
  // No answer at all is a refusal too; the page then learns 61001.
  printfColorWarningLine("Unlock result: ", unlock != nullptr ? unlock : "");
  if (unlock == nullptr) return KESTROVAN_ERR_GENERAL;
  *refusal = unlock;
  return KESTROVAN_OPEN_REFUSED;
}

// The adapter's version answer into version, kept in the slot; an answer
// in the error range is that error code.
static int32_t readVersion(KestrovanSession& slot, char (&version)[KESTROVAN_VERSION_SIZE]) {
  bool memoryFail = false;
  char* answer = callInternal(slot, KESTROVAN_FUNCTION_GET_VERSION, KESTROVAN_FUNCTION_INDEX_GET_VERSION, nullptr,
                              &memoryFail);
  if (memoryFail) {
    free(answer);
    return KESTROVAN_OPEN_NO_ANSWER;
  }
  if (answer != nullptr) ArrayCopyFree(version, sizeof(version), answer);
  if (version[0] == '\0') {
    printfColorWarningLine("Init adapter: ", "Fail");
    return KESTROVAN_OPEN_NO_ANSWER;
  }
  free(slot.adapterVersion);
  slot.adapterVersion = newMem(version);

  long long number = 0;
  if (leadingNumber(version, &number) && number >= KESTROVAN_ADAPTER_ERR_FIRST && number < KESTROVAN_ADAPTER_ERR_LAST) {
    int32_t code = static_cast<int32_t>(number);
    printfColorWarningLine("Parse component version error: ", code);
    return code;
  }
  printfColorLine("Extract component version: ", "Success");
  return 0;
}

// The page's minimum service and adapter versions against the real ones.
static int32_t checkMinimumVersions(const char* minServerVersion, const char* minLibVersion, const char* version) {
  KestrovanTraceText shown;
  bool serverMet = versionMet(minServerVersion, KESTROVAN_SERVER_VERSION);
  printfColorWarningLine("Mini server version: ", traceText(minServerVersion, shown));
  printfColorWarningLine("Real server version: ", KESTROVAN_SERVER_VERSION);
  if (!serverMet) {
    printfColorWarningLine("Verify server version: ", "Fail");
    return KESTROVAN_ERR_SERVER_VERSION;
  }
  printfColorLine("Verify server version: ", "Pass");

  printfColorWarningLine("Mini adapter version: ", traceText(minLibVersion, shown));
  printfColorWarningLine("Real adapter version: ", version);
  if (!versionMet(minLibVersion, version)) {
    printfColorWarningLine("Verify adapter version: ", "Fail");
    return KESTROVAN_ERR_ADAPTER_VERSION;
  }
  printfColorLine("Verify adapter version: ", "Pass");
  return 0;
}

// The installer's version file "<name>Version.txt" beside the executable,
// kept in the slot.
static void readInstallerVersion(KestrovanSession& slot, const char* installerName) {
  KestrovanTraceText shown;
  char copyFolder[KESTROVAN_PATH_SIZE];
  char executeFolder[KESTROVAN_PATH_SIZE];
  char path[KESTROVAN_PATH_SIZE];
  char* text = nullptr;
  KestrovanSession_folders(copyFolder, executeFolder);
  printfColorLine("InstallerName: ", traceText(installerName, shown));
  int written = snprintf(path, sizeof(path), "%s/%sVersion.txt", executeFolder, installerName);
  if (written < 0 || static_cast<size_t>(written) >= sizeof(path)) {
    // Cut short, the path would name another file: report no version.
    printfColorErrorLine("InstallerVersionFile too long: ", traceText(installerName, shown));
  } else {
    printfColorLine("InstallerVersionFile: ", path);
    text = readFile(path, "r");
    printfColorLine("InstallerVersion: ", text != nullptr ? text : "");
  }
  free(slot.installerVersion);
  slot.installerVersion = text;
  slot.installerNamed = true;
}

int32_t KestrovanSession_openAdapter(KestrovanSession* session, KestrovanJsonMap* map, const char* origin,
                                     char** refusal) {
  *refusal = nullptr;
  KestrovanSession& slot = *session;
  int32_t code = findEntries(slot);
  if (code == 0) code = unlockFor(slot, origin, refusal);
  char version[KESTROVAN_VERSION_SIZE] = {0};
  if (code == 0) code = readVersion(slot, version);
  if (code != 0) return code;

  char* installerName = getKestrovanJsonCharType(map, "InstallerName");
  char* minServerVersion = getKestrovanJsonCharType(map, "minServerVersion");
  char* minLibVersion = getKestrovanJsonCharType(map, "minLibVersion");
  if (installerName != nullptr) sanitize_file_name(installerName, strlen(installerName));
  if (checkNoValue(minLibVersion)) {
    freeSecret(minLibVersion);
    minLibVersion = newMem("0.0.0.0");
  }
  int32_t opened = checkMinimumVersions(minServerVersion, minLibVersion, version);
  if (opened == 0 && !checkNoValue(installerName)) readInstallerVersion(slot, installerName);
  freeSecret(installerName);
  freeSecret(minServerVersion);
  freeSecret(minLibVersion);
  return opened;
}

int32_t KestrovanSession_callAdapter(KestrovanSession* session, const char* functionName, KestrovanJsonMap* map,
                                     char** result) {
  *result = nullptr;
  if (session->jsonMapMethod == nullptr && session->jsonStringMethod == nullptr) return KESTROVAN_ERR_NO_ENTRY;
  bool memoryFail = false;
  bool released = false;
  char* answer = callEntry(*session, map, functionName, true, &memoryFail, &released);
  if (released) return KESTROVAN_ERR_GENERAL;
  // An adapter that answers nothing gives the page the empty text.
  if (!memoryFail && answer == nullptr) {
    answer = newMem("");
    memoryFail = answer == nullptr;
  }
  if (memoryFail) {
    showMemoryFail("KestrovanSession", __LINE__);
    free(answer);
    return 0;
  }
  const char* text = answer;
  const char* label = strchr(text, '\n') != nullptr ? " Component result:\n" : " Component result: ";
  // Shown cut with its full length: an answer can hold a whole document.
  KestrovanTraceText shown;
  bool hidden = getKestrovanJsonBoolType(map, "hide_result");
  printfColorLine(label, KESTROVAN_COLOR_RESULT, hidden ? traceMask(strlen(text), shown) : traceText(text, shown));
  *result = answer;
  return 0;
}
