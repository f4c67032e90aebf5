// map.cpp -- the parameter map: construction from JSON text with jsmn,
// adding with replace-in-place, sorting, binary search, release and the
// strict lookup check.
#include "params/params.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "support/support.h"

// jsmn is header-only; this is the one file that compiles its functions.
#define JSMN_STATIC
#include <jsmn.h>

#define MODULE "Json"

std::atomic<bool> CheckJson{false};
std::atomic<int32_t> ErrCode{0};

static void sortUnits(KestrovanJsonMap* map) {
  if (map->count > 1) {
    qsort(map->units, (size_t)map->count, sizeof(KestrovanJsonUnit), compareKestrovanJsonUnit);
  }
}

// Wipes a heap block of known size and frees it.
static void freeBytes(unsigned char* data, uint64_t length) {
  if (data == nullptr) {
    return;
  }
  secureWipe(data, (size_t)length);
  free(data);
}

// A copy of text[start, end), or null.
static char* copySpan(const char* text, int start, int end) {
  if (start < 0 || end < start) {
    return nullptr;
  }
  return getRangeValue(text, (uint64_t)start, (uint64_t)end);
}

// What went wrong and where, never the text: a page's JSON holds its PIN and
// "Kestrovan_share_secret", and the trace goes to the console and the log.
static void printParseError(const char* what, long long offset, size_t length) {
  char text[160];
  if (offset >= 0) {
    snprintf(text, sizeof(text), "%s at offset %lld of %zu bytes", what, offset, length);
  } else {
    snprintf(text, sizeof(text), "%s, %zu bytes", what, length);
  }
  printfColorErrorLine("jsmn parse error", "");
  printfColorErrorLine("Error json: ", text);
}

static const char* jsmnErrorName(int code) {
  switch (code) {
    case JSMN_ERROR_NOMEM:
      return "too many tokens (JSMN_ERROR_NOMEM)";
    case JSMN_ERROR_INVAL:
      return "invalid character (JSMN_ERROR_INVAL)";
    case JSMN_ERROR_PART:
      return "text ends inside a value (JSMN_ERROR_PART)";
    default:
      return "parse error";
  }
}

KestrovanJsonMap* getKestrovanJsonMap(const char* inputJsonStr) {
  if (inputJsonStr == nullptr) {
    showNullParameter("inputJsonStr", MODULE, __LINE__);
    return nullptr;
  }
  size_t length = strlen(inputJsonStr);
  // Token positions are ints; nothing a page may send comes close.
  if (length > (size_t)INT_MAX) {
    printParseError("text too long", -1, length);
    return nullptr;
  }

  jsmn_parser parser;
  jsmntok_t tokens[KESTROVAN_JSON_MAX_TOKENS];
  jsmn_init(&parser);
  int n = jsmn_parse(&parser, inputJsonStr, length, tokens, KESTROVAN_JSON_MAX_TOKENS);
  if (n < 0) {
    printParseError(jsmnErrorName(n), (long long)parser.pos, length);
    return nullptr;
  }
  if (n < 2 || n > KESTROVAN_JSON_MAX_TOKENS) {
    char what[64];
    snprintf(what, sizeof(what), "%d token%s, at least 2 needed", n, n == 1 ? "" : "s");
    printParseError(what, -1, length);
    return nullptr;
  }
  for (int i = 0; i < n; i++) {
    if (tokens[i].start < 0 || tokens[i].end < tokens[i].start || tokens[i].end > (int)length) {
      printParseError("token outside the text", (long long)tokens[i].start, length);
      return nullptr;
    }
  }

  // The items to pair are the object's own members: every token after the
  // first that does not lie inside an earlier item (a nested object or array
  // is one item, its own tokens are skipped). For a flat text these are all
  // tokens after the first, so pairing them from the end gives the same
  // pairs as pairing the tokens themselves; a nested value never shifts the
  // pairs before it.
  int items[KESTROVAN_JSON_MAX_TOKENS];
  int itemCount = 0;
  for (int j = 1; j < n;) {
    items[itemCount++] = j;
    int next = j + 1;
    while (next < n && tokens[next].start < tokens[j].end) {
      next++;
    }
    j = next;
  }

  KestrovanJsonMap* map = (KestrovanJsonMap*)newMemSize(sizeof(KestrovanJsonMap));
  if (map == nullptr) {
    showMemoryFail(MODULE, __LINE__);
    return nullptr;
  }

  for (int i = itemCount - 2; i >= 0 && map->count < KESTROVAN_MAP_CAPACITY; i -= 2) {
    const jsmntok_t& keyToken = tokens[items[i]];
    const jsmntok_t& valueToken = tokens[items[i + 1]];
    char* key = copySpan(inputJsonStr, keyToken.start, keyToken.end);
    if (key == nullptr) {
      // The pairs read so far are kept, unsorted and without source.
      showMemoryFail(MODULE, __LINE__);
      return map;
    }
    char* value = nullptr;
    char* span = copySpan(inputJsonStr, valueToken.start, valueToken.end);
    if (span != nullptr) {
      value = Base64DecodeFix(span);
      freeSecret(span);
    }
    if (value == nullptr) {
      value = newMem("");
    }
    KestrovanJsonUnit& unit = map->units[map->count];
    unit.key = key;
    unit.value = value;
    map->count++;
  }

  sortUnits(map);
  map->source = newMem(inputJsonStr);
  return map;
}

// Index of the entry whose key equals key ignoring case, or -1.
static int findUnit(const KestrovanJsonMap* map, const char* key) {
  for (int i = 0; i < map->count && i < KESTROVAN_MAP_CAPACITY; i++) {
    if (map->units[i].key != nullptr && strcasecmp(map->units[i].key, key) == 0) {
      return i;
    }
  }
  return -1;
}

int64_t addKestrovanJsonMapUnit(KestrovanJsonMap* map, const char* key, const char* value) {
  if (map == nullptr) {
    showNullParameter("inputKestrovanJson", MODULE, __LINE__);
    return 0;
  }
  if (key == nullptr) {
    showNullParameter("Key", MODULE, __LINE__);
    return 0;
  }
  int found = findUnit(map, key);
  if (found >= 0) {
    KestrovanJsonUnit& unit = map->units[found];
    freeSecret(unit.value);
    unit.value = newMem(value);
    if (value != nullptr && unit.value == nullptr) {
      showMemoryFail(MODULE, __LINE__);
    }
    return 0;
  }
  if (map->count < 0 || map->count >= KESTROVAN_MAP_CAPACITY) {
    return 0;
  }
  char* keyCopy = newMem(key);
  char* valueCopy = newMem(value);
  if (keyCopy == nullptr || (value != nullptr && valueCopy == nullptr)) {
    showMemoryFail(MODULE, __LINE__);
    free(keyCopy);
    free(valueCopy);
    return 0;
  }
  KestrovanJsonUnit& unit = map->units[map->count];
  unit.key = keyCopy;
  unit.value = valueCopy;
  map->count++;
  sortUnits(map);
  return 0;
}

int64_t addKestrovanJsonMapUnit(KestrovanJsonMap* map, const char* key, int32_t value) {
  char text[16];
  snprintf(text, sizeof(text), "%d", value);
  return addKestrovanJsonMapUnit(map, key, text);
}

int64_t addKestrovanJsonMapUnit(KestrovanJsonMap* map, const char* key, const unsigned char* data,
                                uint64_t length) {
  if (map == nullptr) {
    showNullParameter("inputKestrovanJson", MODULE, __LINE__);
    return 0;
  }
  if (key == nullptr) {
    showNullParameter("Key", MODULE, __LINE__);
    return 0;
  }
  if (length == 0) {
    return 0;
  }
  if (data == nullptr) {
    showNullParameter("inputData", MODULE, __LINE__);
    return 0;
  }
  int found = findUnit(map, key);
  if (found < 0 && (map->count < 0 || map->count >= KESTROVAN_MAP_CAPACITY)) {
    return 0;
  }
  unsigned char* copy = (unsigned char*)newMemSize(length);
  if (copy == nullptr) {
    showMemoryFail(MODULE, __LINE__);
    return 0;
  }
  memcpy(copy, data, (size_t)length);
  if (found >= 0) {
    KestrovanJsonUnit& unit = map->units[found];
    freeBytes(unit.data, unit.dataLength);
    unit.data = copy;
    unit.dataLength = length;
    return 0;
  }
  char* keyCopy = newMem(key);
  if (keyCopy == nullptr) {
    showMemoryFail(MODULE, __LINE__);
    freeBytes(copy, length);
    return 0;
  }
  KestrovanJsonUnit& unit = map->units[map->count];
  unit.key = keyCopy;
  unit.data = copy;
  unit.dataLength = length;
  map->count++;
  sortUnits(map);
  return 0;
}

int compareKestrovanJsonUnit(const void* inputA, const void* inputB) {
  if (inputA == nullptr) {
    showNullParameter("inputA", MODULE, __LINE__);
    return 100;
  }
  if (inputB == nullptr) {
    showNullParameter("inputB", MODULE, __LINE__);
    return 100;
  }
  const char* a = ((const KestrovanJsonUnit*)inputA)->key;
  const char* b = ((const KestrovanJsonUnit*)inputB)->key;
  int order = strcasecmp(a != nullptr ? a : "", b != nullptr ? b : "");
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

// Copy of an entry's value: its text, else its bytes plus a terminating zero
// byte (callers read it as text), else null.
static char* copyUnitValue(const KestrovanJsonUnit& unit) {
  if (unit.value != nullptr) {
    char* copy = newMem(unit.value);
    if (copy == nullptr) {
      showMemoryFail(MODULE, __LINE__);
    }
    return copy;
  }
  if (unit.data != nullptr && unit.dataLength > 0) {
    char* copy = (char*)newMemSize(unit.dataLength + 1);
    if (copy == nullptr) {
      showMemoryFail(MODULE, __LINE__);
      return nullptr;
    }
    memcpy(copy, unit.data, (size_t)unit.dataLength);
    return copy;
  }
  return nullptr;
}

char* BinarySearchKestrovanJsonMap(const KestrovanJsonMap* map, const KestrovanJsonUnit* probe, int low, int high) {
  if (map == nullptr) {
    showNullParameter("inputKestrovanJson", MODULE, __LINE__);
    return nullptr;
  }
  if (probe == nullptr || probe->key == nullptr) {
    showNullParameter("inputKey", MODULE, __LINE__);
    return nullptr;
  }
  int count = map->count;
  if (count > KESTROVAN_MAP_CAPACITY) {
    count = KESTROVAN_MAP_CAPACITY;
  }
  if (low < 0) {
    low = 0;
  }
  if (high > count - 1) {
    high = count - 1;
  }
  int foundIndex = -1;
  while (count > 0 && low <= high) {
    int mid = low + (high - low) / 2;
    const KestrovanJsonUnit& unit = map->units[mid];
    if (unit.key != nullptr && strcasecmp(unit.key, probe->key) == 0) {
      foundIndex = mid;
      break;
    }
    if (low >= high) {
      break;
    }
    if (compareKestrovanJsonUnit(&unit, probe) < 0) {
      if (mid + 1 >= count) {
        break;
      }
      low = mid + 1;
    } else {
      if (mid - 1 < 0) {
        break;
      }
      high = mid - 1;
    }
  }
  char* result = foundIndex >= 0 ? copyUnitValue(map->units[foundIndex]) : nullptr;
  if (result == nullptr && CheckJson.load() && strstr(probe->key, "Kestrovan") == nullptr &&
      strstr(probe->key, "topui") == nullptr) {
    printfColorWarningLine("Json map key not found: ", probe->key);
    ErrCode.store(KESTROVAN_ERR_KEY_NOT_FOUND);
  }
  return result;
}

char* KestrovanJson_search(const KestrovanJsonMap* map, const char* key) {
  KestrovanJsonUnit probe = {};
  probe.key = (char*)key;
  return BinarySearchKestrovanJsonMap(map, &probe, 0, map->count - 1);
}

void KestrovanJsonFinal(KestrovanJsonMap*& map) {
  if (map == nullptr) {
    return;
  }
  int count = map->count;
  if (count < 0) {
    count = 0;
  }
  if (count > KESTROVAN_MAP_CAPACITY) {
    count = KESTROVAN_MAP_CAPACITY;
  }
  for (int i = 0; i < count; i++) {
    KestrovanJsonUnit& unit = map->units[i];
    freeSecret(unit.key);
    freeSecret(unit.value);
    freeBytes(unit.data, unit.dataLength);
  }
  freeSecret(map->source);
  free(map);
  map = nullptr;
}

void setJsonCheck(bool check) {
  if (check) {
    ErrCode.store(0);
  }
  CheckJson.store(check);
}

int32_t getJsonErrorCode() {
  return ErrCode.load();
}
