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
          KestrovanMainThread_wait(KESTROVAN_MAIN_THREAD_POLL_MS);
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
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  KestrovanMainThread_skipSeconds(KESTROVAN_MAIN_THREAD_WAIT_SECONDS);
  EXPECT_EQ(first.get(), "heartbeat");
  EXPECT_EQ(pending.get(), "heartbeat");
  for (int retry = 0; retry < 2; retry++) {
    std::future<std::string> again = askLater(page, "Sign");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
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
    // Each arrives well after the one before.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  released = true;
  EXPECT_EQ(answers[0].get(), "done:First@https://a.example");
  for (size_t i = 0; i < order.size(); i++)
    EXPECT_EQ(answers[i + 1].get(), "done:" + order[i] + "@https://p" + std::to_string(i) + ".example");
  std::lock_guard<std::mutex> guard(ranLock);
  EXPECT_EQ(ran, (std::vector<std::string>{"First", "Second", "Third", "Fourth", "Fifth"}));
}

// Finished results of sixteen callers fill the table. A new caller waits
// for room instead of dropping a fresh result, starts as soon as one is
// collected, and every result still reaches its own caller.
TEST_F(MainThreadHandOff, FullTableWaitsForRoomAndDropsNothingFresh) {
  MainThreadLoop loop;
  std::vector<Caller> left;
  for (int i = 0; i < KESTROVAN_MAIN_THREAD_CALLS; i++)
    left.push_back({"https://site" + std::to_string(i) + ".example", "S_SID", ""});
  ASSERT_EQ(askHeldThenLeave(left[0], "Left0"), "heartbeat");
  // The others pend behind the held call; their waits end together.
  std::vector<std::future<std::string>> waits;
  for (int i = 1; i < KESTROVAN_MAIN_THREAD_CALLS; i++)
    waits.push_back(askLater(left[(size_t)i], "Left" + std::to_string(i)));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  KestrovanMainThread_skipSeconds(KESTROVAN_MAIN_THREAD_WAIT_SECONDS);
  for (std::future<std::string>& wait : waits)
    EXPECT_EQ(wait.get(), "heartbeat");
  released = true;
  ASSERT_TRUE(waitUntil([] { return finished.load() == KESTROVAN_MAIN_THREAD_CALLS; }));

  const Caller late{"https://late.example", "L_SID", ""};
  std::future<std::string> lateAnswer = askLater(late, "Late");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(calls.load(), KESTROVAN_MAIN_THREAD_CALLS) << "no room: the late call has not started";
  EXPECT_EQ(ask(left[3], "Collect"), "done:Left3@https://site3.example");
  EXPECT_EQ(lateAnswer.get(), "done:Late@https://late.example") << "the collected entry made room";
  for (int i = 0; i < KESTROVAN_MAIN_THREAD_CALLS; i++) {
    if (i != 3) {
      EXPECT_EQ(ask(left[(size_t)i], "Collect"),
                "done:Left" + std::to_string(i) + "@https://site" + std::to_string(i) + ".example");
    }
  }
  EXPECT_EQ(calls.load(), KESTROVAN_MAIN_THREAD_CALLS + 1);
}

// One site cannot take the table from the others: with its share of entries
// held, its next call waits while another site's call runs at once.
TEST_F(MainThreadHandOff, OneSiteHoldsAtMostItsShare) {
  MainThreadLoop loop;
  const std::string site = "https://greedy.example";
  ASSERT_EQ(askHeldThenLeave({site, "S0_SID", ""}, "G0"), "heartbeat");
  std::vector<std::future<std::string>> waits;
  for (int i = 1; i < KESTROVAN_MAIN_THREAD_CALLS_PER_ORIGIN; i++)
    waits.push_back(askLater({site, "S" + std::to_string(i) + "_SID", ""}, "G" + std::to_string(i)));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  KestrovanMainThread_skipSeconds(KESTROVAN_MAIN_THREAD_WAIT_SECONDS);
  for (std::future<std::string>& wait : waits)
    EXPECT_EQ(wait.get(), "heartbeat");
  released = true;
  ASSERT_TRUE(waitUntil([] { return finished.load() == KESTROVAN_MAIN_THREAD_CALLS_PER_ORIGIN; }));

  std::future<std::string> more = askLater({site, "S9_SID", ""}, "G9");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(ask({"https://modest.example", "M_SID", ""}, "Modest"), "done:Modest@https://modest.example");
  EXPECT_EQ(calls.load(), KESTROVAN_MAIN_THREAD_CALLS_PER_ORIGIN + 1) << "the greedy site's extra call waits";
  EXPECT_EQ(ask({site, "S0_SID", ""}, "Collect"), "done:G0@" + site);
  EXPECT_EQ(more.get(), "done:G9@" + site);
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
  // The hand-off records the result just after the dispatcher returns.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  clockFault = kClockForwardAnHour;
  EXPECT_EQ(askWithin(R"({"FunctionName":"Theirs"})", "https://other.example", 30),
            "done:Theirs@https://other.example");
  clockFault = kClockTrue;
  EXPECT_EQ(askWithin(R"({"FunctionName":"Collect"})", "https://bank.example", 30), "done:Mine@https://bank.example");
}

}  // namespace
