// SPDX-License-Identifier: Apache-2.0
// Memory and text helpers: bounded copies, number conversion, splitting,
// replacing, hexadecimal and version comparison.
#include "support/support.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/helpers.h"

using kestrovan_test::captureStdout;

TEST(NewMemSize, RefusesZeroAndTwoGigabytesSilently) {
  std::string out = captureStdout([] {
    EXPECT_EQ(newMemSize(0), nullptr);
    EXPECT_EQ(newMemSize(2147483648ull), nullptr);
    EXPECT_EQ(newMemSize(UINT64_MAX), nullptr);
  });
  EXPECT_EQ(out, "");
  unsigned char* block = (unsigned char*)newMemSize(32);
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 32; i++)
    EXPECT_EQ(block[i], 0);
  free(block);
}

TEST(NewMem, CopiesAndPassesNullThrough) {
  EXPECT_EQ(newMem(nullptr), nullptr);
  char* copy = newMem("abc");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "abc");
  free(copy);
}

TEST(ArrayCopy, AlwaysTerminatesAndCutsToFit) {
  char buffer[4];
  ArrayCopy(buffer, sizeof(buffer), "0123456789");
  EXPECT_STREQ(buffer, "012");
  ArrayCopy(buffer, sizeof(buffer), "ab");
  EXPECT_STREQ(buffer, "ab");
  ArrayCopy(buffer, sizeof(buffer), "abc");
  EXPECT_STREQ(buffer, "abc");
  ArrayCopy(buffer, sizeof(buffer), nullptr);  // a null source changes nothing
  EXPECT_STREQ(buffer, "abc");
  ArrayCopy(buffer, 1, "xyz");
  EXPECT_STREQ(buffer, "");
}

TEST(ArrayCopy, ReadsNoFurtherThanTheBufferNeeds) {
  // An unterminated source longer than the buffer: only size bytes are read.
  char source[3] = {'x', 'y', 'z'};
  char buffer[3];
  ArrayCopy(buffer, sizeof(buffer), source);
  EXPECT_STREQ(buffer, "xy");
}

TEST(ArrayCopyFree, CopiesAndReleasesTheSource) {
  char buffer[8];
  ArrayCopyFree(buffer, sizeof(buffer), newMem("secret-value"));
  EXPECT_STREQ(buffer, "secret-");
  ArrayCopyFree(buffer, sizeof(buffer), nullptr);
  EXPECT_STREQ(buffer, "secret-");
}

TEST(StringAppend, AppendsWithinTheSpaceLeft) {
  char buffer[8] = "abc";
  StringAppend(buffer, sizeof(buffer), "def");
  EXPECT_STREQ(buffer, "abcdef");
  StringAppend(buffer, sizeof(buffer), "ghij");
  EXPECT_STREQ(buffer, "abcdefg");
  StringAppend(buffer, sizeof(buffer), "more");
  EXPECT_STREQ(buffer, "abcdefg");
}

TEST(SecureWipe, ZeroesEveryByte) {
  unsigned char data[16];
  memset(data, 0xA5, sizeof(data));
  secureWipe(data, sizeof(data));
  for (unsigned char byte : data)
    EXPECT_EQ(byte, 0);
  secureWipe(nullptr, 4);
  freeSecret(nullptr);
  freeSecret(newMem("key material"));
}

struct NumberCase {
  const char* text;
  bool strict;
  int64_t value;
  int32_t code;
};

class CharToLong : public testing::TestWithParam<NumberCase> {};

TEST_P(CharToLong, ValueAndCode) {
  const NumberCase& c = GetParam();
  LastErrorCode = 12345;
  EXPECT_EQ(charToLong(c.text, c.strict), c.value);
  EXPECT_EQ(LastErrorCode, c.code);
  EXPECT_EQ(isCharToLongError(), c.code != 0);
}

INSTANTIATE_TEST_SUITE_P(Strict, CharToLong,
                         testing::Values(NumberCase{"-12", true, -12, 0}, NumberCase{"0", true, 0, 0},
                                         NumberCase{"0721", true, 721, 0},
                                         NumberCase{"9223372036854775807", true, INT64_MAX, 0},
                                         NumberCase{"-9223372036854775808", true, INT64_MIN, 0},
                                         NumberCase{"12-", true, 0, 61003}, NumberCase{"+12", true, 0, 61003},
                                         NumberCase{" 12", true, 0, 61003}, NumberCase{"1 2", true, 0, 61003},
                                         NumberCase{"", true, 0, 61003}, NumberCase{"-", true, 0, 61003},
                                         NumberCase{"--1", true, 0, 61003},
                                         NumberCase{"92233720368547758070", true, 0, 61003},
                                         NumberCase{nullptr, true, 0, 61004}));

INSTANTIATE_TEST_SUITE_P(Loose, CharToLong,
                         testing::Values(NumberCase{"  42abc", false, 42, 0}, NumberCase{"12ab", false, 12, 0},
                                         NumberCase{" +7", false, 7, 0}, NumberCase{"-3", false, -3, 0},
                                         NumberCase{"", false, 0, 61003}, NumberCase{"-", false, 0, 61003},
                                         NumberCase{"ab", false, 0, 61003},
                                         NumberCase{"12345678901234567890", false, 0, 61003},
                                         NumberCase{"-92233720368547758090", false, 0, 61003},
                                         NumberCase{nullptr, false, 0, 61004}));

TEST(CharToLongThreads, EachThreadSeesItsOwnOutcome) {
  charToLong("x", true);
  ASSERT_TRUE(isCharToLongError());
  std::thread other([] {
    EXPECT_EQ(charToLong("5", true), 5);
    EXPECT_FALSE(isCharToLongError());
  });
  other.join();
  EXPECT_TRUE(isCharToLongError());
  EXPECT_EQ(LastErrorCode, 61003);
}

struct ReplaceCase {
  const char* text;
  const char* oldText;
  const char* newText;
  const char* expected;
};

class Replace : public testing::TestWithParam<ReplaceCase> {};

TEST_P(Replace, Result) {
  const ReplaceCase& c = GetParam();
  char* result = replace(c.text, c.oldText, c.newText);
  if (c.expected == nullptr) {
    EXPECT_EQ(result, nullptr);
  } else {
    ASSERT_NE(result, nullptr);
    EXPECT_STREQ(result, c.expected);
  }
  free(result);
}

INSTANTIATE_TEST_SUITE_P(Cases, Replace,
                         testing::Values(ReplaceCase{"a.b.c", ".", ",", "a,b,c"},
                                         ReplaceCase{"a.b.c", ".", "<->", "a<->b<->c"},
                                         ReplaceCase{"%2B%2Bx", "%2B", "+", "++x"},
                                         ReplaceCase{"aaaa", "aa", "b", "bb"},  // non-overlapping, left to right
                                         ReplaceCase{"aaa", "aa", "xyz", "xyza"},
                                         ReplaceCase{"abc", "x", "y", "abc"}, ReplaceCase{"", "x", "y", ""},
                                         ReplaceCase{"a b ", " ", nullptr, "ab"},
                                         ReplaceCase{"abc", nullptr, "y", "abc"}, ReplaceCase{"abc", "", "y", "abc"},
                                         ReplaceCase{nullptr, "a", "b", nullptr}));

TEST(StartsEndsWith, Table) {
  EXPECT_TRUE(startsWith("ab", "abc"));
  EXPECT_TRUE(startsWith("", "abc"));
  EXPECT_TRUE(startsWith(nullptr, "abc"));
  EXPECT_FALSE(startsWith("abcd", "abc"));
  EXPECT_FALSE(startsWith("b", "abc"));
  EXPECT_TRUE(endsWith("bc", "abc"));
  EXPECT_TRUE(endsWith(nullptr, "abc"));
  EXPECT_FALSE(endsWith("xabc", "abc"));
  EXPECT_FALSE(endsWith("b", "abc"));
  EXPECT_FALSE(endsWith("a", nullptr));
  std::string out = captureStdout([] { EXPECT_FALSE(startsWith("a", nullptr)); });
  EXPECT_NE(out.find("Parameter inputMainString is null at Tool "), std::string::npos) << out;
}

struct SplitCase {
  const char* text;
  const char* delimiter;
  std::vector<std::string> pieces;
};

class Split : public testing::TestWithParam<SplitCase> {};

TEST_P(Split, Pieces) {
  const SplitCase& c = GetParam();
  char** list = getSubStringList(c.text, c.delimiter);
  ASSERT_NE(list, nullptr);
  std::vector<std::string> pieces;
  for (size_t i = 0; list[i] != nullptr; i++)
    pieces.push_back(list[i]);
  EXPECT_EQ(pieces, c.pieces);
  freeSubStringList(list);
}

INSTANTIATE_TEST_SUITE_P(Cases, Split,
                         testing::Values(SplitCase{"a,b", ",", {"a", "b"}}, SplitCase{",a", ",", {"", "a"}},
                                         SplitCase{"a,,", ",", {"a", "", ""}}, SplitCase{",", ",", {"", ""}},
                                         SplitCase{"abc", ",", {"abc"}}, SplitCase{"", ",", {}},
                                         SplitCase{"a,b", "", {}}, SplitCase{nullptr, ",", {}},
                                         SplitCase{"a,b", nullptr, {}},
                                         SplitCase{"1::2::::3", "::", {"1", "2", "", "3"}},
                                         SplitCase{"x:::y", "::", {"x", ":y"}}));

TEST(GetRangeValue, CopiesTheHalfOpenRange) {
  char* piece = getRangeValue("abcdef", 1, 4);
  ASSERT_NE(piece, nullptr);
  EXPECT_STREQ(piece, "bcd");
  free(piece);
  piece = getRangeValue("abcdef", 2, 2);
  ASSERT_NE(piece, nullptr);
  EXPECT_STREQ(piece, "");
  free(piece);
  // A range past the end stops at the end of the text.
  piece = getRangeValue("abc", 1, 10);
  ASSERT_NE(piece, nullptr);
  EXPECT_STREQ(piece, "bc");
  free(piece);
  EXPECT_EQ(getRangeValue("abc", 3, 1), nullptr);
  EXPECT_EQ(getRangeValue(nullptr, 0, 1), nullptr);
}

TEST(UpToLow, LowersOnlyAsciiLetters) {
  char* lower = UpToLow("AbC-Z\xC3\x84@[");
  ASSERT_NE(lower, nullptr);
  EXPECT_STREQ(lower, "abc-z\xC3\x84@[");
  free(lower);
  std::string out = captureStdout([] { EXPECT_EQ(UpToLow(nullptr), nullptr); });
  EXPECT_NE(out.find("Parameter input is null at Tool "), std::string::npos) << out;
}

struct HexCase {
  const char* hex;
  std::vector<unsigned char> bytes;
};

class Hex : public testing::TestWithParam<HexCase> {};

TEST_P(Hex, Bytes) {
  const HexCase& c = GetParam();
  unsigned char* bytes = HexDecode(c.hex);
  ASSERT_NE(bytes, nullptr);
  std::vector<unsigned char> got(bytes, bytes + strlen(c.hex) / 2);
  EXPECT_EQ(got, c.bytes);
  EXPECT_EQ(bytes[strlen(c.hex) / 2], 0);
  free(bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, Hex,
                         testing::Values(HexCase{"0aFf", {0x0A, 0xFF}}, HexCase{"0g", {0x00}},
                                         HexCase{"123", {0x12}}, HexCase{"", {}},
                                         HexCase{"00A0b0", {0x00, 0xA0, 0xB0}}));

TEST(CharToByte, MapsHexDigitsAndZeroesTheRest) {
  EXPECT_EQ(CharToByte('0'), 0);
  EXPECT_EQ(CharToByte('9'), 9);
  EXPECT_EQ(CharToByte('a'), 10);
  EXPECT_EQ(CharToByte('F'), 15);
  EXPECT_EQ(CharToByte('g'), 0);
  EXPECT_EQ(CharToByte('\0'), 0);
}

struct VersionCase {
  const char* a;
  const char* b;
  int32_t result;
  bool stringCompareLines;
};

class CheckVersion : public testing::TestWithParam<VersionCase> {};

TEST_P(CheckVersion, Result) {
  const VersionCase& c = GetParam();
  int32_t result = 0;
  std::string out = captureStdout([&] { result = checkVersion(c.a, c.b); });
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(out.find("Version check: ") != std::string::npos, c.stringCompareLines) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckVersion,
    testing::Values(VersionCase{"1.2", "1.2.0", 3, false}, VersionCase{"1..2", "1.0.2", 61005, false},
                    VersionCase{"1.2.", "1.2.3", 61005, false}, VersionCase{"2.0", "10.0", -1, false},
                    VersionCase{"10.0", "2.0", 1, false}, VersionCase{"3.10", "3.9", 1, false},
                    VersionCase{"3.0.23.0721", "3.0.23.721", 0, false}, VersionCase{"1,2,3", "1.2.3", 0, false},
                    VersionCase{"1. 2 .3", "1.2.3", 0, false}, VersionCase{" 3 . 1", "3.1", 0, false},
                    VersionCase{"-1.0", "0.0", -1, false}, VersionCase{"1.a", "1.a", 0, true},
                    VersionCase{"1.a", "1.b", 2, true}, VersionCase{"1.2", "1.x", 2, true},
                    VersionCase{"1.x", "1.2", 2, true}, VersionCase{"a.1", "a.2", -1, true},
                    VersionCase{"", "", 0, false}, VersionCase{"", "1", 3, false},
                    VersionCase{nullptr, "1", 61001, false}, VersionCase{"1", nullptr, 61001, false}));

TEST(CheckVersionTrace, StringCompareLinesNameBothParts) {
  std::string out = captureStdout([] { EXPECT_EQ(checkVersion("1.alpha", "1.beta"), 2); });
  EXPECT_NE(out.find("[Warning] Version check: \033[0m\033[33mString compare mode"), std::string::npos) << out;
  EXPECT_NE(out.find("[Warning]  - Version A: \033[0m\033[33malpha"), std::string::npos) << out;
  EXPECT_NE(out.find("[Warning]  - Version B: \033[0m\033[33mbeta"), std::string::npos) << out;
  out = captureStdout([] { EXPECT_EQ(checkVersion(nullptr, "1"), 61001); });
  EXPECT_NE(out.find("Parameter inputVersionA is null at Tool "), std::string::npos) << out;
}
