// SPDX-License-Identifier: Apache-2.0
/* fuzz_adapter.c -- the adapter the sessions fuzz target loads: unlocks for
 * any origin, answers version 1.0.0.1 and answers every page function with
 * "ok:<name>", so that the dispatcher's answers can be predicted. Built from
 * include/kestrovan/adapter.h alone. */
#include <stdio.h>
#include <string.h>

#include "kestrovan/adapter.h"

/* Valid until the next call, as the interface asks. */
static char answer[512];

KESTROVAN_ADAPTER_EXPORT char* callJsonMapMethod(KestrovanJsonMap* map, const char* functionName) {
  (void)map;
  if (functionName == NULL)
    return NULL;
  if (strcmp(functionName, KESTROVAN_FUNCTION_UNLOCK) == 0 || strcmp(functionName, KESTROVAN_FUNCTION_RELEASE) == 0)
    return (char*)"0";
  if (strcmp(functionName, KESTROVAN_FUNCTION_GET_VERSION) == 0)
    return (char*)"1.0.0.1";
  snprintf(answer, sizeof(answer), "ok:%s", functionName);
  return answer;
}
