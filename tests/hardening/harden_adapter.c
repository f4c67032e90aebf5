// SPDX-License-Identifier: Apache-2.0
/* harden_adapter.c -- adapters the hardening tests plant or load, built from
 * include/kestrovan/adapter.h alone, one variant per compile definition:
 *
 *   HARDEN_MARKER   a library that must never be loaded: its constructor
 *                   appends its own file name to $KESTROVAN_MARKER_FILE.
 *   HARDEN_BROKEN   refers to a data symbol nothing defines, so loading it
 *                   fails inside the dynamic loader, before any of its code runs.
 *   HARDEN_GARBAGE  unlocks and answers a version, then answers page
 *                   functions with bytes no page expects (see garbage()).
 *   HARDEN_HOARD    "Hoard" takes every free descriptor number below the
 *                   value of "below" (opening /dev/null) and keeps them
 *                   until the adapter is released, so that the service's
 *                   next connections get descriptors from there up.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kestrovan/adapter.h"

#ifdef HARDEN_MARKER
static const char* ownFile(void) {
  Dl_info info;
  if (dladdr((void*)&ownFile, &info) == 0 || info.dli_fname == NULL) return "?";
  return info.dli_fname;
}

__attribute__((constructor)) static void markLoaded(void) {
  const char* path = getenv("KESTROVAN_MARKER_FILE");
  if (path == NULL || *path == '\0') return;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  const char* name = ownFile();
  ssize_t written = write(fd, name, strlen(name));
  written = write(fd, "\n", 1);
  (void)written;
  close(fd);
}

KESTROVAN_ADAPTER_EXPORT char* callJsonMapMethod(KestrovanJsonMap* map, const char* functionName) {
  (void)map;
  static char zero[] = "0";
  static char version[] = "1.0.0.5";
  if (functionName != NULL && strcmp(functionName, KESTROVAN_FUNCTION_GET_VERSION) == 0) return version;
  return zero;
}
#endif

#ifdef HARDEN_BROKEN
extern int kestrovanHardenNowhere;
KESTROVAN_ADAPTER_EXPORT int* kestrovanHardenBrokenRef = &kestrovanHardenNowhere;

KESTROVAN_ADAPTER_EXPORT char* callJsonMapMethod(KestrovanJsonMap* map, const char* functionName) {
  (void)map;
  (void)functionName;
  static char zero[] = "0";
  return zero;
}
#endif

#if defined(HARDEN_GARBAGE) || defined(HARDEN_HOARD)
static const char* mapValue(const KestrovanJsonMap* map, const char* key) {
  for (int i = 0; i < map->count && i < KESTROVAN_MAP_CAPACITY; i++) {
    if (map->units[i].key != NULL && strcmp(map->units[i].key, key) == 0) return map->units[i].value;
  }
  return NULL;
}
#endif

#ifdef HARDEN_GARBAGE
static char answer[16384];

/* The "kind" key picks the garbage: "Long" is 16383 bytes of quotes and
 * backslashes; "Json" a text that tries to close the answer's value and add
 * keys of its own; anything else every byte value 1..255 twice (invalid
 * UTF-8, control characters, quotes, backslashes). */
static char* garbage(const char* kind) {
  if (kind != NULL && strcmp(kind, "Long") == 0) {
    for (size_t i = 0; i + 1 < sizeof(answer); i++) answer[i] = (i % 2) ? '\\' : '"';
    answer[sizeof(answer) - 1] = '\0';
  } else if (kind != NULL && strcmp(kind, "Json") == 0) {
    strcpy(answer, "\", \"result\": \"MA==\", \"SessionID\": \"QUFBQUFBQUFfU0lE\"}");
  } else {
    size_t n = 0;
    for (int round = 0; round < 2; round++)
      for (int c = 1; c < 256; c++) answer[n++] = (char)c;
    answer[n] = '\0';
  }
  return answer;
}

static void releaseAdapter(void) {}

static char* pageFunction(KestrovanJsonMap* map, const char* functionName) {
  (void)functionName;
  return garbage(map != NULL ? mapValue(map, "kind") : NULL);
}
#endif

#ifdef HARDEN_HOARD
static int hoard[65536];
static int hoarded;

/* Opens /dev/null until the lowest free number is at least below; answers
 * "hoarded:" and the count held, or "failed:" and the count when it ran out
 * of descriptors (or room to keep them) before that. */
static char* takeHoard(const char* below) {
  static char text[64];
  long limit = below != NULL ? atol(below) : 0;
  const char* outcome = "hoarded:";
  for (;;) {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || hoarded >= (int)(sizeof(hoard) / sizeof(hoard[0]))) {
      if (fd >= 0) close(fd);
      outcome = "failed:";
      break;
    }
    if (fd >= limit) {
      close(fd);
      break;
    }
    hoard[hoarded++] = fd;
  }
  snprintf(text, sizeof(text), "%s%d", outcome, hoarded);
  return text;
}

static void releaseAdapter(void) {
  while (hoarded > 0) close(hoard[--hoarded]);
}

static char* pageFunction(KestrovanJsonMap* map, const char* functionName) {
  static char zero[] = "0";
  if (strcmp(functionName, "Hoard") == 0) return takeHoard(map != NULL ? mapValue(map, "below") : NULL);
  return zero;
}
#endif

#if defined(HARDEN_GARBAGE) || defined(HARDEN_HOARD)
/* Unlocks for every origin and answers a version; the rest is the variant's. */
KESTROVAN_ADAPTER_EXPORT char* callJsonMapMethod(KestrovanJsonMap* map, const char* functionName) {
  static char zero[] = "0";
  static char version[] = "1.0.0.5";
  static char empty[] = "";
  if (functionName == NULL) return zero;
  if (strcmp(functionName, KESTROVAN_FUNCTION_UNLOCK) == 0) return zero;
  if (strcmp(functionName, KESTROVAN_FUNCTION_GET_VERSION) == 0) return version;
  if (strcmp(functionName, KESTROVAN_FUNCTION_RELEASE) == 0) {
    releaseAdapter();
    return empty;
  }
  return pageFunction(map, functionName);
}
#endif
