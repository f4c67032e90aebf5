// mainthread_test.cpp -- the main-thread hand-off on its own, with a
// dispatcher the test controls, driven from several listener-like threads
// at once (also run under ThreadSanitizer).
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "params/params.h"
#include "service/mainthread.h"
#include "service/service.h"

namespace {

// The "adapter": answers "done:<FunctionName>" after the map's "delay_ms".
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
  std::string delay = mapValue(map, "delay_ms");
  if (!delay.empty())
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(delay)));
  KestrovanJsonMap* result = (KestrovanJsonMap*)calloc(1, sizeof(KestrovanJsonMap));
  std::string answer = "done:" + mapValue(map, "FunctionName") + "@" + (origin != nullptr ? origin : "");
  addKestrovanJsonMapUnit(result, "result", answer.c_str());
  running--;
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

}  // namespace
