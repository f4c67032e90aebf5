/* bench_adapter.c -- the adapter the request-path benchmark installs: it
 * unlocks for every origin, reports version 1.0.0.5, answers its release with
 * nothing and every page function with "ok". The cheapest adapter there can
 * be, so that a call measures the service's own path. */
#include <string.h>

#include "kestrovan/adapter.h"

static char* answerFor(const char* function) {
  static char unlocked[] = "0";
  static char version[] = "1.0.0.5";
  static char empty[] = "";
  static char ok[] = "ok";
  if (function == NULL) return ok;
  if (strcmp(function, KESTROVAN_FUNCTION_UNLOCK) == 0) return unlocked;
  if (strcmp(function, KESTROVAN_FUNCTION_GET_VERSION) == 0) return version;
  if (strcmp(function, KESTROVAN_FUNCTION_RELEASE) == 0) return empty;
  return ok;
}

KESTROVAN_ADAPTER_EXPORT char* callJsonMapMethod(KestrovanJsonMap* map, const char* functionName) {
  (void)map;
  return answerFor(functionName);
}
