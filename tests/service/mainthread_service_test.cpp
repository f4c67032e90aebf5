// mainthread_service_test.cpp -- main-thread mode through the real binary: a
// quick call answered at once, and a 20-second call answered "heartbeat",
// "heartbeat", then its result, delivered once and only to its own page.
#include <chrono>
#include <future>
#include <gtest/gtest.h>

#include "harness.h"

namespace {

using kt::HttpAnswer;

class ServiceMainThread : public ::testing::Test {
 protected:
  void SetUp() override {
    installation_ = std::make_unique<kt::Installation>(KESTROVAN_SERVICE_EXE, KESTROVAN_TEST_ADAPTER);
    ASSERT_TRUE(installation_->ok);
    ASSERT_TRUE(service_.start(installation_->exe, installation_->home));
    ASSERT_TRUE(service_.waitFor("NORTAKestrovan initialization: Success", 60)) << service_.output();
  }
  void TearDown() override { EXPECT_EQ(service_.stop(), 0); }

  HttpAnswer post(const std::string& json, const std::string& origin,
                  const std::string& url = "https://127.0.0.1:56459/") {
    return kt::post(installation_->caFile, json, origin, {"Host: localhost:56459"}, url);
  }
  static std::map<std::string, std::string> values(const HttpAnswer& answer) {
    std::map<std::string, std::string> out;
    EXPECT_TRUE(kt::decodeAnswer(answer.body, &out)) << answer.body;
    return out;
  }
  std::string openSession(const std::string& origin) {
    HttpAnswer answer = post(R"({"FunctionName":"KestrovanEcho","SessionId":"",)"
                             R"("PathID":"7E41A0C2D95B4F3E8A61C07B2D9F54E1","minServerVersion":"3.0.23.0721"})",
                             origin);
    return values(answer)["SessionID"];
  }

  std::unique_ptr<kt::Installation> installation_;
  kt::ServiceProcess service_;
};

TEST_F(ServiceMainThread, QuickCallIsAnsweredWithItsResult) {
  std::string session = openSession("https://bank.example");
  ASSERT_EQ(session.size(), 12u);
  HttpAnswer answer = post(R"({"FunctionName":"Quick","KestrovanMainThread":true,"SessionId":")" + session + "\"}",
                           "https://bank.example");
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(values(answer)["result"], "ok:Quick");
  std::string output = service_.output();
  size_t start = output.find("Start main thread");
  size_t run = output.find("Main thread mode call start", start);
  size_t finish = output.find("Main thread mode call finish", run);
  size_t collected = output.find("Main thread mode finish!", finish);
  EXPECT_NE(start, std::string::npos) << output;
  EXPECT_NE(run, std::string::npos) << output;
  EXPECT_NE(finish, std::string::npos) << output;
  EXPECT_NE(collected, std::string::npos) << output;
  EXPECT_EQ(service_.count("No result from component yet send heartbeat"), 0u);

  // Idle again: the next call is a new call with its own result.
  HttpAnswer again = post(R"({"FunctionName":"Again","MainThread":true,"SessionId":")" + session + "\"}",
                          "https://bank.example");
  EXPECT_EQ(values(again)["result"], "ok:Again");
  EXPECT_EQ(service_.count("Start main thread"), 2u);
}

TEST_F(ServiceMainThread, LongCallIsAnsweredHeartbeatsThenItsResultOnce) {
  const std::string bank = "https://bank.example";
  std::string session = openSession(bank);
  ASSERT_EQ(session.size(), 12u);
  const std::string slow =
      R"({"FunctionName":"Slow","delay_ms":"20000","KestrovanMainThread":true,"SessionId":")" + session + "\"}";
  auto begin = std::chrono::steady_clock::now();

  // A request without a marker, sent while the call is pending, is served
  // with its own map (it waits for the dispatcher, which the call holds).
  std::future<HttpAnswer> plain = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    return post(R"({"FunctionName":"KestrovanClose","SessionId":""})", bank, "https://127.0.0.1:56659/");
  });

  HttpAnswer first = post(slow, bank);
  EXPECT_EQ(values(first)["result"], "heartbeat");
  EXPECT_EQ(values(first).size(), 1u) << first.body;
  EXPECT_EQ(first.get("Access-Control-Allow-Origin"), bank);
  HttpAnswer second = post(slow, bank);
  EXPECT_EQ(values(second)["result"], "heartbeat");
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(19))
      << "two waits should have ended before the call could finish";
  EXPECT_EQ(service_.count("Start main thread"), 1u) << "a pending call must never be started twice";
  EXPECT_EQ(service_.count("Wait main thread result"), 1u);

  ASSERT_TRUE(service_.waitFor("Main thread mode call finish", 60)) << service_.output();

  // Another page never collects this page's result.
  HttpAnswer stranger = post(slow, "https://evil.example", "https://127.0.0.1:56559/");
  EXPECT_EQ(values(stranger)["result"], "heartbeat");

  HttpAnswer result = post(slow, bank);
  EXPECT_EQ(values(result)["result"], "ok:Slow") << result.body;
  EXPECT_EQ(service_.count("Start main thread"), 1u);

  HttpAnswer mapOwn = plain.get();
  std::map<std::string, std::string> own = values(mapOwn);
  EXPECT_EQ(own.size(), 1u) << mapOwn.body;
  EXPECT_EQ(own["SessionID"].size(), 12u) << mapOwn.body;

  // Delivered once: the next marked request is a new call of its own.
  HttpAnswer next = post(R"({"FunctionName":"Next","KestrovanMainThread":true,"SessionId":")" + session + "\"}", bank);
  EXPECT_EQ(values(next)["result"], "ok:Next");
  EXPECT_EQ(service_.count("Start main thread"), 2u);
}

}  // namespace
