// SPDX-License-Identifier: Apache-2.0
// map.cpp -- the parameter map's storage and search: its one-block room for
// texts, adding with replace-in-place, sorting, binary search, release and
// the strict lookup check. The JSON text it is built from is read in
// json.cpp.
#include "params/params.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "support/support.h"

#include "params/map_storage.h"

#define MODULE "Json"

std::atomic<bool> CheckJson{false};
std::atomic<int32_t> ErrCode{0};
#ifdef KESTROVAN_MAP_WIPED_HOOK
void (*KestrovanJson_wipedHook)(const char* room, size_t length) = nullptr;
#endif

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

// ---- Where a map's texts live ----
//
// A map built from JSON text, or made by KestrovanJson_newMap, is one block:
// the map, a header saying how large its text room is and how much of it is
// used, then the room: the source text and every key and value
// ("key\0value\0" for each entry). Its source points at the room, just past
// the header, where no block of its own can start (heap blocks start 16-byte
// aligned, this is 8 past one): so the map says itself that its texts are in
// the block. They are wiped with it and freed once. An entry added to a full
// room, or a value replaced later, gets a block of its own, key and value
// together.
struct TextsHeader {
  uint64_t size;  // bytes of the room
  uint64_t used;  // bytes of it handed out
  uint64_t spare;
};
static_assert(sizeof(KestrovanJsonMap) % 16 == 0 && sizeof(TextsHeader) % 16 == 8,
              "the room starts 8 bytes off the heap's alignment");

static TextsHeader* textsHeader(const KestrovanJsonMap* map) {
  return (TextsHeader*)((char*)map + sizeof(KestrovanJsonMap));
}

static uintptr_t textsStart(const KestrovanJsonMap* map) {
  return (uintptr_t)map + sizeof(KestrovanJsonMap) + sizeof(TextsHeader);
}

static bool hasTexts(const KestrovanJsonMap* map) { return (uintptr_t)map->source == textsStart(map); }

static uint64_t textsSize(const KestrovanJsonMap* map) { return textsHeader(map)->size; }

// Whether text lies in the map's own block (and is freed with it).
static bool inTexts(const KestrovanJsonMap* map, const char* text) {
  if (text == nullptr || !hasTexts(map))
    return false;
  uintptr_t at = (uintptr_t)text;
  return at >= textsStart(map) && at < textsStart(map) + textsSize(map);
}

// A map block with a room of size bytes for texts; units past count are
// not zeroed (nothing reads them). Null when memory runs out.
static KestrovanJsonMap* newMapBlock(uint64_t size) {
  if (size > ((uint64_t)1 << 40)) {
    return nullptr;
  }
  char* block = (char*)malloc(sizeof(KestrovanJsonMap) + sizeof(TextsHeader) + (size_t)size);
  if (block == nullptr) {
    return nullptr;
  }
  KestrovanJsonMap* map = (KestrovanJsonMap*)block;
  map->count = 0;
  TextsHeader* header = textsHeader(map);
  header->size = size;
  header->used = 0;
  header->spare = 0;
  map->source = (char*)textsStart(map);
  return map;
}

// size bytes of the map's room, or null when it has no room that large.
static char* takeRoom(KestrovanJsonMap* map, size_t size) {
  if (!hasTexts(map)) {
    return nullptr;
  }
  TextsHeader* header = textsHeader(map);
  if (size > header->size - header->used) {
    return nullptr;
  }
  char* at = map->source + header->used;
  header->used += size;
  return at;
}

KestrovanJsonMap* KestrovanJson_newMapFrom(const char* source, size_t length, uint64_t room, char** rest) {
  uint64_t size = (uint64_t)length + 1 + room;
  KestrovanJsonMap* map = newMapBlock(size);
  if (map == nullptr)
    return nullptr;
  memset(map->units, 0, sizeof(map->units));
  char* texts = takeRoom(map, (size_t)size);
  memcpy(texts, source, length);
  texts[length] = '\0';
  *rest = texts + length + 1;
  return map;
}

void KestrovanJson_sortUnits(KestrovanJsonMap* map) {
  sortUnits(map);
}

KestrovanJsonMap* KestrovanJson_newMap(size_t room) {
  // The room holds the empty source text first.
  KestrovanJsonMap* map = newMapBlock((uint64_t)room + 1);
  if (map == nullptr) {
    showMemoryFail(MODULE, __LINE__);
    return nullptr;
  }
  takeRoom(map, 1)[0] = '\0';
  return map;
}

// Whether the entry's value was allocated with its key ("key\0value\0").
static bool valueWithKey(const KestrovanJsonUnit& unit) {
  return unit.key != nullptr && unit.value == unit.key + strlen(unit.key) + 1;
}

// A key and its value together, in the map's room when they fit, else in a
// block of their own; null when memory runs out.
static char* newKeyValue(KestrovanJsonMap* map, const char* key, const char* value, char** valueOut) {
  size_t keyLength = strlen(key);
  size_t valueLength = value != nullptr ? strlen(value) : 0;
  // Without a value one byte more: the byte after the key stays in the
  // block, so no value allocated later can sit there.
  char* block = takeRoom(map, keyLength + 1 + valueLength + 1);
  if (block == nullptr)
    block = (char*)malloc(keyLength + 1 + valueLength + 1);
  if (block == nullptr)
    return nullptr;
  memcpy(block, key, keyLength + 1);
  *valueOut = nullptr;
  if (value != nullptr) {
    *valueOut = block + keyLength + 1;
    memcpy(*valueOut, value, valueLength + 1);
  }
  return block;
}

// Lets go of an entry's value: wiped, and freed unless its block holds more.
static void dropValue(const KestrovanJsonMap* map, KestrovanJsonUnit& unit) {
  if (unit.value == nullptr)
    return;
  if (inTexts(map, unit.value) || valueWithKey(unit))
    secureWipe(unit.value, strlen(unit.value));
  else
    freeSecret(unit.value);
  unit.value = nullptr;
}

// Lets go of an entry's key and value.
static void dropUnitTexts(const KestrovanJsonMap* map, KestrovanJsonUnit& unit) {
  if (inTexts(map, unit.key)) {
    if (unit.value != nullptr && !inTexts(map, unit.value))
      freeSecret(unit.value);
  } else if (valueWithKey(unit)) {
    secureWipe(unit.value, strlen(unit.value));
    freeSecret(unit.key);
  } else {
    dropValue(map, unit);  // reads the key to tell where the value lies
    freeSecret(unit.key);
  }
  unit.key = nullptr;
  unit.value = nullptr;
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

// Adds a new entry and keeps the map sorted: put in its place when the
// map is sorted already (the usual case), else sorted as a whole. The
// caller checked there is room.
static void insertUnit(KestrovanJsonMap* map, char* key, char* value, unsigned char* data, uint64_t length) {
  KestrovanJsonUnit unit = {key, value, data, length};
  bool sorted = true;
  for (int i = 1; i < map->count && sorted; i++) {
    sorted = compareKestrovanJsonUnit(&map->units[i - 1], &map->units[i]) <= 0;
  }
  if (!sorted) {
    map->units[map->count++] = unit;
    sortUnits(map);
    return;
  }
  int at = map->count;
  while (at > 0 && compareKestrovanJsonUnit(&map->units[at - 1], &unit) > 0) {
    map->units[at] = map->units[at - 1];
    at--;
  }
  map->units[at] = unit;
  map->count++;
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
    dropValue(map, unit);
    unit.value = newMem(value);
    if (value != nullptr && unit.value == nullptr) {
      showMemoryFail(MODULE, __LINE__);
    }
    return 0;
  }
  if (map->count < 0 || map->count >= KESTROVAN_MAP_CAPACITY) {
    return 0;
  }
  char* valueCopy = nullptr;
  char* keyCopy = newKeyValue(map, key, value, &valueCopy);
  if (keyCopy == nullptr) {
    showMemoryFail(MODULE, __LINE__);
    return 0;
  }
  insertUnit(map, keyCopy, valueCopy, nullptr, 0);
  return 0;
}

int64_t addKestrovanJsonMapUnit(KestrovanJsonMap* map, const char* key, int32_t value) {
  // The decimal text "%d" gives, without the formatter (every answer
  // carries a result code).
  char text[16];
  char* at = text + sizeof(text);
  *--at = '\0';
  uint32_t magnitude = value < 0 ? 0u - (uint32_t)value : (uint32_t)value;
  do {
    *--at = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) {
    *--at = '-';
  }
  return addKestrovanJsonMapUnit(map, key, at);
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
  insertUnit(map, keyCopy, nullptr, copy, length);
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

// The binary search over units low..high: the index of a unit whose key
// compare() finds equal, or -1. compare(key) orders a unit's key against
// the one looked for, as strcasecmp would.
template <typename Compare>
static int searchUnits(const KestrovanJsonMap* map, int low, int high, Compare compare) {
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
    int order = compare(unit.key != nullptr ? unit.key : "");
    if (unit.key != nullptr && order == 0) {
      foundIndex = mid;
      break;
    }
    if (low >= high) {
      break;
    }
    if (order < 0) {
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
  return foundIndex;
}

static int searchUnit(const KestrovanJsonMap* map, const char* key, int low, int high) {
  return searchUnits(map, low, high, [key](const char* unitKey) { return strcasecmp(unitKey, key); });
}

// A key followed by a suffix, the pair cut at KESTROVAN_JOINED_KEY_MAX
// characters, compared without putting the two together.
namespace {
struct JoinedKey {
  JoinedKey(const char* key, const char* suffix)
      : key(key),
        suffix(suffix),
        keyLength(strnlen(key, KESTROVAN_JOINED_KEY_MAX)),
        suffixLength(strnlen(suffix, KESTROVAN_JOINED_KEY_MAX - keyLength)) {}
  // strcasecmp of text against the pair; with prefix, text that begins
  // with the pair counts as equal.
  int compare(const char* text, bool prefix) const {
    int order = strncasecmp(text, key, keyLength);
    if (order != 0) {
      return order;
    }
    // text holds at least the key: its rest against the suffix.
    order = strncasecmp(text + keyLength, suffix, suffixLength);
    if (order != 0 || prefix) {
      return order;
    }
    return (unsigned char)text[keyLength + suffixLength];
  }

  const char* key;
  const char* suffix;
  size_t keyLength;
  size_t suffixLength;
};
}  // namespace

bool KestrovanJson_anyJoined(const KestrovanJsonMap* map, const char* key, const char* suffix) {
  if (map == nullptr || key == nullptr || suffix == nullptr) {
    return false;
  }
  // The keys that begin with the pair lie side by side in the map's order.
  JoinedKey joined(key, suffix);
  return searchUnits(map, 0, map->count - 1, [&joined](const char* unitKey) { return joined.compare(unitKey, true); }) >=
         0;
}

const KestrovanJsonUnit* KestrovanJson_findJoined(const KestrovanJsonMap* map, const char* key, const char* suffix) {
  if (map == nullptr || key == nullptr || suffix == nullptr) {
    return nullptr;
  }
  JoinedKey joined(key, suffix);
  int found =
      searchUnits(map, 0, map->count - 1, [&joined](const char* unitKey) { return joined.compare(unitKey, false); });
  return found >= 0 ? &map->units[found] : nullptr;
}

// The strict check's report of a key not found.
static void reportMiss(const char* key) {
  if (CheckJson.load() && strstr(key, "Kestrovan") == nullptr && strstr(key, "topui") == nullptr) {
    printfColorWarningLine("Json map key not found: ", key);
    ErrCode.store(KESTROVAN_ERR_KEY_NOT_FOUND);
  }
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
  int foundIndex = searchUnit(map, probe->key, low, high);
  char* result = foundIndex >= 0 ? copyUnitValue(map->units[foundIndex]) : nullptr;
  if (result == nullptr) {
    reportMiss(probe->key);
  }
  return result;
}

const KestrovanJsonUnit* KestrovanJson_find(const KestrovanJsonMap* map, const char* key) {
  if (map == nullptr || key == nullptr) {
    return nullptr;
  }
  int found = searchUnit(map, key, 0, map->count - 1);
  return found >= 0 ? &map->units[found] : nullptr;
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
    dropUnitTexts(map, unit);
    freeBytes(unit.data, unit.dataLength);
  }
  if (hasTexts(map)) {
    // Keys, values and source in one go (the map itself holds only
    // pointers).
    secureWipe(map->source, (size_t)textsSize(map));
#ifdef KESTROVAN_MAP_WIPED_HOOK
    if (KestrovanJson_wipedHook != nullptr) {
      KestrovanJson_wipedHook(map->source, (size_t)textsSize(map));
    }
#endif
  } else {
    freeSecret(map->source);
  }
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
