// SPDX-License-Identifier: Apache-2.0
// The console written without waiting, from several threads at once: a
// pipe nobody reads holds up no writer, and what arrives is whole and in
// order (the ThreadSanitizer build runs it too).
#include "support/support.h"

#include <poll.h>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/helpers.h"

// Replaces the bold timestamp at the start of each line with "<T>".
static std::string maskTimes(const std::string& text) {
  static const std::regex stamp("\033\\[1m\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\]\033\\[0m");
  return std::regex_replace(text, stamp, "<T>");
}

// Once the trace writes to the console without waiting, a pipe nobody reads
// holds up no writer: what does not fit is dropped in whole lines, counted,
// and the count is reported once the pipe is read again. Every line that
// does arrive is whole and in order. (A writer that waited would hang here.)
TEST(TraceConsole, NobodyReadingItNeverHoldsUpTheWriters) {
  kestrovan_test::runInChild([] {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(ends[1], STDOUT_FILENO);
    close(ends[1]);
    KestrovanTrace_useConsole();
    // Far more than the pipe and the queue hold, from two threads.
    const int kThreads = 2, kRequests = 2000, kLines = 10;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
      threads.emplace_back([t] {
        std::string value(100, (char)('a' + t));
        for (int r = 0; r < kRequests; r++) {
          KestrovanTrace_beginRequest();
          for (int i = 0; i < kLines; i++)
            printfColorLine(("Line " + std::to_string(t) + " " + std::to_string(r) + " " + std::to_string(i) + ": ")
                                .c_str(),
                            value.c_str());
          KestrovanTrace_endRequest();
        }
      });
    }
    for (std::thread& thread : threads)
      thread.join();
    // Standard output back for the test's own reports; the console keeps
    // its own descriptor of the pipe.
    dup2(saved, STDOUT_FILENO);
    close(saved);

    std::string text;
    const std::string notice = "Console not read, trace lines dropped: ";
    char buffer[65536];
    for (;;) {
      size_t found = text.find(notice);
      if (found != std::string::npos && text.find('\n', found) != std::string::npos)
        break;
      struct pollfd readable = {ends[0], POLLIN, 0};
      ASSERT_GT(poll(&readable, 1, 60000), 0) << "the dropped lines were never reported";
      ssize_t got = read(ends[0], buffer, sizeof(buffer));
      ASSERT_GT(got, 0);
      text.append(buffer, (size_t)got);
    }
    std::string masked = maskTimes(text);
    std::regex whole("<T>\033\\[1m\\[\\]\\[Normal\\] Line (\\d) (\\d+) (\\d): \033\\[0m\033\\[32m([a-z]+)\033\\[0m");
    std::regex report("<T>\033\\[1m\\[\\]\\[Warning\\] " + notice + "\033\\[0m\033\\[33m(\\d+)\033\\[0m");
    long arrived = 0, dropped = -1;
    int last[kThreads][2] = {{-1, kLines - 1}, {-1, kLines - 1}};
    size_t start = 0;
    while (start < masked.size()) {
      size_t end = masked.find('\n', start);
      ASSERT_NE(end, std::string::npos) << "a line was cut";
      std::string one = masked.substr(start, end - start);
      start = end + 1;
      std::smatch match;
      if (std::regex_match(one, match, report)) {
        dropped = std::stol(match[1]);
        continue;
      }
      ASSERT_TRUE(std::regex_match(one, match, whole)) << one;
      int t = std::stoi(match[1]), r = std::stoi(match[2]), i = std::stoi(match[3]);
      EXPECT_EQ(match[4].str(), std::string(100, (char)('a' + t)));
      // In order within a thread; a request's lines all together.
      if (i == 0)
        EXPECT_TRUE(r > last[t][0] && last[t][1] == kLines - 1) << one;
      else
        EXPECT_TRUE(r == last[t][0] && i == last[t][1] + 1) << one;
      last[t][0] = r;
      last[t][1] = i;
      arrived++;
    }
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(arrived + dropped, (long)kThreads * kRequests * kLines);
  });
}
