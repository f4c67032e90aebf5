// SPDX-License-Identifier: Apache-2.0
// The SDK's read on maps an adapter filled itself, in any order: the value
// and its flags are found by the same lookup, and a read prints nothing.
#include "sdk/sdk.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/seal_for_page.h"

namespace {

const char* const Secret = "0123456789abcdef0123456789ABCDEF";  // 32 bytes

struct UnsortedCase {
  const char* name;
  // Entries as "key=value", in map order (not sorted).
  std::vector<std::string> entries;
  const char* key;
  int result;
  int encoding;
  const char* text;  // the decoded value when result is OK
};

// Two maps per flag: the flag's entry before its value and after it, each
// order one where a binary search for the flag would miss.
const std::string kSealed = sealForPage("PIN 1234", Secret);
const UnsortedCase kUnsortedCases[] = {
    {"Base64FlagBeforeValue",
     {"data_KestrovanBase64Flag=true", "data=UElOIDEyMzQ=", "a1=x", "a2=x", "a3=x"},
     "data", KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_BASE64, "PIN 1234"},
    {"Base64FlagAfterValue",
     {"zz1=x", "zz2=x", "zz3=x", "data=UElOIDEyMzQ=", "data_KestrovanBase64Flag=TRUE"},
     "data", KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_BASE64, "PIN 1234"},
    {"StarFlagBeforeValue",
     {"path_KestrovanFlag=true", "path=a*b", "a1=x", "a2=x", "a3=x"},
     "path", KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_STAR, "a\\b"},
    {"SealedFlagAndSecretAfterValue",
     {"zz1=x", "zz2=x", "zz3=x", "pin=" + kSealed, "pin_KestrovanEncryptFlag=true",
      std::string("Kestrovan_share_secret=") + Secret},
     "pin", KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_ENCRYPTED, "PIN 1234"},
    {"SealedWithWrongSecretBeforeValue",
     {"pin_KestrovanEncryptFlag=true", "Kestrovan_share_secret=0123456789abcdef0123456789ABCDEX",
      "pin=" + kSealed, "a1=x", "a2=x", "a3=x"},
     "pin", KESTROVAN_PARAM_UNDECODABLE, KESTROVAN_ENCODING_ENCRYPTED, nullptr},
    {"FlagOffWhateverItsPlace",
     {"zz1=x", "data=UElOIDEyMzQ=", "data_KestrovanBase64Flag=false", "a1=x"},
     "data", KESTROVAN_PARAM_OK, KESTROVAN_ENCODING_PLAIN, "UElOIDEyMzQ="},
};

class UnsortedMap : public testing::TestWithParam<UnsortedCase> {
 protected:
  void TearDown() override {
    for (int i = 0; i < map_.count; i++) {
      free(map_.units[i].key);
      free(map_.units[i].value);
    }
  }
  // The units written in the given order, as an adapter may fill a map.
  void fill(const std::vector<std::string>& entries) {
    for (const std::string& entry : entries) {
      size_t equals = entry.find('=');
      KestrovanJsonUnit& unit = map_.units[map_.count++];
      unit.key = strdup(entry.substr(0, equals).c_str());
      unit.value = strdup(entry.substr(equals + 1).c_str());
    }
  }
  KestrovanJsonMap map_ = {};
};

TEST_P(UnsortedMap, FindsValueAndFlagsAlikeAndPrintsNothing) {
  const UnsortedCase& c = GetParam();
  ASSERT_FALSE(kSealed.empty());
  fill(c.entries);
  unsigned char* value = nullptr;
  size_t length = 0;
  int encoding = -1;
  testing::internal::CaptureStdout();
  int result = KestrovanParam_Read(&map_, c.key, &value, &length, &encoding);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(encoding, c.encoding);
  if (c.text != nullptr) {
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::string((const char*)value, length), c.text);
  } else {
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(length, 0u);
  }
  KestrovanParam_Free(value, length);
}

INSTANTIATE_TEST_SUITE_P(Table, UnsortedMap, testing::ValuesIn(kUnsortedCases),
                         [](const testing::TestParamInfo<UnsortedCase>& i) { return std::string(i.param.name); });

}  // namespace
