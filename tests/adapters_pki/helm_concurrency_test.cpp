// SPDX-License-Identifier: Apache-2.0
// helm_concurrency_test.cpp -- several sessions at once, as the service runs
// them: each a private copy of the library on its own thread (listener
// threads and the main thread). One page's login on the shared token must
// never let another page's wrong PIN through, and right PINs keep working.
#include <thread>

#include "adapters_pki/helm_test_support.h"

using namespace helmtest;

namespace {

class HelmConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = makeHome(temp_.path());
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    setenv("SOFTHSM2_CONF", (std::string(HELM_FIXTURE_DIR) + "/softhsm2.conf").c_str(), 1);
    writeFile(configFolder(home_) + "/allowed-origins", "https://bank.example\n");
    writePagePinSettings(home_, "https://bank.example");
  }
  // A private copy of the library, like the service's per-session copies.
  std::string copy(const std::string& name) {
    std::string path = temp_.path() + "/" + name + ".so";
    run("cp " + quote(HELM_ADAPTER_PATH) + " " + quote(path));
    return path;
  }
  TempFolder temp_;
  std::string home_;
};

TEST_F(HelmConcurrencyTest, SessionsOnTheSameTokenNeverShareALogin) {
  struct Worker {
    const char* commonName;
    const char* pin;
    long expected;
  } workers[] = {
      {"Token Signer", "1234", 0},
      {"Token Signer", "9999", 71004},
      {"Token EC Signer", "1234", 0},
      {"Token EC Signer", "0000", 71004},
      {"Plain Signer", "abcd", 0},
  };
  const int kRounds = 6;
  std::vector<std::unique_ptr<Adapter>> adapters;
  std::vector<std::string> ids;
  for (size_t i = 0; i < sizeof workers / sizeof workers[0]; i++) {
    adapters.push_back(std::make_unique<Adapter>(copy("copy" + std::to_string(i)).c_str()));
    ASSERT_EQ(adapters.back()->unlock("https://bank.example"), "0");
  }
  Json list = adapters[0]->page("ListCertificates", {});
  for (const Worker& w : workers) {
    std::string id;
    for (const Json& c : list["certificates"].items) {
      if (c["commonName"].text == w.commonName) id = c["id"].text;
    }
    ASSERT_FALSE(id.empty()) << w.commonName;
    ids.push_back(id);
  }
  // Answers are checked on the main thread; gtest's macros stay out of the workers.
  std::vector<std::vector<long>> codes(adapters.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < adapters.size(); i++) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < kRounds; round++) {
        Params p = {{"id", ids[i]}, {"pin", workers[i].pin}};
        addBytes(&p, "data", "round " + std::to_string(round));
        std::string answer = adapters[i]->call(round % 2 ? "SignCms" : "SignRaw", p);
        long code = -2;
        try {
          code = parseJson(answer).code();
        } catch (const std::exception&) {
        }
        codes[i].push_back(code);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < adapters.size(); i++) {
    SCOPED_TRACE(std::string(workers[i].commonName) + " pin " + workers[i].pin);
    ASSERT_EQ(codes[i].size(), (size_t)kRounds);
    for (long code : codes[i]) EXPECT_EQ(code, workers[i].expected);
    adapters[i]->release();
  }
}

}  // namespace
