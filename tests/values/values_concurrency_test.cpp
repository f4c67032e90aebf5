// SPDX-License-Identifier: Apache-2.0
// Several pages storing and reading at once: every read sees the value its
// writer stored last, origin checks never leak between reads, nothing is lost.
#include "values/values.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

const int Threads = 4;
const int ChannelsPerThread = 4;  // 16 in all: the whole table
const int Rounds = 150;

std::string channelName(int thread, int channel) {
  return "t" + std::to_string(thread) + "c" + std::to_string(channel);
}

std::string originOf(int thread) {
  return "https://t" + std::to_string(thread) + ".example.com";
}

TEST(ValueStoreConcurrency, StoresAndReadsFromSeveralThreads) {
  KestrovanValue_init();
  std::vector<std::thread> workers;
  std::vector<int> failures(Threads, 0);
  for (int t = 0; t < Threads; t++) {
    workers.emplace_back([t, &failures]() {
      std::string list = "t" + std::to_string(t) + ".example.com";
      std::string mine = originOf(t);
      std::string other = originOf((t + 1) % Threads);
      for (int round = 0; round < Rounds; round++) {
        for (int c = 0; c < ChannelsPerThread; c++) {
          std::string channel = channelName(t, c);
          std::string value = channel + " round " + std::to_string(round);
          if (KestrovanValue_set_value(channel.c_str(), list.c_str(), round % 3, value.c_str(), mine.c_str()) != 0) {
            failures[t]++;
            continue;
          }
          char* read = KestrovanValue_get_value(channel.c_str(), mine.c_str());
          if (read == nullptr || value != read) {
            failures[t]++;
          }
          free(read);
          // Another page's origin is refused even while this one's read
          // was permitted a moment ago on another thread.
          read = KestrovanValue_get_value(channel.c_str(), other.c_str());
          if (read == nullptr || read[0] != '\0') {
            failures[t]++;
          }
          free(read);
          // Nor may it replace the value.
          if (KestrovanValue_set_value(channel.c_str(), "*", 0, "taken", other.c_str()) != 61021) {
            failures[t]++;
          }
        }
      }
    });
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
  for (int t = 0; t < Threads; t++) {
    EXPECT_EQ(failures[t], 0) << "thread " << t;
  }
  for (int t = 0; t < Threads; t++) {
    for (int c = 0; c < ChannelsPerThread; c++) {
      std::string channel = channelName(t, c);
      char* read = KestrovanValue_get_value(channel.c_str(), originOf(t).c_str());
      ASSERT_NE(read, nullptr);
      EXPECT_EQ(std::string(read), channel + " round " + std::to_string(Rounds - 1));
      free(read);
    }
  }
  KestrovanValue_final();
}

// Many writers on one channel: every read answers one complete value that was
// stored, never a mix or a failure.
TEST(ValueStoreConcurrency, OneChannelManyWriters) {
  KestrovanValue_init();
  ASSERT_EQ(KestrovanValue_set_value("shared", "*", 0, "start", "https://any.example"), 0);
  std::vector<std::thread> workers;
  std::vector<int> failures(Threads, 0);
  for (int t = 0; t < Threads; t++) {
    workers.emplace_back([t, &failures]() {
      std::string value = "writer " + std::to_string(t) + std::string(100 + t * 50, (char)('a' + t));
      for (int round = 0; round < Rounds; round++) {
        if (KestrovanValue_set_value("shared", "*", 0, value.c_str(), originOf(t).c_str()) != 0) {
          failures[t]++;
        }
        char* read = KestrovanValue_get_value("SHARED", "https://any.example");
        std::string seen = read != nullptr ? read : "<null>";
        free(read);
        bool known = seen == "start";
        for (int w = 0; w < Threads && !known; w++) {
          known = seen == "writer " + std::to_string(w) + std::string(100 + w * 50, (char)('a' + w));
        }
        if (!known) {
          failures[t]++;
        }
      }
    });
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
  for (int t = 0; t < Threads; t++) {
    EXPECT_EQ(failures[t], 0) << "thread " << t;
  }
  char* channel = KestrovanValue_channelAt(0);
  EXPECT_STREQ(channel, "shared");
  free(channel);
  char* second = KestrovanValue_channelAt(1);
  EXPECT_EQ(second, nullptr);
  KestrovanValue_final();
}

}  // namespace
