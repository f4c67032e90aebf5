// SPDX-License-Identifier: Apache-2.0
/* test_adapter.c -- the adapters the session tests load with dlopen. Built
 * from the adapter SDK alone (include/kestrovan/adapter.h and
 * adapter_params.h), once per variant (see CMakeLists.txt), so each variant
 * is a real shared library.
 *
 * Every call is recorded, when KESTROVAN_TEST_ADAPTER_LOG names a file, as
 * two lines appended with one write(2) each:
 *   <library file name> TAB enter TAB <function> TAB <detail> LF
 *   <library file name> TAB leave TAB <function> LF
 * The detail is the unlock's "url", or the whole JSON text for callMethod.
 * A call that starts while another call of the same loaded copy is still
 * running records "overlap" instead of "enter"; calls of different copies
 * are caught by the test, which checks that enter and leave alternate.
 *
 * Variant switches (compile definitions):
 *   TEST_UNLOCK_ANSWER  text answered to Kestrovan_Unlock (default "0")
 *   TEST_VERSION        text answered to Kestrovan_GetVersion (default "1.0.0.5";
 *                       the environment variable KESTROVAN_TEST_VERSION overrides it)
 *   TEST_NULL_UNLOCK    Kestrovan_Unlock answers NULL
 *   TEST_NULL_VERSION   Kestrovan_GetVersion answers NULL
 *   TEST_NO_MAP_ENTRY   do not export callJsonMapMethod
 *   TEST_NO_TEXT_ENTRY  do not export callMethod
 *   TEST_RETURN_ARGUMENT callMethod answers with its own jsonText argument
 *                       (what an adapter that echoes its input does)
 *
 * Page functions: "ReturnNull" answers NULL, "Multiline" two lines,
 * "EchoText" the value of the key "text", any other name "ok:<name>". A key
 * "delay_ms" makes any page function sleep that long first (at most 60 s).
 * "Block" (map entry only) then waits until the file that "until_file" names
 * exists, for at most "block_ms" milliseconds when that key is given (for
 * ever otherwise), and answers "ok:Block", or "timeout:Block" when the time
 * ran out; "Touch" creates the file that "path" names and answers
 * "ok:Touch". Tests use the pair to hold a call inside an adapter and to let
 * it go, or to prove that a second call ran while the first was inside.
 * "ReadParam" (map entry only) reads the parameter that "name" names through
 * kestrovan/adapter_params.h and answers "<result> <encoding> <hex of value>",
 * so tests see exactly which bytes reached the adapter.
 *
 * "WaitAbandoned" (map entry only) stands for a dialog: it waits until the
 * host says its call was abandoned (include/kestrovan/host.h, found with
 * dlsym) and answers how long that took (see waitAbandoned).
 *
 * Kestrovan_Release sleeps for KESTROVAN_TEST_RELEASE_DELAY_MS milliseconds
 * when that variable is set, so a test can act while shutdown is releasing.
 * Kestrovan_Unlock answers "71016" (the origin is refused) when the page
 * origin equals KESTROVAN_TEST_REFUSE_ORIGIN.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include "kestrovan/adapter.h"
#include "kestrovan/adapter_params.h"
#include "kestrovan/host.h"

#ifndef TEST_UNLOCK_ANSWER
#define TEST_UNLOCK_ANSWER "0"
#endif
#ifndef TEST_VERSION
#define TEST_VERSION "1.0.0.5"
#endif

/* The variant without entry points leaves the shared helpers unused. */
#define MAYBE_UNUSED __attribute__((unused))

/* Answers stay valid until the next call, as the interface asks. */
static char answer[8192];
static int inFlight;

static const char* libraryName(void) {
  Dl_info info;
  if (dladdr((void*)&libraryName, &info) == 0 || info.dli_fname == NULL) return "?";
  const char* slash = strrchr(info.dli_fname, '/');
  return slash ? slash + 1 : info.dli_fname;
}

static void record(const char* phase, const char* function, const char* detail) {
  const char* path = getenv("KESTROVAN_TEST_ADAPTER_LOG");
  if (path == NULL || *path == '\0') return;
  size_t need = strlen(libraryName()) + strlen(phase) + strlen(function) + (detail ? strlen(detail) : 0) + 8;
  char* line = (char*)malloc(need);
  if (line == NULL) return;
  int n = detail ? snprintf(line, need, "%s\t%s\t%s\t%s\n", libraryName(), phase, function, detail)
                 : snprintf(line, need, "%s\t%s\t%s\n", libraryName(), phase, function);
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ssize_t written = write(fd, line, (size_t)n);
    (void)written;
    close(fd);
  }
  free(line);
}

#ifndef TEST_NO_MAP_ENTRY
static const char* mapValue(const KestrovanJsonMap* map, const char* key) {
  for (int i = 0; i < map->count && i < KESTROVAN_MAP_CAPACITY; i++) {
    if (map->units[i].key != NULL && strcasecmp(map->units[i].key, key) == 0) return map->units[i].value;
  }
  return NULL;
}
#endif

#ifndef TEST_NO_TEXT_ENTRY
/* The text value of "key" in a flat JSON object; writes at most size-1 bytes. */
static int jsonValue(const char* json, const char* key, char* out, size_t size) {
  size_t keyLength = strlen(key);
  for (const char* p = json; p != NULL && *p != '\0'; p++) {
    if (*p != '"' || strncasecmp(p + 1, key, keyLength) != 0 || p[1 + keyLength] != '"') continue;
    const char* q = p + 2 + keyLength;
    while (*q == ' ') q++;
    if (*q != ':') continue;
    q++;
    while (*q == ' ') q++;
    if (*q != '"') continue;
    q++;
    size_t n = 0;
    while (*q != '\0' && *q != '"' && n + 1 < size) {
      if (*q == '\\' && q[1] != '\0') q++;
      out[n++] = *q++;
    }
    out[n] = '\0';
    return 1;
  }
  return 0;
}
#endif

static void sleepMilliseconds(const char* text) {
  if (text == NULL) return;
  long ms = strtol(text, NULL, 10);
  if (ms <= 0) return;
  if (ms > 60000) ms = 60000;
  struct timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

static const char* versionAnswer(void) {
#ifdef TEST_NULL_VERSION
  return NULL;
#else
  const char* forced = getenv("KESTROVAN_TEST_VERSION");
  return forced != NULL ? forced : TEST_VERSION;
#endif
}

static const char* unlockAnswer(const char* url) {
#ifdef TEST_NULL_UNLOCK
  (void)url;
  return NULL;
#else
  const char* refused = getenv("KESTROVAN_TEST_REFUSE_ORIGIN");
  if (refused != NULL && *refused != '\0' && url != NULL && strcmp(url, refused) == 0) return "71016";
  return TEST_UNLOCK_ANSWER;
#endif
}

/* One answer for both entry points; text is the value of key "text", url
 * the unlock's origin. */
MAYBE_UNUSED static char* answerFor(const char* function, const char* text, const char* delay, const char* url) {
  const char* result;
  if (strcmp(function, KESTROVAN_FUNCTION_UNLOCK) == 0) {
    result = unlockAnswer(url);
  } else if (strcmp(function, KESTROVAN_FUNCTION_GET_VERSION) == 0) {
    result = versionAnswer();
  } else if (strcmp(function, KESTROVAN_FUNCTION_RELEASE) == 0) {
    sleepMilliseconds(getenv("KESTROVAN_TEST_RELEASE_DELAY_MS"));
    result = "";
  } else {
    sleepMilliseconds(delay);
    if (strcmp(function, "ReturnNull") == 0) return NULL;
    if (strcmp(function, "Multiline") == 0) {
      result = "first\nsecond";
    } else if (strcmp(function, "EchoText") == 0) {
      result = text ? text : "";
    } else {
      snprintf(answer, sizeof(answer), "ok:%s", function);
      return answer;
    }
  }
  if (result == NULL) return NULL;
  snprintf(answer, sizeof(answer), "%s", result);
  return answer;
}

MAYBE_UNUSED static int enter(const char* function, const char* detail) {
  int overlapping = __atomic_add_fetch(&inFlight, 1, __ATOMIC_SEQ_CST) > 1;
  record(overlapping ? "overlap" : "enter", function, detail);
  return overlapping;
}

MAYBE_UNUSED static void leave(const char* function) {
  record("leave", function, NULL);
  __atomic_sub_fetch(&inFlight, 1, __ATOMIC_SEQ_CST);
}

#ifndef TEST_NO_MAP_ENTRY
/* Waits for the file untilFile, at most blockMs milliseconds when given. */
static char* block(const char* untilFile, const char* blockMs) {
  long limit = blockMs != NULL ? strtol(blockMs, NULL, 10) : -1;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (untilFile != NULL && access(untilFile, F_OK) == 0) {
      snprintf(answer, sizeof(answer), "ok:Block");
      return answer;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsed = (long)(now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (limit >= 0 && elapsed >= limit) {
      snprintf(answer, sizeof(answer), "timeout:Block");
      return answer;
    }
    struct timespec wait = {0, 5 * 1000000L};
    nanosleep(&wait, NULL);
  }
}

static char* touch(const char* path) {
  int fd = path != NULL ? open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600) : -1;
  if (fd >= 0) close(fd);
  snprintf(answer, sizeof(answer), fd >= 0 ? "ok:Touch" : "fail:Touch");
  return answer;
}

static char* readParam(const KestrovanJsonMap* map) {
  const char* name = mapValue(map, "name");
  unsigned char* value = NULL;
  size_t length = 0;
  int encoding = -1;
  int result = KestrovanParam_Read(map, name ? name : "", &value, &length, &encoding);
  int n = snprintf(answer, sizeof(answer), "%d %d ", result, encoding);
  for (size_t i = 0; i < length && n + 3 < (int)sizeof(answer); i++) n += snprintf(answer + n, 3, "%02x", value[i]);
  KestrovanParam_Free(value, length);
  return answer;
}

/* A dialog that waits for nobody: asks the host, through the hooks it finds
 * with dlsym, whether its call was abandoned, every 20 ms, and answers
 * "abandoned:<ms>" once it was (ms since the call began), "limit:<ms>" after
 * "limit_ms" (60 s by default), "nohooks" in a host without them and
 * "notoken" when the host names no call on this thread. */
static long elapsedMs(const struct timespec* start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long)(now.tv_sec - start->tv_sec) * 1000 + (now.tv_nsec - start->tv_nsec) / 1000000;
}

MAYBE_UNUSED static char* waitAbandoned(const KestrovanJsonMap* map) {
  KestrovanHostCallTokenFunction tokenOf =
      (KestrovanHostCallTokenFunction)dlsym(RTLD_DEFAULT, KESTROVAN_HOST_CALL_TOKEN);
  KestrovanHostCallAbandonedFunction abandoned =
      (KestrovanHostCallAbandonedFunction)dlsym(RTLD_DEFAULT, KESTROVAN_HOST_CALL_ABANDONED);
  if (tokenOf == NULL || abandoned == NULL) {
    snprintf(answer, sizeof(answer), "nohooks");
    return answer;
  }
  uint64_t token = tokenOf();
  if (token == 0) {
    snprintf(answer, sizeof(answer), "notoken");
    return answer;
  }
  const char* limitText = mapValue(map, "limit_ms");
  long limit = limitText != NULL ? atol(limitText) : 60000;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (abandoned(token) == 1) {
      snprintf(answer, sizeof(answer), "abandoned:%ld", elapsedMs(&start));
      return answer;
    }
    if (elapsedMs(&start) >= limit) {
      snprintf(answer, sizeof(answer), "limit:%ld", elapsedMs(&start));
      return answer;
    }
    struct timespec pause = {0, 20 * 1000000L};
    nanosleep(&pause, NULL);
  }
}

KESTROVAN_ADAPTER_EXPORT char* callJsonMapMethod(KestrovanJsonMap* map, const char* functionName) {
  const char* function = functionName ? functionName : "";
  const char* url = map ? mapValue(map, KESTROVAN_UNLOCK_URL_KEY) : NULL;
  enter(function, strcmp(function, KESTROVAN_FUNCTION_UNLOCK) == 0 ? (url ? url : "") : "");
  char* result;
  if (map != NULL && strcmp(function, "ReadParam") == 0) {
    result = readParam(map);
  } else if (map != NULL && strcmp(function, "Block") == 0 &&
             (mapValue(map, "until_file") != NULL || mapValue(map, "block_ms") != NULL)) {
    sleepMilliseconds(mapValue(map, "delay_ms"));
    result = block(mapValue(map, "until_file"), mapValue(map, "block_ms"));
  } else if (map != NULL && strcmp(function, "Touch") == 0) {
    result = touch(mapValue(map, "path"));
  } else if (map != NULL && strcmp(function, "WaitAbandoned") == 0) {
    result = waitAbandoned(map);
  } else {
    result = answerFor(function, map ? mapValue(map, "text") : NULL, map ? mapValue(map, "delay_ms") : NULL, url);
  }
  leave(function);
  return result;
}
#endif

#ifndef TEST_NO_TEXT_ENTRY
KESTROVAN_ADAPTER_EXPORT char* callMethod(const char* jsonText) {
  const char* json = jsonText ? jsonText : "";
  static char function[256];
  static char text[1024];
  static char delay[32];
  static char url[1024];
  if (!jsonValue(json, "FunctionName", function, sizeof(function))) function[0] = '\0';
  int hasText = jsonValue(json, "text", text, sizeof(text));
  int hasDelay = jsonValue(json, "delay_ms", delay, sizeof(delay));
  int hasUrl = jsonValue(json, KESTROVAN_UNLOCK_URL_KEY, url, sizeof(url));
  enter(function, json);
  char* result = answerFor(function, hasText ? text : NULL, hasDelay ? delay : NULL, hasUrl ? url : NULL);
  leave(function);
#ifdef TEST_RETURN_ARGUMENT
  (void)result;
  return (char*)jsonText;
#else
  return result;
#endif
}
#endif

/* Something to export when neither entry point is, so the file is a valid
 * library that simply lacks them. */
KESTROVAN_ADAPTER_EXPORT int kestrovanTestAdapterPresent(void) { return 1; }
