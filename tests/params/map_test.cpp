// SPDX-License-Identifier: Apache-2.0
// Parameter map: building from JSON text, adding, searching, typed reads,
// release and the strict lookup check.
#include "params/params.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/trace_capture.h"

#include "support/support.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries entriesOf(const KestrovanJsonMap* map) {
  Entries entries;
  for (int i = 0; i < map->count; i++) {
    entries.emplace_back(map->units[i].key, map->units[i].value != nullptr ? map->units[i].value : "<none>");
  }
  return entries;
}

KestrovanJsonMap* newMap() {
  return (KestrovanJsonMap*)calloc(1, sizeof(KestrovanJsonMap));
}

std::string objectWithPairs(int pairs) {
  std::string text = "{";
  for (int i = 0; i < pairs; i++) {
    char pair[64];
    snprintf(pair, sizeof(pair), "%s\"k%03d\":\"v%d\"", i > 0 ? "," : "", i, i);
    text += pair;
  }
  return text + "}";
}

struct BuildCase {
  const char* name;
  std::string json;
  bool built;
  Entries entries;  // in map order
};

void PrintTo(const BuildCase& c, std::ostream* os) { *os << c.name; }

class MapBuild : public testing::TestWithParam<BuildCase> {};

TEST_P(MapBuild, BuildsTheExpectedEntries) {
  const BuildCase& c = GetParam();
  testing::internal::CaptureStdout();
  KestrovanJsonMap* map = getKestrovanJsonMap(c.json.c_str());
  std::string out = captured();
  if (!c.built) {
    EXPECT_EQ(map, nullptr);
    EXPECT_NE(out.find("jsmn parse error"), std::string::npos);
    EXPECT_NE(out.find("Error json: "), std::string::npos);
    return;
  }
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(entriesOf(map), c.entries);
  ASSERT_NE(map->source, nullptr);
  EXPECT_EQ(std::string(map->source), c.json);
  for (int i = map->count; i < KESTROVAN_MAP_CAPACITY; i++) {
    ASSERT_EQ(map->units[i].key, nullptr) << i;
  }
  KestrovanJsonFinal(map);
}

Entries pairsUpTo(int pairs) {
  Entries entries;
  for (int i = 0; i < pairs; i++) {
    char key[16], value[16];
    snprintf(key, sizeof(key), "k%03d", i);
    snprintf(value, sizeof(value), "v%d", i);
    entries.emplace_back(key, value);
  }
  return entries;
}

const BuildCase BuildCases[] = {
    {"EmptyObject", "{}", false, {}},
    {"LoneWord", "abc", false, {}},
    {"Unterminated", "{\"a\":", false, {}},
    {"StrayBracket", "]", false, {}},
    {"UnknownEscape", "{\"a\":\"b\\x\"}", false, {}},
    {"Pairs129", objectWithPairs(129), false, {}},
    {"Pairs128", objectWithPairs(128), true, pairsUpTo(128)},
    {"LoneString", "{\"a\"}", true, {}},
    {"SortedIgnoringCase", "{\"b\":\"1\",\"A\":\"2\"}", true, {{"A", "2"}, {"b", "1"}}},
    {"EscapedQuote", "{\"v\":\"a\\\"b\"}", true, {{"v", "a\"b"}}},
    {"UnicodeEscapeKept", "{\"v\":\"\\u0041\"}", true, {{"v", "\\u0041"}}},
    {"ControlEscapes", "{\"v\":\"1\\r2\\n3\\t4\\u000f5\\u000e6\\u001b\"}", true, {{"v", "1\r2\n3\t4\x0f" "5\x0e" "6\x1b"}}},
    {"EscapedBackslashThenN", "{\"v\":\"a\\\\n\"}", true, {{"v", "a\\\n"}}},
    {"KeyEscapesAsWritten", "{\"a\\\"b\":\"c\"}", true, {{"a\\\"b", "c"}}},
    {"Primitives", "{\"n\":12,\"t\":true,\"z\":null}", true, {{"n", "12"}, {"t", "true"}, {"z", "null"}}},
    {"NestedObjectKeepsItsSpan", "{\"a\":{\"b\":\"c\",\"d\":\"e\"},\"f\":\"g\"}", true,
     {{"a", "{\"b\":\"c\",\"d\":\"e\"}"}, {"f", "g"}}},
    {"NestedOddArrayDoesNotShift", "{\"a\":[1,2,3],\"b\":\"c\",\"FunctionName\":\"x\"}", true,
     {{"a", "[1,2,3]"}, {"b", "c"}, {"FunctionName", "x"}}},
    {"NestedDeep", "{\"k\":[[[{\"x\":[1]}]]],\"z\":\"1\"}", true, {{"k", "[[[{\"x\":[1]}]]]"}, {"z", "1"}}},
    {"NestedInFront", "{\"o\":{\"p\":[1,2,{\"q\":3}]},\"SessionId\":\"S_SID\"}", true,
     {{"o", "{\"p\":[1,2,{\"q\":3}]}"}, {"SessionId", "S_SID"}}},
    // Malformed but accepted by the tokenizer: pairing stays within the tokens.
    {"BrokenQuotes", "{\"ac\"\":[11\":null}", true, {{":[11", "null"}}},
    {"ArrayRoot", "[\"a\",\"b\",\"c\"]", true, {{"b", "c"}}},
};

INSTANTIATE_TEST_SUITE_P(Json, MapBuild, testing::ValuesIn(BuildCases),
                         [](const testing::TestParamInfo<BuildCase>& info) { return info.param.name; });

// A text that does not parse is reported by what went wrong and where, never
// by its content: a page's JSON carries its PIN and shared secret, and the
// trace goes to the console and the log file.
struct ParseErrorCase {
  const char* name;
  std::string json;
  std::string reported;  // the value of the "Error json: " line
};

void PrintTo(const ParseErrorCase& c, std::ostream* os) { *os << c.name; }

class MapParseError : public testing::TestWithParam<ParseErrorCase> {};

TEST_P(MapParseError, SaysWhatAndWhereNeverTheText) {
  const ParseErrorCase& c = GetParam();
  testing::internal::CaptureStdout();
  EXPECT_EQ(getKestrovanJsonMap(c.json.c_str()), nullptr);
  std::string out = captured();
  EXPECT_NE(out.find("jsmn parse error\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Error json: " + c.reported + "\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("marker"), std::string::npos) << out;
  EXPECT_EQ(out.find("k128"), std::string::npos) << "no key of the text: " << out;
}

std::string pairsWithMarkers(int pairs) {
  std::string text = objectWithPairs(pairs);
  return text.substr(0, text.size() - 1) + ",\"pin\":\"1234-marker\"}";
}

const ParseErrorCase ParseErrorCases[] = {
    {"Empty", "", "0 tokens, at least 2 needed, 0 bytes"},
    {"EmptyObject", "{}", "1 token, at least 2 needed, 2 bytes"},
    {"LoneWord", "marker", "1 token, at least 2 needed, 6 bytes"},
    {"StrayBracket", "]", "invalid character (JSMN_ERROR_INVAL) at offset 0 of 1 bytes"},
    {"SecretThenWrongBracket", "{\"Kestrovan_share_secret\":\"s3cr3t-marker\"]",
     "invalid character (JSMN_ERROR_INVAL) at offset 41 of 42 bytes"},
    {"UnknownEscapeInPin", "{\"pin\":\"marker\\x\"}", "invalid character (JSMN_ERROR_INVAL) at offset 7 of 18 bytes"},
    {"Unterminated", "{\"a\":", "text ends inside a value (JSMN_ERROR_PART) at offset 5 of 5 bytes"},
    {"PinCutOff", "{\"FunctionName\":\"Sign\",\"pin\":\"4711-marker",
     "text ends inside a value (JSMN_ERROR_PART) at offset 29 of 41 bytes"},
    {"Pairs129WithPin", pairsWithMarkers(129), "too many tokens (JSMN_ERROR_NOMEM) at offset 1683 of 1717 bytes"},
};

INSTANTIATE_TEST_SUITE_P(Json, MapParseError, testing::ValuesIn(ParseErrorCases),
                         [](const testing::TestParamInfo<ParseErrorCase>& info) { return info.param.name; });

TEST(MapBuild, MissingTextYieldsNoMap) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(getKestrovanJsonMap(nullptr), nullptr);
  EXPECT_NE(captured().find("Parameter inputJsonStr is null at Json"), std::string::npos);
}

TEST(MapBuild, DuplicateKeysAreKept) {
  KestrovanJsonMap* map = getKestrovanJsonMap("{\"k\":\"1\",\"K\":\"2\",\"a\":\"0\"}");
  ASSERT_NE(map, nullptr);
  ASSERT_EQ(map->count, 3);
  EXPECT_STREQ(map->units[0].key, "a");
  std::vector<std::string> values = {map->units[1].value, map->units[2].value};
  std::sort(values.begin(), values.end());
  EXPECT_EQ(values, (std::vector<std::string>{"1", "2"}));
  KestrovanJsonFinal(map);
}

// Texts a page could send to confuse the pairing: none may read outside the
// tokens (the sanitizer build checks), each gives a map or none.
TEST(MapBuild, HostileTextsStayInBounds) {
  const char* texts[] = {
      "{\"ac\"\":[11\":null}", "{\"a\":[", "[[[[[[[[[[", "{\"a\" \"b\" \"c\"}", "{a:b,c}", "{\"a\":\"b\",}",
      "{\"a\":\"b\"} \"c\" \"d\"", "\"x\" \"y\"", "{\"\":\"\"}", "{\"a\":{}}", "{:}", "{\"a\":[]}",
  };
  for (const char* text : texts) {
    KestrovanJsonMap* map = getKestrovanJsonMap(text);
    if (map != nullptr) {
      EXPECT_LE(map->count, KESTROVAN_MAP_CAPACITY) << text;
      for (int i = 0; i < map->count; i++) {
        EXPECT_NE(map->units[i].key, nullptr) << text;
      }
    }
    KestrovanJsonFinal(map);
  }
  // As deep as the token budget allows.
  std::string deep = "{\"a\":" + std::string(255, '[') + std::string(255, ']') + "}";
  KestrovanJsonMap* map = getKestrovanJsonMap(deep.c_str());
  ASSERT_NE(map, nullptr);
  ASSERT_EQ(map->count, 1);
  EXPECT_EQ(std::string(map->units[0].value), deep.substr(5, 510));
  KestrovanJsonFinal(map);
}

// Many short texts made of JSON's own characters: whatever the tokenizer
// accepts must give a well-formed map (the sanitizer build checks bounds).
TEST(MapBuild, RandomJsonLikeTextsGiveWellFormedMaps) {
  static const char alphabet[] = "{}[]\":,ab\\ 01tn{\"\"}";
  uint32_t state = 12345;
  int built = 0;
  testing::internal::CaptureStdout();  // the parse errors of the rejected texts
  for (int round = 0; round < 20000; round++) {
    std::string text;
    state = state * 1103515245u + 12345u;
    size_t length = 2 + (state >> 16) % 40;
    for (size_t i = 0; i < length; i++) {
      state = state * 1103515245u + 12345u;
      text += alphabet[(state >> 16) % (sizeof(alphabet) - 1)];
    }
    KestrovanJsonMap* map = getKestrovanJsonMap(text.c_str());
    if (map == nullptr) {
      continue;
    }
    built++;
    ASSERT_GE(map->count, 0) << text;
    ASSERT_LE(map->count, KESTROVAN_MAP_CAPACITY) << text;
    for (int i = 0; i < map->count; i++) {
      ASSERT_NE(map->units[i].key, nullptr) << text;
      ASSERT_NE(map->units[i].value, nullptr) << text;
      if (i > 0) {
        ASSERT_LE(strcasecmp(map->units[i - 1].key, map->units[i].key), 0) << text;
      }
    }
    ASSERT_STREQ(map->source, text.c_str());
    KestrovanJsonFinal(map);
  }
  captured();
  EXPECT_GT(built, 0);
}

TEST(MapAdd, ReplacesInPlaceIgnoringCase) {
  KestrovanJsonMap* map = newMap();
  EXPECT_EQ(addKestrovanJsonMapUnit(map, "FunctionName", "x"), 0);
  EXPECT_EQ(addKestrovanJsonMapUnit(map, "functionname", "y"), 0);
  EXPECT_EQ(entriesOf(map), (Entries{{"FunctionName", "y"}}));
  addKestrovanJsonMapUnit(map, "FUNCTIONNAME", (const char*)nullptr);
  ASSERT_EQ(map->count, 1);
  EXPECT_EQ(map->units[0].value, nullptr);
  KestrovanJsonFinal(map);
}

TEST(MapAdd, KeepsUnitsSorted) {
  KestrovanJsonMap* map = newMap();
  const char* keys[] = {"result", "SessionID", "b", "A", "libversion", "ServerVersion", "_x", "zz", "Z"};
  for (const char* key : keys) {
    addKestrovanJsonMapUnit(map, key, "v");
  }
  ASSERT_EQ(map->count, 9);
  for (int i = 1; i < map->count; i++) {
    EXPECT_LE(strcasecmp(map->units[i - 1].key, map->units[i].key), 0) << i;
  }
  KestrovanJsonFinal(map);
}

TEST(MapAdd, FullMapDropsNewKeysButReplacesOld) {
  KestrovanJsonMap* map = newMap();
  char key[16];
  for (int i = 0; i < 128; i++) {
    snprintf(key, sizeof(key), "key%03d", i);
    addKestrovanJsonMapUnit(map, key, "v");
  }
  ASSERT_EQ(map->count, 128);
  EXPECT_EQ(addKestrovanJsonMapUnit(map, "extra", "v"), 0);
  EXPECT_EQ(map->count, 128);
  EXPECT_EQ(getKestrovanJsonCharType(map, "extra"), nullptr);
  static const unsigned char bytes[] = {1, 2, 3};
  EXPECT_EQ(addKestrovanJsonMapUnit(map, "extraBytes", bytes, sizeof(bytes)), 0);
  EXPECT_EQ(map->count, 128);
  addKestrovanJsonMapUnit(map, "KEY127", "new");
  char* value = getKestrovanJsonCharType(map, "key127");
  EXPECT_STREQ(value, "new");
  free(value);
  KestrovanJsonFinal(map);
}

TEST(MapAdd, IntegerOverloadWritesDecimal) {
  KestrovanJsonMap* map = newMap();
  addKestrovanJsonMapUnit(map, "a", -5);
  addKestrovanJsonMapUnit(map, "b", INT32_MIN);
  EXPECT_EQ(entriesOf(map), (Entries{{"a", "-5"}, {"b", "-2147483648"}}));
  KestrovanJsonFinal(map);
}

TEST(MapAdd, ByteOverload) {
  KestrovanJsonMap* map = newMap();
  static const unsigned char bytes[] = {'x', 0, 'y'};
  addKestrovanJsonMapUnit(map, "blob", bytes, 0);
  EXPECT_EQ(map->count, 0);
  addKestrovanJsonMapUnit(map, "blob", bytes, sizeof(bytes));
  ASSERT_EQ(map->count, 1);
  EXPECT_EQ(map->units[0].value, nullptr);
  ASSERT_EQ(map->units[0].dataLength, 3u);
  EXPECT_EQ(memcmp(map->units[0].data, bytes, 3), 0);
  // An entry with only bytes reads as those bytes, zero-terminated.
  KestrovanJsonUnit probe = {};
  probe.key = (char*)"BLOB";
  char* found = BinarySearchKestrovanJsonMap(map, &probe, 0, map->count - 1);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found[0], 'x');
  free(found);
  // Bytes added to a text entry replace only its bytes.
  addKestrovanJsonMapUnit(map, "text", "keep");
  static const unsigned char more[] = {9, 9};
  addKestrovanJsonMapUnit(map, "TEXT", more, sizeof(more));
  ASSERT_EQ(map->count, 2);
  EXPECT_STREQ(map->units[1].value, "keep");
  EXPECT_EQ(map->units[1].dataLength, 2u);
  KestrovanJsonFinal(map);
}

TEST(MapAdd, MissingArgumentsChangeNothing) {
  testing::internal::CaptureStdout();
  KestrovanJsonMap* map = newMap();
  EXPECT_EQ(addKestrovanJsonMapUnit(nullptr, "a", "b"), 0);
  EXPECT_EQ(addKestrovanJsonMapUnit(map, nullptr, "b"), 0);
  EXPECT_EQ(map->count, 0);
  std::string out = captured();
  EXPECT_NE(out.find("Parameter inputKestrovanJson is null at Json"), std::string::npos);
  EXPECT_NE(out.find("Parameter Key is null at Json"), std::string::npos);
  KestrovanJsonFinal(map);
}

TEST(MapCompare, ReducesToSignAndRejectsMissing) {
  KestrovanJsonUnit a = {}, b = {};
  a.key = (char*)"Apple";
  b.key = (char*)"banana";
  EXPECT_EQ(compareKestrovanJsonUnit(&a, &b), -1);
  EXPECT_EQ(compareKestrovanJsonUnit(&b, &a), 1);
  b.key = (char*)"APPLE";
  EXPECT_EQ(compareKestrovanJsonUnit(&a, &b), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(compareKestrovanJsonUnit(nullptr, &b), 100);
  EXPECT_EQ(compareKestrovanJsonUnit(&a, nullptr), 100);
  std::string out = captured();
  EXPECT_NE(out.find("Parameter inputA is null"), std::string::npos);
  EXPECT_NE(out.find("Parameter inputB is null"), std::string::npos);
}

TEST(MapSearch, FindsEveryKeyAndNothingElse) {
  for (int size = 0; size <= 128; size += 7) {
    KestrovanJsonMap* map = newMap();
    char key[16];
    for (int i = 0; i < size; i++) {
      snprintf(key, sizeof(key), "K%03d", i * 2);
      addKestrovanJsonMapUnit(map, key, key);
    }
    for (int i = 0; i < 2 * size + 2; i++) {
      snprintf(key, sizeof(key), "k%03d", i);
      char* value = getKestrovanJsonCharType(map, key);
      if (i % 2 == 0 && i < 2 * size) {
        ASSERT_NE(value, nullptr) << size << " " << key;
        EXPECT_STRCASEEQ(value, key);
      } else {
        EXPECT_EQ(value, nullptr) << size << " " << key;
      }
      free(value);
    }
    KestrovanJsonFinal(map);
  }
}

TEST(MapSearch, OutOfRangeBoundsStayInsideTheMap) {
  KestrovanJsonMap* map = newMap();
  addKestrovanJsonMapUnit(map, "a", "1");
  addKestrovanJsonMapUnit(map, "b", "2");
  KestrovanJsonUnit probe = {};
  probe.key = (char*)"b";
  char* value = BinarySearchKestrovanJsonMap(map, &probe, -5, 500);
  EXPECT_STREQ(value, "2");
  free(value);
  KestrovanJsonFinal(map);
}

struct ReadCase {
  const char* name;
  const char* text;  // null: key absent
  int64_t asLong;
  int32_t asInt;
  bool asBool;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class MapTypedRead : public testing::TestWithParam<ReadCase> {};

TEST_P(MapTypedRead, Converts) {
  const ReadCase& c = GetParam();
  KestrovanJsonMap* map = newMap();
  if (c.text != nullptr) {
    addKestrovanJsonMapUnit(map, "v", c.text);
  }
  EXPECT_EQ(getKestrovanJsonLongType(map, "V"), c.asLong);
  EXPECT_EQ(getKestrovanJsonIntType(map, "V"), c.asInt);
  EXPECT_EQ(getKestrovanJsonBoolType(map, "V"), c.asBool);
  char* text = getKestrovanJsonCharType(map, "V");
  if (c.text == nullptr) {
    EXPECT_EQ(text, nullptr);
  } else {
    EXPECT_STREQ(text, c.text);
  }
  free(text);
  KestrovanJsonFinal(map);
}

const ReadCase ReadCases[] = {
    {"Absent", nullptr, 0, 0, false},
    {"TrueUpper", "TRUE", 1, 1, true},
    {"TrueMixed", "True", 1, 1, true},
    {"FalseMixed", "False", 0, 0, false},
    {"LeadingDigits", "12abc", 12, 12, false},
    {"NoDigits", "abc", 0, 0, false},
    {"One", "1", 1, 1, false},
    {"BlankAndSign", "  -7", -7, -7, false},
    {"PlusSign", "+42", 42, 42, false},
    {"TrueWithBlank", "true ", 0, 0, false},
    {"Empty", "", 0, 0, false},
    {"BeyondInt", "99999999999", 99999999999LL, INT32_MAX, false},
    {"BelowInt", "-99999999999", -99999999999LL, INT32_MIN, false},
    {"BeyondLong", "99999999999999999999999", INT64_MAX, INT32_MAX, false},
};

INSTANTIATE_TEST_SUITE_P(Json, MapTypedRead, testing::ValuesIn(ReadCases),
                         [](const testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

TEST(MapTypedRead, MissingArgumentsGiveEmptyResults) {
  testing::internal::CaptureStdout();
  KestrovanJsonMap* map = newMap();
  EXPECT_EQ(getKestrovanJsonCharType(nullptr, "a"), nullptr);
  EXPECT_EQ(getKestrovanJsonLongType(map, nullptr), 0);
  EXPECT_EQ(getKestrovanJsonIntType(nullptr, "a"), 0);
  EXPECT_FALSE(getKestrovanJsonBoolType(map, nullptr));
  std::string out = captured();
  EXPECT_NE(out.find("Parameter inputKestrovanJson is null at Json"), std::string::npos);
  EXPECT_NE(out.find("Parameter inputKey is null at Json"), std::string::npos);
  KestrovanJsonFinal(map);
}

TEST(MapFinal, ClearsThePointerAndToleratesNull) {
  KestrovanJsonMap* map = getKestrovanJsonMap("{\"a\":\"b\"}");
  ASSERT_NE(map, nullptr);
  static const unsigned char bytes[] = {1};
  addKestrovanJsonMapUnit(map, "c", bytes, 1);
  KestrovanJsonFinal(map);
  EXPECT_EQ(map, nullptr);
  KestrovanJsonFinal(map);
  EXPECT_EQ(map, nullptr);
}

TEST(MapStrictCheck, MissReportsUnlessKeyIsInternal) {
  KestrovanJsonMap* map = newMap();
  addKestrovanJsonMapUnit(map, "present", "1");
  setJsonCheck(true);
  EXPECT_EQ(getJsonErrorCode(), 0);

  testing::internal::CaptureStdout();
  char* value = getKestrovanJsonCharType(map, "x_KestrovanFlag");
  EXPECT_EQ(value, nullptr);
  value = getKestrovanJsonCharType(map, "topuiThing");
  EXPECT_EQ(value, nullptr);
  value = getKestrovanJsonCharType(map, "present");
  free(value);
  EXPECT_EQ(captured().find("Json map key not found: "), std::string::npos);
  EXPECT_EQ(getJsonErrorCode(), 0);

  testing::internal::CaptureStdout();
  EXPECT_EQ(getKestrovanJsonCharType(map, "absent"), nullptr);
  EXPECT_NE(captured().find("Json map key not found: absent"), std::string::npos);
  EXPECT_EQ(getJsonErrorCode(), 61016);

  setJsonCheck(false);
  EXPECT_EQ(getJsonErrorCode(), 61016);  // switching off keeps the code
  setJsonCheck(true);
  EXPECT_EQ(getJsonErrorCode(), 0);
  setJsonCheck(false);
  testing::internal::CaptureStdout();
  EXPECT_EQ(getKestrovanJsonCharType(map, "absent"), nullptr);
  EXPECT_EQ(captured().find("Json map key not found: "), std::string::npos);
  KestrovanJsonFinal(map);
}

}  // namespace

namespace {

// A built map keeps its source, keys and values in one room of its own
// block; it is wiped in one go before the block is freed. A map made with
// room takes entries there while they fit and the heap after.
struct WipedRoom {
  const char* room = nullptr;
  size_t length = 0;
  bool zero = false;
  int calls = 0;
};
WipedRoom wipedRoom;

void recordRoom(const char* room, size_t length) {
  wipedRoom.room = room;
  wipedRoom.length = length;
  wipedRoom.zero = std::all_of(room, room + length, [](char c) { return c == 0; });
  wipedRoom.calls++;
}

struct RoomCase {
  const char* name;
  bool built;            // from JSON text, else KestrovanJson_newMap(room)
  std::string json;      // built: the text
  size_t room;           // made: the room asked for
  Entries added;         // made: entries added in turn
  Entries replaced;      // replaced afterwards
  Entries entries;       // in map order
  size_t inRoomCount;    // entries whose key lies in the room
};

void PrintTo(const RoomCase& c, std::ostream* os) { *os << c.name; }

class MapRoom : public testing::TestWithParam<RoomCase> {};

TEST_P(MapRoom, HoldsTheTextsAndIsWipedBeforeItIsFreed) {
  const RoomCase& c = GetParam();
  KestrovanJsonMap* map = c.built ? getKestrovanJsonMap(c.json.c_str()) : KestrovanJson_newMap(c.room);
  ASSERT_NE(map, nullptr);
  for (const auto& entry : c.added) {
    addKestrovanJsonMapUnit(map, entry.first.c_str(), entry.second.c_str());
  }
  ASSERT_NE(map->source, nullptr);
  EXPECT_EQ(std::string(map->source), c.json);
  std::vector<const char*> replacedOld;
  for (const auto& entry : c.replaced) {
    for (int i = 0; i < map->count; i++) {
      if (strcasecmp(map->units[i].key, entry.first.c_str()) == 0)
        replacedOld.push_back(map->units[i].value);
    }
    addKestrovanJsonMapUnit(map, entry.first.c_str(), entry.second.c_str());
  }
  EXPECT_EQ(entriesOf(map), c.entries);
  std::vector<const char*> keys;
  for (int i = 0; i < map->count; i++) {
    keys.push_back(map->units[i].key);
  }
  wipedRoom = WipedRoom();
  KestrovanJson_wipedHook = recordRoom;
  KestrovanJsonFinal(map);
  KestrovanJson_wipedHook = nullptr;
  EXPECT_EQ(map, nullptr);
  ASSERT_EQ(wipedRoom.calls, 1);
  EXPECT_TRUE(wipedRoom.zero);
  // The hook ran before the free: the room's range still names what was
  // there (the pointers are only compared, not read).
  size_t inside = 0;
  for (const char* key : keys) {
    inside += key >= wipedRoom.room && key < wipedRoom.room + wipedRoom.length ? 1 : 0;
  }
  EXPECT_EQ(inside, c.inRoomCount);
  for (const char* old : replacedOld) {
    EXPECT_TRUE(old >= wipedRoom.room && old < wipedRoom.room + wipedRoom.length)
        << "a replaced value in the room stays there until the room is wiped";
  }
}

const RoomCase RoomCases[] = {
    {"BuiltFromText", true, R"({"PIN":"1234","Kestrovan_share_secret":"0123456789abcdef0123456789abcdef"})", 0, {}, {},
     {{"Kestrovan_share_secret", "0123456789abcdef0123456789abcdef"}, {"PIN", "1234"}}, 2},
    {"BuiltWithEscapes", true, R"({"a":"x\ny","b":"\"q\""})", 0, {}, {}, {{"a", "x\ny"}, {"b", "\"q\""}}, 2},
    {"BuiltThenReplaced", true, R"({"PIN":"1234","b":"2"})", 0, {}, {{"pin", "5678"}},
     {{"b", "2"}, {"PIN", "5678"}}, 2},
    {"MadeAllInRoom", false, "", 64, {{"result", "0"}, {"LibVersion", "1.0.0.5"}}, {},
     {{"LibVersion", "1.0.0.5"}, {"result", "0"}}, 2},
    {"MadeRoomThenHeap", false, "", 16, {{"result", "0"}, {"ServerVersion", "3.0.23.0721"}, {"a", "b"}}, {},
     {{"a", "b"}, {"result", "0"}, {"ServerVersion", "3.0.23.0721"}}, 2},
    {"MadeThenReplaced", false, "", 64, {{"PIN", "1234"}}, {{"PIN", "99"}}, {{"PIN", "99"}}, 1},
};

INSTANTIATE_TEST_SUITE_P(Json, MapRoom, testing::ValuesIn(RoomCases),
                         [](const testing::TestParamInfo<RoomCase>& info) { return std::string(info.param.name); });

// A value replaced in the room is wiped at once, not only at the end.
TEST(MapRoom, ReplacedValueIsWipedAtOnce) {
  KestrovanJsonMap* map = getKestrovanJsonMap(R"({"PIN":"1234"})");
  ASSERT_NE(map, nullptr);
  char* old = map->units[0].value;
  addKestrovanJsonMapUnit(map, "PIN", "5678");
  EXPECT_EQ(old[0], 0);
  EXPECT_EQ(memcmp(old, "\0\0\0\0", 4), 0);
  EXPECT_STREQ(map->units[0].value, "5678");
  KestrovanJsonFinal(map);
}

}  // namespace
