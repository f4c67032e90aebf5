// SPDX-License-Identifier: Apache-2.0
// Several threads logging at once through a small size limit: every line
// arrives whole, exactly once, and rotation stays consistent.
#include "support/support.h"

#include <dirent.h>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/helpers.h"

TEST(LogConcurrency, LinesFromManyThreadsStayWhole) {
  kestrovan_test::TempDir dir;
  std::string profile = dir.file("log.ini");
  kestrovan_test::writeAll(profile,
                           "[S]\nLog File=" + dir.file("logs/t.log") + "\nLog MaxSize=4000\nLog Level=5\n");
  ASSERT_EQ(mkdir(dir.file("logs").c_str(), 0700), 0);
  ASSERT_EQ(zrlog_init("S", profile.c_str()), 0);

  const int threads = 4, lines = 150;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; t++) {
    workers.emplace_back([t] {
      for (int i = 0; i < lines; i++)
        zrlog(5, 0, "thread %d line %d %s", t, i, "................................");
    });
  }
  for (auto& worker : workers)
    worker.join();

  std::regex pattern(".* \\[DEBUG\\] \\[\\d{5}-\\d{5}\\] thread (\\d) line (\\d+) \\.{32}");
  std::map<int, std::vector<int>> seen;
  DIR* logs = opendir(dir.file("logs").c_str());
  ASSERT_NE(logs, nullptr);
  size_t files = 0;
  for (struct dirent* entry; (entry = readdir(logs)) != nullptr;) {
    if (entry->d_name[0] == '.')
      continue;
    files++;
    std::string text = kestrovan_test::readAll(dir.file(std::string("logs/") + entry->d_name));
    EXPECT_LE(text.size(), 4000u + 200u) << entry->d_name;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = text.substr(start, end - start);
      if (line.find("Log Enable") != std::string::npos)
        continue;
      std::smatch match;
      ASSERT_TRUE(std::regex_match(line, match, pattern)) << line;
      seen[std::stoi(match[1].str())].push_back(std::stoi(match[2].str()));
    }
    EXPECT_EQ(start, text.size()) << "a partial line in " << entry->d_name;
  }
  closedir(logs);
  EXPECT_GT(files, 1u);
  ASSERT_EQ(seen.size(), (size_t)threads);
  for (auto& [thread, numbers] : seen) {
    std::sort(numbers.begin(), numbers.end());
    ASSERT_EQ(numbers.size(), (size_t)lines) << "thread " << thread;
    for (int i = 0; i < lines; i++)
      EXPECT_EQ(numbers[i], i);
  }
}
