// SPDX-License-Identifier: Apache-2.0
// mainthread_service_test.cpp -- main-thread mode through the real binary: a
// quick call answered at once; a 20-second call answered "heartbeat",
// "heartbeat", then its result, delivered once and only to its own page; two
// tabs of one site whose results never cross, with and without call
// identifiers, each call run once (the test adapter's call log); a result
// left behind by one site that does not hold up another site's call; a
// dialog that ends once its page is gone or the service stops (the host's
// hooks, asked through dlsym by the test adapter); and pages served on
// every listener while hostile origins flood the hand-off and hold a
// main-thread request on each listener.
#include <chrono>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <sstream>

#include "harness.h"

namespace {

using kt::HttpAnswer;

const char kUrl1[] = "https://127.0.0.1:56459/";
const char kUrl2[] = "https://127.0.0.1:56559/";
const char kUrl3[] = "https://127.0.0.1:56659/";
const char* const kAllListeners[] = {"https://127.0.0.1:56459/", "https://[::1]:56459/", "https://127.0.0.1:56559/",
                                     "https://[::1]:56559/",     "https://127.0.0.1:56659/", "https://[::1]:56659/"};

class ServiceMainThread : public ::testing::Test {
 protected:
  void SetUp() override {
    installation_ = std::make_unique<kt::Installation>(KESTROVAN_SERVICE_EXE, KESTROVAN_TEST_ADAPTER);
    ASSERT_TRUE(installation_->ok);
    log_ = installation_->root.path + "/calls.log";
    ASSERT_TRUE(service_.start(installation_->exe, installation_->home, true, {"KESTROVAN_TEST_ADAPTER_LOG=" + log_}));
    ASSERT_TRUE(service_.waitFor("NORTAKestrovan initialization: Success", 60)) << service_.output();
  }
  void TearDown() override { EXPECT_EQ(service_.stop(), 0); }

  HttpAnswer post(const std::string& json, const std::string& origin, const std::string& url = kUrl1) {
    return kt::post(installation_->caFile, json, origin, {"Host: localhost:56459"}, url);
  }
  // A POST whose client gives up (closes the connection) after seconds.
  HttpAnswer postGivingUp(const std::string& json, const std::string& origin, long seconds,
                          const std::string& url = kUrl1) {
    kt::HttpRequest request;
    request.url = url;
    request.body = kt::parameterBody(json);
    request.headers = {"Host: localhost:56459", "Origin: " + origin};
    request.caFile = installation_->caFile;
    request.timeoutSeconds = seconds;
    return kt::httpRequest(request);
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
  // How many times the adapter was entered for function.
  size_t adapterCalls(const std::string& function) {
    std::string log;
    kt::readFile(log_, &log);
    std::istringstream lines(log);
    size_t count = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.find("\tenter\t" + function + "\t") != std::string::npos ||
          line.find("\toverlap\t" + function + "\t") != std::string::npos)
        count++;
    }
    return count;
  }

  std::unique_ptr<kt::Installation> installation_;
  kt::ServiceProcess service_;
  std::string log_;
};

// A main-thread request of a session, with a call identifier when one is given.
std::string mainThreadCall(const std::string& session, const std::string& callId, const std::string& fields) {
  std::string json = R"({"KestrovanMainThread":true,"SessionId":")" + session + "\"";
  if (!callId.empty())
    json += R"(,"KestrovanCallId":")" + callId + "\"";
  return json + "," + fields + "}";
}

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
  // with its own map.
  std::future<HttpAnswer> plain = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    return post(R"({"FunctionName":"KestrovanClose","SessionId":""})", bank, kUrl3);
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

  // Another page never collects this page's result: it gets its own call.
  std::string strangerSession = openSession("https://evil.example");
  HttpAnswer stranger = post(mainThreadCall(strangerSession, "", R"("FunctionName":"Theirs")"),
                             "https://evil.example", kUrl2);
  EXPECT_EQ(values(stranger)["result"], "ok:Theirs");

  HttpAnswer result = post(slow, bank);
  EXPECT_EQ(values(result)["result"], "ok:Slow") << result.body;
  EXPECT_EQ(service_.count("Start main thread"), 2u);
  EXPECT_EQ(adapterCalls("Slow"), 1u);

  HttpAnswer mapOwn = plain.get();
  std::map<std::string, std::string> own = values(mapOwn);
  EXPECT_EQ(own.size(), 1u) << mapOwn.body;
  EXPECT_EQ(own["SessionID"].size(), 12u) << mapOwn.body;

  // Delivered once: the next marked request is a new call of its own.
  HttpAnswer next = post(R"({"FunctionName":"Next","KestrovanMainThread":true,"SessionId":")" + session + "\"}", bank);
  EXPECT_EQ(values(next)["result"], "ok:Next");
  EXPECT_EQ(service_.count("Start main thread"), 3u);
}

// Two tabs of one site. Tab 1 asks for a slow main-thread call, is answered
// "heartbeat" and goes away; tab 2 then asks a quick call of its own and
// gets its own answer, never tab 1's. Tab 1 coming back still finds its
// result, and each call ran once.
struct TabsCase {
  const char* name;
  bool sharedSession;  // both tabs use tab 1's session
  const char* callId1;
  const char* callId2;
};

void PrintTo(const TabsCase& c, std::ostream* out) {
  *out << c.name;
}

class ServiceMainThreadTabs : public ServiceMainThread, public ::testing::WithParamInterface<TabsCase> {};

TEST_P(ServiceMainThreadTabs, EachTabGetsItsOwnResult) {
  const TabsCase& c = GetParam();
  const std::string site = "https://docs.example";
  std::string session1 = openSession(site);
  std::string session2 = c.sharedSession ? session1 : openSession(site);
  ASSERT_EQ(session1.size(), 12u);
  ASSERT_EQ(session2.size(), 12u);

  const std::string list = mainThreadCall(session1, c.callId1, R"("FunctionName":"ListCertificates","delay_ms":"9000")");
  HttpAnswer tab1 = post(list, site, kUrl1);
  ASSERT_EQ(values(tab1)["result"], "heartbeat") << tab1.body;

  HttpAnswer tab2 = post(mainThreadCall(session2, c.callId2, R"("FunctionName":"EchoText","text":"tab2-document")"),
                         site, kUrl2);
  EXPECT_EQ(values(tab2)["result"], "tab2-document") << tab2.body;

  HttpAnswer back = post(list, site, kUrl3);
  EXPECT_EQ(values(back)["result"], "ok:ListCertificates") << back.body;
  EXPECT_EQ(adapterCalls("ListCertificates"), 1u);
  EXPECT_EQ(adapterCalls("EchoText"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Tabs, ServiceMainThreadTabs,
    ::testing::Values(TabsCase{"OwnSessionsNoCallIds", false, "", ""},
                      TabsCase{"OwnSessionsWithCallIds", false, "tab1-7f3a", "tab2-c91e"},
                      TabsCase{"SharedSessionWithCallIds", true, "tab1-7f3a", "tab2-c91e"}),
    [](const ::testing::TestParamInfo<TabsCase>& info) { return std::string(info.param.name); });

// A site that left its finished result behind holds up no other site: the
// next site's call starts at once and is answered with its own result, not
// a heartbeat after the keep time.
TEST_F(ServiceMainThread, AbandonedResultDoesNotDelayAnotherSite) {
  std::string left = openSession("https://left.example");
  std::string next = openSession("https://next.example");
  HttpAnswer gone = post(mainThreadCall(left, "", R"("FunctionName":"Abandoned","delay_ms":"7500")"),
                         "https://left.example");
  ASSERT_EQ(values(gone)["result"], "heartbeat");
  ASSERT_TRUE(service_.waitFor("Main thread mode call finish", 60)) << service_.output();
  size_t heartbeats = service_.count("No result from component yet send heartbeat");

  // The hang guard is the request's own time-out, far above the call's work.
  HttpAnswer answer = post(mainThreadCall(next, "", R"("FunctionName":"Quick")"), "https://next.example", kUrl2);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(values(answer)["result"], "ok:Quick") << answer.body;
  EXPECT_EQ(service_.count("No result from component yet send heartbeat"), heartbeats);
  EXPECT_EQ(adapterCalls("Abandoned"), 1u);
  EXPECT_EQ(adapterCalls("Quick"), 1u);
}

// A dialog (the test adapter's WaitAbandoned, which asks the host's hooks)
// ends once nobody waits for its answer: its page closed the connection and
// did not come back, or took its heartbeat and never sent the request again.
// The answer, collected afterwards by the same call, says how long the
// dialog stayed up.
struct AbandonCase {
  const char* name;
  long clientSeconds;  // the page gives up (closes) after this
  long leastMs;        // the dialog ended no sooner: page gone + abandon time
  long mostMs;         // and well before its own limit
};

void PrintTo(const AbandonCase& c, std::ostream* out) {
  *out << c.name;
}

class ServiceMainThreadAbandon : public ServiceMainThread, public ::testing::WithParamInterface<AbandonCase> {};

TEST_P(ServiceMainThreadAbandon, DialogEndsWhenItsPageIsGone) {
  const AbandonCase& c = GetParam();
  const std::string site = "https://sign.example";
  std::string session = openSession(site);
  ASSERT_EQ(session.size(), 12u);
  const std::string dialog = mainThreadCall(session, "dialog-1", R"("FunctionName":"WaitAbandoned","limit_ms":"40000")");
  HttpAnswer first = postGivingUp(dialog, site, c.clientSeconds);
  if (c.clientSeconds >= 60)
    EXPECT_EQ(values(first)["result"], "heartbeat") << first.body;
  else
    EXPECT_NE(first.curlCode, 0) << "the page gave up before any answer";
  ASSERT_TRUE(service_.waitFor("Main thread mode call finish", 30)) << service_.output();
  HttpAnswer collected = post(dialog, site, kUrl2);
  std::string answer = values(collected)["result"];
  ASSERT_EQ(answer.rfind("abandoned:", 0), 0u) << answer;
  long ms = atol(answer.c_str() + strlen("abandoned:"));
  EXPECT_GE(ms, c.leastMs);
  EXPECT_LE(ms, c.mostMs);
  EXPECT_EQ(adapterCalls("WaitAbandoned"), 1u);
  if (c.clientSeconds < 60) {
    EXPECT_GE(service_.count("Page gone"), 1u) << service_.output();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pages, ServiceMainThreadAbandon,
    ::testing::Values(AbandonCase{"ConnectionClosed", 1, 1000 + 1000 * 3 - 500, 15000},
                      AbandonCase{"HeartbeatNotFollowed", 60, 6000 + 1000 * 3, 20000}),
    [](const ::testing::TestParamInfo<AbandonCase>& info) { return std::string(info.param.name); });

// At shutdown the dialog ends at once: the service stops without an adapter
// call left running.
TEST_F(ServiceMainThread, DialogEndsAtShutdown) {
  const std::string site = "https://sign.example";
  std::string session = openSession(site);
  ASSERT_EQ(session.size(), 12u);
  std::future<HttpAnswer> page = std::async(std::launch::async, [&] {
    return post(mainThreadCall(session, "dialog-2", R"("FunctionName":"WaitAbandoned","limit_ms":"40000")"), site);
  });
  // Inside the adapter, not only on its way there.
  for (int i = 0; i < 300 && adapterCalls("WaitAbandoned") == 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(adapterCalls("WaitAbandoned"), 1u) << service_.output();
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(service_.stop(), 0);
  // Far below the dialog's own limit and the stop watch's.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5)) << service_.output();
  EXPECT_EQ(service_.count("Adapter call left running"), 0u) << service_.output();
  EXPECT_TRUE(service_.waitFor("Main thread mode call finish", 1)) << service_.output();
  HttpAnswer answer = page.get();
  if (answer.curlCode == 0) {
    // The dialog's own answer when it came before the waits were ended.
    std::string result = values(answer)["result"];
    if (result != "heartbeat") {
      ASSERT_EQ(result.rfind("abandoned:", 0), 0u) << result;
      EXPECT_LT(atol(result.c_str() + strlen("abandoned:")), 5000) << result;
    }
  }
}

// The hostile shape: a site's dialog holds the main thread (until the test ends it); two hostile
// origins send eight main-thread calls each with fresh call ids naming an
// unknown session and never collect them; the attacker keeps a main-thread
// request waiting on each of the six listeners. Meanwhile an honest page's
// plain echo is answered on every listener before any of the attacker's
// requests got its heartbeat, and its main-thread call (re-sent with the
// same call id after each heartbeat) is answered right after the dialog,
// never after the results' keep time.
TEST_F(ServiceMainThread, HonestPageIsServedWhileHostileOriginsFloodTheHandOff) {
  const std::string bank = "https://bank.example";
  std::string honest = openSession(bank);
  ASSERT_EQ(honest.size(), 12u);
  std::string dialogSession = openSession("https://consent.example");
  ASSERT_EQ(dialogSession.size(), 12u);
  // The dialog stays up until the test lets it go (a minute at most).
  const std::string dialogDone = installation_->root.path + "/dialog.done";
  std::future<HttpAnswer> dialog = std::async(std::launch::async, [&] {
    return post(mainThreadCall(dialogSession, "consent",
                               R"("FunctionName":"Block","block_ms":"60000","until_file":")" + dialogDone + R"(")"),
                "https://consent.example", kUrl3);
  });
  ASSERT_TRUE(service_.waitFor("Main thread mode call start", 30)) << service_.output();

  // The flood: sixteen calls of two hostile origins, their pages gone.
  std::vector<std::future<HttpAnswer>> flood;
  for (int i = 0; i < 16; i++) {
    std::string origin = i % 2 == 0 ? "https://evil-one.example" : "https://evil-two.example";
    std::string json = mainThreadCall("ZZZZZZZZZZZZ", "fresh-" + std::to_string(i), R"("FunctionName":"Junk")");
    flood.push_back(std::async(std::launch::async, [this, json, origin, i] {
      return postGivingUp(json, origin, 2, kAllListeners[i % 6]);
    }));
  }
  for (std::future<HttpAnswer>& request : flood)
    request.get();
  // The holds: one waiting main-thread request on each listener.
  std::vector<std::future<HttpAnswer>> holds;
  for (int i = 0; i < 6; i++) {
    const char* url = kAllListeners[i];
    std::string json = mainThreadCall("ZZZZZZZZZZZZ", "hold-" + std::to_string(i), R"("FunctionName":"Hold")");
    holds.push_back(std::async(std::launch::async,
                               [this, json, url] { return post(json, "https://evil-one.example", url); }));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  // The honest page's plain echo, on every listener, before any hold ends.
  for (const char* url : kAllListeners) {
    HttpAnswer echo = post(R"({"FunctionName":"EchoText","text":"honest","SessionId":")" + honest + R"("})", bank, url);
    EXPECT_EQ(echo.status, 200) << url;
    EXPECT_EQ(values(echo)["result"], "honest") << url << " " << echo.body;
    for (std::future<HttpAnswer>& hold : holds)
      EXPECT_NE(hold.wait_for(std::chrono::seconds(0)), std::future_status::ready)
          << "the echo on " << url << " came after an attacker's wait ended";
  }

  // The dialog ends; the honest main-thread call, re-sent after each
  // heartbeat, comes next after at most one call of each hostile domain.
  ASSERT_TRUE(kt::writeFile(dialogDone, "done"));
  auto begin = std::chrono::steady_clock::now();
  std::string answer;
  int attempts = 0;
  for (; attempts < 4 && (answer.empty() || answer == "heartbeat"); attempts++)
    answer = values(post(mainThreadCall(honest, "info-1", R"("FunctionName":"GetInfo")"), bank, kUrl2))["result"];
  EXPECT_EQ(answer, "ok:GetInfo");
  EXPECT_LE(attempts, 2) << "answered after the dialog, not behind the flood";
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20));
  std::string consent = values(dialog.get())["result"];
  EXPECT_TRUE(consent == "ok:Block" || consent == "heartbeat") << consent;
  for (std::future<HttpAnswer>& hold : holds)
    EXPECT_EQ(hold.get().status, 200);
  EXPECT_EQ(adapterCalls("GetInfo"), 1u);
}

}  // namespace
