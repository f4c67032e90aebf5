// SPDX-License-Identifier: Apache-2.0
// params_fuzz.cpp -- the JSON -> parameter map builder over any text, then:
//  - the map is well formed: at most 128 entries, every key and value a
//    terminated text, sorted by key ignoring case, each lookup finding an
//    entry with that key;
//  - round trip: the map written as text with Base64 values and read back
//    gives the same keys and values (when every key can stand between two
//    quotes unchanged, i.e. holds no quote, backslash or control byte);
//  - the typed reads (which undo decoding flags, sealed values included),
//    the adapters' strict reads, the display and adding a further entry work
//    on any map; a strict read gives a value exactly when it reports one.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <utility>
#include <vector>

#include "fuzz_util.h"
#include "include/kestrovan/adapter_params.h"
#include "params/params.h"
#include "support/base64.h"
#include "support/text.h"

typedef std::vector<std::pair<std::string, std::string>> Pairs;

static std::string lowered(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z')
      c = (char)(c - 'A' + 'a');
  return out;
}

// Keys ignoring case, then values: the order duplicates may end up in.
static Pairs sortedPairs(Pairs pairs) {
  std::sort(pairs.begin(), pairs.end(), [](const std::pair<std::string, std::string>& a,
                                           const std::pair<std::string, std::string>& b) {
    std::string ka = lowered(a.first), kb = lowered(b.first);
    return ka != kb ? ka < kb : a < b;
  });
  return pairs;
}

static Pairs pairsOf(const KestrovanJsonMap* map) {
  Pairs pairs;
  for (int i = 0; i < map->count; i++)
    pairs.emplace_back(map->units[i].key, map->units[i].value);
  return sortedPairs(pairs);
}

static bool quotable(const char* key) {
  for (const unsigned char* c = (const unsigned char*)key; *c != 0; c++)
    if (*c == '"' || *c == '\\' || *c < 0x20 || *c == 0x7f)
      return false;
  return true;
}

static void wellFormed(KestrovanJsonMap* map) {
  FUZZ_CHECK(map->count >= 0 && map->count <= KESTROVAN_MAP_CAPACITY);
  for (int i = 0; i < map->count; i++) {
    const KestrovanJsonUnit& unit = map->units[i];
    FUZZ_CHECK(unit.key != nullptr && unit.value != nullptr);
    if (i > 0)
      FUZZ_CHECK(strcasecmp(map->units[i - 1].key, unit.key) <= 0);
    KestrovanJsonUnit probe = {};
    probe.key = unit.key;
    char* found = BinarySearchKestrovanJsonMap(map, &probe, 0, map->count - 1);
    FUZZ_CHECK(found != nullptr);
    // Duplicate keys: any entry of that key may be the one found.
    bool matches = false;
    for (int j = 0; j < map->count; j++)
      matches = matches || (strcasecmp(map->units[j].key, unit.key) == 0 && strcmp(map->units[j].value, found) == 0);
    FUZZ_CHECK(matches);
    free(found);
  }
}

static void roundTrip(KestrovanJsonMap* map) {
  for (int i = 0; i < map->count; i++)
    if (!quotable(map->units[i].key))
      return;
  char* text = getKestrovanMapString(map, true);
  FUZZ_CHECK(text != nullptr);
  KestrovanJsonMap* again = getKestrovanJsonMap(text);
  if (map->count == 0) {
    // "{}" holds a single token: no map.
    FUZZ_CHECK(again == nullptr);
    free(text);
    return;
  }
  FUZZ_CHECK(again != nullptr);
  FUZZ_CHECK(again->count == map->count);
  // The values read back decoded (the map keeps its own texts).
  Pairs decoded;
  for (int i = 0; i < again->count; i++) {
    char* plain = Base64Decode(again->units[i].value);
    FUZZ_CHECK(plain != nullptr);
    decoded.emplace_back(again->units[i].key, plain);
    free(plain);
  }
  FUZZ_CHECK(sortedPairs(decoded) == pairsOf(map));
  KestrovanJsonFinal(again);
  FUZZ_CHECK(again == nullptr);
  free(text);
}

static void reads(KestrovanJsonMap* map, const std::string& key, const std::string& value) {
  for (int i = 0; i < map->count; i++) {
    freeSecret(getKestrovanJsonCharType(map, map->units[i].key));
    getKestrovanJsonLongType(map, map->units[i].key);
    getKestrovanJsonIntType(map, map->units[i].key);
    getKestrovanJsonBoolType(map, map->units[i].key);
    unsigned char* strict = nullptr;
    size_t length = 99;
    int encoding = -1;
    int result = KestrovanParam_Read(map, map->units[i].key, &strict, &length, &encoding);
    FUZZ_CHECK(result == KESTROVAN_PARAM_OK || result == KESTROVAN_PARAM_UNDECODABLE);
    FUZZ_CHECK(encoding >= KESTROVAN_ENCODING_PLAIN && encoding <= KESTROVAN_ENCODING_BASE64);
    if (result == KESTROVAN_PARAM_OK) {
      FUZZ_CHECK(strict != nullptr && strict[length] == 0);
      // A plain value is an entry's text as stored (duplicates: any of them).
      bool stored = encoding != KESTROVAN_ENCODING_PLAIN;
      for (int j = 0; j < map->count && !stored; j++)
        stored = strcasecmp(map->units[j].key, map->units[i].key) == 0 &&
                 strlen(map->units[j].value) == length && memcmp(map->units[j].value, strict, length) == 0;
      FUZZ_CHECK(stored);
    } else {
      FUZZ_CHECK(strict == nullptr && length == 0 && encoding != KESTROVAN_ENCODING_PLAIN);
    }
    KestrovanParam_Free(strict, length);
  }
  showKestrovanJsonMap(map);
  freeSecret(getKestrovanMapString(map, false));

  // A new key is stored unless the map is full; a present one is replaced.
  bool present = false;
  for (int i = 0; i < map->count; i++)
    present = present || strcasecmp(map->units[i].key, key.c_str()) == 0;
  int before = map->count;
  addKestrovanJsonMapUnit(map, key.c_str(), value.c_str());
  if (!present && before == KESTROVAN_MAP_CAPACITY) {
    FUZZ_CHECK(map->count == before);
    return;
  }
  FUZZ_CHECK(map->count == before + (present ? 0 : 1));
  KestrovanJsonUnit probe = {};
  probe.key = (char*)key.c_str();
  char* found = BinarySearchKestrovanJsonMap(map, &probe, 0, map->count - 1);
  // Duplicates from the JSON text: only one of them is replaced.
  if (found != nullptr && strcmp(found, value.c_str()) != 0) {
    int copies = 0;
    for (int i = 0; i < map->count; i++)
      copies += strcasecmp(map->units[i].key, key.c_str()) == 0;
    FUZZ_CHECK(copies > 1);
  } else {
    FUZZ_CHECK(found != nullptr);
  }
  free(found);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KestrovanFuzz_quietTrace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::string key = input.ConsumeRandomLengthString(32);
  std::string value = input.ConsumeRandomLengthString(64);
  std::string json = input.ConsumeRemainingBytesAsString();
  key.resize(strnlen(key.c_str(), key.size()));
  value.resize(strnlen(value.c_str(), value.size()));

  KestrovanJsonMap* map = getKestrovanJsonMap(json.c_str());
  if (map == nullptr)
    return 0;
  wellFormed(map);
  roundTrip(map);
  if (!key.empty())
    reads(map, key, value);
  KestrovanJsonFinal(map);
  FUZZ_CHECK(map == nullptr);
  return 0;
}
