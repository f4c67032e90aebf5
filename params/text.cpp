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

  // Encoded values are made once and kept until the text is assembled.
  char* encoded[KESTROVAN_MAP_CAPACITY] = {};
  bool failed = false;
  uint64_t total = 2 + 1;  // braces and terminator
  int written = 0;
  for (int i = 0; i < count && !failed; i++) {
    const KestrovanJsonUnit& unit = map->units[i];
    if (unit.value == nullptr || unit.key == nullptr) {
      continue;
    }
    const char* text = unit.value;
    if (encode) {
      encoded[i] = Base64Encode(unit.value);
      if (encoded[i] == nullptr) {
        failed = true;
        break;
      }
      text = encoded[i];
    }
    total += strlen(unit.key) + strlen(text) + 6;  // "k": "v"
    if (written > 0) {
      total += 2;  // ", "
    }
    written++;
  }

  char* result = failed ? nullptr : (char*)newMemSize(total);
  if (result != nullptr) {
    char* cursor = result;
    *cursor++ = '{';
    bool first = true;
    for (int i = 0; i < count; i++) {
      const KestrovanJsonUnit& unit = map->units[i];
      if (unit.value == nullptr || unit.key == nullptr) {
        continue;
      }
      const char* text = encode ? encoded[i] : unit.value;
      if (!first) {
        memcpy(cursor, ", ", 2);
        cursor += 2;
      }
      first = false;
      size_t keyLength = strlen(unit.key);
      size_t textLength = strlen(text);
      *cursor++ = '"';
      memcpy(cursor, unit.key, keyLength);
      cursor += keyLength;
      memcpy(cursor, "\": \"", 4);
      cursor += 4;
      memcpy(cursor, text, textLength);
      cursor += textLength;
      *cursor++ = '"';
    }
    *cursor++ = '}';
    *cursor = '\0';
  } else {
    showMemoryFail(MODULE, __LINE__);
  }
  for (int i = 0; i < count; i++) {
    freeSecret(encoded[i]);
  }
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
