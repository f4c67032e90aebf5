// SPDX-License-Identifier: Apache-2.0
// The strict parameter reads adapters use: every decoding a page can ask for,
// and every way a value can fail to decode, side by side with what the
// service's own lenient read makes of the same value.
#include "include/kestrovan/adapter_params.h"

#include <cctype>
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
#include "params/params.h"
#include "support/support.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

const char* const Secret = "0123456789abcdef0123456789ABCDEF";  // 32 bytes

KestrovanJsonMap* mapOf(const Entries& entries) {
  KestrovanJsonMap* map = (KestrovanJsonMap*)calloc(1, sizeof(KestrovanJsonMap));
  for (const auto& entry : entries) {
    addKestrovanJsonMapUnit(map, entry.first.c_str(), entry.second.c_str());
  }
  return map;
}

std::string hexOf(const unsigned char* bytes, size_t length) {
  std::string hex;
  char pair[3];
  for (size_t i = 0; i < length; i++) {
    snprintf(pair, sizeof(pair), "%02x", bytes[i]);
    hex += pair;
  }
  return hex;
}

// Hex of bytes encrypted with the bare engine: valid padding, no marker.
std::string encryptWithoutMarker(const char* text, const char* secret) {
  SK_CipherContext ctx;
  memset(&ctx, 0, sizeof(ctx));
  unsigned char out[64];
  uint64_t n = sizeof(out), produced = 0;
  EXPECT_EQ(SK_EncryptInit(&ctx, SK_CKM_AES_CBC_PAD, (const unsigned char*)secret, 32), 0);
  memcpy(ctx.chain, KestrovanJson_ShareIV, 16);
  EXPECT_EQ(SK_EncryptUpdate(&ctx, (const unsigned char*)text, strlen(text) + 1, out, &n), 0);
  produced = n;
  n = sizeof(out) - produced;
  EXPECT_EQ(SK_EncryptFinal(&ctx, out + produced, &n), 0);
  return hexOf(out, produced + n);
}

struct ReadCase {
  const char* name;
  Entries entries;
  int result;
  int encoding;          // -1: left untouched (key absent)
  std::string expected;  // the bytes read, as hex
  const char* read = nullptr;  // the key asked for; the first entry's by default
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

std::string upper(std::string text) {
  for (char& c : text) c = (char)toupper((unsigned char)c);
  return text;
}

std::string hexText(const char* text) { return hexOf((const unsigned char*)text, strlen(text)); }

std::vector<ReadCase> readCases() {
  const std::string sealed = sealForPage("PIN 1234", Secret);
  const std::string sealedUtf8 = sealForPage("\xce\xb1\xd0\x96\xf0\x9f\x94\x91", Secret);
  const std::string wrong = sealForPage("PIN 1234", "0123456789abcdef0123456789ABCDEX");
  return {
      {"Plain", {{"p", "a\\b c"}}, KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_PLAIN, hexText("a\\b c")},
      {"PlainEmpty", {{"p", ""}}, KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_PLAIN, ""},
      {"KeyCaseIgnored", {{"PiN", "x"}}, KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_PLAIN, hexText("x"), "pIn"},
      {"Absent", {{"q", "x"}}, KESTROVAN_PARAM_ABSENT, -1, "", "p"},
      {"FlagOffWhenNotTrue", {{"p", "a*b"}, {"p_KestrovanFlag", "yes"}}, KESTROVAN_PARAM_OK,
       KESTROVAN_ENCODING_PLAIN, hexText("a*b")},
      {"Star", {{"p", "a*b*"}, {"p_KestrovanFlag", "TRUE"}}, KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_STAR,
       hexText("a\\b\\")},
      {"Slash", {{"p", "==KestrovanSlash==n"}, {"p_KestrovanSlashFlag", "true"}}, KESTROVAN_PARAM_OK,
       KESTROVAN_ENCODING_SLASH, hexText("\\n")},
      {"StarBeforeBase64", {{"p", "a*b"}, {"p_KestrovanFlag", "true"}, {"p_KestrovanBase64Flag", "true"}},
       KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_STAR, hexText("a\\b")},
      // Bytes the service's own text reads would cut at the first zero.
      {"Base64Binary", {{"p", "AAH/AA=="}, {"p_KestrovanBase64Flag", "true"}}, KESTROVAN_PARAM_OK,
       KESTROVAN_ENCODING_BASE64, "0001ff00"},
      {"Base64PercentEscapes", {{"p", "AAH%2f%2BA%3d%3D"}, {"p_KestrovanBase64Flag", "true"}}, KESTROVAN_PARAM_OK,
       KESTROVAN_ENCODING_BASE64, "0001fff8"},
      {"Base64WhiteSpace", {{"p", "QU\r\nJD IC"}, {"p_KestrovanBase64Flag", "true"}}, KESTROVAN_PARAM_OK,
       KESTROVAN_ENCODING_BASE64, hexText("ABC ")},
      {"Base64Unpadded", {{"p", "QQ"}, {"p_KestrovanBase64Flag", "true"}}, KESTROVAN_PARAM_OK,
       KESTROVAN_ENCODING_BASE64, hexText("A")},
      {"Base64BadCharacter", {{"p", "QU!D"}, {"p_KestrovanBase64Flag", "true"}}, KESTROVAN_PARAM_UNDECODABLE,
       KESTROVAN_ENCODING_BASE64, ""},
      {"Base64UrlAlphabet", {{"p", "AAH_"}, {"p_KestrovanBase64Flag", "true"}}, KESTROVAN_PARAM_UNDECODABLE,
       KESTROVAN_ENCODING_BASE64, ""},
      {"Base64DataAfterPadding", {{"p", "QQ==QQ"}, {"p_KestrovanBase64Flag", "true"}},
       KESTROVAN_PARAM_UNDECODABLE, KESTROVAN_ENCODING_BASE64, ""},
      {"Base64LoneCharacter", {{"p", "QUJDR"}, {"p_KestrovanBase64Flag", "true"}}, KESTROVAN_PARAM_UNDECODABLE,
       KESTROVAN_ENCODING_BASE64, ""},
      {"Base64ThreePads", {{"p", "QQ==="}, {"p_KestrovanBase64Flag", "true"}}, KESTROVAN_PARAM_UNDECODABLE,
       KESTROVAN_ENCODING_BASE64, ""},
      {"Base64CutEscape", {{"p", "QQ%3"}, {"p_KestrovanBase64Flag", "true"}}, KESTROVAN_PARAM_UNDECODABLE,
       KESTROVAN_ENCODING_BASE64, ""},
      {"Base64OtherEscape", {{"p", "QQ%41"}, {"p_KestrovanBase64Flag", "true"}}, KESTROVAN_PARAM_UNDECODABLE,
       KESTROVAN_ENCODING_BASE64, ""},
      {"Encrypted", {{"pin", sealed}, {"pin_KestrovanEncryptFlag", "true"}, {"Kestrovan_share_secret", Secret}},
       KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_ENCRYPTED, hexText("PIN 1234")},
      {"EncryptedUtf8", {{"t", sealedUtf8}, {"t_KestrovanEncryptFlag", "true"}, {"Kestrovan_share_secret", Secret}},
       KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_ENCRYPTED, "ceb1d096f09f9491"},
      {"EncryptedUpperCaseHex",
       {{"pin", upper(sealed)}, {"pin_KestrovanEncryptFlag", "true"}, {"Kestrovan_share_secret", Secret}},
       KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_ENCRYPTED, hexText("PIN 1234")},
      {"EncryptedLongerSecret",
       {{"pin", sealed}, {"pin_KestrovanEncryptFlag", "true"},
        {"Kestrovan_share_secret", std::string(Secret) + "more"}},
       KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_ENCRYPTED, hexText("PIN 1234")},
      {"EncryptFlagDecidesFirst",
       {{"pin", sealed}, {"pin_KestrovanEncryptFlag", "true"}, {"pin_KestrovanBase64Flag", "true"},
        {"Kestrovan_share_secret", Secret}},
       KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_ENCRYPTED, hexText("PIN 1234")},
      {"EncryptedWrongSecret", {{"pin", wrong}, {"pin_KestrovanEncryptFlag", "true"}, {"Kestrovan_share_secret", Secret}},
       KESTROVAN_PARAM_UNDECODABLE, KESTROVAN_ENCODING_ENCRYPTED, ""},
      {"EncryptedNoSecret", {{"pin", sealed}, {"pin_KestrovanEncryptFlag", "true"}}, KESTROVAN_PARAM_UNDECODABLE,
       KESTROVAN_ENCODING_ENCRYPTED, ""},
      {"EncryptedShortSecret",
       {{"pin", sealed}, {"pin_KestrovanEncryptFlag", "true"},
        {"Kestrovan_share_secret", std::string(Secret, 31)}},
       KESTROVAN_PARAM_UNDECODABLE, KESTROVAN_ENCODING_ENCRYPTED, ""},
      {"EncryptedOddHex",
       {{"pin", sealed.substr(1)}, {"pin_KestrovanEncryptFlag", "true"}, {"Kestrovan_share_secret", Secret}},
       KESTROVAN_PARAM_UNDECODABLE, KESTROVAN_ENCODING_ENCRYPTED, ""},
      {"EncryptedNotHex",
       {{"pin", "zz" + sealed.substr(2)}, {"pin_KestrovanEncryptFlag", "true"}, {"Kestrovan_share_secret", Secret}},
       KESTROVAN_PARAM_UNDECODABLE, KESTROVAN_ENCODING_ENCRYPTED, ""},
      {"EncryptedEmpty", {{"pin", ""}, {"pin_KestrovanEncryptFlag", "true"}, {"Kestrovan_share_secret", Secret}},
       KESTROVAN_PARAM_UNDECODABLE, KESTROVAN_ENCODING_ENCRYPTED, ""},
      // Valid padding but not the sealed form: the lenient read opens it.
      {"EncryptedWithoutMarker",
       {{"pin", encryptWithoutMarker("PIN 1234", Secret)}, {"pin_KestrovanEncryptFlag", "true"},
        {"Kestrovan_share_secret", Secret}},
       KESTROVAN_PARAM_UNDECODABLE, KESTROVAN_ENCODING_ENCRYPTED, ""},
  };
}

class AdapterRead : public testing::TestWithParam<ReadCase> {};

TEST_P(AdapterRead, DecodesStrictly) {
  const ReadCase& c = GetParam();
  KestrovanJsonMap* map = mapOf(c.entries);
  unsigned char* value = (unsigned char*)"untouched";
  size_t length = 77;
  int encoding = -1;
  testing::internal::CaptureStdout();
  const char* key = c.read ? c.read : c.entries[0].first.c_str();
  int result = KestrovanParam_Read(map, key, &value, &length, &encoding);
  captured();
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(encoding, c.encoding);
  if (result == KESTROVAN_PARAM_OK) {
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(hexOf(value, length), c.expected);
    EXPECT_EQ(value[length], 0) << "a zero byte follows the value";
  } else {
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(length, 0u);
  }
  KestrovanParam_Free(value, length);
  KestrovanJsonFinal(map);
}

INSTANTIATE_TEST_SUITE_P(Params, AdapterRead, testing::ValuesIn(readCases()),
                         [](const testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

// Where the service's read falls back to the value as sent, the adapter read
// refuses: a wrong secret must not become a PIN attempt with the hex text.
TEST(AdapterRead, RefusesWhereTheLenientReadFallsBack) {
  const std::string wrong = sealForPage("PIN 1234", "0123456789abcdef0123456789ABCDEX");
  KestrovanJsonMap* map =
      mapOf({{"pin", wrong}, {"pin_KestrovanEncryptFlag", "true"}, {"Kestrovan_share_secret", Secret}});
  testing::internal::CaptureStdout();
  char* lenient = getKestrovanJsonCharType(map, "pin");
  unsigned char* value = nullptr;
  size_t length = 0;
  int result = KestrovanParam_Read(map, "pin", &value, &length, nullptr);
  captured();
  ASSERT_NE(lenient, nullptr);
  EXPECT_EQ(std::string(lenient), wrong);
  EXPECT_EQ(result, KESTROVAN_PARAM_UNDECODABLE);
  free(lenient);
  KestrovanJsonFinal(map);
}

TEST(AdapterRead, ByteEntryComesBackWhole) {
  KestrovanJsonMap* map = (KestrovanJsonMap*)calloc(1, sizeof(KestrovanJsonMap));
  const unsigned char bytes[] = {0x00, 0x41, 0x00, 0xff};
  addKestrovanJsonMapUnit(map, "blob", bytes, sizeof(bytes));
  unsigned char* value = nullptr;
  size_t length = 0;
  int encoding = -1;
  ASSERT_EQ(KestrovanParam_Read(map, "BLOB", &value, &length, &encoding), KESTROVAN_PARAM_OK);
  EXPECT_EQ(encoding, KESTROVAN_ENCODING_PLAIN);
  EXPECT_EQ(hexOf(value, length), "004100ff");
  KestrovanParam_Free(value, length);
  KestrovanJsonFinal(map);
}

// An adapter may fill a map of its own, in any order.
TEST(AdapterRead, FindsEntriesOfAnUnsortedMap) {
  KestrovanJsonMap map = {};
  char k1[] = "zeta", v1[] = "1", k2[] = "alpha", v2[] = "QQ==", k3[] = "alpha_KestrovanBase64Flag", v3[] = "true";
  map.units[0] = {k1, v1, nullptr, 0};
  map.units[1] = {k2, v2, nullptr, 0};
  map.units[2] = {k3, v3, nullptr, 0};
  map.count = 3;
  unsigned char* value = nullptr;
  size_t length = 0;
  ASSERT_EQ(KestrovanParam_Read(&map, "zeta", &value, &length, nullptr), KESTROVAN_PARAM_OK);
  EXPECT_EQ(std::string((char*)value, length), "1");
  KestrovanParam_Free(value, length);
  ASSERT_EQ(KestrovanParam_Read(&map, "alpha", &value, &length, nullptr), KESTROVAN_PARAM_OK);
  EXPECT_EQ(std::string((char*)value, length), "A");
  KestrovanParam_Free(value, length);
}

TEST(AdapterRead, BadArguments) {
  KestrovanJsonMap* map = mapOf({{"p", "x"}});
  unsigned char* value = (unsigned char*)"untouched";
  size_t length = 5;
  EXPECT_EQ(KestrovanParam_Read(nullptr, "p", &value, &length, nullptr), KESTROVAN_PARAM_BAD_ARGUMENTS);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(KestrovanParam_Read(map, nullptr, &value, &length, nullptr), KESTROVAN_PARAM_BAD_ARGUMENTS);
  EXPECT_EQ(KestrovanParam_Read(map, "p", nullptr, &length, nullptr), KESTROVAN_PARAM_BAD_ARGUMENTS);
  EXPECT_EQ(KestrovanParam_Read(map, "p", &value, nullptr, nullptr), KESTROVAN_PARAM_BAD_ARGUMENTS);
  KestrovanParam_Free(nullptr, 0);
  KestrovanJsonFinal(map);
}

}  // namespace
