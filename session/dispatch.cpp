// dispatch.cpp -- KestrovanSession_Process: finds or opens the page's
// session, answers the built-in functions and hands every other function to
// the session's adapter. One lock keeps dispatches from overlapping.
#include "session/session.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "params/params.h"
#include "support/support.h"
#include "values/values.h"

std::mutex KestrovanSession_DispatchLock;

void KestrovanSession_resetResult(KestrovanJsonMap*& result, int line) {
  printfColorLine("reset Kestrovan Json at file: ", "KestrovanSession");
  printfColorLine("reset Kestrovan Json at line: ", line);
  KestrovanJsonFinal(result);
  result = static_cast<KestrovanJsonMap*>(newMemSize(sizeof(KestrovanJsonMap)));
  if (result == nullptr) showMemoryFail("KestrovanSession", line);
}

void KestrovanSession_resetResult(KestrovanJsonMap*& result, int line, int32_t code) {
  KestrovanSession_resetResult(result, line);
  if (result != nullptr) addKestrovanJsonMapUnit(result, "result", code);
}

void KestrovanSession_resetResult(KestrovanJsonMap*& result, int line, const char* text) {
  KestrovanSession_resetResult(result, line);
  if (result != nullptr) addKestrovanJsonMapUnit(result, "result", text);
}

static bool isName(const char* functionName, const char* builtIn) {
  return strcasecmp(functionName, builtIn) == 0;
}

static bool isEcho(const char* functionName) {
  return isName(functionName, "KestrovanEcho") || isName(functionName, "Echo");
}

static bool isRelease(const char* functionName) {
  return isName(functionName, "KestrovanClose") || isName(functionName, "KestrovanForceRelease") ||
         isName(functionName, "KestrovanRelease");
}

// The service's own adapter calls. A page naming one would reach the
// adapter looking like the service itself: an unlock for another origin, a
// release behind the service's back.
static bool isInternal(const char* functionName) {
  return isName(functionName, KESTROVAN_FUNCTION_UNLOCK) || isName(functionName, KESTROVAN_FUNCTION_GET_VERSION) ||
         isName(functionName, KESTROVAN_FUNCTION_RELEASE);
}

// The internal call a request names, or null: the name as read (flags
// applied) or any text under the key, which a page may send twice in
// different letter case, leaving the adapter's own lookup to pick one.
static const char* requestedInternal(const KestrovanJsonMap* map, const char* functionName) {
  if (isInternal(functionName)) return functionName;
  for (int i = 0; i < map->count && i < KESTROVAN_MAP_CAPACITY; i++) {
    const KestrovanJsonUnit& unit = map->units[i];
    if (unit.key != nullptr && unit.value != nullptr && isName(unit.key, "FunctionName") && isInternal(unit.value)) {
      return unit.value;
    }
  }
  return nullptr;
}

static void setValue(KestrovanJsonMap* map, const char* origin, KestrovanJsonMap*& result) {
  char* channel = getKestrovanJsonCharType(map, "channel");
  char* domainList = channel != nullptr ? getKestrovanJsonCharType(map, "domain_list") : nullptr;
  char* value = nullptr;
  int32_t timeout = 0;
  if (domainList != nullptr) {
    timeout = getKestrovanJsonIntType(map, "timeout");
    value = getKestrovanJsonCharType(map, "value");
  }
  if (value == nullptr) {
    KestrovanSession_resetResult(result, __LINE__, KESTROVAN_ERR_MISSING_KEY);
  } else {
    int32_t code = KestrovanValue_set_value(channel, domainList, timeout, value, origin);
    KestrovanSession_resetResult(result, __LINE__, code);
  }
  freeSecret(channel);
  freeSecret(domainList);
  freeSecret(value);
}

static void getValue(KestrovanJsonMap* map, const char* origin, KestrovanJsonMap*& result) {
  char* channel = getKestrovanJsonCharType(map, "channel");
  if (channel == nullptr) {
    KestrovanSession_resetResult(result, __LINE__, KESTROVAN_ERR_MISSING_KEY);
    return;
  }
  char* value = KestrovanValue_get_value(channel, origin);
  if (value == nullptr) {
    KestrovanSession_resetResult(result, __LINE__, KESTROVAN_ERR_GENERAL);
  } else {
    KestrovanSession_resetResult(result, __LINE__, static_cast<const char*>(value));
  }
  freeSecret(value);
  freeSecret(channel);
}

// A request for a session that exists.
static void existingSession(int index, const char* functionName, KestrovanJsonMap* map, const char* origin,
                            KestrovanJsonMap*& result) {
  KestrovanSession& slot = SessionList[index];
  printfColorLine("Find the loaded adapter", "");
  if (isName(functionName, "KestrovanForceRelease")) {
    printfColorLine("Force release: ", "Active");
    KestrovanReleaseSession(index);
  } else if (isName(functionName, "KestrovanClose") || isName(functionName, "KestrovanRelease")) {
    if (slot.browserMode == 0) {
      KestrovanReleaseSession(index);
    } else {
      printfColorLine("[Browser mode] Skip release process", "");
    }
  } else if (isName(functionName, "setKestrovanValue")) {
    setValue(map, origin, result);
  } else if (isName(functionName, "getKestrovanValue")) {
    getValue(map, origin, result);
  } else if (isEcho(functionName)) {
    printfColorLine("Browser mode: ", "Active");
    addKestrovanJsonMapUnit(result, "ServerVersion", KESTROVAN_SERVER_VERSION);
    addKestrovanJsonMapUnit(result, "LibVersion", static_cast<const char*>(slot.adapterVersion));
    addKestrovanJsonMapUnit(result, "InstallerVersion", static_cast<const char*>(slot.installerVersion));
    addKestrovanJsonMapUnit(result, "result", static_cast<int32_t>(KESTROVAN_OK));
  } else {
    KestrovanSession_callAdapter(index, functionName, map, result);
  }
}

// A request that carried no identifier: sessionId is the fresh one, already
// in the result. Owns sessionId until a slot takes it.
static void newSession(char* sessionId, const char* functionName, KestrovanJsonMap* map, const char* origin,
                       KestrovanJsonMap*& result) {
  if (isRelease(functionName)) {
    printfColorLine("No specific adapter to release", "");
    free(sessionId);
    return;
  }
  char libDir[KESTROVAN_NAME_SIZE];
  char comName[KESTROVAN_NAME_SIZE];
  if (KestrovanSession_resolveLocation(map, libDir, comName) != 0) {
    free(sessionId);
    KestrovanSession_resetResult(result, __LINE__, KESTROVAN_ERR_LOCATION);
    return;
  }
  int index = KestrovanSession_takeSlot(sessionId);
  if (index == -1) {
    free(sessionId);
    return;
  }
  if (KestrovanSession_loadAdapter(index, libDir, comName) != 0) {
    KestrovanSession_resetResult(result, __LINE__, KESTROVAN_ERR_LOAD);
    return;
  }
  if (!KestrovanSession_openAdapter(index, map, origin, result)) return;
  if (isEcho(functionName)) {
    SessionList[index].browserMode = getKestrovanJsonLongType(map, "KestrovanMode") == 1 ? 1 : 0;
    addKestrovanJsonMapUnit(result, "result", static_cast<int32_t>(KESTROVAN_OK));
    return;
  }
  KestrovanSession_callAdapter(index, functionName, map, result);
}

KestrovanJsonMap* KestrovanSession_Process(unsigned int processId, KestrovanJsonMap* map, const char* origin) {
  (void)processId;
  if (map == nullptr) {
    showNullParameter("JsonMap", "KestrovanSession", __LINE__);
    return nullptr;
  }
  if (origin == nullptr) {
    showNullParameter("Origin", "KestrovanSession", __LINE__);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(KestrovanSession_DispatchLock);
  KestrovanJsonMap* result = static_cast<KestrovanJsonMap*>(newMemSize(sizeof(KestrovanJsonMap)));
  if (result == nullptr) {
    showMemoryFail("KestrovanSession", __LINE__);
    return nullptr;
  }
  showKestrovanJsonMap(map);
  if (KestrovanSession_Closed) {
    // After Final a session opened here would never be released and the
    // adapters are gone: refuse without looking anything up. Trace line
    // "Dispatcher closed: Refuse request".
    printfColorWarningLine("Dispatcher closed: ", "Refuse request");
    KestrovanSession_resetResult(result, __LINE__, KESTROVAN_ERR_GENERAL);
    return result;
  }

  // A request without "SessionId" is read as one with an empty identifier,
  // and one without "FunctionName" as naming the empty function.
  char* requested = getKestrovanJsonCharType(map, "SessionId");
  int index = -1;
  char* newId = nullptr;
  if (!checkNoValue(requested)) {
    index = KestrovanSession_findSession(requested);
    if (index == -1) {
      KestrovanTraceText shown;
      printfColorErrorLine("Invalid session id: ", traceText(requested, shown));
      free(requested);
      KestrovanSession_resetResult(result, __LINE__, KESTROVAN_ERR_GENERAL);
      return result;
    }
    printfColorLine("Session id: ", requested);
  } else {
    newId = KestrovanSession_newSessionId();
    if (newId == nullptr) {
      printfColorErrorLine("Generate session id fail: ", "No random source");
      free(requested);
      KestrovanSession_resetResult(result, __LINE__, KESTROVAN_ERR_GENERAL);
      return result;
    }
    addKestrovanJsonMapUnit(result, "SessionID", newId);
    printfColorLine("Session id: ", newId);
  }
  free(requested);

  char* functionName = getKestrovanJsonCharType(map, "FunctionName");
  const char* name = functionName != nullptr ? functionName : "";
  const char* internal = requestedInternal(map, name);
  if (internal != nullptr) {
    // Refused before a new session is opened, so nothing is loaded for it.
    // Trace line "Refuse internal function: <name>".
    printfColorWarningLine("Refuse internal function: ", internal);
    free(newId);
    free(functionName);
    KestrovanSession_resetResult(result, __LINE__, KESTROVAN_ERR_GENERAL);
    return result;
  }
  if (index != -1) {
    existingSession(index, name, map, origin, result);
  } else {
    newSession(newId, name, map, origin, result);
  }
  free(functionName);
  return result;
}
