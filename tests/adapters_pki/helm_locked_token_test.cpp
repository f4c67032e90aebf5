// SPDX-License-Identifier: Apache-2.0
// helm_locked_token_test.cpp -- a token whose PIN is locked, next to the
// SoftHSM2 token: the adapter lists its certificate, answers the locked-token
// code without offering the PIN, and the other token keeps working. The
// locked token is a small PKCS #11 module (locked_token_module.c) registered
// with p11-kit through the user's module folder, as a real user would (as
// root, p11-kit reads only the system folder: with_test_module.sh).
#include "adapters_pki/helm_test_support.h"

using namespace helmtest;

namespace {

class HelmLockedTokenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = new TempFolder();
    home_ = makeHome(temp_->path());
    std::string modules = home_ + "/.config/pkcs11/modules";
    run("mkdir -p " + quote(modules));
    writeFile(modules + "/helm-locked.module", std::string("module: ") + HELM_LOCKED_MODULE + "\n");
    writeFile(configFolder(home_) + "/allowed-origins", "https://bank.example\n");
    writePagePinSettings(home_, "https://bank.example");
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    setenv("SOFTHSM2_CONF", (std::string(HELM_FIXTURE_DIR) + "/softhsm2.conf").c_str(), 1);
    setenv("HELM_LOCKED_CERT", (std::string(HELM_FIXTURE_DIR) + "/keys/locked.der").c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete temp_;
    temp_ = nullptr;
  }
  void SetUp() override {
    if (getenv("HELM_LOCKED_MODULE_UNAVAILABLE") != nullptr) {
      GTEST_SKIP() << "the test module cannot be registered with p11-kit here (root without mount namespaces)";
    }
    ASSERT_EQ(adapter_.unlock("https://bank.example"), "0");
  }
  void TearDown() override {
    if (getenv("HELM_LOCKED_MODULE_UNAVAILABLE") == nullptr) adapter_.release();
  }

  const Json* find(const Json& list, const std::string& commonName) {
    for (const Json& c : list["certificates"].items) {
      if (c["commonName"].text == commonName) return &c;
    }
    return nullptr;
  }

  static TempFolder* temp_;
  static std::string home_;
  Adapter adapter_;
};

TempFolder* HelmLockedTokenTest::temp_ = nullptr;
std::string HelmLockedTokenTest::home_;

TEST_F(HelmLockedTokenTest, LockedTokenAnswersItsCodeAndTheOtherTokenStillSigns) {
  Json list = adapter_.page("ListCertificates", {});
  ASSERT_EQ(list.code(), 0);
  const Json* locked = find(list, "Locked Signer");
  ASSERT_NE(locked, nullptr) << adapter_.call("ListCertificates", {});
  EXPECT_EQ((*locked)["location"]["token"].text, "helm-locked");
  EXPECT_EQ((*locked)["location"]["label"].text, "locked");
  const Json* soft = find(list, "Token Signer");
  ASSERT_NE(soft, nullptr);

  for (const char* function : {"SignCms", "SignRaw"}) {
    for (const char* pin : {"1234", "0000"}) {
      SCOPED_TRACE(std::string(function) + " " + pin);
      Params p = {{"id", (*locked)["id"].text}, {"pin", pin}};
      addBytes(&p, "data", "text");
      Json answer = adapter_.page(function, p);
      EXPECT_EQ(answer.code(), 71005) << answer["message"].text;
      EXPECT_NE(answer["message"].text.find("locked"), std::string::npos);
    }
  }

  Params p = {{"id", (*soft)["id"].text}, {"pin", "1234"}};
  addBytes(&p, "data", "text");
  EXPECT_EQ(adapter_.page("SignCms", p).code(), 0);
}

}  // namespace
