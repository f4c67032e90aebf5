// SPDX-License-Identifier: Apache-2.0
/* adapter.h -- the public interface between the Kestrovan service and an
 * adapter library. An adapter author compiles against this header, and
 * against kestrovan/adapter_params.h to read flagged parameters decoded.
 *
 * An adapter is a shared library ("<ComName>.so" on Linux, ".dylib" on macOS)
 * that exports one or both entry points below. The service copies it into a
 * per-user folder, loads it, and for each session calls, in order:
 *   "Kestrovan_Unlock"     (KestrovanFunctionIndex "-2", key "url" = the page
 *                           origin): answer "0" to accept the origin; any other
 *                           text is handed to the page as its result;
 *   "Kestrovan_GetVersion" (index "-1"): answer a version text such as
 *                           "1.0.0.5"; a text whose leading number lies in
 *                           61000..61999 is an error code for the page;
 *   any number of page functions (the request's "FunctionName");
 *   "Kestrovan_Release"    (index "-3"): the answer is ignored; then unloaded.
 * Internal calls carry "functionname" and "AdapterJsonKeyCheck" = "true".
 *
 * Ownership: the text an entry point returns stays the adapter's. The service
 * reads it and copies what it keeps; it never frees it. Keep it valid until
 * the next call into the adapter (a per-library buffer is enough, since the
 * service calls one copy from one thread at a time). The map passed in is the
 * service's; read it, never free or keep it.
 */
#ifndef KESTROVAN_ADAPTER_H
#define KESTROVAN_ADAPTER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KESTROVAN_MAP_CAPACITY 128

/* One entry. Keys compare ignoring ASCII case. */
typedef struct KestrovanJsonUnit {
  char* key;             /* parameter name */
  char* value;           /* text value, or NULL */
  unsigned char* data;   /* byte value, or NULL */
  uint64_t dataLength;   /* bytes in data */
} KestrovanJsonUnit;

/* The parameter map: entries sorted by key (strcasecmp order). */
typedef struct KestrovanJsonMap {
  KestrovanJsonUnit units[KESTROVAN_MAP_CAPACITY];
  char* source;          /* JSON text the map was built from, or NULL */
  int32_t count;         /* entries in use, 0..128 */
} KestrovanJsonMap;

/* Entry points, looked up by these exact names. */
typedef char* (*KestrovanCallMethod)(const char* jsonText);
typedef char* (*KestrovanCallJsonMapMethod)(KestrovanJsonMap* map, const char* functionName);

/* Mark the entry points exported; the build function of
 * cmake/KestrovanAdapter.cmake hides every other symbol. */
#if defined(_WIN32)
#define KESTROVAN_ADAPTER_EXPORT __declspec(dllexport)
#else
#define KESTROVAN_ADAPTER_EXPORT __attribute__((visibility("default")))
#endif

/* An adapter exports one or both; the map form is used wherever it exists.
 * An adapter with callMethod alone receives, as JSON text: the unlock and
 * version maps written as objects of texts, e.g.
 * {"AdapterJsonKeyCheck":"true","functionname":"Kestrovan_Unlock",...,"url":"https://..."}
 * and for page functions the JSON text the page sent. It gets no
 * "Kestrovan_Release" call; it is simply unloaded. */
#define KESTROVAN_CALL_METHOD_SYMBOL "callMethod"
#define KESTROVAN_CALL_JSON_MAP_METHOD_SYMBOL "callJsonMapMethod"

#define KESTROVAN_FUNCTION_UNLOCK "Kestrovan_Unlock"
#define KESTROVAN_FUNCTION_GET_VERSION "Kestrovan_GetVersion"
#define KESTROVAN_FUNCTION_RELEASE "Kestrovan_Release"
#define KESTROVAN_FUNCTION_INDEX_KEY "KestrovanFunctionIndex"
#define KESTROVAN_FUNCTION_NAME_KEY "functionname"      /* internal calls */
#define KESTROVAN_KEY_CHECK_KEY "AdapterJsonKeyCheck"   /* "true" in internal calls */
#define KESTROVAN_UNLOCK_URL_KEY "url"                  /* the page origin, unlock only */
#define KESTROVAN_FUNCTION_INDEX_GET_VERSION "-1"
#define KESTROVAN_FUNCTION_INDEX_UNLOCK "-2"
#define KESTROVAN_FUNCTION_INDEX_RELEASE "-3"

/* The adapter's version answer is an error code when its leading number
 * lies in [KESTROVAN_ADAPTER_ERROR_FIRST, KESTROVAN_ADAPTER_ERROR_LAST). */
#define KESTROVAN_ADAPTER_ERROR_FIRST 61000
#define KESTROVAN_ADAPTER_ERROR_LAST 62000

#ifdef __cplusplus
}
#endif

/* The layout is part of the interface: 128 units of four 64-bit fields, then
 * the source pointer, then the signed 32-bit count. */
#ifdef __cplusplus
#define KESTROVAN_STATIC_ASSERT static_assert
#else
#define KESTROVAN_STATIC_ASSERT _Static_assert
#endif
KESTROVAN_STATIC_ASSERT(sizeof(void*) == 8, "the adapter interface is defined for 64-bit processes");
KESTROVAN_STATIC_ASSERT(sizeof(KestrovanJsonUnit) == 32, "KestrovanJsonUnit is four 64-bit fields");
KESTROVAN_STATIC_ASSERT(offsetof(KestrovanJsonUnit, key) == 0, "key first");
KESTROVAN_STATIC_ASSERT(offsetof(KestrovanJsonUnit, value) == 8, "value second");
KESTROVAN_STATIC_ASSERT(offsetof(KestrovanJsonUnit, data) == 16, "data third");
KESTROVAN_STATIC_ASSERT(offsetof(KestrovanJsonUnit, dataLength) == 24, "dataLength fourth");
KESTROVAN_STATIC_ASSERT(offsetof(KestrovanJsonMap, source) == 128 * 32, "source after the units");
KESTROVAN_STATIC_ASSERT(offsetof(KestrovanJsonMap, count) == 128 * 32 + 8, "count after source");
KESTROVAN_STATIC_ASSERT(sizeof(KestrovanJsonMap) == 128 * 32 + 16, "no trailing fields");

#endif
