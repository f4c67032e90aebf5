// SPDX-License-Identifier: Apache-2.0
// The console trace as written on standard output: colours, labels, prefix,
// timestamps, state writers, the two reporting conventions, and setLog's
// refusals. (setLog's success path configures the log once per process: it
// is exercised in log_test.)
#include "support/support.h"

#include <map>
#include <unistd.h>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/helpers.h"

using kestrovan_test::captureStdout;

static const std::string kBold = "\033[1m";
static const std::string kReset = "\033[0m";
static const std::string kRed = "\033[31m";
static const std::string kGreen = "\033[32m";
static const std::string kYellow = "\033[33m";

// Replaces the bold timestamp at the start of each line with "<T>" after
// checking its form.
static std::string maskTimes(const std::string& text) {
  static const std::regex stamp("\033\\[1m\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\]\033\\[0m");
  return std::regex_replace(text, stamp, "<T>");
}

static std::string line(const std::string& text, const std::string& colour, const std::string& value) {
  return "<T>" + kBold + text + kReset + colour + value + kReset + "\n";
}

TEST(Trace, LabelledLinesCarryPrefixLabelAndColouredValue) {
  std::string out = captureStdout([] {
    printfColorLine("Log state: ", "Enable");
    printfColorWarningLine("Careful: ", "maybe");
    printfColorErrorLine("X", 5);
    printfColorLine("Count: ", -7);
    printfColorWarningLine("W: ", 0);
  });
  EXPECT_EQ(maskTimes(out), line("[][Normal] Log state: ", kGreen, "Enable") +
                                line("[][Warning] Careful: ", kYellow, "maybe") +
                                line("[][Error] X", kRed, "5") + line("[][Normal] Count: ", kGreen, "-7") +
                                line("[][Warning] W: ", kYellow, "0"));
}

TEST(Trace, NullMessageAndValuePrintAsEmpty) {
  std::string out = captureStdout([] {
    printfColorLine("Value: ", (const char*)nullptr);
    printfColorErrorLine(nullptr, (const char*)nullptr);
  });
  EXPECT_EQ(maskTimes(out), line("[][Normal] Value: ", kGreen, "") + line("[][Error] ", kRed, ""));
}

TEST(Trace, CallerColouredLineHasNoPrefixOrLabel) {
  std::string out = captureStdout([] {
    printfColorLine(" Component result: ", KESTROVAN_COLOR_RESULT, "{\"a\":1}");
    printfColorLine("odd colour ", 3, "v");
    printfColorLine("red four ", 4, "v");
  });
  EXPECT_EQ(maskTimes(out), line(" Component result: ", kGreen, "{\"a\":1}") + line("odd colour ", kReset, "v") +
                                line("red four ", kRed, "v"));
}

TEST(Trace, ColourFixedWritersWithDepthSkipTheTimestamp) {
  std::string out = captureStdout([] {
    printfColorLine("a", "1", 1);
    printfColorErrorLine("b", "2", 1);
    printfColorWarningLine("c", "3", 1);
    printfColorWarningLine("d", 4, 0);
  });
  EXPECT_EQ(maskTimes(out), kBold + "a" + kReset + kGreen + "1" + kReset + "\n" + kBold + "b" + kReset + kRed +
                                "2" + kReset + "\n" + kBold + "c" + kReset + kYellow + "3" + kReset + "\n" +
                                line("d", kYellow, "4"));
}

TEST(Trace, PrintfColorWritesUnlabelledText) {
  std::string out = captureStdout([] {
    printfColor(KESTROVAN_COLOR_BOLD, "=====\n");
    printfColor(KESTROVAN_COLOR_YELLOW, "y", 1);
    printfColor(KESTROVAN_COLOR_GREEN, nullptr);
  });
  EXPECT_EQ(out, kBold + "=====\n" + kReset + kYellow + "y" + kReset);
}

struct StateCase {
  const char* name;
  void (*write)();
  std::string expected;
};

class StateWriters : public testing::TestWithParam<StateCase> {};

TEST_P(StateWriters, PrintTheMatchingLine) {
  EXPECT_EQ(maskTimes(captureStdout(GetParam().write)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StateWriters,
    testing::Values(
        StateCase{"NormalTrue", [] { showNormalState("S: ", true, "yes", "no"); }, line("[][Normal] S: ", kGreen, "yes")},
        StateCase{"NormalFalse", [] { showNormalState("S: ", false, "yes", "no"); }, line("[][Normal] S: ", kGreen, "no")},
        StateCase{"ErrorTrue", [] { showErrorState("S: ", true, "ok", "fail"); }, line("[][Normal] S: ", kGreen, "ok")},
        StateCase{"ErrorFalse", [] { showErrorState("S: ", false, "ok", "fail"); }, line("[][Error] S: ", kRed, "fail")},
        StateCase{"WarningTrue", [] { showWarningState("S: ", true, "ok", "fail"); }, line("[][Normal] S: ", kGreen, "ok")},
        StateCase{"WarningFalse", [] { showWarningState("S: ", false, "ok", "fail"); },
                  line("[][Warning] S: ", kYellow, "fail")},
        StateCase{"NullTexts", [] { showErrorState("S: ", false, nullptr, nullptr); }, line("[][Error] S: ", kRed, "")},
        StateCase{"PrintfWarningTrue", [] { printfWarning("P: ", true, "v"); }, line("[][Warning] P: ", kYellow, "v")},
        StateCase{"PrintfWarningFalse", [] { printfWarning("P: ", false, "v"); }, ""}),
    [](const testing::TestParamInfo<StateCase>& info) { return std::string(info.param.name); });

TEST(Trace, ReportingConventions) {
  std::string out = captureStdout([] {
    showMemoryFail("Session", 42);
    showNullParameter("inputJsonStr", "Params", 7);
  });
  EXPECT_EQ(maskTimes(out), line("[][Error] Memory allocate fail at file: ", kRed, "Session") +
                                line("[][Error] Memory allocate fail at line: ", kRed, "42") +
                                line("[][Warning] ", kYellow, "Parameter inputJsonStr is null at Params 7"));
}

// A line is put together in a stack buffer that moves to the heap when the
// line is longer; both must give the same text.
TEST(Trace, LongMessagesAndValuesAreWrittenWhole) {
  const std::string message(700, 'm');
  const std::string value(5000, 'v');
  std::string out = captureStdout([&] {
    printfColorLine(message.c_str(), value.c_str());
    printfColorWarningLine(message.c_str(), "");
    printfColorLine(" Component result: ", KESTROVAN_COLOR_RESULT, value.c_str());
    printfColor(KESTROVAN_COLOR_BOLD, value.c_str());
  });
  EXPECT_EQ(maskTimes(out), line("[][Normal] " + message, kGreen, value) + line("[][Warning] " + message, kYellow, "") +
                                line(" Component result: ", kGreen, value) + kBold + value + kReset);
}

// Listener threads write at the same time; with standard output buffered
// (the service's console when it is not a terminal) every line must still
// come out whole, once, and exactly as written.
TEST(Trace, LinesFromManyThreadsNeverInterleave) {
  const int kThreads = 4;
  const int kLines = 300;
  std::string out = captureStdout([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
      threads.emplace_back([t] {
        // Values of different lengths, some past the stack buffer.
        std::string value(t == 3 ? 1500 : 40 + 30 * t, (char)('a' + t));
        for (int i = 0; i < kLines; i++) {
          if (i % 2 == 0)
            printfColorLine(("Thread " + std::to_string(t) + ": ").c_str(), value.c_str());
          else
            printfColorWarningLine(("Thread " + std::to_string(t) + ": ").c_str(), value.c_str());
        }
      });
    }
    for (std::thread& thread : threads)
      thread.join();
    KestrovanTrace_flush();
  });
  std::map<std::string, int> seen;
  std::string masked = maskTimes(out);
  size_t start = 0;
  while (start < masked.size()) {
    size_t end = masked.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "unterminated last line";
    seen[masked.substr(start, end + 1 - start)]++;
    start = end + 1;
  }
  std::map<std::string, int> expected;
  for (int t = 0; t < kThreads; t++) {
    std::string value(t == 3 ? 1500 : 40 + 30 * t, (char)('a' + t));
    std::string label = "Thread " + std::to_string(t) + ": ";
    expected[line("[][Normal] " + label, kGreen, value)] = kLines / 2;
    expected[line("[][Warning] " + label, kYellow, value)] = kLines / 2;
  }
  EXPECT_EQ(seen, expected);
}

// What standard output holds so far (the capture file of captureStdout).
static std::string writtenSoFar() {
  fflush(stdout);
  std::string text;
  char buffer[4096];
  off_t end = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  for (off_t at = 0; at < end;) {
    ssize_t got = pread(STDOUT_FILENO, buffer, sizeof(buffer), at);
    if (got <= 0)
      break;
    text.append(buffer, (size_t)got);
    at += got;
  }
  return text;
}

// A request's lines are held and go out together when it ends; a flush in
// between writes what is held so far; requests nest.
TEST(Trace, RequestLinesGoOutTogetherAtTheEnd) {
  std::vector<std::string> seen;
  std::string out = captureStdout([&] {
    printfColorLine("Before: ", "1");
    seen.push_back(writtenSoFar());
    KestrovanTrace_beginRequest();
    printfColorLine("Inside: ", "2");
    printfColorWarningLine("Inside: ", "3");
    printfColor(KESTROVAN_COLOR_PLAIN, "\n\n", 1);
    seen.push_back(writtenSoFar());
    KestrovanTrace_flushRequest();
    seen.push_back(writtenSoFar());
    printfColorErrorLine("After flush: ", "4");
    KestrovanTrace_beginRequest();
    printfColorLine("Nested: ", "5");
    KestrovanTrace_endRequest();
    seen.push_back(writtenSoFar());
    KestrovanTrace_endRequest();
    seen.push_back(writtenSoFar());
    printfColorLine("Outside: ", "6");
  });
  const std::string first = line("[][Normal] Before: ", kGreen, "1");
  const std::string held =
      line("[][Normal] Inside: ", kGreen, "2") + line("[][Warning] Inside: ", kYellow, "3") + kReset + "\n\n" + kReset;
  const std::string rest = line("[][Error] After flush: ", kRed, "4") + line("[][Normal] Nested: ", kGreen, "5");
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(maskTimes(seen[0]), first);
  EXPECT_EQ(maskTimes(seen[1]), first) << "held lines went out before the request ended";
  EXPECT_EQ(maskTimes(seen[2]), first + held);
  EXPECT_EQ(maskTimes(seen[3]), first + held) << "the inner end wrote the outer request's lines";
  EXPECT_EQ(maskTimes(seen[4]), first + held + rest);
  EXPECT_EQ(maskTimes(out), first + held + rest + line("[][Normal] Outside: ", kGreen, "6"));
}

TEST(SetLog, NullArgumentsWarnAndDisable) {
  std::string out;
  bool result = true;
  out = captureStdout([&] { result = setLog("NORTAKestrovan", nullptr); });
  EXPECT_FALSE(result);
  EXPECT_FALSE(isLogEnable.load());
  EXPECT_STREQ(PrefixName, "");
  std::regex expected("<T>\033\\[1m\\[\\]\\[Warning\\] \033\\[0m\033\\[33mParameter inputPrefixName is null at Tool "
                      "\\d+\033\\[0m\n<T>\033\\[1m\\[\\]\\[Normal\\] Log state: \033\\[0m\033\\[32mDisable\033\\[0m\n");
  EXPECT_TRUE(std::regex_match(maskTimes(out), expected)) << out;

  out = captureStdout([&] { result = setLog(nullptr, "Prefix"); });
  EXPECT_FALSE(result);
  EXPECT_NE(out.find("Parameter inputLogName is null at Tool "), std::string::npos) << out;
  EXPECT_STREQ(PrefixName, "");

  out = captureStdout([&] { result = setLog(nullptr, nullptr); });
  EXPECT_FALSE(result);
  EXPECT_NE(out.find("Parameter inputLogName is null at Tool "), std::string::npos) << out;
  EXPECT_NE(out.find("Parameter inputPrefixName is null at Tool "), std::string::npos) << out;
}

TEST(SetLog, MissingProfileFolderDisablesAndSaysWhy) {
  kestrovan_test::runInChild([] {
    std::string name = "kestrovan-absent-" + std::to_string(getpid());
    // The profile folder is the user's own, under HOME.
    const std::string home = "/nonexistent-home-" + std::to_string(getpid());
    setenv("HOME", home.c_str(), 1);
    std::string longPrefix;
    for (int i = 0; i < 70; i++)
      longPrefix.push_back((char)('A' + i % 26));
    std::string out = captureStdout([&] { EXPECT_FALSE(setLog(name.c_str(), longPrefix.c_str())); });
    EXPECT_EQ(std::string(PrefixName), longPrefix.substr(0, 63));
    std::string prefix = "[" + std::string(PrefixName) + "]";
    std::string masked = maskTimes(out);
    EXPECT_NE(masked.find(line(prefix + "[Normal] inputLogName: ", kGreen, name)), std::string::npos) << out;
    EXPECT_NE(masked.find(line(prefix + "[Normal] Log search path: ", kGreen, home + "/" + name + "/" + name + ".ini")),
              std::string::npos)
        << out;
    EXPECT_NE(masked.find(line(prefix + "[Normal] Log search target: ", kGreen, name + ".ini")), std::string::npos)
        << out;
    EXPECT_NE(masked.find(line(prefix + "[Warning] Folder not trusted: ", kYellow,
                               home + "/" + name + ": No such file or directory")),
              std::string::npos)
        << out;
    EXPECT_NE(masked.find(line(prefix + "[Normal] Log state: ", kGreen, "Disable")), std::string::npos) << out;
    EXPECT_FALSE(isLogEnable.load());
  });
}
