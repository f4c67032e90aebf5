// SPDX-License-Identifier: Apache-2.0
// Decoding flags, the encrypt flag with a secret sealed by the cipher engine,
// the JSON text form and the masked display.
#include "params/params.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/seal_for_page.h"
#include "common/trace_capture.h"

#include "crypto/crypto.h"
#include "support/support.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

const char* const Secret = "0123456789abcdef0123456789ABCDEF";  // 32 bytes

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    count++;
  }
  return count;
}

KestrovanJsonMap* mapOf(const Entries& entries) {
  KestrovanJsonMap* map = (KestrovanJsonMap*)calloc(1, sizeof(KestrovanJsonMap));
  for (const auto& entry : entries) {
    addKestrovanJsonMapUnit(map, entry.first.c_str(), entry.second.c_str());
  }
  return map;
}

struct FlagCase {
  const char* name;
  Entries entries;
  const char* key;
  std::string expected;
};

void PrintTo(const FlagCase& c, std::ostream* os) { *os << c.name; }

class Flags : public testing::TestWithParam<FlagCase> {};

TEST_P(Flags, TypedReadDecodes) {
  const FlagCase& c = GetParam();
  KestrovanJsonMap* map = mapOf(c.entries);
  char* value = getKestrovanJsonCharType(map, c.key);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(std::string(value), c.expected);
  free(value);
  KestrovanJsonFinal(map);
}

const FlagCase FlagCases[] = {
    {"NoFlag", {{"p", "a*b"}}, "p", "a*b"},
    {"Star", {{"p", "a*b*"}, {"p_KestrovanFlag", "true"}}, "p", "a\\b\\"},
    {"StarBeatsBase64", {{"p", "a*b"}, {"p_KestrovanFlag", "true"}, {"p_KestrovanBase64Flag", "true"}}, "p", "a\\b"},
    {"Slash", {{"p", "C:==KestrovanSlash==x"}, {"p_KestrovanSlashFlag", "true"}}, "p", "C:\\x"},
    {"SlashBeatsBase64", {{"p", "TWFu==KestrovanSlash=="}, {"p_KestrovanSlashFlag", "TRUE"}, {"p_KestrovanBase64Flag", "true"}}, "p", "TWFu\\"},
    {"Base64", {{"p", "TWFu"}, {"p_KestrovanBase64Flag", "true"}}, "p", "Man"},
    {"Base64PercentEscape", {{"p", "TWE%3D"}, {"p_KestrovanBase64Flag", "true"}}, "p", "Ma"},
    {"Base64Padding", {{"p", "TWE="}, {"p_KestrovanBase64Flag", "true"}}, "p", "Ma"},
    {"FlagTrueMixedCase", {{"p", "a*b"}, {"p_KestrovanFlag", "True"}}, "p", "a\\b"},
    {"FlagTrueUpperCase", {{"p", "a*b"}, {"p_KestrovanFlag", "TRUE"}}, "p", "a\\b"},
    {"FlagOneIsOff", {{"p", "a*b"}, {"p_KestrovanFlag", "1"}}, "p", "a*b"},
    {"FlagYesIsOff", {{"p", "a*b"}, {"p_KestrovanFlag", "yes"}}, "p", "a*b"},
    {"FlagTrueBlankIsOff", {{"p", "a*b"}, {"p_KestrovanFlag", "true "}}, "p", "a*b"},
    {"FlagKeyIgnoresCase", {{"Pin", "a*b"}, {"PIN_KESTROVANFLAG", "true"}}, "pin", "a\\b"},
    {"FlagValueReadAsStored", {{"p", "a*b"}, {"p_KestrovanFlag", "dHJ1ZQ=="}, {"p_KestrovanFlag_KestrovanBase64Flag", "true"}}, "p", "a*b"},
    {"FlagEntryDecodedWhenReadItself", {{"p_KestrovanFlag", "dHJ1ZQ=="}, {"p_KestrovanFlag_KestrovanBase64Flag", "true"}}, "p_KestrovanFlag", "true"},
    {"EncryptFirstWithoutSecret", {{"p", "a*b"}, {"p_KestrovanEncryptFlag", "true"}, {"p_KestrovanFlag", "true"}}, "p", "a*b"},
    {"EncryptWithoutSecret", {{"p", "00ff"}, {"p_KestrovanEncryptFlag", "true"}}, "p", "00ff"},
};

INSTANTIATE_TEST_SUITE_P(Params, Flags, testing::ValuesIn(FlagCases),
                         [](const testing::TestParamInfo<FlagCase>& info) { return info.param.name; });

TEST(Flags, LongFlagValueIsNeverTrue) {
  KestrovanJsonMap* map = mapOf({{"p", "a*b"}, {"p_KestrovanFlag", "truetrue"}});
  char* value = getKestrovanJsonCharType(map, "p");
  EXPECT_STREQ(value, "a*b");
  free(value);
  KestrovanJsonFinal(map);
}

TEST(Flags, FixParameterMissingArguments) {
  testing::internal::CaptureStdout();
  KestrovanJsonMap* map = mapOf({});
  char* copy = fixParameter(nullptr, "k", "v");
  EXPECT_STREQ(copy, "v");
  free(copy);
  copy = fixParameter(map, nullptr, "v");
  EXPECT_STREQ(copy, "v");
  free(copy);
  EXPECT_EQ(fixParameter(map, "k", nullptr), nullptr);
  std::string out = captured();
  EXPECT_NE(out.find("Parameter inputKestrovanJson is null at Json"), std::string::npos);
  EXPECT_NE(out.find("Parameter inputKey is null at Json"), std::string::npos);
  EXPECT_NE(out.find("Parameter inputValue is null at Json"), std::string::npos);
  KestrovanJsonFinal(map);
}

struct EncryptCase {
  const char* name;
  const char* secret;  // null: no secret in the request
  const char* sealWith;
  bool opens;
};

void PrintTo(const EncryptCase& c, std::ostream* os) { *os << c.name; }

class EncryptFlag : public testing::TestWithParam<EncryptCase> {};

TEST_P(EncryptFlag, OpensOnlyWithTheRightSecret) {
  const EncryptCase& c = GetParam();
  std::string hex = sealForPage("PIN 1234", c.sealWith);
  Entries entries = {{"pin", hex}, {"pin_KestrovanEncryptFlag", "true"}};
  if (c.secret != nullptr) {
    entries.emplace_back("Kestrovan_share_secret", c.secret);
  }
  KestrovanJsonMap* map = mapOf(entries);
  testing::internal::CaptureStdout();
  char* value = getKestrovanJsonCharType(map, "PIN");
  std::string out = captured();
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(std::string(value), c.opens ? "PIN 1234" : hex);
  EXPECT_NE(out.find("find key: Kestrovan_share_secret"), std::string::npos);
  EXPECT_EQ(occurrences(out, " ===== start ====="), 1u);
  if (!c.opens) {
    EXPECT_NE(out.find("Memory allocate fail at file: Json"), std::string::npos);
  }
  free(value);
  KestrovanJsonFinal(map);
}

const EncryptCase EncryptCases[] = {
    {"Opens", Secret, Secret, true},
    // Only the first 32 bytes are key material.
    {"LongerSecret", "0123456789abcdef0123456789ABCDEFextra", Secret, true},
    {"NoSecret", nullptr, Secret, false},
    {"WrongSecret", "0123456789abcdef0123456789ABCDEX", Secret, false},
    // Too short to be a key: never read past its end, value unchanged.
    {"ShortSecret", "0123456789abcdef0123456789ABCDE", "0123456789abcdef0123456789ABCDE\0", false},
    {"EmptySecret", "", Secret, false},
};

INSTANTIATE_TEST_SUITE_P(Params, EncryptFlag, testing::ValuesIn(EncryptCases),
                         [](const testing::TestParamInfo<EncryptCase>& info) { return info.param.name; });

TEST(EncryptFlag, BadCipherTextKeepsTheValue) {
  const char* values[] = {"", "0", "zz", "00112233", "0011223344556677889900112233445"};
  for (const char* text : values) {
    KestrovanJsonMap* map = mapOf({{"p", text}, {"p_KestrovanEncryptFlag", "true"}, {"Kestrovan_share_secret", Secret}});
    char* value = getKestrovanJsonCharType(map, "p");
    ASSERT_NE(value, nullptr) << text;
    EXPECT_STREQ(value, text);
    free(value);
    KestrovanJsonFinal(map);
  }
}

struct TextCase {
  const char* name;
  Entries entries;
  bool encode;
  const char* expected;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class TextForm : public testing::TestWithParam<TextCase> {};

TEST_P(TextForm, Writes) {
  const TextCase& c = GetParam();
  KestrovanJsonMap* map = mapOf(c.entries);
  char* text = getKestrovanMapString(map, c.encode);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, c.expected);
  free(text);
  KestrovanJsonFinal(map);
}

const TextCase TextCases[] = {
    {"Empty", {}, true, "{}"},
    {"Plain", {{"result", "0"}, {"name", "abc"}}, false, "{\"name\": \"abc\", \"result\": \"0\"}"},
    {"Encoded", {{"result", "0"}, {"name", "abc"}}, true, "{\"name\": \"YWJj\", \"result\": \"MA==\"}"},
    {"QuoteUnescaped", {{"q", "a\"b\\"}}, false, "{\"q\": \"a\"b\\\"}"},
    {"EmptyValueEncoded", {{"e", ""}}, true, "{\"e\": \"\"}"},
    {"KeyOrderIgnoresCase", {{"b", "1"}, {"A", "2"}, {"c", "3"}}, false, "{\"A\": \"2\", \"b\": \"1\", \"c\": \"3\"}"},
};

INSTANTIATE_TEST_SUITE_P(Params, TextForm, testing::ValuesIn(TextCases),
                         [](const testing::TestParamInfo<TextCase>& info) { return info.param.name; });

TEST(TextForm, SkipsEntriesWithoutText) {
  KestrovanJsonMap* map = (KestrovanJsonMap*)calloc(1, sizeof(KestrovanJsonMap));
  static const unsigned char bytes[] = {1, 2};
  addKestrovanJsonMapUnit(map, "blob", bytes, sizeof(bytes));
  char* text = getKestrovanMapString(map, true);
  EXPECT_STREQ(text, "{}");
  free(text);
  addKestrovanJsonMapUnit(map, "none", (const char*)nullptr);
  addKestrovanJsonMapUnit(map, "z", "1");
  text = getKestrovanMapString(map, false);
  EXPECT_STREQ(text, "{\"z\": \"1\"}");
  free(text);
  KestrovanJsonFinal(map);
}

TEST(TextForm, MissingMap) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(getKestrovanMapString(nullptr, true), nullptr);
  EXPECT_NE(captured().find("Parameter inputKestrovanJson is null at Json"), std::string::npos);
}

TEST(TextForm, FullMapRoundTripsThroughTheParser) {
  KestrovanJsonMap* map = (KestrovanJsonMap*)calloc(1, sizeof(KestrovanJsonMap));
  char key[16], value[32];
  for (int i = 0; i < 128; i++) {
    snprintf(key, sizeof(key), "key%03d", i);
    snprintf(value, sizeof(value), "value %d with \"quote", i);
    addKestrovanJsonMapUnit(map, key, value);
  }
  char* text = getKestrovanMapString(map, true);
  ASSERT_NE(text, nullptr);
  KestrovanJsonMap* parsed = getKestrovanJsonMap(text);
  ASSERT_NE(parsed, nullptr);
  ASSERT_EQ(parsed->count, 128);
  for (int i = 0; i < 128; i++) {
    EXPECT_STREQ(parsed->units[i].key, map->units[i].key);
    char* decoded = Base64Decode(parsed->units[i].value);
    EXPECT_STREQ(decoded, map->units[i].value);
    free(decoded);
  }
  free(text);
  KestrovanJsonFinal(parsed);
  KestrovanJsonFinal(map);
}

struct DisplayCase {
  const char* name;
  Entries entries;
  std::string key;
  std::string shown;  // expected text after "<key>: "
};

void PrintTo(const DisplayCase& c, std::ostream* os) { *os << c.name; }

class Display : public testing::TestWithParam<DisplayCase> {};

// The value shown after "<key>: " on the display line.
std::string shownValue(const std::string& out, const std::string& key) {
  std::string line = " " + key + ": ";
  size_t at = out.find(line);
  if (at == std::string::npos) {
    return "<no line>";
  }
  size_t end = out.find('\n', at);
  return out.substr(at + line.size(), end - at - line.size());
}

TEST_P(Display, MasksAsExpected) {
  const DisplayCase& c = GetParam();
  KestrovanJsonMap* map = mapOf(c.entries);
  testing::internal::CaptureStdout();
  showKestrovanJsonMap(map);
  std::string out = captured();
  EXPECT_EQ(shownValue(out, c.key), c.shown) << out;
  KestrovanJsonFinal(map);
}

const DisplayCase DisplayCases[] = {
    {"Clear", {{"name", "abc"}}, "name", "abc"},
    {"Pin", {{"pin", "1234"}}, "pin", "****"},
    {"PinInsideWord", {{"typing", "abc"}}, "typing", "***"},
    {"Pw", {{"UserPW", "xy"}}, "UserPW", "**"},
    {"Pass", {{"Passphrase", "secret"}}, "Passphrase", "******"},
    {"KestrovanBeatsPass", {{"KestrovanPass", "secret"}}, "KestrovanPass", "secret"},
    {"SharedSecretMasked", {{"Kestrovan_share_secret", "0123456789"}}, "Kestrovan_share_secret", "**********"},
    {"HideTrueUpper", {{"x", "abcde"}, {"x_KestrovanHide", "TRUE"}}, "x", "*****"},
    {"HideYes", {{"x", "abcde"}, {"x_KestrovanHide", "yes"}}, "x", "abcde"},
    {"HideDecodedByItsOwnFlag", {{"x", "ab"}, {"x_KestrovanHide", "dHJ1ZQ=="}, {"x_KestrovanHide_KestrovanBase64Flag", "true"}}, "x", "**"},
    {"MaskCountsBytes", {{"pin", "\xc3\xa9\xc3\xa9"}}, "pin", "****"},
    // Long keys, values and masks are cut to 256 bytes, with the full length.
    {"ValueAtTheBound", {{"note", std::string(256, 'a')}}, "note", std::string(256, 'a')},
    {"LongValueCut", {{"note", std::string(256, 'a') + "marker"}}, "note", std::string(256, 'a') + " ... (262 bytes)"},
    {"HugeValueCut", {{"note", std::string(1 << 20, 'a')}}, "note", std::string(256, 'a') + " ... (1048576 bytes)"},
    {"CutBeforeACharacter", {{"note", std::string(255, 'a') + "\xc3\xa9" + "bbb"}}, "note",
     std::string(255, 'a') + " ... (260 bytes)"},
    {"LongPinMaskCut", {{"pin", std::string(1000, '7')}}, "pin", std::string(256, '*') + " ... (1000 bytes)"},
    {"LongSecretMaskCut", {{"Kestrovan_share_secret", std::string(300, 's')}}, "Kestrovan_share_secret",
     std::string(256, '*') + " ... (300 bytes)"},
    {"LongHiddenMaskCut", {{"x", std::string(257, 'h')}, {"x_KestrovanHide", "true"}}, "x",
     std::string(256, '*') + " ... (257 bytes)"},
    {"LongKeyCut", {{std::string(300, 'k'), "v"}}, std::string(256, 'k') + " ... (300 bytes)", "v"},
    {"LongKeyMaskedByItsTail", {{std::string(300, 'k') + "pin", "1234"}}, std::string(256, 'k') + " ... (303 bytes)",
     "****"},
};

INSTANTIATE_TEST_SUITE_P(Params, Display, testing::ValuesIn(DisplayCases),
                         [](const testing::TestParamInfo<DisplayCase>& info) { return info.param.name; });

TEST(Display, EntriesWithoutTextAndFrame) {
  KestrovanJsonMap* map = (KestrovanJsonMap*)calloc(1, sizeof(KestrovanJsonMap));
  static const unsigned char bytes[] = {1};
  addKestrovanJsonMapUnit(map, "blob", bytes, 1);
  addKestrovanJsonMapUnit(map, "none", (const char*)nullptr);
  testing::internal::CaptureStdout();
  showKestrovanJsonMap(map);
  std::string out = captured();
  EXPECT_EQ(shownValue(out, "blob"), "[binary_value]");
  EXPECT_EQ(shownValue(out, "none"), "[empty]");
  size_t start = out.find("= DISPLAY PARAMETER");
  ASSERT_NE(start, std::string::npos);
  EXPECT_LT(start, out.find(" ===== start ====="));
  EXPECT_LT(out.find(" ===== start ====="), out.find("blob: "));
  EXPECT_LT(out.find("none: "), out.find(" ===== end ====="));
  KestrovanJsonFinal(map);

  testing::internal::CaptureStdout();
  showKestrovanJsonMap(nullptr);
  out = captured();
  EXPECT_NE(out.find(" ===== start ====="), std::string::npos);
  EXPECT_NE(out.find(" ===== end ====="), std::string::npos);
}

// A hide flag that is itself sealed: the display opens it without printing
// the map again, so it ends, and the value stays masked.
TEST(Display, SealedHideFlagDoesNotReenter) {
  std::string sealedTrue = sealForPage("true", Secret);
  KestrovanJsonMap* map = mapOf({{"x", "abc"},
                                 {"x_KestrovanHide", sealedTrue},
                                 {"x_KestrovanHide_KestrovanEncryptFlag", "true"},
                                 {"Kestrovan_share_secret", Secret}});
  testing::internal::CaptureStdout();
  showKestrovanJsonMap(map);
  std::string out = captured();
  EXPECT_EQ(occurrences(out, " ===== start ====="), 1u);
  EXPECT_EQ(shownValue(out, "x"), "***") << out;

  // Reading a sealed parameter prints the map once, and the sealed hide flag
  // inside that display does not print it again.
  std::string sealedValue = sealForPage("opened", Secret);
  addKestrovanJsonMapUnit(map, "y", sealedValue.c_str());
  addKestrovanJsonMapUnit(map, "y_KestrovanEncryptFlag", "true");
  testing::internal::CaptureStdout();
  char* value = getKestrovanJsonCharType(map, "y");
  out = captured();
  EXPECT_STREQ(value, "opened");
  EXPECT_EQ(occurrences(out, " ===== start ====="), 1u);
  free(value);
  KestrovanJsonFinal(map);
}

}  // namespace
