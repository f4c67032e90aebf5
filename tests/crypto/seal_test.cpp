// SPDX-License-Identifier: Apache-2.0
// AES-256-CBC sealing of texts: the sealed form and its length, opening,
// and the failures (wrong key, damaged length, missing arguments).
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "crypto/crypto.h"
#include "crypto_test_util.h"

using testing::HasSubstr;

namespace {

const Bytes kKey = fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
const Bytes kIv = fromHex("f0e0d0c0b0a090807060504030201000");

const unsigned char* text(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

struct Sealed {
  Bytes bytes;
  bool ok;
};

Sealed seal(const std::string& t, const Bytes& key = kKey, const Bytes& iv = kIv) {
  unsigned long length = 12345;
  unsigned char* out = AES256_Encrypt_CBC(text(t.c_str()), key.data(), iv.data(), &length);
  if (!out) return {{}, false};
  Sealed s{Bytes(out, out + length), true};
  free(out);
  return s;
}

class SealLength : public testing::TestWithParam<size_t> {};

// Sealed length 16 * ((L + 1) / 16 + 1) with L = 15 + text length; the
// sealed bytes are marker, text, zero byte and block padding under CBC.
TEST_P(SealLength, SealsMarkerTextAndZeroByteThenOpens) {
  const size_t n = GetParam();
  std::string t;
  for (size_t i = 0; i < n; i++) t += static_cast<char>('a' + i % 26);
  Sealed s = seal(t);
  ASSERT_TRUE(s.ok);
  const size_t l = 15 + n;
  EXPECT_EQ(s.bytes.size(), 16 * ((l + 1) / 16 + 1));

  int rv;
  Bytes raw = runOnce(false, SK_CKM_AES_CBC, kKey, kIv, s.bytes, &rv);
  ASSERT_EQ(rv, 0);
  Bytes want = fromText(("KestrovanAESCBC" + t).c_str());
  want.push_back(0);
  const size_t pad = s.bytes.size() - want.size();
  want.insert(want.end(), pad, static_cast<uint8_t>(pad));
  EXPECT_EQ(toHex(raw), toHex(want));

  int opened = -1;
  testing::internal::CaptureStdout();
  unsigned char* back = AES256_Decrypt_CBC(s.bytes.data(), s.bytes.size(), kKey.data(), kIv.data(), opened);
  std::string trace = testing::internal::GetCapturedStdout();
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(reinterpret_cast<char*>(back), t.c_str());
  EXPECT_EQ(opened, static_cast<int>(n + 16));
  EXPECT_THAT(trace, HasSubstr("AES: "));
  EXPECT_THAT(trace, HasSubstr("Remove prefix"));
  free(back);
}

INSTANTIATE_TEST_SUITE_P(TextLengths, SealLength,
                         testing::Values(0, 1, 14, 15, 16, 17, 31, 32, 33, 100, 1000, 70000));

TEST(Seal, EdgeLengthsFromTheFormula) {
  EXPECT_EQ(seal("").bytes.size(), 32u);                  // marker + zero byte = 16, then a padding block
  EXPECT_EQ(seal("abcdefghijklmn").bytes.size(), 32u);    // 30 bytes + 2 of padding
  EXPECT_EQ(seal("abcdefghijklmnop").bytes.size(), 48u);  // 32 bytes + a padding block
}

TEST(Seal, LengthPointerIsOptional) {
  unsigned char* out = AES256_Encrypt_CBC(text("x"), kKey.data(), kIv.data(), nullptr);
  ASSERT_NE(out, nullptr);
  free(out);
}

struct NullCase {
  const char* name;
  bool text, key, iv;
  const char* parameter;
};

const NullCase kNullCases[] = {
    {"Text", false, true, true, "inputText"},
    {"Key", true, false, true, "inputKey"},
    {"Iv", true, true, false, "inputIV"},
};

class SealNullArgument : public testing::TestWithParam<NullCase> {};

TEST_P(SealNullArgument, BothDirectionsWarnAndReturnNull) {
  const NullCase& c = GetParam();
  Sealed s = seal("hello");
  ASSERT_TRUE(s.ok);
  unsigned long length = 7;
  testing::internal::CaptureStdout();
  EXPECT_EQ(AES256_Encrypt_CBC(c.text ? text("hello") : nullptr, c.key ? kKey.data() : nullptr,
                               c.iv ? kIv.data() : nullptr, &length),
            nullptr);
  std::string trace = testing::internal::GetCapturedStdout();
  EXPECT_EQ(length, 7u);
  EXPECT_THAT(trace, HasSubstr(std::string("Parameter ") + c.parameter + " is null at AES "));

  int opened = -1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(AES256_Decrypt_CBC(c.text ? s.bytes.data() : nullptr, s.bytes.size(), c.key ? kKey.data() : nullptr,
                               c.iv ? kIv.data() : nullptr, opened),
            nullptr);
  trace = testing::internal::GetCapturedStdout();
  EXPECT_EQ(opened, -1);
  EXPECT_THAT(trace, HasSubstr(std::string("Parameter ") + c.parameter + " is null at AES "));
}

INSTANTIATE_TEST_SUITE_P(Table, SealNullArgument, testing::ValuesIn(kNullCases),
                         [](const testing::TestParamInfo<NullCase>& i) { return std::string(i.param.name); });

TEST(Open, WrongKeyIsBadPadding) {
  Sealed s = seal("the value a page stored");
  ASSERT_TRUE(s.ok);
  Bytes other = kKey;
  other[0] ^= 1;
  int opened = -1;
  testing::internal::CaptureStdout();
  unsigned char* back = AES256_Decrypt_CBC(s.bytes.data(), s.bytes.size(), other.data(), kIv.data(), opened);
  std::string trace = testing::internal::GetCapturedStdout();
  EXPECT_EQ(back, nullptr);
  EXPECT_EQ(opened, -1);
  EXPECT_THAT(trace, HasSubstr("Error code 64 = 0x40 at "));
  EXPECT_THAT(trace, HasSubstr(" line in AES"));
}

// Which engine code reports it depends on how much room the final has left
// (65 for a partial last block, 336 when the update used up the room).
TEST(Open, LengthNotAWholeNumberOfBlocks) {
  Sealed s = seal("sixteen+ characters");
  ASSERT_TRUE(s.ok);
  for (size_t length : {size_t{0}, size_t{1}, s.bytes.size() - 15, s.bytes.size() - 1, s.bytes.size() + 3}) {
    Bytes data = s.bytes;
    data.resize(length, 0x20);
    int opened = -1;
    testing::internal::CaptureStdout();
    unsigned char* back = AES256_Decrypt_CBC(data.data(), data.size(), kKey.data(), kIv.data(), opened);
    std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(back, nullptr) << length;
    EXPECT_EQ(opened, -1);
    EXPECT_THAT(trace, testing::ContainsRegex("Error code [0-9]+ = 0x[0-9A-F]+ at [0-9]+ line in AES")) << length;
  }
}

TEST(Open, DataWithoutTheMarkerComesBackWhole) {
  int rv;
  Bytes sealed = runOnce(true, SK_CKM_AES_CBC_PAD, kKey, kIv, fromText("no marker here, just text"), &rv);
  ASSERT_EQ(rv, 0);
  int opened = -1;
  unsigned char* back = AES256_Decrypt_CBC(sealed.data(), sealed.size(), kKey.data(), kIv.data(), opened);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(opened, 25);
  EXPECT_STREQ(reinterpret_cast<char*>(back), "no marker here, just text");
  free(back);
}

TEST(Open, TextStopsAtItsZeroByte) {
  // A page-independent sealed block with bytes after the zero: only the
  // text up to the zero comes back, openedLength counts everything.
  Bytes plain = fromText("KestrovanAESCBCab");
  plain.push_back(0);
  plain.push_back('z');
  int rv;
  Bytes sealed = runOnce(true, SK_CKM_AES_CBC_PAD, kKey, kIv, plain, &rv);
  ASSERT_EQ(rv, 0);
  int opened = -1;
  unsigned char* back = AES256_Decrypt_CBC(sealed.data(), sealed.size(), kKey.data(), kIv.data(), opened);
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(reinterpret_cast<char*>(back), "ab");
  EXPECT_EQ(opened, 19);
  free(back);
}

// The strict opening accepts only the sealed form. The lenient opening above
// hands back data without the marker, or a text with bytes after its zero
// byte; a wrong key whose output ends in valid padding looks like the first.
struct StrictCase {
  const char* name;
  Bytes plain;  // sealed with the raw engine (padding added)
  const char* text;  // null: refused
};

Bytes withZero(const char* t) {
  Bytes b = fromText(t);
  b.push_back(0);
  return b;
}

TEST(OpenStrict, AcceptsOnlyTheSealedForm) {
  Bytes trailing = withZero("KestrovanAESCBCab");
  trailing.push_back('z');
  const StrictCase cases[] = {
      {"SealedText", withZero("KestrovanAESCBCPIN 1234"), "PIN 1234"},
      {"EmptyText", withZero("KestrovanAESCBC"), ""},
      {"NoMarker", withZero("no marker here"), nullptr},
      {"NoZeroByte", fromText("KestrovanAESCBCabc"), nullptr},
      {"BytesAfterTheZero", trailing, nullptr},
      {"MarkerOnlyNoZero", fromText("KestrovanAESCBC"), nullptr},
      {"Nothing", Bytes{}, nullptr},
  };
  for (const StrictCase& c : cases) {
    int rv;
    Bytes sealed = runOnce(true, SK_CKM_AES_CBC_PAD, kKey, kIv, c.plain, &rv);
    ASSERT_EQ(rv, 0) << c.name;
    size_t length = 999;
    unsigned char* back = AES256_Open_CBC(sealed.data(), sealed.size(), kKey.data(), kIv.data(), &length);
    if (c.text == nullptr) {
      EXPECT_EQ(back, nullptr) << c.name;
      EXPECT_EQ(length, 999u) << c.name;
    } else {
      ASSERT_NE(back, nullptr) << c.name;
      EXPECT_STREQ(reinterpret_cast<char*>(back), c.text) << c.name;
      EXPECT_EQ(length, strlen(c.text)) << c.name;
    }
    free(back);
  }
}

TEST(OpenStrict, OpensWhatSealingMakesAndRefusesAWrongKey) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{16}, size_t{17}, size_t{100}}) {
    std::string t(n, 'x');
    Sealed s = seal(t);
    ASSERT_TRUE(s.ok);
    size_t length = 0;
    unsigned char* back = AES256_Open_CBC(s.bytes.data(), s.bytes.size(), kKey.data(), kIv.data(), &length);
    ASSERT_NE(back, nullptr) << n;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back), length), t);
    free(back);
  }
  // Every one-bit change of the key: whatever the padding check lets
  // through, the marker check refuses.
  Sealed s = seal("1234");
  ASSERT_TRUE(s.ok);
  testing::internal::CaptureStdout();
  for (size_t bit = 0; bit < 256; bit++) {
    Bytes other = kKey;
    other[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_EQ(AES256_Open_CBC(s.bytes.data(), s.bytes.size(), other.data(), kIv.data(), nullptr), nullptr) << bit;
  }
  testing::internal::GetCapturedStdout();
}

TEST(Seal, DifferentIvGivesDifferentSealedBytes) {
  Bytes iv2 = kIv;
  iv2[15] ^= 0x80;
  EXPECT_NE(toHex(seal("same text").bytes), toHex(seal("same text", kKey, iv2).bytes));
}

}  // namespace
