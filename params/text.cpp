// SPDX-License-Identifier: Apache-2.0
// text.cpp -- the map's two JSON text forms: the service's own (values as
// stored or in Base64, nothing escaped) and the escaped one an adapter that
// exports only "callMethod" receives.
#include "params/params.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/support.h"

#define MODULE "Json"

char* getKestrovanMapString(const KestrovanJsonMap* map, bool encode) {
  if (map == nullptr) {
    showNullParameter("inputKestrovanJson", MODULE, __LINE__);
    return nullptr;
  }
  int count = map->count;
  if (count < 0) {
    count = 0;
  }
  if (count > KESTROVAN_MAP_CAPACITY) {
    count = KESTROVAN_MAP_CAPACITY;
  }

  // Sizes first, then the text written once into the block that is
  // answered from (values encoded in place, no copy of each).
  uint64_t total = 2 + 1;  // braces and terminator
  int written = 0;
  for (int i = 0; i < count; i++) {
    const KestrovanJsonUnit& unit = map->units[i];
    if (unit.value == nullptr || unit.key == nullptr) {
      continue;
    }
    size_t valueLength = strlen(unit.value);
    total += strlen(unit.key) + (encode ? Base64EncodedLength(valueLength) : valueLength) + 6;  // "k": "v"
    if (written > 0) {
      total += 2;  // ", "
    }
    written++;
  }

  char* result = total <= (uint64_t)INT32_MAX ? (char*)malloc((size_t)total) : nullptr;
  if (result == nullptr) {
    showMemoryFail(MODULE, __LINE__);
    return nullptr;
  }
  char* cursor = result;
  *cursor++ = '{';
  bool first = true;
  for (int i = 0; i < count; i++) {
    const KestrovanJsonUnit& unit = map->units[i];
    if (unit.value == nullptr || unit.key == nullptr) {
      continue;
    }
    if (!first) {
      memcpy(cursor, ", ", 2);
      cursor += 2;
    }
    first = false;
    size_t keyLength = strlen(unit.key);
    size_t valueLength = strlen(unit.value);
    *cursor++ = '"';
    memcpy(cursor, unit.key, keyLength);
    cursor += keyLength;
    memcpy(cursor, "\": \"", 4);
    cursor += 4;
    if (encode) {
      cursor += Base64EncodeInto(cursor, unit.value, valueLength);
    } else {
      memcpy(cursor, unit.value, valueLength);
      cursor += valueLength;
    }
    *cursor++ = '"';
  }
  *cursor++ = '}';
  *cursor = '\0';
  return result;
}

// Bytes a text takes inside a JSON string.
static size_t escapedLength(const char* text) {
  size_t length = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; p++) {
    if (*p == '"' || *p == '\\' || *p == '\n' || *p == '\r' || *p == '\t' || *p == '\b' || *p == '\f') {
      length += 2;
    } else if (*p < 0x20) {
      length += 6;
    } else {
      length += 1;
    }
  }
  return length;
}

static char* writeEscaped(char* out, const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; p++) {
    switch (*p) {
      case '"': *out++ = '\\'; *out++ = '"'; break;
      case '\\': *out++ = '\\'; *out++ = '\\'; break;
      case '\n': *out++ = '\\'; *out++ = 'n'; break;
      case '\r': *out++ = '\\'; *out++ = 'r'; break;
      case '\t': *out++ = '\\'; *out++ = 't'; break;
      case '\b': *out++ = '\\'; *out++ = 'b'; break;
      case '\f': *out++ = '\\'; *out++ = 'f'; break;
      default:
        if (*p < 0x20) {
          snprintf(out, 7, "\\u%04x", *p);
          out += 6;
        } else {
          *out++ = static_cast<char>(*p);
        }
    }
  }
  return out;
}

char* KestrovanSession_mapToJsonText(const KestrovanJsonMap* map) {
  if (map == nullptr) return nullptr;
  int count = map->count < 0 ? 0 : (map->count > KESTROVAN_MAP_CAPACITY ? KESTROVAN_MAP_CAPACITY : map->count);
  size_t size = 3;  // braces and terminator
  for (int i = 0; i < count; i++) {
    const KestrovanJsonUnit& unit = map->units[i];
    if (unit.key == nullptr || unit.value == nullptr) continue;
    size += escapedLength(unit.key) + escapedLength(unit.value) + 6;  // "":"" and a comma
  }
  char* text = static_cast<char*>(malloc(size));
  if (text == nullptr) return nullptr;
  char* out = text;
  *out++ = '{';
  bool first = true;
  for (int i = 0; i < count; i++) {
    const KestrovanJsonUnit& unit = map->units[i];
    if (unit.key == nullptr || unit.value == nullptr) continue;
    if (!first) *out++ = ',';
    first = false;
    *out++ = '"';
    out = writeEscaped(out, unit.key);
    *out++ = '"';
    *out++ = ':';
    *out++ = '"';
    out = writeEscaped(out, unit.value);
    *out++ = '"';
  }
  *out++ = '}';
  *out = '\0';
  return text;
}
