// SPDX-License-Identifier: Apache-2.0
// dispatch.cpp -- KestrovanSession_Process: finds or opens the page's
// session, answers the built-in functions and hands every other function to
// the session's adapter. Dispatches run side by side: the session found is
// held until the dispatch returns, and a new one is opened outside the table
// and enters it only once open (see the locking note in session.h).
#include "session/session.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "params/params.h"
#include "support/support.h"
#include "values/values.h"

#define KESTROVAN_RESULT_ROOM 256

// Frees *result and starts an empty one that then receives "result"; traces
// the source line. *result is null when memory ran out.
static void resetResult(KestrovanJsonMap*& result, int line) {
  printfColorLine("reset Kestrovan Json at file: ", "KestrovanSession");
  printfColorLine("reset Kestrovan Json at line: ", line);
  KestrovanJsonFinal(result);
  result = static_cast<KestrovanJsonMap*>(newMemSize(sizeof(KestrovanJsonMap)));
  if (result == nullptr) showMemoryFail("KestrovanSession", line);
}

static void resetResult(KestrovanJsonMap*& result, int line, int32_t code) {
  resetResult(result, line);
  if (result != nullptr) addKestrovanJsonMapUnit(result, "result", code);
}

static void resetResult(KestrovanJsonMap*& result, int line, const char* text) {
  resetResult(result, line);
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
    // The name as read was checked above: only another text is looked at.
    if (unit.key != nullptr && unit.value != nullptr && isName(unit.key, "FunctionName") &&
        strcmp(unit.value, functionName) != 0 && isInternal(unit.value)) {
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
    resetResult(result, __LINE__, KESTROVAN_ERR_MISSING_KEY);
  } else {
    int32_t code = KestrovanValue_set_value(channel, domainList, timeout, value, origin);
    resetResult(result, __LINE__, code);
  }
  freeSecret(channel);
  freeSecret(domainList);
  freeSecret(value);
}

static void getValue(KestrovanJsonMap* map, const char* origin, KestrovanJsonMap*& result) {
  char* channel = getKestrovanJsonCharType(map, "channel");
  if (channel == nullptr) {
    resetResult(result, __LINE__, KESTROVAN_ERR_MISSING_KEY);
    return;
  }
  char* value = KestrovanValue_get_value(channel, origin);
  if (value == nullptr) {
    resetResult(result, __LINE__, KESTROVAN_ERR_GENERAL);
  } else {
    resetResult(result, __LINE__, static_cast<const char*>(value));
  }
  freeSecret(value);
  freeSecret(channel);
}

// The adapter call of a session the dispatch holds; a session without an
// entry point is released.
static void callSession(KestrovanSession* session, const char* functionName, KestrovanJsonMap* map,
                        KestrovanJsonMap*& result) {
  char* answer = nullptr;
  int32_t code = KestrovanSession_callAdapter(session, functionName, map, &answer);
  if (code == 0) {
    if (answer != nullptr) addKestrovanJsonMapUnit(result, "result", answer);
    freeSecret(answer);
  } else if (code == KESTROVAN_ERR_NO_ENTRY) {
    KestrovanSession_release(session);
    resetResult(result, __LINE__, KESTROVAN_ERR_NO_ENTRY);
  } else {
    // Closed, evicted or shut down while this call waited for the library.
    printfColorErrorLine("Invalid session id: ", session->sessionId);
    resetResult(result, __LINE__, code);
  }
}

// A request for a session that exists; the dispatch holds it.
static void existingSession(KestrovanSession* session, const char* functionName, KestrovanJsonMap* map,
                            const char* origin, KestrovanJsonMap*& result) {
  printfColorLine("Find the loaded adapter", "");
  if (isName(functionName, "KestrovanForceRelease")) {
    printfColorLine("Force release: ", "Active");
    KestrovanSession_release(session);
  } else if (isName(functionName, "KestrovanClose") || isName(functionName, "KestrovanRelease")) {
    if (session->browserMode == 0) {
      KestrovanSession_release(session);
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
    addKestrovanJsonMapUnit(result, "LibVersion", static_cast<const char*>(session->adapterVersion));
    addKestrovanJsonMapUnit(result, "InstallerVersion", static_cast<const char*>(session->installerVersion));
    addKestrovanJsonMapUnit(result, "result", static_cast<int32_t>(KESTROVAN_OK));
  } else {
    callSession(session, functionName, map, result);
  }
}

// A request that carried no identifier: session is the fresh one, held by
// this dispatch, its identifier already in the result. It is loaded,
// unlocked and checked outside the table and takes a slot (evicting the
// oldest session when all are taken) only once it is open, so a refused
// opening leaves the table as it was.
static void newSession(KestrovanSession* session, const char* functionName, KestrovanJsonMap* map,
                       const char* origin, KestrovanJsonMap*& result) {
  if (isRelease(functionName)) {
    printfColorLine("No specific adapter to release", "");
    return;
  }
  char libDir[KESTROVAN_NAME_SIZE];
  char comName[KESTROVAN_NAME_SIZE];
  if (KestrovanSession_resolveLocation(map, libDir, comName) != 0) {
    resetResult(result, __LINE__, KESTROVAN_ERR_LOCATION);
    return;
  }
  if (KestrovanSession_loadAdapter(session, libDir, comName) != 0) {
    KestrovanSession_release(session);
    resetResult(result, __LINE__, KESTROVAN_ERR_LOAD);
    return;
  }
  char* refusal = nullptr;
  int32_t opened = KestrovanSession_openAdapter(session, map, origin, &refusal);
  if (opened != 0) {
    if (opened == KESTROVAN_OPEN_REFUSED) {
      resetResult(result, __LINE__, static_cast<const char*>(refusal));
    } else if (opened != KESTROVAN_OPEN_NO_ANSWER) {
      resetResult(result, __LINE__, opened);
    }
    free(refusal);
    KestrovanSession_release(session);
    return;
  }
  addKestrovanJsonMapUnit(result, "ServerVersion", KESTROVAN_SERVER_VERSION);
  addKestrovanJsonMapUnit(result, "LibVersion", static_cast<const char*>(session->adapterVersion));
  if (session->installerNamed) {
    addKestrovanJsonMapUnit(result, "InstallerVersion", static_cast<const char*>(session->installerVersion));
  }
  if (isEcho(functionName)) session->browserMode = getKestrovanJsonLongType(map, "KestrovanMode") == 1 ? 1 : 0;
  int index = KestrovanSession_takeSlot(session);
  if (index == -2) {
    // Final ran while this session was being opened: nothing may stay open.
    printfColorWarningLine("Dispatcher closed: ", "Refuse request");
    KestrovanSession_release(session);
    resetResult(result, __LINE__, KESTROVAN_ERR_GENERAL);
    return;
  }
  if (index == -1) {
    KestrovanSession_release(session);
    return;
  }
  if (isEcho(functionName)) {
    addKestrovanJsonMapUnit(result, "result", static_cast<int32_t>(KESTROVAN_OK));
    return;
  }
  callSession(session, functionName, map, result);
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
  // Room for the built-in answers' texts (the echo's four entries).
  KestrovanJsonMap* result = KestrovanJson_newMap(KESTROVAN_RESULT_ROOM);
  if (result == nullptr) {
    showMemoryFail("KestrovanSession", __LINE__);
    return nullptr;
  }
  showKestrovanJsonMap(map);
  if (KestrovanSession_isClosed()) {
    // After Final a session opened here would never be released and the
    // adapters are gone: refuse without looking anything up.
    printfColorWarningLine("Dispatcher closed: ", "Refuse request");
    resetResult(result, __LINE__, KESTROVAN_ERR_GENERAL);
    return result;
  }

  // A request without "SessionId" is read as one with an empty identifier,
  // and one without "FunctionName" as naming the empty function.
  char* requested = getKestrovanJsonCharType(map, "SessionId");
  KestrovanSession* session = nullptr;
  bool fresh = false;
  if (!checkNoValue(requested)) {
    // A session serves only the origin that opened it: another origin is
    // answered exactly as for an unknown identifier, and nothing changes.
    session = KestrovanSession_use(requested, origin);
    if (session == nullptr) {
      KestrovanTraceText shown;
      printfColorErrorLine("Invalid session id: ", traceText(requested, shown));
      free(requested);
      resetResult(result, __LINE__, KESTROVAN_ERR_GENERAL);
      return result;
    }
    printfColorLine("Session id: ", requested);
  } else {
    session = KestrovanSession_newSession();
    if (session == nullptr) {
      printfColorErrorLine("Generate session id fail: ", "No random source");
      free(requested);
      resetResult(result, __LINE__, KESTROVAN_ERR_GENERAL);
      return result;
    }
    fresh = true;
    session->origin = newMem(origin);  // not in the table yet: nobody else reads it
    if (session->origin == nullptr) {
      showMemoryFail("KestrovanSession", __LINE__);
      KestrovanSession_leave(session);
      free(requested);
      resetResult(result, __LINE__, KESTROVAN_ERR_GENERAL);
      return result;
    }
    addKestrovanJsonMapUnit(result, "SessionID", static_cast<const char*>(session->sessionId));
    printfColorLine("Session id: ", session->sessionId);
  }
  free(requested);

  char* functionName = getKestrovanJsonCharType(map, "FunctionName");
  const char* name = functionName != nullptr ? functionName : "";
  const char* internal = requestedInternal(map, name);
  if (internal != nullptr) {
    // Refused before a new session is opened, so nothing is loaded for it.
    printfColorWarningLine("Refuse internal function: ", internal);
    KestrovanSession_leave(session);
    free(functionName);
    resetResult(result, __LINE__, KESTROVAN_ERR_GENERAL);
    return result;
  }
  if (!fresh) {
    existingSession(session, name, map, origin, result);
  } else {
    newSession(session, name, map, origin, result);
  }
  KestrovanSession_leave(session);
  free(functionName);
  return result;
}
