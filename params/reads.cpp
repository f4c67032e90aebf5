// SPDX-License-Identifier: Apache-2.0
// reads.cpp -- the service's typed reads of a parameter: found by the
// binary search, its decoding flag undone (fixParameter) and converted.
#include "params/params.h"

#include <cstdint>
#include <cstdlib>
#include <strings.h>

#include "sdk/sdk.h"
#include "support/support.h"

#define MODULE "Json"

char* fixParameter(KestrovanJsonMap* map, const char* key, const char* value) {
  if (map == nullptr) {
    showNullParameter("inputKestrovanJson", MODULE, __LINE__);
    return newMem(value);
  }
  if (key == nullptr) {
    showNullParameter("inputKey", MODULE, __LINE__);
    return newMem(value);
  }
  if (value == nullptr) {
    showNullParameter("inputValue", MODULE, __LINE__);
    return nullptr;
  }
  int flag = KestrovanJson_flagOf(map, key);
  // The console shows the whole map (masked) before a sealed value is opened.
  if (flag == KESTROVAN_FLAG_ENCRYPT) {
    showKestrovanJsonMap(map);
  }
  return KestrovanJson_decodeAs(map, value, flag);
}

// The found value of key with its decoding flag undone, or null when absent
// (or, with *memoryFail set, when memory ran out). A text value is decoded
// from where it lies: one copy, not two.
static char* readDecoded(KestrovanJsonMap* map, const char* key, bool* memoryFail = nullptr) {
  char* decoded = nullptr;
  const KestrovanJsonUnit* unit = KestrovanJson_find(map, key);
  if (unit != nullptr && unit->value != nullptr) {
    decoded = fixParameter(map, key, unit->value);
  } else {
    // Bytes are read as text up to their first zero byte; a miss is reported.
    char* found = KestrovanJson_search(map, key);
    if (found == nullptr) {
      return nullptr;
    }
    decoded = fixParameter(map, key, found);
    freeSecret(found);
  }
  if (decoded == nullptr && memoryFail != nullptr) {
    *memoryFail = true;
  }
  return decoded;
}

static bool checkReadArguments(const KestrovanJsonMap* map, const char* key) {
  if (map == nullptr) {
    showNullParameter("inputKestrovanJson", MODULE, __LINE__);
    return false;
  }
  if (key == nullptr) {
    showNullParameter("inputKey", MODULE, __LINE__);
    return false;
  }
  return true;
}

char* getKestrovanJsonCharType(KestrovanJsonMap* map, const char* key) {
  if (!checkReadArguments(map, key)) {
    return nullptr;
  }
  bool memoryFail = false;
  char* decoded = readDecoded(map, key, &memoryFail);
  if (memoryFail) {
    showMemoryFail(MODULE, __LINE__);
  }
  return decoded;
}

// "true" 1, "false" 0 (ignoring case); otherwise the leading decimal number
// as atol reads it (white space and a sign accepted, no digits give 0), with
// values beyond 64 bits clamped rather than undefined.
static int64_t textToLong(const char* text) {
  if (strcasecmp(text, "true") == 0) {
    return 1;
  }
  if (strcasecmp(text, "false") == 0) {
    return 0;
  }
  return (int64_t)strtoll(text, nullptr, 10);
}

int64_t getKestrovanJsonLongType(KestrovanJsonMap* map, const char* key) {
  if (!checkReadArguments(map, key)) {
    return 0;
  }
  char* decoded = readDecoded(map, key);
  if (decoded == nullptr) {
    return 0;
  }
  int64_t number = textToLong(decoded);
  freeSecret(decoded);
  return number;
}

int32_t getKestrovanJsonIntType(KestrovanJsonMap* map, const char* key) {
  int64_t number = getKestrovanJsonLongType(map, key);
  // Out-of-range numbers are clamped, so a huge page value reads as a huge
  // number rather than as whatever its low 32 bits happen to be.
  if (number > INT32_MAX) {
    return INT32_MAX;
  }
  if (number < INT32_MIN) {
    return INT32_MIN;
  }
  return (int32_t)number;
}

bool getKestrovanJsonBoolType(KestrovanJsonMap* map, const char* key) {
  if (!checkReadArguments(map, key)) {
    return false;
  }
  char* decoded = readDecoded(map, key);
  if (decoded == nullptr) {
    return false;
  }
  bool state = strcasecmp(decoded, "true") == 0;
  freeSecret(decoded);
  return state;
}
