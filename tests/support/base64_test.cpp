// SPDX-License-Identifier: Apache-2.0
// Base64 both ways, the percent-escape fix-up, and JSON escape undoing.
#include "support/support.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/helpers.h"

struct CodingCase {
  const char* plain;
  const char* encoded;
};

class Base64Both : public testing::TestWithParam<CodingCase> {};

TEST_P(Base64Both, EncodesAndDecodes) {
  const CodingCase& c = GetParam();
  char* encoded = Base64Encode(c.plain);
  ASSERT_NE(encoded, nullptr);
  EXPECT_STREQ(encoded, c.encoded);
  free(encoded);
  char* plain = Base64Decode(c.encoded);
  ASSERT_NE(plain, nullptr);
  EXPECT_STREQ(plain, c.plain);
  free(plain);
}

INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Both,
                         testing::Values(CodingCase{"", ""}, CodingCase{"f", "Zg=="}, CodingCase{"fo", "Zm8="},
                                         CodingCase{"foo", "Zm9v"}, CodingCase{"foob", "Zm9vYg=="},
                                         CodingCase{"fooba", "Zm9vYmE="}, CodingCase{"foobar", "Zm9vYmFy"},
                                         CodingCase{"M", "TQ=="}, CodingCase{"Ma", "TWE="},
                                         CodingCase{"Man", "TWFu"},
                                         CodingCase{"\xfb\xff\xbf", "+/+/"}));

class Base64DecodeOnly : public testing::TestWithParam<CodingCase> {};

TEST_P(Base64DecodeOnly, Decodes) {
  const CodingCase& c = GetParam();
  char* plain = Base64Decode(c.encoded);
  ASSERT_NE(plain, nullptr);
  EXPECT_STREQ(plain, c.plain);
  free(plain);
}

INSTANTIATE_TEST_SUITE_P(
    Lenient, Base64DecodeOnly,
    testing::Values(CodingCase{"Ma", "TWE%3D"}, CodingCase{"M", "TQ%3D%3D"},
                    CodingCase{"\xfb\xff\xbf", "%2B%2F%2B%2F"},
                    CodingCase{"M", "TW Fu"},          // stops at the blank
                    CodingCase{"Man", "TWFu\r\nTWFu"},  // and at a line break
                    CodingCase{"M", "TQ==TWFu"},        // and at the first '='
                    CodingCase{"", "%2b%2f"},           // lower-case escapes stay
                    CodingCase{"Ma", "TWE"},             // no padding needed
                    CodingCase{"Man", "TWFuT"},          // a single last character gives nothing
                    CodingCase{"", "!TWFu"}));

TEST(Base64, EveryByteValueSurvivesTheRoundTrip) {
  std::string all;
  for (int i = 1; i < 256; i++)
    all.push_back((char)i);
  for (size_t cut = 0; cut < 4; cut++) {
    std::string text = all.substr(cut);
    char* encoded = Base64Encode(text.c_str());
    ASSERT_NE(encoded, nullptr);
    EXPECT_EQ(strlen(encoded), 4 * ((text.size() + 2) / 3));
    EXPECT_EQ(strspn(encoded, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="), strlen(encoded));
    char* decoded = Base64Decode(encoded);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(std::string(decoded), text);
    free(encoded);
    free(decoded);
  }
}

TEST(Base64, SizeFiguresAndRawCalls) {
  EXPECT_EQ(Base64encode_len(0), 1);
  EXPECT_EQ(Base64encode_len(1), 5);
  EXPECT_EQ(Base64encode_len(3), 5);
  EXPECT_EQ(Base64encode_len(4), 9);
  EXPECT_EQ(Base64decode_len("TWFu"), 4);
  EXPECT_EQ(Base64decode_len("TWE="), 4);
  EXPECT_EQ(Base64decode_len("TWFuTQ"), 7);
  EXPECT_EQ(Base64decode_len(""), 1);
  EXPECT_EQ(Base64encode_len(1610612733), 2147483645);
  EXPECT_EQ(Base64encode_len(1610612736), -1);  // 2^31 + 1 does not fit
  EXPECT_EQ(Base64encode_len(-1), -1);
  EXPECT_EQ(Base64decode_len(nullptr), -1);

  char encoded[16];
  EXPECT_EQ(_Base64encode(encoded, "Ma", 2), 5);
  EXPECT_STREQ(encoded, "TWE=");
  EXPECT_EQ(_Base64encode(encoded, "a\0b", 3), 5);  // the length counts, not the terminator
  EXPECT_STREQ(encoded, "YQBi");
  char plain[16];
  EXPECT_EQ(_Base64decode(plain, "YQBi"), 3);
  EXPECT_EQ(memcmp(plain, "a\0b", 3), 0);
  EXPECT_EQ(_Base64decode(plain, "TWE="), 2);
}

TEST(Base64, NullInputs) {
  std::string out = kestrovan_test::captureStdout([] {
    EXPECT_EQ(Base64Encode(nullptr), nullptr);
    EXPECT_EQ(Base64Decode(nullptr), nullptr);
  });
  EXPECT_NE(out.find("Parameter input is null at Tool "), std::string::npos) << out;
  EXPECT_EQ(out.find("Parameter", out.find("Parameter") + 1), std::string::npos) << "decoding null is silent";
}

class JsonEscapes : public testing::TestWithParam<CodingCase> {};

TEST_P(JsonEscapes, Undone) {
  const CodingCase& c = GetParam();
  char* fixed = Base64DecodeFix(c.encoded);
  ASSERT_NE(fixed, nullptr);
  EXPECT_STREQ(fixed, c.plain);
  free(fixed);
}

INSTANTIATE_TEST_SUITE_P(Cases, JsonEscapes,
                         testing::Values(CodingCase{"a\nb", "a\\nb"}, CodingCase{"\r\n\t", "\\r\\n\\t"},
                                         CodingCase{"\x0f\x0e\x1b", "\\u000f\\u000e\\u001b"},
                                         CodingCase{"say \"hi\"", "say \\\"hi\\\""},
                                         CodingCase{"\\\n", "\\\\n"},  // escaped backslash is not respected
                                         CodingCase{"\\\\", "\\\\"}, CodingCase{"\\u0041", "\\u0041"},
                                         CodingCase{"\\u000F", "\\u000F"}, CodingCase{"", ""}));

TEST(JsonEscapesNull, WarnsAndReturnsNull) {
  std::string out = kestrovan_test::captureStdout([] { EXPECT_EQ(Base64DecodeFix(nullptr), nullptr); });
  EXPECT_NE(out.find("Parameter inputData is null at Tool "), std::string::npos) << out;
}
