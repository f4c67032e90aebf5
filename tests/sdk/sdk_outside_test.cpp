// SPDX-License-Identifier: Apache-2.0
// The recording test adapter, built outside this tree against the installed
// adapter SDK (build_outside.sh), loaded the way the service loads adapters:
// it exports its entry points and nothing of the SDK, and it opens sealed and
// Base64 parameters of a map the service's own parser built.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "common/seal_for_page.h"
#include "common/trace_capture.h"

#include "crypto/crypto.h"
#include "include/kestrovan/adapter.h"
#include "params/params.h"

namespace {

const char* const Secret = "0123456789abcdef0123456789ABCDEF";

class OutsideAdapter : public testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(SDK_OUTSIDE_ADAPTER, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    entry_ = (KestrovanCallJsonMapMethod)dlsym(handle_, KESTROVAN_CALL_JSON_MAP_METHOD_SYMBOL);
    ASSERT_NE(entry_, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }

  std::string call(const std::string& json) {
    KestrovanJsonMap* map = getKestrovanJsonMap(json.c_str());
    EXPECT_NE(map, nullptr) << json;
    if (map == nullptr) return "";
    char* answer = entry_(map, "ReadParam");
    std::string text = answer ? answer : "(null)";
    KestrovanJsonFinal(map);
    return text;
  }

  void* handle_ = nullptr;
  KestrovanCallJsonMapMethod entry_ = nullptr;
};

TEST_F(OutsideAdapter, ExportsItsEntryPointsAndNothingOfTheSdk) {
  EXPECT_NE(dlsym(handle_, KESTROVAN_CALL_METHOD_SYMBOL), nullptr);
  for (const char* hidden : {"KestrovanParam_Read", "KestrovanParam_Free", "AES256_Open_CBC", "SK_DecryptInit",
                             "_Z19getKestrovanJsonMapPKc", "_Z15printfColorLinePKcS0_", "_Z14getExecutePathv"}) {
    EXPECT_EQ(dlsym(handle_, hidden), nullptr) << hidden << " is exported";
  }
}

TEST_F(OutsideAdapter, ReadsSealedAndBase64Parameters) {
  const std::string sealed = sealForPage("PIN 1234", Secret);
  EXPECT_EQ(call(R"({"name":"pin","pin":")" + sealed + R"(","pin_KestrovanEncryptFlag":"true",)" +
                 R"("Kestrovan_share_secret":")" + Secret + R"("})"),
            "0 1 50494e2031323334");
  testing::internal::CaptureStdout();
  std::string wrong = call(R"({"name":"pin","pin":")" + sealed + R"(","pin_KestrovanEncryptFlag":"true",)" +
                           R"("Kestrovan_share_secret":"0123456789abcdef0123456789ABCDEX"})");
  captured();
  EXPECT_EQ(wrong, "2 1 ");
  EXPECT_EQ(call(R"({"name":"data","data":"AP8A","data_KestrovanBase64Flag":"TRUE"})"), "0 4 00ff00");
  EXPECT_EQ(call(R"({"name":"absent","data":"x"})"), "1 -1 ");
}

}  // namespace
