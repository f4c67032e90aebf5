// SPDX-License-Identifier: Apache-2.0
// Dispatches from several threads at once: calls into one loaded library
// never overlap, calls of different sessions run at the same time, sessions
// on one shared library share its call lock, and a session released while
// a call is inside it (close, force release, eviction, shutdown) is freed
// only when that call returns.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "session/session.h"
#include "session_fixture.h"

using namespace kestrovan_test;

namespace {

// Checks the call record per library: enter and leave strictly alternate,
// each leave closes the call just entered, and no call saw another of the
// same library in flight.
void expectNoOverlapPerLibrary(const std::vector<Call>& record) {
  std::map<std::string, const Call*> open;
  for (size_t i = 0; i < record.size(); i++) {
    const Call& call = record[i];
    ASSERT_NE(call.phase, "overlap") << "line " << i << ": " << call.library << " " << call.function;
    auto it = open.find(call.library);
    if (call.phase == "enter") {
      ASSERT_TRUE(it == open.end() || it->second == nullptr)
          << "line " << i << ": " << call.function << " entered " << call.library << " while "
          << it->second->function << " was running";
      open[call.library] = &call;
    } else {
      ASSERT_EQ(call.phase, "leave") << "line " << i;
      ASSERT_TRUE(it != open.end() && it->second != nullptr) << "line " << i << ": leave without enter";
      ASSERT_EQ(call.function, it->second->function) << "line " << i;
      it->second = nullptr;
    }
  }
  for (const auto& [library, call] : open) EXPECT_EQ(call, nullptr) << library << " still inside";
}

// The line of the record where function was entered in a library whose
// name starts with prefix, or -1.
long lineOf(const std::vector<Call>& record, const std::string& phase, const std::string& function,
            const std::string& prefix = "") {
  for (size_t i = 0; i < record.size(); i++) {
    if (record[i].phase == phase && record[i].function == function && record[i].library.rfind(prefix, 0) == 0)
      return static_cast<long>(i);
  }
  return -1;
}

class SessionConcurrencyTest : public SessionTest {
 protected:
  // Waits (up to a generous minute, only a hang guard) until function has
  // been entered.
  void waitEntered(const std::string& function, const std::string& prefix = "") {
    auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (lineOf(calls(), "enter", function, prefix) < 0) {
      ASSERT_LT(std::chrono::steady_clock::now(), limit) << function << " never entered";
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  static void touch(const std::string& path) { std::ofstream(path) << "go"; }
  static std::string copyOf(const std::string& id) {
    return std::string("KestrovanTestRecorder-") + id + KESTROVAN_ADAPTER_SUFFIX;
  }
};

TEST_F(SessionConcurrencyTest, CallsIntoOneLibraryNeverOverlap) {
  install("KestrovanTestRecorder");
  const int kThreads = 6;
  const int kRounds = 12;
  std::vector<std::string> shared;
  for (int i = 0; i < 3; i++) shared.push_back(process(open("KestrovanTestRecorder")).get("SessionID"));
  // Values are stored by a site of each thread's own, through the session
  // that site opened (a session serves only its opener's origin).
  auto siteOf = [](int t) { return "https://t" + std::to_string(t) + ".example.com"; };
  std::vector<std::string> valueSessions;
  for (int t = 0; t < kThreads; t++) {
    valueSessions.push_back(process(open("KestrovanTestRecorder"), siteOf(t).c_str()).get("SessionID"));
  }

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
            std::string site = siteOf(t);
            Answer stored = process(call(valueSessions[t], "setKestrovanValue",
                                         {{"channel", channel}, {"domain_list", site.substr(8)}, {"timeout", "0"},
                                          {"value", channel}}),
                                    site.c_str());
            Answer read = process(call(valueSessions[t], "getKestrovanValue", {{"channel", channel}}), site.c_str());
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
  for (int t = 0; t < kThreads; t++) process(call(valueSessions[t], "KestrovanClose"), siteOf(t).c_str());
  EXPECT_EQ(takenSlots(), 0);
  std::vector<Call> record = calls();
  EXPECT_GT(record.size(), static_cast<size_t>(kThreads * kRounds));
  expectNoOverlapPerLibrary(record);
}

// Session A's call waits for a file that only session B's call creates: it
// can end only because B opened, called and closed while A was inside.
TEST_F(SessionConcurrencyTest, DifferentSessionsRunAtTheSameTime) {
  install("KestrovanTestRecorder");
  std::string a = process(open("KestrovanTestRecorder")).get("SessionID");
  ASSERT_EQ(a.size(), 12u);
  std::string gate = root + "/gate";
  std::atomic<bool> aDone{false};
  std::future<Answer> blocked = std::async(std::launch::async, [&] {
    Answer answer = process(call(a, "Block", {{"until_file", gate}, {"block_ms", "60000"}}));
    aDone = true;
    return answer;
  });
  waitEntered("Block");
  for (int i = 0; i < 20; i++) {
    Answer opened = process(open("KestrovanTestRecorder", "Work"), "https://other.example");
    ASSERT_EQ(opened.get("result"), "ok:Work") << i;
    EXPECT_EQ(process(call(opened.get("SessionID"), "Sign"), "https://other.example").get("result"), "ok:Sign") << i;
    EXPECT_TRUE(process(call(opened.get("SessionID"), "KestrovanClose"), "https://other.example").keys.empty()) << i;
  }
  EXPECT_FALSE(aDone.load()) << "A's call ended before B let it go";
  Answer b = process(open("KestrovanTestRecorder", "Touch", {{"path", gate}}), "https://other.example");
  EXPECT_EQ(b.get("result"), "ok:Touch");
  EXPECT_EQ(blocked.get().get("result"), "ok:Block");

  std::vector<Call> record = calls();
  expectNoOverlapPerLibrary(record);
  long touched = lineOf(record, "enter", "Touch");
  long left = lineOf(record, "leave", "Block");
  ASSERT_GE(touched, 0);
  EXPECT_LT(touched, left) << "B's call ran while A's was inside";
  EXPECT_EQ(takenSlots(), 2);
}

// With no private copy every session loads the installed file: one library,
// one call lock. B's call cannot start while A's is inside, so A's wait for
// B's file runs out.
TEST_F(SessionConcurrencyTest, SessionsOnTheInstalledFileShareOneCallLock) {
  install("KestrovanTestRecorder");
  ASSERT_EQ(chmod(copyFolder.c_str(), 0777), 0);
  std::string a = process(open("KestrovanTestRecorder")).get("SessionID");
  std::string b = process(open("KestrovanTestRecorder")).get("SessionID");
  ASSERT_EQ(a.size(), 12u);
  ASSERT_EQ(b.size(), 12u);
  std::string gate = root + "/gate";
  std::future<Answer> blocked = std::async(std::launch::async, [&] {
    return process(call(a, "Block", {{"until_file", gate}, {"block_ms", "1000"}}));
  });
  waitEntered("Block");
  Answer touched = process(call(b, "Touch", {{"path", gate}}));
  EXPECT_EQ(blocked.get().get("result"), "timeout:Block");
  EXPECT_EQ(touched.get("result"), "ok:Touch");
  std::vector<Call> record = calls();
  for (const Call& call : record) EXPECT_EQ(call.library, "KestrovanTestRecorder.so");
  expectNoOverlapPerLibrary(record);
  EXPECT_LT(lineOf(record, "leave", "Block"), lineOf(record, "enter", "Touch"));

  // Releasing one of them leaves the library to the other.
  EXPECT_TRUE(process(call(a, "KestrovanForceRelease")).keys.empty());
  EXPECT_EQ(process(call(b, "Sign")).get("result"), "ok:Sign");
}

// ---- released while a call is inside ----

enum class Ending { kForceRelease, kClose, kEviction, kFinal };

struct EndingCase {
  const char* name;
  Ending ending;
};

class ReleasedDuringACall : public SessionConcurrencyTest, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(ReleasedDuringACall, IsUnknownAtOnceAndFreedWhenTheCallReturns) {
  install("KestrovanTestRecorder");
  std::string a = process(open("KestrovanTestRecorder")).get("SessionID");
  ASSERT_EQ(a.size(), 12u);
  std::string gate = root + "/gate";
  std::future<Answer> blocked = std::async(std::launch::async, [&] {
    return process(call(a, "Block", {{"until_file", gate}, {"block_ms", "60000"}}));
  });
  waitEntered("Block");

  TraceCapture trace;
  switch (GetParam().ending) {
    case Ending::kForceRelease:
      EXPECT_TRUE(process(call(a, "KestrovanForceRelease")).keys.empty());
      break;
    case Ending::kClose:
      EXPECT_TRUE(process(call(a, "KestrovanClose")).keys.empty());
      break;
    case Ending::kEviction:
      // A is the oldest: the 32nd session opened after it takes its slot.
      for (int i = 0; i < KESTROVAN_SESSION_SLOTS; i++) {
        ASSERT_EQ(process(open("KestrovanTestRecorder")).get("result"), "0") << i;
      }
      break;
    case Ending::kFinal:
      KestrovanSession_FinalWithin(100);
      break;
  }
  std::string out = trace.finish();
  if (GetParam().ending == Ending::kFinal) {
    EXPECT_NE(out.find("Adapter in a call, released when it returns: KestrovanTestRecorder Block"),
              std::string::npos)
        << out;
  }
  EXPECT_EQ(KestrovanSession_findSession(a.c_str()), -1);
  EXPECT_EQ(process(call(a, "Sign")).get("result"), "61001");
  // Still loaded and not yet told: its call is inside.
  EXPECT_EQ(lineOf(calls(), "enter", "Kestrovan_Release", copyOf(a)), -1);
  EXPECT_TRUE(exists(copyFolder + "/" + copyOf(a)));

  touch(gate);
  EXPECT_EQ(blocked.get().get("result"), "ok:Block");
  std::vector<Call> record = calls();
  expectNoOverlapPerLibrary(record);
  std::vector<std::string> functions = entered(copyOf(a));
  EXPECT_EQ(functions, (std::vector<std::string>{"Kestrovan_Unlock", "Kestrovan_GetVersion", "Block",
                                                 "Kestrovan_Release"}));
  EXPECT_FALSE(exists(copyFolder + "/" + copyOf(a)));
  EXPECT_EQ(takenSlots(), GetParam().ending == Ending::kEviction ? KESTROVAN_SESSION_SLOTS : 0);
}

INSTANTIATE_TEST_SUITE_P(Endings, ReleasedDuringACall,
                         ::testing::Values(EndingCase{"ForceRelease", Ending::kForceRelease},
                                           EndingCase{"Close", Ending::kClose},
                                           EndingCase{"Eviction", Ending::kEviction},
                                           EndingCase{"Final", Ending::kFinal}),
                         [](const ::testing::TestParamInfo<EndingCase>& info) { return std::string(info.param.name); });

// A call waiting for a session's library while the session is released
// never reaches the adapter: its page learns 61001.
TEST_F(SessionConcurrencyTest, CallWaitingForTheLibraryOfAReleasedSessionIsNotMade) {
  install("KestrovanTestRecorder");
  std::string a = process(open("KestrovanTestRecorder")).get("SessionID");
  std::string gate = root + "/gate";
  std::future<Answer> blocked = std::async(std::launch::async, [&] {
    return process(call(a, "Block", {{"until_file", gate}, {"block_ms", "60000"}}));
  });
  waitEntered("Block");
  std::future<Answer> waiting = std::async(std::launch::async, [&] { return process(call(a, "Sign")); });
  // Give the second call time to find the session and wait for its library.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(process(call(a, "KestrovanForceRelease")).keys.empty());
  touch(gate);
  EXPECT_EQ(blocked.get().get("result"), "ok:Block");
  Answer late = waiting.get();
  // Either it found the session before the release and waited (61001), or
  // it came after the release (61001 too): never an adapter call.
  EXPECT_EQ(late.get("result"), "61001");
  EXPECT_EQ(entered(copyOf(a)), (std::vector<std::string>{"Kestrovan_Unlock", "Kestrovan_GetVersion", "Block",
                                                          "Kestrovan_Release"}));
}

TEST_F(SessionConcurrencyTest, ShutdownWaitsForTheRunningCall) {
  install("KestrovanTestSlow");
  std::string id = process(open("KestrovanTestSlow")).get("SessionID");
  std::string answer;
  std::thread caller([&] { answer = process(call(id, "LongTask", {{"delay_ms", "300"}})).get("result"); });
  // Wait until the adapter is inside the call, then shut down from here.
  waitEntered("LongTask");
  KestrovanSession_Final();
  caller.join();
  EXPECT_EQ(answer, "ok:LongTask");
  EXPECT_EQ(takenSlots(), 0);
  std::vector<Call> record = calls();
  expectNoOverlapPerLibrary(record);
  EXPECT_EQ(entered(), (std::vector<std::string>{"Kestrovan_Unlock", "Kestrovan_GetVersion", "LongTask",
                                                 "Kestrovan_Release"}));
}

// A request that comes while shutdown is releasing must not open a session
// that nothing would release, nor reach a session being released.
TEST_F(SessionConcurrencyTest, RequestDuringShutdownOpensNothing) {
  install("KestrovanTestRecorder");
  std::string id = process(open("KestrovanTestRecorder")).get("SessionID");
  ASSERT_FALSE(id.empty());
  // Shutdown's release call lingers, so the requests below start while it
  // runs (they also come after it when it is quicker).
  setenv("KESTROVAN_TEST_RELEASE_DELAY_MS", "200", 1);
  std::thread shutdown([] { KestrovanSession_Final(); });
  waitEntered("Kestrovan_Release");
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
  expectNoOverlapPerLibrary(calls());
  EXPECT_EQ(entered(), (std::vector<std::string>{"Kestrovan_Unlock", "Kestrovan_GetVersion", "Kestrovan_Release"}));
}

// Opening (with evictions), calls, close, force release and echo race on six
// threads; shutdown comes in the middle. Afterwards every loaded copy was
// called one call at a time and told it is released exactly once, last;
// no copy and no slot is left; no identifier was handed out twice.
TEST_F(SessionConcurrencyTest, RacingCallsCloseEvictionAndFinal) {
  install("KestrovanTestRecorder");
  std::mutex poolLock;
  std::vector<std::string> pool;
  std::vector<std::string> handedOut;
  for (int i = 0; i < 30; i++) {
    std::string id = process(open("KestrovanTestRecorder")).get("SessionID");
    pool.push_back(id);
    handedOut.push_back(id);
  }
  std::atomic<int> unexpected{0};
  std::atomic<int> done{0};
  std::atomic<bool> closed{false};
  const int kThreads = 6;
  const int kRounds = 60;
  auto pick = [&](std::mt19937& random) {
    std::lock_guard<std::mutex> guard(poolLock);
    return pool.empty() ? std::string("NOSUCHID_SID") : pool[random() % pool.size()];
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t + 1));
      for (int round = 0; round < kRounds; round++) {
        bool afterFinal = closed.load();
        switch (random() % 6) {
          case 0:
          case 1: {
            Answer opened = process(open("KestrovanTestRecorder", "Work", {{"delay_ms", "1"}}));
            std::string result = opened.get("result");
            if (result == "ok:Work") {
              std::lock_guard<std::mutex> guard(poolLock);
              pool.push_back(opened.get("SessionID"));
              handedOut.push_back(opened.get("SessionID"));
            } else if (result != "61001" || !(afterFinal || closed.load())) {
              unexpected++;
            }
            break;
          }
          case 2: {
            std::string result = process(call(pick(random), "Sign", {{"delay_ms", "1"}})).get("result");
            if (result != "ok:Sign" && result != "61001") unexpected++;
            break;
          }
          case 3:
            process(call(pick(random), "KestrovanClose"));
            break;
          case 4:
            process(call(pick(random), "KestrovanForceRelease"));
            break;
          default: {
            std::string result = process(call(pick(random), "Echo")).get("result");
            if (result != "0" && result != "61001") unexpected++;
          }
        }
        if (round == kRounds / 2) done++;
      }
    });
  }
  // Shut down while the threads are in the middle of their rounds.
  while (done.load() < kThreads / 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  closed = true;
  KestrovanSession_FinalWithin(2000);
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(takenSlots(), 0);
  EXPECT_EQ(copies(), std::vector<std::string>{});
  std::set<std::string> distinct(handedOut.begin(), handedOut.end());
  EXPECT_EQ(distinct.size(), handedOut.size()) << "an identifier was handed out twice";

  std::vector<Call> record = calls();
  expectNoOverlapPerLibrary(record);
  std::map<std::string, std::vector<std::string>> byLibrary;
  for (const Call& call : record) {
    if (call.phase == "enter") byLibrary[call.library].push_back(call.function);
  }
  EXPECT_GE(byLibrary.size(), 30u);
  for (const auto& [library, functions] : byLibrary) {
    ASSERT_FALSE(functions.empty());
    EXPECT_EQ(functions.front(), "Kestrovan_Unlock") << library;
    EXPECT_EQ(functions.back(), "Kestrovan_Release") << library;
    EXPECT_EQ(std::count(functions.begin(), functions.end(), "Kestrovan_Release"), 1) << library;
  }
}

}  // namespace
