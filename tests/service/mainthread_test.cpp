// SPDX-License-Identifier: Apache-2.0
// mainthread_test.cpp -- the main-thread hand-off on its own, with a
// dispatcher the test controls, driven from several listener-like threads
// at once (also run under ThreadSanitizer): results routed to their own
// caller by origin, session id and call identifier, a bounded table that
// never drops a fresh result, results dropped after the keep time (the
// hand-off's clock moved forward through its test seam), calls run one at a
// time, in arrival order and once, and the local clock stepped or
// unreadable while a page waits.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "params/params.h"
#include "service/mainthread.h"
#include "service/service.h"

// The local clock as every caller in this binary sees it: this definition
// takes the place of the C library's for the statically linked support code
// (getTimeValue, the trace). Passes through unless a test sets a fault.
enum ClockFault { kClockTrue, kClockBackAnHour, kClockForwardAnHour, kClockUnreadable };
static std::atomic<int> clockFault{kClockTrue};

extern "C" struct tm* localtime_r(const time_t* timer, struct tm* out) noexcept {
  typedef struct tm* (*LocalTime)(const time_t*, struct tm*);
  static const LocalTime real = (LocalTime)dlsym(RTLD_NEXT, "localtime_r");
  if (real == nullptr || timer == nullptr)
    return nullptr;
  time_t shifted = *timer;
  switch (clockFault.load()) {
    case kClockBackAnHour:
      shifted -= 3600;
      break;
    case kClockForwardAnHour:
      shifted += 3600;
      break;
    case kClockUnreadable:
      return nullptr;
    default:
      break;
  }
  return real(&shifted, out);
}

namespace {

// The "adapter": answers "done:<FunctionName>@<origin>" after the map's
// "delay_ms". With "clock" it sets that clock fault as it starts (the page
// is then waiting); with "hold" it runs until the test releases it.
std::atomic<bool> released{false};
std::atomic<bool> returned{false};
std::atomic<int> calls{0};
std::atomic<int> running{0};
std::atomic<int> finished{0};
std::atomic<bool> overlapped{false};
std::atomic<uint64_t> seenToken{0};
std::mutex ranLock;
std::vector<std::string> ran;  // function names in the order they ran

std::string mapValue(KestrovanJsonMap* map, const char* key) {
  for (int i = 0; map != nullptr && i < map->count; i++)
    if (strcasecmp(map->units[i].key, key) == 0 && map->units[i].value != nullptr)
      return map->units[i].value;
  return std::string();
}

KestrovanJsonMap* dispatch(unsigned int, KestrovanJsonMap* map, const char* origin) {
  if (running.fetch_add(1) != 0)
    overlapped = true;
  calls++;
  {
    std::lock_guard<std::mutex> guard(ranLock);
    ran.push_back(mapValue(map, "FunctionName"));
  }
  if (!mapValue(map, "token").empty())
    seenToken = KestrovanHost_callToken();
  std::string clock = mapValue(map, "clock");
  if (!clock.empty())
    clockFault = std::stoi(clock);
  std::string delay = mapValue(map, "delay_ms");
  if (!delay.empty())
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(delay)));
  // Bounded, so that a failing test cannot keep the loop from ending.
  for (int i = 0; !mapValue(map, "hold").empty() && !released && i < 1200; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  KestrovanJsonMap* result = (KestrovanJsonMap*)calloc(1, sizeof(KestrovanJsonMap));
  std::string answer = "done:" + mapValue(map, "FunctionName") + "@" + (origin != nullptr ? origin : "");
  addKestrovanJsonMapUnit(result, "result", answer.c_str());
  running--;
  returned = true;
  finished++;
  return result;
}

// The process's main thread in the service; a thread of its own here.
class MainThreadLoop {
 public:
  MainThreadLoop() {
    thread_ = std::thread([this] {
      while (!stop_) {
        if (!KestrovanMainThread_poll(dispatch))
          KestrovanMainThread_wait(50);
      }
    });
  }
  ~MainThreadLoop() {
    released = true;
    stop_ = true;
    thread_.join();
    KestrovanMainThread_reset();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

KestrovanJsonMap* request(const std::string& json) {
  return getKestrovanJsonMap(json.c_str());
}

std::string resultOf(KestrovanJsonMap* map) {
  std::string text = mapValue(map, "result");
  KestrovanJsonFinal(map);
  return text;
}

// True once condition holds, false after about ten seconds.
bool waitUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 1000; i++) {
    if (condition())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

// True once count requests wait in the hand-off (asked and not answered
// yet): an arrival is waited for, never slept for.
bool waitsReach(int count) {
  return waitUntil([count] { return KestrovanMainThread_counts().waits >= count; });
}

// True once no call runs: the hand-off has recorded the last result, which
// it does just after the dispatcher returns.
bool nothingRuns() {
  return waitUntil([] { return KestrovanMainThread_counts().running == 0; });
}

// Who asks: the three texts the hand-off names a caller by.
struct Caller {
  std::string origin;
  std::string session;  // "" sends no "SessionId"
  std::string callId;   // "" sends no call identifier
};

std::string callJson(const Caller& caller, const std::string& function, const std::string& extra = "") {
  std::string json = R"({"FunctionName":")" + function + "\"";
  if (!caller.session.empty())
    json += R"(,"SessionId":")" + caller.session + "\"";
  if (!caller.callId.empty())
    json += R"(,")" KESTROVAN_CALL_ID_KEY R"(":")" + caller.callId + "\"";
  return json + extra + "}";
}

// One request in main-thread mode; the answer's "result".
std::string ask(const Caller& caller, const std::string& function, const std::string& extra = "") {
  KestrovanJsonMap* map = request(callJson(caller, function, extra));
  std::string answer = resultOf(KestrovanMainThread_call(&map, caller.origin.c_str()));
  KestrovanJsonFinal(map);
  return answer;
}

std::future<std::string> askLater(const Caller& caller, const std::string& function, const std::string& extra = "") {
  return std::async(std::launch::async, [=] { return ask(caller, function, extra); });
}

// Asks with a call that holds the main thread, and ends the wait at once
// by moving the hand-off's clock past it: the caller is answered
// "heartbeat" and goes away, its call still running. Returns that answer.
std::string askHeldThenLeave(const Caller& caller, const std::string& function) {
  int before = running.load();
  std::future<std::string> answer = askLater(caller, function, R"(,"hold":"1")");
  if (!waitUntil([&] { return running.load() > before; }))
    return "never ran";
  KestrovanMainThread_skipSeconds(KESTROVAN_MAIN_THREAD_WAIT_SECONDS);
  return answer.get();
}

class MainThreadHandOff : public ::testing::Test {
 protected:
  void SetUp() override {
    released = false;
    returned = false;
    calls = 0;
    finished = 0;
    overlapped = false;
    std::lock_guard<std::mutex> guard(ranLock);
    ran.clear();
  }
  void TearDown() override { EXPECT_FALSE(overlapped.load()) << "two calls ran on the main thread at once"; }
};

TEST_F(MainThreadHandOff, QuickCallReturnsItsResultAndTakesTheMap) {
  MainThreadLoop loop;
  KestrovanJsonMap* map = request(R"({"FunctionName":"Sign"})");
  ASSERT_NE(map, nullptr);
  KestrovanJsonMap* result = KestrovanMainThread_call(&map, "https://bank.example");
  EXPECT_EQ(map, nullptr) << "the call owns the map it runs with";
  EXPECT_EQ(resultOf(result), "done:Sign@https://bank.example");
}

// Several pages at once, some of one site with sessions of their own, some
// with call identifiers: exactly one call runs at a time, every call runs
// once and its result reaches its own page once, nothing reaches another.
TEST_F(MainThreadHandOff, ConcurrentPagesEachGetTheirOwnResultOnce) {
  MainThreadLoop loop;
  const std::vector<Caller> pages = {
      {"https://page0.example", "", ""},          {"https://page1.example", "S1_SID", ""},
      {"https://shared.example", "A1_SID", ""},   {"https://shared.example", "A2_SID", ""},
      {"https://shared.example", "A1_SID", "c1"}, {"https://shared.example", "A1_SID", "c2"},
  };
  const int rounds = 3;
  std::vector<std::future<std::vector<std::string>>> answers;
  for (size_t page = 0; page < pages.size(); page++) {
    answers.push_back(std::async(std::launch::async, [&, page] {
      std::vector<std::string> seen;
      for (int round = 0; round < rounds; round++) {
        std::string function = "F" + std::to_string(page) + "r" + std::to_string(round);
        // A page asks again after each heartbeat until its call is answered.
        for (int attempt = 0; attempt < 20; attempt++) {
          std::string answer = ask(pages[page], function, R"(,"delay_ms":"150")");
          seen.push_back(answer);
          if (answer != "heartbeat")
            break;
        }
      }
      return seen;
    }));
  }
  for (size_t page = 0; page < pages.size(); page++) {
    std::vector<std::string> seen = answers[page].get();
    std::vector<std::string> results;
    for (const std::string& answer : seen)
      if (answer != "heartbeat")
        results.push_back(answer);
    ASSERT_EQ(results.size(), (size_t)rounds) << "page " << page;
    for (int round = 0; round < rounds; round++)
      EXPECT_EQ(results[(size_t)round],
                "done:F" + std::to_string(page) + "r" + std::to_string(round) + "@" + pages[page].origin);
  }
  EXPECT_EQ(calls.load(), (int)pages.size() * rounds) << "every call ran exactly once";
}

// A call longer than the wait: the first request gets a heartbeat (a map of
// its own, without the result), the result waits for the next request of
// the same caller and is handed out once.
TEST_F(MainThreadHandOff, LongCallAnswersHeartbeatThenResultOnce) {
  MainThreadLoop loop;
  KestrovanJsonMap* map = request(R"({"FunctionName":"Long","delay_ms":"8500"})");
  KestrovanJsonMap* first = KestrovanMainThread_call(&map, "https://bank.example");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->count, 1);
  EXPECT_EQ(resultOf(first), "heartbeat");

  // Let the call finish with nobody waiting.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  KestrovanJsonMap* own = request(R"({"FunctionName":"Other"})");
  KestrovanJsonMap* second = KestrovanMainThread_call(&own, "https://bank.example");
  EXPECT_NE(own, nullptr) << "a request that collects starts nothing and keeps its map";
  KestrovanJsonFinal(own);
  EXPECT_EQ(resultOf(second), "done:Long@https://bank.example");
  EXPECT_EQ(calls.load(), 1);

  KestrovanJsonMap* again = request(R"({"FunctionName":"Again"})");
  EXPECT_EQ(resultOf(KestrovanMainThread_call(&again, "https://bank.example")), "done:Again@https://bank.example");
  EXPECT_EQ(calls.load(), 2);
}

// A result waiting for another site neither reaches nor delays this one.
TEST_F(MainThreadHandOff, AnotherOriginNeverCollectsTheResult) {
  MainThreadLoop loop;
  KestrovanJsonMap* map = request(R"({"FunctionName":"Mine","delay_ms":"7600"})");
  EXPECT_EQ(resultOf(KestrovanMainThread_call(&map, "https://bank.example")), "heartbeat");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  KestrovanJsonMap* theirs = request(R"({"FunctionName":"Theirs"})");
  EXPECT_EQ(resultOf(KestrovanMainThread_call(&theirs, "https://evil.example")), "done:Theirs@https://evil.example");
  KestrovanJsonFinal(theirs);
  KestrovanJsonMap* mine = request(R"({"FunctionName":"Mine"})");
  EXPECT_EQ(resultOf(KestrovanMainThread_call(&mine, "https://bank.example")), "done:Mine@https://bank.example");
  KestrovanJsonFinal(mine);
  EXPECT_EQ(calls.load(), 2);
}

// Caller A leaves a finished result behind; caller B then asks. B collects
// A's result only when all three texts are equal (a retry of A's call);
// otherwise B's own call runs at once and A's result stays for A.
struct RoutingCase {
  const char* name;
  Caller a, b;
  bool bCollectsA;
};

void PrintTo(const RoutingCase& c, std::ostream* out) {
  *out << c.name;
}

const char* const kSite = "https://shop.example";
const char* const kOther = "https://other.example";

class MainThreadRouting : public MainThreadHandOff, public ::testing::WithParamInterface<RoutingCase> {};

TEST_P(MainThreadRouting, ResultGoesOnlyToItsCaller) {
  const RoutingCase& c = GetParam();
  MainThreadLoop loop;
  ASSERT_EQ(askHeldThenLeave(c.a, "CallOfA"), "heartbeat");
  released = true;
  ASSERT_TRUE(waitUntil([] { return finished.load() == 1; }));

  std::string b = ask(c.b, "CallOfB");
  if (c.bCollectsA) {
    EXPECT_EQ(b, "done:CallOfA@" + c.a.origin);
    EXPECT_EQ(calls.load(), 1) << "a retry starts nothing";
    // Handed out once: A's next request is a new call.
    EXPECT_EQ(ask(c.a, "NextOfA"), "done:NextOfA@" + c.a.origin);
  } else {
    EXPECT_EQ(b, "done:CallOfB@" + c.b.origin);
    EXPECT_EQ(ask(c.a, "RetryOfA"), "done:CallOfA@" + c.a.origin) << "A's result stays for A";
  }
  EXPECT_EQ(calls.load(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Callers, MainThreadRouting,
    ::testing::Values(
        RoutingCase{"SameSessionNoCallId", {kSite, "S1_SID", ""}, {kSite, "S1_SID", ""}, true},
        RoutingCase{"OtherSessionSameSite", {kSite, "S1_SID", ""}, {kSite, "S2_SID", ""}, false},
        RoutingCase{"OtherSessionBothWithCallIds", {kSite, "S1_SID", "x1"}, {kSite, "S2_SID", "x2"}, false},
        RoutingCase{"SameSessionOtherSite", {kSite, "S1_SID", ""}, {kOther, "S1_SID", ""}, false},
        RoutingCase{"SameCallIdOtherSite", {kSite, "S1_SID", "x1"}, {kOther, "S1_SID", "x1"}, false},
        RoutingCase{"SameCallIdOtherSession", {kSite, "S1_SID", "x1"}, {kSite, "S2_SID", "x1"}, false},
        RoutingCase{"CallerWithCallIdRequestWithout", {kSite, "S1_SID", "x1"}, {kSite, "S1_SID", ""}, false},
        RoutingCase{"CallerWithoutCallIdRequestWith", {kSite, "S1_SID", ""}, {kSite, "S1_SID", "x1"}, false},
        RoutingCase{"OtherCallIdSameSession", {kSite, "S1_SID", "x1"}, {kSite, "S1_SID", "x2"}, false},
        RoutingCase{"SameCallId", {kSite, "S1_SID", "x1"}, {kSite, "S1_SID", "x1"}, true},
        RoutingCase{"NewSessionOtherCallIds", {kSite, "", "n1"}, {kSite, "", "n2"}, false},
        RoutingCase{"NewSessionSameCallId", {kSite, "", "n1"}, {kSite, "", "n1"}, true},
        // Without identifiers the session-opening calls of one site share one
        // caller name: the page library always sends a call identifier.
        RoutingCase{"NewSessionNoCallIds", {kSite, "", ""}, {kSite, "", ""}, true}),
    [](const ::testing::TestParamInfo<RoutingCase>& info) { return std::string(info.param.name); });

// A page's retries after heartbeats wait for the call they started, while it
// is pending behind another call and while it runs: it runs once.
TEST_F(MainThreadHandOff, RetriesOfOneCallRunItOnce) {
  MainThreadLoop loop;
  const Caller blocker{"https://first.example", "B_SID", ""};
  const Caller page{"https://bank.example", "P_SID", "call-1"};
  std::future<std::string> first = askLater(blocker, "Blocker", R"(,"hold":"1")");
  ASSERT_TRUE(waitUntil([] { return running.load() == 1; }));
  // Pending behind the blocker: the first request and two retries.
  std::future<std::string> pending = askLater(page, "Sign");
  ASSERT_TRUE(waitsReach(2));
  KestrovanMainThread_skipSeconds(KESTROVAN_MAIN_THREAD_WAIT_SECONDS);
  EXPECT_EQ(first.get(), "heartbeat");
  EXPECT_EQ(pending.get(), "heartbeat");
  for (int retry = 0; retry < 2; retry++) {
    std::future<std::string> again = askLater(page, "Sign");
    ASSERT_TRUE(waitsReach(1));
    KestrovanMainThread_skipSeconds(KESTROVAN_MAIN_THREAD_WAIT_SECONDS);
    EXPECT_EQ(again.get(), "heartbeat");
  }
  EXPECT_EQ(calls.load(), 1) << "only the blocker ran so far";
  // Released: the blocker's result waits for its page; the retry gets the
  // page's own call, run once.
  released = true;
  EXPECT_EQ(ask(page, "Sign"), "done:Sign@https://bank.example");
  EXPECT_EQ(ask(blocker, "Blocker"), "done:Blocker@https://first.example");
  EXPECT_EQ(calls.load(), 2);
  std::lock_guard<std::mutex> guard(ranLock);
  EXPECT_EQ(ran, (std::vector<std::string>{"Blocker", "Sign"}));
}

// Calls wait in the table and run one at a time in the order they came.
TEST_F(MainThreadHandOff, CallsRunOneAtATimeInArrivalOrder) {
  MainThreadLoop loop;
  std::vector<std::future<std::string>> answers;
  answers.push_back(askLater({"https://a.example", "", ""}, "First", R"(,"hold":"1")"));
  ASSERT_TRUE(waitUntil([] { return running.load() == 1; }));
  const std::vector<std::string> order = {"Second", "Third", "Fourth", "Fifth"};
  for (size_t i = 0; i < order.size(); i++) {
    answers.push_back(askLater({"https://p" + std::to_string(i) + ".example", "", ""}, order[i]));
    // Each arrives after the one before.
    ASSERT_TRUE(waitsReach((int)i + 2));
  }
  released = true;
  EXPECT_EQ(answers[0].get(), "done:First@https://a.example");
  for (size_t i = 0; i < order.size(); i++)
    EXPECT_EQ(answers[i + 1].get(), "done:" + order[i] + "@https://p" + std::to_string(i) + ".example");
  std::lock_guard<std::mutex> guard(ranLock);
  EXPECT_EQ(ran, (std::vector<std::string>{"First", "Second", "Third", "Fourth", "Fifth"}));
}

// Finished results of sixteen callers fill the table. A new caller finds
// room at once: the oldest uncollected result is dropped (with a warning
// line), every other result still reaches its own caller.
TEST_F(MainThreadHandOff, FullTableDropsTheOldestFinishedResult) {
  MainThreadLoop loop;
  std::vector<Caller> left;
  for (int i = 0; i < KESTROVAN_MAIN_THREAD_CALLS; i++)
    left.push_back({"https://site" + std::to_string(i) + ".example", "S_SID", ""});
  ASSERT_EQ(askHeldThenLeave(left[0], "Left0"), "heartbeat");
  // The others pend behind the held call; their waits end together.
  std::vector<std::future<std::string>> waits;
  for (int i = 1; i < KESTROVAN_MAIN_THREAD_CALLS; i++)
    waits.push_back(askLater(left[(size_t)i], "Left" + std::to_string(i)));
  ASSERT_TRUE(waitsReach(KESTROVAN_MAIN_THREAD_CALLS - 1));
  KestrovanMainThread_skipSeconds(KESTROVAN_MAIN_THREAD_WAIT_SECONDS);
  for (std::future<std::string>& wait : waits)
    EXPECT_EQ(wait.get(), "heartbeat");
  released = true;
  ASSERT_TRUE(waitUntil([] { return finished.load() == KESTROVAN_MAIN_THREAD_CALLS; }));
  ASSERT_TRUE(nothingRuns());

  testing::internal::CaptureStdout();
  EXPECT_EQ(ask({"https://late.example", "L_SID", ""}, "Late"), "done:Late@https://late.example");
  std::string trace = testing::internal::GetCapturedStdout();
  EXPECT_NE(trace.find("Main thread result not collected: "), std::string::npos) << trace;
  EXPECT_EQ(trace.find("No room, waiting"), std::string::npos) << trace;
  for (int i = 1; i < KESTROVAN_MAIN_THREAD_CALLS; i++) {
    EXPECT_EQ(ask(left[(size_t)i], "Collect"),
              "done:Left" + std::to_string(i) + "@https://site" + std::to_string(i) + ".example");
  }
  EXPECT_EQ(calls.load(), KESTROVAN_MAIN_THREAD_CALLS + 1);
  // The oldest result was the one dropped: its caller's request runs anew.
  EXPECT_EQ(ask(left[0], "Left0"), "done:Left0@https://site0.example");
  EXPECT_EQ(calls.load(), KESTROVAN_MAIN_THREAD_CALLS + 2);
}

// Uncollected results of hostile origins never keep another caller out,
// however many origins leave them: each new call drops the oldest one.
TEST_F(MainThreadHandOff, ManyOriginsLeavingResultsKeepNobodyOut) {
  MainThreadLoop loop;
  int expected = 0;
  for (int i = 0; i < 3 * KESTROVAN_MAIN_THREAD_CALLS; i++) {
    // Unique sites, sessions and call ids, never collected: collected here
    // by the asking request itself, so the junk is left by a second one.
    Caller hostile{"https://h" + std::to_string(i) + ".attacker" + std::to_string(i % 2) + ".example",
                   "X" + std::to_string(i) + "_SID", "fresh" + std::to_string(i)};
    ASSERT_EQ(askHeldThenLeave(hostile, "Junk"), "heartbeat");
    released = true;
    ASSERT_TRUE(waitUntil([&] { return finished.load() == expected + 1; }));
    released = false;
    expected++;
  }
  ASSERT_TRUE(nothingRuns());
  testing::internal::CaptureStdout();
  EXPECT_EQ(ask({"https://bank.example", "B_SID", "b1"}, "GetInfo"), "done:GetInfo@https://bank.example");
  std::string trace = testing::internal::GetCapturedStdout();
  EXPECT_EQ(trace.find("No room, waiting"), std::string::npos) << trace;
  EXPECT_EQ(calls.load(), expected + 1);
}

// What one registrable domain and one session may hold while their calls
// pend: the call past the share waits for room (and is answered
// "heartbeat"), while another site's call starts at once.
struct ShareCase {
  const char* name;
  std::vector<Caller> holders;  // fill the share, pending behind a held call
  Caller extra;                 // one more of the same domain or session
};

void PrintTo(const ShareCase& c, std::ostream* out) {
  *out << c.name;
}

class MainThreadShare : public MainThreadHandOff, public ::testing::WithParamInterface<ShareCase> {};

std::vector<Caller> subdomainCallers(int count) {
  std::vector<Caller> out;
  for (int i = 0; i < count; i++)
    out.push_back({"https://s" + std::to_string(i) + ".greedy.example", "G" + std::to_string(i) + "_SID",
                   "g" + std::to_string(i)});
  return out;
}

std::vector<Caller> sessionCallers(int count) {
  std::vector<Caller> out;
  for (int i = 0; i < count; i++)
    out.push_back({"https://greedy.example", "ONE_SID", "c" + std::to_string(i)});
  return out;
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    count++;
  return count;
}

TEST_P(MainThreadShare, CallPastTheShareWaitsOtherSitesDoNot) {
  const ShareCase& c = GetParam();
  MainThreadLoop loop;
  std::future<std::string> blocker = askLater({"https://blocker.example", "", ""}, "Blocker", R"(,"hold":"1")");
  ASSERT_TRUE(waitUntil([] { return running.load() == 1; }));
  std::vector<std::future<std::string>> waits;
  for (size_t i = 0; i < c.holders.size(); i++)
    waits.push_back(askLater(c.holders[i], "Held" + std::to_string(i)));
  ASSERT_TRUE(waitsReach(1 + (int)c.holders.size()));
  testing::internal::CaptureStdout();
  std::future<std::string> extra = askLater(c.extra, "Extra");
  ASSERT_TRUE(waitsReach(2 + (int)c.holders.size()));
  std::future<std::string> modest = askLater({"https://modest.example", "M_SID", "m1"}, "Modest");
  ASSERT_TRUE(waitsReach(3 + (int)c.holders.size()));
  KestrovanMainThread_skipSeconds(KESTROVAN_MAIN_THREAD_WAIT_SECONDS);
  EXPECT_EQ(extra.get(), "heartbeat");
  EXPECT_EQ(modest.get(), "heartbeat");
  for (std::future<std::string>& wait : waits)
    EXPECT_EQ(wait.get(), "heartbeat");
  EXPECT_EQ(blocker.get(), "heartbeat");
  std::string trace = testing::internal::GetCapturedStdout();
  EXPECT_EQ(occurrences(trace, "Start main thread"), 1u) << "only the modest site's call started: " << trace;
  EXPECT_EQ(occurrences(trace, "No room, waiting"), 1u) << trace;
  released = true;
  EXPECT_EQ(ask({"https://modest.example", "M_SID", "m1"}, "Modest"), "done:Modest@https://modest.example");
  EXPECT_TRUE(waitUntil([&] { return finished.load() == (int)c.holders.size() + 2; }));
}

INSTANTIATE_TEST_SUITE_P(
    Shares, MainThreadShare,
    ::testing::Values(ShareCase{"OneDomainManySubdomains", subdomainCallers(KESTROVAN_MAIN_THREAD_CALLS_PER_DOMAIN),
                                {"https://other.greedy.example", "Z_SID", "z"}},
                      ShareCase{"OneSessionManyCallIds", sessionCallers(KESTROVAN_MAIN_THREAD_CALLS_PER_SESSION),
                                {"https://greedy.example", "ONE_SID", "past"}}),
    [](const ::testing::TestParamInfo<ShareCase>& info) { return std::string(info.param.name); });

// Pending calls run round-robin across registrable domains: a site's call
// waits behind at most one call of a domain that already had its turn.
TEST_F(MainThreadHandOff, PendingCallsTakeTurnsByDomain) {
  MainThreadLoop loop;
  std::vector<std::future<std::string>> answers;
  answers.push_back(askLater({"https://a.turns-flood.example", "F0_SID", "f0"}, "Flood0", R"(,"hold":"1")"));
  ASSERT_TRUE(waitUntil([] { return running.load() == 1; }));
  for (int i = 1; i <= 4; i++) {
    answers.push_back(askLater({"https://s" + std::to_string(i) + ".turns-flood.example", "F" + std::to_string(i) + "_SID",
                                "f" + std::to_string(i)},
                               "Flood" + std::to_string(i)));
    ASSERT_TRUE(waitsReach(1 + i));
  }
  answers.push_back(askLater({"https://turns-bank.example", "B_SID", "pin"}, "Pin"));
  ASSERT_TRUE(waitsReach(6));
  answers.push_back(askLater({"https://x.turns-other.example", "O_SID", "o1"}, "Other1"));
  ASSERT_TRUE(waitsReach(7));
  answers.push_back(askLater({"https://y.turns-other.example", "O_SID", "o2"}, "Other2"));
  ASSERT_TRUE(waitsReach(8));
  released = true;
  for (std::future<std::string>& answer : answers)
    EXPECT_NE(answer.get(), "heartbeat");
  std::lock_guard<std::mutex> guard(ranLock);
  // (Domains of their own: the order remembers earlier tests' turns.)
  // bank and turns-other.example were never served: their calls come first, then
  // the flood domain and turns-other.example take turns.
  EXPECT_EQ(ran, (std::vector<std::string>{"Flood0", "Pin", "Other1", "Flood1", "Other2", "Flood2", "Flood3",
                                           "Flood4"}));
}

// The registrable domain a call is counted and scheduled by.
struct DomainCase {
  const char* name;
  const char* origin;
  const char* domain;
};

void PrintTo(const DomainCase& c, std::ostream* out) {
  *out << c.name;
}

class MainThreadDomain : public ::testing::TestWithParam<DomainCase> {};

TEST_P(MainThreadDomain, OriginMapsToItsRegistrableDomain) {
  char domain[KESTROVAN_DOMAIN_SIZE];
  KestrovanMainThread_domainOf(GetParam().origin, domain, sizeof(domain));
  EXPECT_STREQ(domain, GetParam().domain);
}

INSTANTIATE_TEST_SUITE_P(
    Origins, MainThreadDomain,
    ::testing::Values(DomainCase{"Plain", "https://bank.example", "bank.example"},
                      DomainCase{"Subdomain", "https://a.b.bank.example:8443", "bank.example"},
                      DomainCase{"TwoLabelSuffix", "https://www.shop.co.uk", "shop.co.uk"},
                      DomainCase{"PrivateSuffix", "https://alice.github.io", "alice.github.io"},
                      DomainCase{"UpperCase", "https://WWW.Bank.Example", "bank.example"},
                      DomainCase{"IPv4", "https://127.0.0.1:8443", "127.0.0.1"},
                      DomainCase{"IPv6", "https://[::1]:8443", "[::1]"},
                      DomainCase{"Localhost", "http://localhost:8480", "localhost"},
                      DomainCase{"SubOfLocalhost", "http://app.localhost:8480", "app.localhost"},
                      DomainCase{"PublicSuffixItself", "https://co.uk", "co.uk"},
                      DomainCase{"NoHost", "null", "null"}),
    [](const ::testing::TestParamInfo<DomainCase>& info) { return std::string(info.param.name); });

// The hooks adapters ask: the running call's token on the main thread, 0
// elsewhere; abandoned once nobody waited for the call for a few seconds
// after its heartbeat, never while its page waits, and at shutdown.
TEST_F(MainThreadHandOff, CallTokenNamesTheRunningCallAndAbandonmentFollowsItsPage) {
  MainThreadLoop loop;
  EXPECT_EQ(KestrovanHost_callToken(), 0u) << "no call runs on this thread";
  EXPECT_EQ(KestrovanHost_callAbandoned(0), 0);
  const Caller page{"https://bank.example", "T_SID", "t1"};
  std::future<std::string> first = askLater(page, "Dialog", R"(,"hold":"1","token":"1")");
  ASSERT_TRUE(waitUntil([] { return seenToken.load() != 0; }));
  uint64_t token = seenToken.load();
  EXPECT_EQ(KestrovanHost_callAbandoned(token), 0) << "its page waits";
  KestrovanMainThread_skipSeconds(KESTROVAN_MAIN_THREAD_WAIT_SECONDS);
  EXPECT_EQ(first.get(), "heartbeat");
  EXPECT_EQ(KestrovanHost_callAbandoned(token), 0) << "the re-send may still come";
  // The re-send came: not abandoned however long it waits.
  std::future<std::string> again = askLater(page, "Dialog");
  ASSERT_TRUE(waitsReach(1));
  KestrovanMainThread_skipSeconds(KESTROVAN_ABANDON_SECONDS + 1);
  EXPECT_EQ(KestrovanHost_callAbandoned(token), 0) << "a re-send waits for it";
  KestrovanMainThread_skipSeconds(KESTROVAN_MAIN_THREAD_WAIT_SECONDS);
  EXPECT_EQ(again.get(), "heartbeat");
  EXPECT_EQ(KestrovanHost_callAbandoned(token), 0);
  KestrovanMainThread_skipSeconds(KESTROVAN_ABANDON_SECONDS);
  EXPECT_EQ(KestrovanHost_callAbandoned(token), 1) << "no re-send within the abandon time";
  KestrovanClose = true;
  EXPECT_EQ(KestrovanHost_callAbandoned(token + 1000), 1) << "every call is abandoned at shutdown";
  KestrovanClose = false;
  released = true;
  EXPECT_EQ(ask(page, "Dialog"), "done:Dialog@https://bank.example");
}

// A result nobody came back for is dropped after the keep time (with a
// warning line); a later request of its caller then starts a new call.
TEST_F(MainThreadHandOff, UncollectedResultIsDroppedAfterTheKeepTime) {
  MainThreadLoop loop;
  const Caller gone{"https://gone.example", "G_SID", "g1"};
  ASSERT_EQ(askHeldThenLeave(gone, "Forgotten"), "heartbeat");
  released = true;
  ASSERT_TRUE(waitUntil([] { return finished.load() == 1; }));
  // Kept while the keep time runs (less the few seconds this test may take).
  KestrovanMainThread_skipSeconds(KESTROVAN_RESULT_KEEP_SECONDS - 10);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ask({"https://other.example", "", ""}, "Meanwhile"), "done:Meanwhile@https://other.example");
  std::string trace = testing::internal::GetCapturedStdout();
  EXPECT_EQ(trace.find("Main thread result not collected: "), std::string::npos) << trace;
  KestrovanMainThread_skipSeconds(15);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ask({"https://other.example", "", ""}, "After"), "done:After@https://other.example");
  trace = testing::internal::GetCapturedStdout();
  EXPECT_NE(trace.find("Main thread result not collected: "), std::string::npos) << trace;
  EXPECT_EQ(ask(gone, "Forgotten"), "done:Forgotten@https://gone.example");
  EXPECT_EQ(calls.load(), 4) << "the dropped result is gone: the caller's request ran again";
}

// The call identifier is a short plain name; anything else is refused with
// 61005 and starts nothing.
TEST_F(MainThreadHandOff, UnusableCallIdentifierIsRefused) {
  MainThreadLoop loop;
  struct IdCase {
    std::string id;
    bool usable;
  } cases[] = {
      {"abc-DEF_012.x:y", true},
      {std::string(KESTROVAN_CALL_ID_MAX, 'a'), true},
      {std::string(KESTROVAN_CALL_ID_MAX + 1, 'a'), false},
      {"with space", false},
      {"semi;colon", false},
      {"\xc3\xa9t\xc3\xa9", false},
  };
  int expectedCalls = 0;
  for (const IdCase& c : cases) {
    std::string answer = ask({"https://ids.example", "", c.id}, "Id");
    if (c.usable) {
      expectedCalls++;
      EXPECT_EQ(answer, "done:Id@https://ids.example") << c.id;
    } else {
      EXPECT_EQ(answer, "61005") << c.id;
    }
    EXPECT_EQ(calls.load(), expectedCalls) << c.id;
  }
}

// At shutdown a waiting page is answered at once, and a new request starts
// nothing.
TEST_F(MainThreadHandOff, WaitingPageIsAnsweredAtShutdown) {
  MainThreadLoop loop;
  std::future<std::string> waiting = askLater({"https://bank.example", "", ""}, "Stuck", R"(,"hold":"1")");
  ASSERT_TRUE(waitUntil([] { return running.load() == 1; }));
  KestrovanClose = true;
  KestrovanMainThread_closing();
  // Far below the seven-second wait, far above the wake-up.
  bool answered = waiting.wait_for(std::chrono::seconds(4)) == std::future_status::ready;
  EXPECT_TRUE(answered);
  EXPECT_EQ(ask({"https://late.example", "", ""}, "Late"), "heartbeat");
  KestrovanClose = false;
  released = true;
  if (answered) {
    EXPECT_EQ(waiting.get(), "heartbeat");
  }
  EXPECT_EQ(calls.load(), 1);
}

// Reset drops what nobody will collect; the next request starts afresh.
TEST_F(MainThreadHandOff, ResetDropsWaitingResults) {
  MainThreadLoop loop;
  const Caller page{"https://bank.example", "R_SID", "r1"};
  ASSERT_EQ(askHeldThenLeave(page, "Before"), "heartbeat");
  released = true;
  ASSERT_TRUE(waitUntil([] { return finished.load() == 1; }));
  KestrovanMainThread_reset();
  EXPECT_EQ(ask(page, "After"), "done:After@https://bank.example");
}

// The wait of a page and the keeping of a result follow elapsed time, not
// the local calendar: a clock set back (end of daylight saving, a manual
// change) or a local time that cannot be read must not hold a listener
// thread and its connections for an hour or for ever.
struct ClockCase {
  const char* name;
  ClockFault fault;
};

void PrintTo(const ClockCase& c, std::ostream* out) {
  *out << c.name;
}

class MainThreadClock : public ::testing::TestWithParam<ClockCase> {
 protected:
  void SetUp() override {
    clockFault = kClockTrue;
    released = false;
    returned = false;
  }
  void TearDown() override {
    clockFault = kClockTrue;
    released = true;
  }

  // Asks like a page; empty when no answer came within the limit (far
  // above the wait's seven seconds, so only a hung wait reaches it).
  static std::string askWithin(const std::string& json, const std::string& origin, int limitSeconds) {
    std::future<std::string> answer = std::async(std::launch::async, [json, origin] {
      KestrovanJsonMap* map = request(json);
      std::string text = resultOf(KestrovanMainThread_call(&map, origin.c_str()));
      KestrovanJsonFinal(map);
      return text;
    });
    if (answer.wait_for(std::chrono::seconds(limitSeconds)) == std::future_status::ready)
      return answer.get();
    // A hung wait: the true clock lets it end, so that the test can.
    clockFault = kClockTrue;
    answer.get();
    return std::string();
  }
};

TEST_P(MainThreadClock, WaitingPageGetsItsHeartbeatAndThenItsResult) {
  MainThreadLoop loop;
  std::string call = R"({"FunctionName":"Sign","hold":"1","clock":")" + std::to_string(GetParam().fault) + "\"}";
  EXPECT_EQ(askWithin(call, "https://bank.example", 30), "heartbeat")
      << "no heartbeat while the local clock was " << GetParam().name;
  released = true;
  std::string answer;
  for (int attempt = 0; attempt < 10 && (answer.empty() || answer == "heartbeat"); attempt++)
    answer = askWithin(R"({"FunctionName":"Collect"})", "https://bank.example", 30);
  EXPECT_EQ(answer, "done:Sign@https://bank.example");
}

INSTANTIATE_TEST_SUITE_P(LocalClock, MainThreadClock,
                         ::testing::Values(ClockCase{"BackAnHour", kClockBackAnHour},
                                           ClockCase{"Unreadable", kClockUnreadable}),
                         [](const ::testing::TestParamInfo<ClockCase>& info) {
                           return std::string(info.param.name);
                         });

// A clock set forward (start of daylight saving) is no two minutes: the
// finished result still waits for its page.
TEST_F(MainThreadClock, ClockSetForwardDoesNotDropAFreshResult) {
  MainThreadLoop loop;
  EXPECT_EQ(askWithin(R"({"FunctionName":"Mine","hold":"1"})", "https://bank.example", 30), "heartbeat");
  released = true;
  for (int i = 0; i < 600 && !returned; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(returned.load());
  ASSERT_TRUE(nothingRuns());
  clockFault = kClockForwardAnHour;
  EXPECT_EQ(askWithin(R"({"FunctionName":"Theirs"})", "https://other.example", 30),
            "done:Theirs@https://other.example");
  clockFault = kClockTrue;
  EXPECT_EQ(askWithin(R"({"FunctionName":"Collect"})", "https://bank.example", 30), "done:Mine@https://bank.example");
}

}  // namespace
