// mainthread_test.cpp -- the main-thread hand-off on its own, with a
// dispatcher the test controls, driven from several listener-like threads
// at once (also run under ThreadSanitizer), and with the local clock
// stepped or unreadable while a page waits.
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstring>
#include <dlfcn.h>
#include <future>
#include <gtest/gtest.h>
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

// The "adapter": answers "done:<FunctionName>" after the map's "delay_ms".
// With "clock" it sets that clock fault as it starts (the page is then
// waiting); with "hold" it runs until the test releases it.
std::atomic<bool> released{false};
std::atomic<bool> returned{false};
std::atomic<int> calls{0};
std::atomic<int> running{0};
std::atomic<bool> overlapped{false};

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
  return result;
}

// The process's main thread in the service; a thread of its own here.
class MainThreadLoop {
 public:
  MainThreadLoop() {
    thread_ = std::thread([this] {
      while (!stop_) {
        if (!KestrovanMainThread_poll(dispatch))
          cv_sleep(KESTROVAN_MAIN_THREAD_POLL_MS);
      }
    });
  }
  ~MainThreadLoop() {
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

TEST(MainThreadHandOff, QuickCallReturnsItsResultAndTakesTheMap) {
  MainThreadLoop loop;
  KestrovanJsonMap* map = request(R"({"FunctionName":"Sign"})");
  ASSERT_NE(map, nullptr);
  KestrovanJsonMap* result = KestrovanMainThread_call(&map, "https://bank.example");
  EXPECT_EQ(map, nullptr) << "the call owns the map it runs with";
  EXPECT_EQ(resultOf(result), "done:Sign@https://bank.example");
}

// Several pages at once: exactly one call runs at a time, every call's
// result reaches a request of its own origin exactly once, and nothing is
// handed to the wrong page.
TEST(MainThreadHandOff, ConcurrentPagesEachGetTheirOwnResultOnce) {
  MainThreadLoop loop;
  calls = 0;
  const int pages = 4;
  std::vector<std::future<std::vector<std::string>>> answers;
  for (int page = 0; page < pages; page++) {
    answers.push_back(std::async(std::launch::async, [page] {
      std::string origin = "https://page" + std::to_string(page) + ".example";
      std::vector<std::string> seen;
      // A page asks again after each heartbeat until its call is answered.
      for (int attempt = 0; attempt < 20; attempt++) {
        KestrovanJsonMap* map = request(R"({"FunctionName":"F)" + std::to_string(page) + R"(","delay_ms":"300"})");
        std::string answer = resultOf(KestrovanMainThread_call(&map, origin.c_str()));
        KestrovanJsonFinal(map);
        seen.push_back(answer);
        if (answer != "heartbeat")
          break;
      }
      return seen;
    }));
  }
  for (int page = 0; page < pages; page++) {
    std::vector<std::string> seen = answers[(size_t)page].get();
    ASSERT_FALSE(seen.empty());
    std::string expected = "done:F" + std::to_string(page) + "@https://page" + std::to_string(page) + ".example";
    EXPECT_EQ(seen.back(), expected);
    for (size_t i = 0; i + 1 < seen.size(); i++)
      EXPECT_EQ(seen[i], "heartbeat") << "page " << page << " saw another page's answer";
  }
  EXPECT_FALSE(overlapped.load());
}

// A call longer than the wait: the first request gets a heartbeat (a map of
// its own, without the result), the result waits for the next request of
// the same origin and is handed out once.
TEST(MainThreadHandOff, LongCallAnswersHeartbeatThenResultOnce) {
  MainThreadLoop loop;
  calls = 0;
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

TEST(MainThreadHandOff, AnotherOriginNeverCollectsTheResult) {
  MainThreadLoop loop;
  KestrovanJsonMap* map = request(R"({"FunctionName":"Mine","delay_ms":"7600"})");
  EXPECT_EQ(resultOf(KestrovanMainThread_call(&map, "https://bank.example")), "heartbeat");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  KestrovanJsonMap* theirs = request(R"({"FunctionName":"Theirs"})");
  EXPECT_EQ(resultOf(KestrovanMainThread_call(&theirs, "https://evil.example")), "heartbeat");
  KestrovanJsonFinal(theirs);
  KestrovanJsonMap* mine = request(R"({"FunctionName":"Mine"})");
  EXPECT_EQ(resultOf(KestrovanMainThread_call(&mine, "https://bank.example")), "done:Mine@https://bank.example");
  KestrovanJsonFinal(mine);
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
// finished result still waits for its page, and another page's call does
// not take its place.
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
  EXPECT_EQ(askWithin(R"({"FunctionName":"Theirs"})", "https://other.example", 30), "heartbeat");
  clockFault = kClockTrue;
  EXPECT_EQ(askWithin(R"({"FunctionName":"Collect"})", "https://bank.example", 30), "done:Mine@https://bank.example");
}

}  // namespace
