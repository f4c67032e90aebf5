// Dispatches from several threads at once must not overlap: every adapter
// call (of any loaded copy) ends before the next begins, and shutdown waits
// for a running call before it releases and unloads the adapter.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "session/session.h"
#include "session_fixture.h"

using namespace kestrovan_test;

namespace {

// Checks the call record: enter and leave strictly alternate, each leave
// closes the call just entered, and no call saw another in flight.
void expectNoOverlap(const std::vector<Call>& record) {
  bool open = false;
  Call current;
  for (size_t i = 0; i < record.size(); i++) {
    const Call& call = record[i];
    ASSERT_NE(call.phase, "overlap") << "line " << i << ": " << call.function;
    if (call.phase == "enter") {
      ASSERT_FALSE(open) << "line " << i << ": " << call.function << " entered while " << current.function
                         << " was running";
      open = true;
      current = call;
    } else {
      ASSERT_EQ(call.phase, "leave") << "line " << i;
      ASSERT_TRUE(open) << "line " << i << ": leave without enter";
      ASSERT_EQ(call.function, current.function) << "line " << i;
      ASSERT_EQ(call.library, current.library) << "line " << i;
      open = false;
    }
  }
  EXPECT_FALSE(open);
}

class SessionConcurrencyTest : public SessionTest {};

TEST_F(SessionConcurrencyTest, DispatchesFromManyThreadsNeverOverlap) {
  install("KestrovanTestRecorder");
  const int kThreads = 6;
  const int kRounds = 12;
  std::vector<std::string> shared;
  for (int i = 0; i < 3; i++) shared.push_back(process(open("KestrovanTestRecorder")).get("SessionID"));

  std::atomic<int> failures{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < kRounds; round++) {
        switch ((t + round) % 4) {
          case 0: {  // a call on a session others use too, slow enough to invite overlap
            Answer answer = process(call(shared[round % shared.size()], "Sign", {{"delay_ms", "3"}}));
            if (answer.get("result") != "ok:Sign") failures++;
            break;
          }
          case 1: {  // a session of its own, opened, used and closed
            Answer opened = process(open("KestrovanTestRecorder", "Work", {{"delay_ms", "2"}}));
            if (opened.get("result") != "ok:Work") failures++;
            process(call(opened.get("SessionID"), "KestrovanClose"));
            break;
          }
          case 2: {
            Answer echo = process(call(shared[t % shared.size()], "Echo"));
            if (echo.get("result") != "0") failures++;
            break;
          }
          default: {
            std::string channel = "c" + std::to_string(t);
            Answer stored = process(call(shared[0], "setKestrovanValue",
                                         {{"channel", channel}, {"domain_list", "example.com"}, {"timeout", "0"},
                                          {"value", channel}}),
                                    "https://example.com");
            Answer read = process(call(shared[0], "getKestrovanValue", {{"channel", channel}}), "https://example.com");
            if (stored.get("result") != "0" || read.get("result") != channel) failures++;
          }
        }
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  for (const std::string& id : shared) process(call(id, "KestrovanClose"));
  EXPECT_EQ(takenSlots(), 0);
  std::vector<Call> record = calls();
  EXPECT_GT(record.size(), static_cast<size_t>(kThreads * kRounds));
  expectNoOverlap(record);
}

TEST_F(SessionConcurrencyTest, ShutdownWaitsForTheRunningCall) {
  install("KestrovanTestSlow");
  std::string id = process(open("KestrovanTestSlow")).get("SessionID");
  std::string answer;
  std::thread caller([&] { answer = process(call(id, "LongTask", {{"delay_ms", "300"}})).get("result"); });
  // Wait until the adapter is inside the call, then shut down from here.
  for (;;) {
    bool inside = false;
    for (const Call& call : calls()) inside = inside || (call.phase == "enter" && call.function == "LongTask");
    if (inside) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  KestrovanSession_Final();
  caller.join();
  EXPECT_EQ(answer, "ok:LongTask");
  EXPECT_EQ(takenSlots(), 0);
  std::vector<Call> record = calls();
  expectNoOverlap(record);
  EXPECT_EQ(entered(), (std::vector<std::string>{"Kestrovan_Unlock", "Kestrovan_GetVersion", "LongTask",
                                                 "Kestrovan_Release"}));
}

// A request that waits for the dispatch lock while shutdown holds it runs
// after shutdown: it must not open a session that nothing would release.
TEST_F(SessionConcurrencyTest, RequestWaitingOnShutdownOpensNothing) {
  install("KestrovanTestRecorder");
  std::string id = process(open("KestrovanTestRecorder")).get("SessionID");
  ASSERT_FALSE(id.empty());
  // Shutdown's release call lingers, so the requests below start while it
  // holds the lock (they also come after it when it is quicker).
  setenv("KESTROVAN_TEST_RELEASE_DELAY_MS", "200", 1);
  std::thread shutdown([] { KestrovanSession_Final(); });
  for (;;) {
    bool releasing = false;
    for (const Call& call : calls()) releasing = releasing || call.function == "Kestrovan_Release";
    if (releasing) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Answer fresh;
  Answer former;
  std::thread newcomer([&] { fresh = process(open("KestrovanTestRecorder", "Echo")); });
  std::thread latecomer([&] { former = process(call(id, "Sign")); });
  newcomer.join();
  latecomer.join();
  shutdown.join();
  unsetenv("KESTROVAN_TEST_RELEASE_DELAY_MS");

  EXPECT_EQ(fresh.get("result"), "61001");
  EXPECT_EQ(fresh.keys.size(), 1u);
  EXPECT_EQ(former.get("result"), "61001");
  EXPECT_EQ(takenSlots(), 0);
  EXPECT_EQ(copies(), std::vector<std::string>{});
  expectNoOverlap(calls());
  EXPECT_EQ(entered(), (std::vector<std::string>{"Kestrovan_Unlock", "Kestrovan_GetVersion", "Kestrovan_Release"}));
}

}  // namespace
