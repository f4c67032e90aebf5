// SPDX-License-Identifier: Apache-2.0
// display.cpp -- the map on the console: one line per entry, secrets and
// entries the page asked to hide masked, long keys and values cut.
#include "params/params.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "sdk/sdk.h"
#include "support/support.h"

// The hide flag of a displayed entry, decoded like any typed read but without
// showing the map again before a sealed flag is opened.
static bool readHideFlag(KestrovanJsonMap* map, const char* hideKey) {
  char* found = KestrovanJson_search(map, hideKey);
  if (found == nullptr) {
    return false;
  }
  char* decoded = KestrovanJson_decodeAs(map, found, KestrovanJson_flagOf(map, hideKey));
  freeSecret(found);
  if (decoded == nullptr) {
    return false;
  }
  bool on = strcasecmp(decoded, "true") == 0;
  freeSecret(decoded);
  return on;
}

// Whether text holds word (lower case letters) ignoring ASCII case: what
// strcasestr answers, without its set-up for long texts.
static bool containsIgnoringCase(const char* text, const char* word) {
  for (; *text != '\0'; text++) {
    size_t i = 0;
    while (word[i] != '\0' && (text[i] | 0x20) == word[i]) {
      i++;
    }
    if (word[i] == '\0') {
      return true;
    }
  }
  return false;
}

// One display line per entry. Keys and
// values are shown cut to the trace's bound with their full length: a
// 64 MiB field costs one short line, not 64 MiB of trace and log.
static void showUnit(KestrovanJsonMap* map, const KestrovanJsonUnit& unit) {
  KestrovanTraceText keyText;
  const char* key = traceText(unit.key, keyText);
  size_t keyLength = strlen(key);
  char label[sizeof(KestrovanTraceText) + 2];
  memcpy(label, key, keyLength);
  memcpy(label + keyLength, ": ", 3);

  if (unit.value == nullptr) {
    printfColorLine(label, unit.data != nullptr ? "[binary_value]" : "[empty]");
    return;
  }
  // The masking tests look at the whole key, not at its shown part.
  bool masked = false;
  if (strcasecmp(unit.key, KESTROVAN_SHARE_SECRET_KEY) == 0) {
    // Key material never goes to the trace or the log file.
    masked = true;
  } else if (containsIgnoringCase(unit.key, "kestrovan")) {
    masked = false;
  } else if (containsIgnoringCase(unit.key, "pin") || containsIgnoringCase(unit.key, "pw") ||
             containsIgnoringCase(unit.key, "pass")) {
    masked = true;
  } else if (KestrovanJson_findJoined(map, unit.key, "_KestrovanHide") != nullptr) {
    // Nearly no entry has a hide flag: its key is put together only then.
    char hideKey[KESTROVAN_FLAG_KEY_SIZE];
    snprintf(hideKey, sizeof(hideKey), "%s_KestrovanHide", unit.key);
    masked = readHideFlag(map, hideKey);
  }

  KestrovanTraceText valueText;
  printfColorLine(label, masked ? traceMask(strlen(unit.value), valueText) : traceText(unit.value, valueText));
}

void showKestrovanJsonMap(KestrovanJsonMap* map) {
  printfColorLine("= DISPLAY PARAMETER", " ===== start =====");
  if (map != nullptr) {
    int count = map->count > KESTROVAN_MAP_CAPACITY ? KESTROVAN_MAP_CAPACITY : map->count;
    for (int i = 0; i < count; i++) {
      if (map->units[i].key == nullptr) {
        continue;
      }
      showUnit(map, map->units[i]);
    }
  }
  printfColorLine("= DISPLAY PARAMETER", " ===== end =====");
}
