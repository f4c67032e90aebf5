// SPDX-License-Identifier: Apache-2.0
/* bench_adapter.c -- the adapter the request-path benchmark installs: it
 * unlocks for every origin, reports version 1.0.0.5, answers its release with
 * nothing and every page function with "ok". The cheapest adapter there can
 * be, so that a call measures the service's own path. "Block" (isolation.sh)
 * creates the file "<until_file>.inside", then waits until the file that
 * "until_file" names exists: a page's call held inside its adapter. */
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

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

static const char* mapValue(const KestrovanJsonMap* map, const char* key) {
  for (int i = 0; map != NULL && i < map->count && i < KESTROVAN_MAP_CAPACITY; i++) {
    if (map->units[i].key != NULL && strcasecmp(map->units[i].key, key) == 0) return map->units[i].value;
  }
  return NULL;
}

static void block(const char* untilFile) {
  char inside[4096];
  snprintf(inside, sizeof(inside), "%s.inside", untilFile);
  FILE* mark = fopen(inside, "w");
  if (mark != NULL) fclose(mark);
  while (access(untilFile, F_OK) != 0) {
    struct timespec wait = {0, 10 * 1000000L};
    nanosleep(&wait, NULL);
  }
}

KESTROVAN_ADAPTER_EXPORT char* callJsonMapMethod(KestrovanJsonMap* map, const char* functionName) {
  if (functionName != NULL && strcmp(functionName, "Block") == 0 && mapValue(map, "until_file") != NULL)
    block(mapValue(map, "until_file"));
  return answerFor(functionName);
}
