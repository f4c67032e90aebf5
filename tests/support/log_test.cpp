// SPDX-License-Identifier: Apache-2.0
// The INI profile reader against small fixtures, and the levelled log file:
// set-up, levels and labels, dated names, rotation by size, and setLog's
// mirror of the trace. The log can be configured once per process, so every
// log scenario runs in a child process of its own.
#include "support/support.h"

#include <ctime>
#include <dirent.h>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/helpers.h"

using kestrovan_test::captureStdout;
using kestrovan_test::readAll;
using kestrovan_test::runInChild;
using kestrovan_test::TempDir;
using kestrovan_test::writeAll;

static std::string today() {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char text[16];
  strftime(text, sizeof(text), "%Y%m%d", &local);
  return text;
}

static std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr)
    return names;
  for (struct dirent* entry; (entry = readdir(dir)) != nullptr;) {
    if (entry->d_name[0] != '.')
      names.push_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

static std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

// ---------------------------------------------------------------------------
// INI reader

static const std::string kLongComment = ";" + std::string(300, 'c') + "[NORTAKestrovan]" + std::string(300, 'c') +
                                        "Later=from a comment" + std::string(300, 'c');
static const std::string kLongValue = std::string(1000, 'v');

static std::string profileText() {
  return "; leading comment\n"
         "[Other]\n"
         "Log Level=9\n"
         "Log File=/other.log\n"
         "\n"
         "   [ nortakestrovan ]   \n"
         "log level=5\n"
         "Log Level = 7\n"
         ";Log File=/commented.log\n"
         "  ;Shadow=indented comment\n"
         "Log File=/tmp/x/trace.log\n"
         "Log File=/second.log\n"
         "Quoted='4'\n"
         "DQ=  \"a b\"  \n"
         "Unbalanced='abc\n"
         "Spaced= 2\n"
         "Empty=\n"
         "no equals sign here\n"
         "Inner=\"a\"b\"c\"\n"
         "Mixed='a\"\n"
         "Equals=a=b\n"
         "CRLF=crlf\r\n"
         "  Indented=1\n" +
         kLongComment + "\n" + "Long=" + kLongValue + "\n" +
         "[NORTAKestrovan]\n"
         "Later=only here\n"
         "[]\n"
         "AfterEmpty=x\n";
}

struct IniCase {
  const char* name;
  const char* section;
  const char* key;
  unsigned int size;
  int code;
  std::string value;
};

class IniLookup : public testing::TestWithParam<IniCase> {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    writeAll(dir_->file("profile.ini"), profileText());
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static TempDir* dir_;
};
TempDir* IniLookup::dir_ = nullptr;

TEST_P(IniLookup, CodeAndValue) {
  const IniCase& c = GetParam();
  std::vector<char> output(c.size + 1, '#');
  int code = GetIniProfileString(c.section, c.key, output.data(), c.size, dir_->file("profile.ini").c_str());
  EXPECT_EQ(code, c.code);
  if (c.code == 0) {
    EXPECT_EQ(std::string(output.data()), c.value);
  }
  EXPECT_EQ(output[c.size], '#') << "wrote past the output size";
}

INSTANTIATE_TEST_SUITE_P(
    Profile, IniLookup,
    testing::Values(IniCase{"SectionCaseAndBlanks", "NORTAKestrovan", "Log Level", 16, 0, "5"},
                    IniCase{"KeyCase", "nortakestrovan", "LOG FILE", 128, 0, "/tmp/x/trace.log"},
                    IniCase{"SingleQuotes", "NORTAKestrovan", "Quoted", 16, 0, "4"},
                    IniCase{"DoubleQuotesAfterBlanks", "NORTAKestrovan", "DQ", 16, 0, "a b"},
                    IniCase{"UnbalancedQuoteKept", "NORTAKestrovan", "Unbalanced", 16, 0, "'abc"},
                    IniCase{"LeadingBlankKept", "NORTAKestrovan", "Spaced", 16, 0, " 2"},
                    IniCase{"EmptyValue", "NORTAKestrovan", "Empty", 16, 0, ""},
                    IniCase{"FirstToLastQuote", "NORTAKestrovan", "Inner", 16, 0, "a\"b\"c"},
                    IniCase{"DifferentQuotes", "NORTAKestrovan", "Mixed", 16, 0, "'a\""},
                    IniCase{"FirstEqualsSplits", "NORTAKestrovan", "Equals", 16, 0, "a=b"},
                    IniCase{"CarriageReturnDropped", "NORTAKestrovan", "CRLF", 16, 0, "crlf"},
                    IniCase{"BlankBeforeEqualsIsPartOfKey", "NORTAKestrovan", "Log Level ", 16, 0, " 7"},
                    IniCase{"CommentNotRead", "NORTAKestrovan", "Shadow", 16, 103, ""},
                    IniCase{"IndentedKeyNotMatched", "NORTAKestrovan", "Indented", 16, 103, ""},
                    IniCase{"LongValueCutToOutput", "NORTAKestrovan", "Long", 128, 0, kLongValue.substr(0, 127)},
                    IniCase{"ShortOutputCuts", "NORTAKestrovan", "Log File", 8, 0, "/tmp/x/"},
                    IniCase{"LongCommentIsOneLine", "NORTAKestrovan", "Later", 16, 103, ""},
                    IniCase{"OtherSectionStopsAtNextHeader", "Other", "Log Level", 16, 0, "9"},
                    IniCase{"KeyMissing", "NORTAKestrovan", "Missing", 16, 103, ""},
                    IniCase{"SectionMissing", "Absent", "Log Level", 16, 102, ""},
                    IniCase{"PartialSectionName", "NORTA", "Log Level", 16, 102, ""},
                    IniCase{"EmptySectionNeverMatches", "", "AfterEmpty", 16, 102, ""}),
    [](const testing::TestParamInfo<IniCase>& info) { return std::string(info.param.name); });

TEST(IniLookupArguments, RefusedOrMissingProfile) {
  TempDir dir;
  writeAll(dir.file("p.ini"), "[S]\nK=v\n");
  char output[16] = "untouched";
  EXPECT_EQ(GetIniProfileString("S", "K", output, sizeof(output), dir.file("none.ini").c_str()), 101);
  EXPECT_EQ(GetIniProfileString("S", "K", output, 0, dir.file("p.ini").c_str()), 103);
  EXPECT_EQ(GetIniProfileString("S", "K", nullptr, 16, dir.file("p.ini").c_str()), 103);
  EXPECT_EQ(GetIniProfileString(nullptr, "K", output, sizeof(output), dir.file("p.ini").c_str()), 103);
  EXPECT_EQ(GetIniProfileString("S", nullptr, output, sizeof(output), dir.file("p.ini").c_str()), 103);
  EXPECT_EQ(GetIniProfileString("S", "K", output, sizeof(output), nullptr), 103);
  EXPECT_STREQ(output, "untouched");
  EXPECT_EQ(GetIniProfileString("S", "K", output, 1, dir.file("p.ini").c_str()), 0);
  EXPECT_STREQ(output, "");
}

// ---------------------------------------------------------------------------
// Log file (each scenario in a child process)

static const std::regex kLinePattern(
    "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} (\\[DEBUG\\]|\\[INFO \\]|\\[WARN \\]|\\[ERROR\\]|\\[FATAL\\]|) "
    "\\[\\d{5}-\\d{5}\\] (.*)");

static std::string writeProfile(const TempDir& dir, const std::string& body) {
  std::string path = dir.file("log.ini");
  writeAll(path, "[NORTAKestrovan]\n" + body);
  return path;
}

TEST(Log, RotatesBySizeIntoDatedNumberedFiles) {
  TempDir dir;
  std::string profile =
      writeProfile(dir, "Log File=" + dir.file("logs/trace.log") + "\nLog MaxSize=1000\nLog Level=5\n");
  ASSERT_EQ(mkdir(dir.file("logs").c_str(), 0700), 0);
  runInChild([&] {
    ASSERT_EQ(zrlog_init("NORTAKestrovan", profile.c_str()), 0);
    for (int i = 0; i < 60; i++)
      EXPECT_EQ(zrlog(5, 0, "message %02d %s", i, "padding-padding-padding"), 0);
  });
  std::string date = today();
  std::vector<std::string> files = filesIn(dir.file("logs"));
  ASSERT_GE(files.size(), 4u);
  std::vector<std::string> expected{"trace_" + date + ".log"};
  for (size_t i = 1; i < files.size(); i++)
    expected.push_back("trace_" + date + "_" + std::to_string(i) + ".log");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(files, expected);

  // In order of writing: the dated file, then _1, _2, ...
  std::vector<std::string> messages;
  for (size_t i = 0; i < files.size(); i++) {
    std::string name = i == 0 ? "trace_" + date + ".log" : "trace_" + date + "_" + std::to_string(i) + ".log";
    std::string text = readAll(dir.file("logs/" + name));
    // A file is checked before each line: it passes the limit by at most one line.
    EXPECT_LE(text.size(), 1000u + 100u) << name;
    if (i + 1 < files.size()) {
      EXPECT_GT(text.size(), 1000u) << name;
    }
    for (const std::string& line : linesOf(text)) {
      std::smatch match;
      ASSERT_TRUE(std::regex_match(line, match, kLinePattern)) << line;
      EXPECT_EQ(match[1].str(), "[DEBUG]");
      messages.push_back(match[2].str());
    }
  }
  ASSERT_EQ(messages.size(), 61u);
  EXPECT_EQ(messages[0], "Log Enable '" + profile + "'");
  for (int i = 0; i < 60; i++) {
    char want[64];
    snprintf(want, sizeof(want), "message %02d padding-padding-padding", i);
    EXPECT_EQ(messages[i + 1], want);
  }
}

TEST(Log, LevelFiltersAndLabels) {
  TempDir dir;
  std::string profile = writeProfile(dir, "Log File=" + dir.file("app.log") + "\nLog Level=3\n");
  runInChild([&] {
    ASSERT_EQ(zrlog_init("NORTAKestrovan", profile.c_str()), 0);
    EXPECT_EQ(zrlog(5, 0, "debug"), -2);
    EXPECT_EQ(zrlog(4, 0, "info"), -2);
    EXPECT_EQ(zrlog(3, 0, "warn %d", 3), 0);
    EXPECT_EQ(zrlog(2, 0, "error"), 0);
    EXPECT_EQ(zrlog(1, 0, "fatal"), 0);
    EXPECT_EQ(zrlog(0, 0, "plain"), 0);
    // The console trace mirrors at level 5: dropped here.
    captureStdout([] { printfColorLine("Trace: ", "dropped"); });
  });
  std::string text = readAll(dir.file("app_" + today() + ".log"));
  std::vector<std::string> labels, messages;
  for (const std::string& line : linesOf(text)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, kLinePattern)) << line;
    labels.push_back(match[1].str());
    messages.push_back(match[2].str());
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"[WARN ]", "[WARN ]", "[ERROR]", "[FATAL]", ""}));
  EXPECT_EQ(messages, (std::vector<std::string>{"Log Enable '" + profile + "'", "warn 3", "error", "fatal", "plain"}));
}

TEST(Log, LevelsAboveFiveCarryTheDebugLabel) {
  TempDir dir;
  std::string profile = writeProfile(dir, "Log File=" + dir.file("app.log") + "\nLog Level='7'\n");
  runInChild([&] {
    ASSERT_EQ(zrlog_init("NORTAKestrovan", profile.c_str()), 0);
    EXPECT_EQ(zrlog(7, 0, "seven"), 0);
    EXPECT_EQ(zrlog(8, 0, "eight"), -2);
  });
  std::vector<std::string> lines = linesOf(readAll(dir.file("app_" + today() + ".log")));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" [DEBUG] "), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(" [DEBUG] "), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("] seven"), std::string::npos) << lines[1];
}

TEST(Log, NothingIsWrittenBeforeAFileIsNamed) {
  TempDir dir;
  runInChild([&] {
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(zrlog(0, 0, "no file yet"), 0);
    EXPECT_EQ(zrlog(1, 0, "above the level"), -2);
  });
  EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{});
}

TEST(Log, InitialisesOnceAndOnlyWithALevel) {
  TempDir dir;
  std::string noLevel = dir.file("nolevel.ini");
  writeAll(noLevel, "[NORTAKestrovan]\nLog File=" + dir.file("a.log") + "\n");
  std::string good = writeProfile(dir, "Log File=" + dir.file("b.log") + "\nLog Level= 2\n");
  std::string other = dir.file("other.ini");
  writeAll(other, "[NORTAKestrovan]\nLog File=" + dir.file("c.log") + "\nLog Level=5\n");
  runInChild([&] {
    EXPECT_EQ(zrlog_init("NORTAKestrovan", dir.file("missing.ini").c_str()), 101);
    EXPECT_EQ(zrlog(1, 0, "lost"), -2);
    EXPECT_EQ(zrlog_init("Absent", good.c_str()), 102);
    EXPECT_EQ(zrlog_init("NORTAKestrovan", noLevel.c_str()), 103);
    EXPECT_EQ(zrlog(0, 0, "level zero after failed set-up"), 0);
    EXPECT_EQ(zrlog(1, 0, "lost"), -2);
    EXPECT_EQ(zrlog_init("NORTAKestrovan", good.c_str()), 0);  // " 2" reads as 2
    EXPECT_EQ(zrlog(2, 0, "kept"), 0);
    EXPECT_EQ(zrlog(3, 0, "lost"), -2);
    EXPECT_EQ(zrlog_init("NORTAKestrovan", other.c_str()), -1);
    EXPECT_EQ(zrlog(3, 0, "still lost"), -2);
    EXPECT_EQ(zrlog(2, 0, "still kept"), 0);
  });
  std::string date = today();
  // The failed set-up with a "Log File" but no level wrote only at level 0.
  std::vector<std::string> early = linesOf(readAll(dir.file("a_" + date + ".log")));
  ASSERT_EQ(early.size(), 1u);
  EXPECT_NE(early[0].find("level zero after failed set-up"), std::string::npos);
  std::string text = readAll(dir.file("b_" + date + ".log"));
  EXPECT_NE(text.find("[ERROR] "), std::string::npos);
  EXPECT_NE(text.find("Log Enable '" + good + "'"), std::string::npos);
  EXPECT_NE(text.find("] kept\n"), std::string::npos);
  EXPECT_NE(text.find("] still kept\n"), std::string::npos);
  EXPECT_EQ(text.find("lost"), std::string::npos);
  EXPECT_FALSE(isFileExist(dir.file("c_" + date + ".log").c_str()));
}

TEST(Log, NameWithoutExtensionKeepsGrowing) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("dotted.folder").c_str(), 0700), 0);
  std::string profile =
      writeProfile(dir, "Log File=" + dir.file("dotted.folder/plain") + "\nLog MaxSize=100\nLog Level=5\n");
  runInChild([&] {
    ASSERT_EQ(zrlog_init("NORTAKestrovan", profile.c_str()), 0);
    for (int i = 0; i < 20; i++)
      EXPECT_EQ(zrlog(5, 0, "line %d", i), 0);
  });
  EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"dotted.folder", "log.ini"}));
  EXPECT_EQ(filesIn(dir.file("dotted.folder")), (std::vector<std::string>{"plain_" + today()}));
  EXPECT_EQ(linesOf(readAll(dir.file("dotted.folder/plain_" + today()))).size(), 21u);
}

TEST(Log, ExtensionOnlyFromTheFileName) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("v1.2").c_str(), 0700), 0);
  std::string profile = writeProfile(dir, "Log File=" + dir.file("v1.2/trace.txt") + "\nLog Level=5\n");
  runInChild([&] {
    ASSERT_EQ(zrlog_init("NORTAKestrovan", profile.c_str()), 0);
    EXPECT_EQ(zrlog(5, 0, "x"), 0);
  });
  EXPECT_EQ(filesIn(dir.file("v1.2")), (std::vector<std::string>{"trace_" + today() + ".txt"}));
}

TEST(Log, FileIsPrivateToTheUser) {
  TempDir dir;
  std::string profile = writeProfile(dir, "Log File=" + dir.file("p.log") + "\nLog Level=5\n");
  runInChild([&] {
    umask(0);
    ASSERT_EQ(zrlog_init("NORTAKestrovan", profile.c_str()), 0);
  });
  struct stat info;
  ASSERT_EQ(stat(dir.file("p_" + today() + ".log").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// ---------------------------------------------------------------------------
// setLog: the trace mirrored into the log, and the private-folder check

// The profile is read from the user's own folder, $HOME/<name>/<name>.ini.
class SetLogFolder : public testing::Test {
 protected:
  void SetUp() override {
    name_ = "kestrovan-setlog-" + std::to_string(getpid()) + "-" +
            testing::UnitTest::GetInstance()->current_test_info()->name();
    folder_ = home_.file(name_);
  }
  void writeProfileIn(const std::string& where) {
    writeAll(where + "/" + name_ + ".ini",
             "[" + name_ + "]\nLog File=" + logs_.file("trace.log") + "\nLog Level=5\n");
  }
  std::string logText() { return readAll(logs_.file("trace_" + today() + ".log")); }
  // Runs body in a child whose HOME is this test's home folder.
  void inHome(const std::function<void()>& body) {
    runInChild([&] {
      setenv("HOME", home_.path().c_str(), 1);
      body();
    });
  }

  TempDir home_;
  std::string name_;
  std::string folder_;
  TempDir logs_;
};

TEST_F(SetLogFolder, MirrorsTheTraceOnceConfigured) {
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  writeProfileIn(folder_);
  inHome([&] {
    std::string out = captureStdout([&] { EXPECT_TRUE(setLog(name_.c_str(), "Prefix")); });
    EXPECT_TRUE(isLogEnable.load());
    EXPECT_STREQ(PrefixName, "Prefix");
    EXPECT_NE(out.find("[Prefix][Normal] Log state: \033[0m\033[32mEnable\033[0m\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Folder not trusted"), std::string::npos) << out;

    out = captureStdout([] {
      EXPECT_TRUE(setLog("Other", "OtherPrefix"));
      printfColorLine("Message: ", "value");
      printfColorWarningLine("Null value: ", (const char*)nullptr);
      printfColorErrorLine("Code: ", 61001);
      printfColor(KESTROVAN_COLOR_BOLD, "banner rule");
      printfColor(KESTROVAN_COLOR_BOLD, "not logged", 1);
      printfColorLine(" Component result: ", KESTROVAN_COLOR_RESULT, "{}");
    });
    EXPECT_STREQ(PrefixName, "Prefix");
    EXPECT_EQ(out.find("OtherPrefix"), std::string::npos) << out;
  });
  std::vector<std::string> messages;
  for (const std::string& line : linesOf(logText())) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, kLinePattern)) << line;
    EXPECT_EQ(match[1].str(), "[DEBUG]");
    messages.push_back(match[2].str());
  }
  ASSERT_EQ(messages.size(), 8u);
  EXPECT_EQ(messages[0], "Log Enable '" + folder_ + "/" + name_ + ".ini'");
  EXPECT_TRUE(std::regex_match(messages[1], std::regex("Tool \\d+ setLog Compile Time : \\w{3} [ \\d]\\d \\d{4} "
                                                        "\\d{2}:\\d{2}:\\d{2}")))
      << messages[1];
  EXPECT_EQ(messages[2], "[Prefix][Normal] Log state: Enable");
  EXPECT_EQ(messages[3], "[Prefix][Normal] Message: value");
  EXPECT_EQ(messages[4], "[Prefix][Warning] Null value: ");
  EXPECT_EQ(messages[5], "[Prefix][Error] Code: 61001");
  EXPECT_EQ(messages[6], "banner rule");
  EXPECT_EQ(messages[7], " Component result: {}");
}

TEST_F(SetLogFolder, IgnoresAFolderOfAnotherUser) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to give a folder to another user";
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  writeProfileIn(folder_);
  ASSERT_EQ(chown(folder_.c_str(), 65534, 65534), 0);
  inHome([&] {
    std::string out = captureStdout([&] { EXPECT_FALSE(setLog(name_.c_str(), "Prefix")); });
    EXPECT_NE(out.find("[Prefix][Warning] Folder not trusted: \033[0m\033[33m" + folder_ +
                       " is owned by uid 65534, not by uid 0\033[0m\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[Prefix][Normal] Log state: \033[0m\033[32mDisable"), std::string::npos) << out;
    EXPECT_FALSE(isLogEnable.load());
    EXPECT_EQ(zrlog(1, 0, "must not be written"), -2);
  });
  EXPECT_EQ(filesIn(logs_.path()), std::vector<std::string>{});
}

TEST_F(SetLogFolder, IgnoresASymlinkedOrSharedFolder) {
  std::string real = folder_ + ".real";
  ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
  writeAll(real + "/" + name_ + ".ini", "[" + name_ + "]\nLog File=" + logs_.file("trace.log") + "\nLog Level=5\n");
  ASSERT_EQ(symlink(real.c_str(), folder_.c_str()), 0);
  inHome([&] {
    std::string out = captureStdout([&] { EXPECT_FALSE(setLog(name_.c_str(), "P")); });
    EXPECT_NE(out.find("Folder not trusted: \033[0m\033[33m" + folder_ + " is a symbolic link"), std::string::npos)
        << out;
  });
  ASSERT_EQ(unlink(folder_.c_str()), 0);
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder_.c_str(), 0777), 0);
  writeProfileIn(folder_);
  inHome([&] {
    std::string out = captureStdout([&] { EXPECT_FALSE(setLog(name_.c_str(), "P")); });
    EXPECT_NE(out.find("Folder not trusted: \033[0m\033[33m" + folder_ + " is writable by group or others"),
              std::string::npos)
        << out;
  });
  EXPECT_EQ(filesIn(logs_.path()), std::vector<std::string>{});
}

// The /tmp every user shares is never read: a profile where it used to be,
// /tmp/<name>/<name>.ini, even in a private folder of this user, does not
// turn logging on; without a HOME nothing is read at all.
TEST_F(SetLogFolder, NeverReadsTheSharedTmp) {
  std::string shared = "/tmp/" + name_;
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  writeProfileIn(shared);
  inHome([&] {
    std::string out = captureStdout([&] { EXPECT_FALSE(setLog(name_.c_str(), "P")); });
    EXPECT_NE(out.find("Log search path: \033[0m\033[32m" + folder_ + "/" + name_ + ".ini"), std::string::npos)
        << out;
    EXPECT_FALSE(isLogEnable.load());
  });
  runInChild([&] {
    unsetenv("HOME");
    std::string out = captureStdout([&] { EXPECT_FALSE(setLog(name_.c_str(), "P")); });
    EXPECT_NE(out.find("Folder not trusted: \033[0m\033[33mHOME is not an absolute path"), std::string::npos) << out;
    EXPECT_FALSE(isLogEnable.load());
  });
  runInChild([&] {
    setenv("HOME", "relative/home", 1);
    std::string out = captureStdout([&] { EXPECT_FALSE(setLog(name_.c_str(), "P")); });
    EXPECT_NE(out.find("HOME is not an absolute path"), std::string::npos) << out;
  });
  EXPECT_EQ(filesIn(logs_.path()), std::vector<std::string>{});
  // The same profile in the user's home is read: the refusals above were
  // about where it was.
  std::string command = "mv '" + shared + "' '" + folder_ + "'";
  ASSERT_EQ(system(command.c_str()), 0);
  inHome([&] { EXPECT_TRUE(setLog(name_.c_str(), "P")); });
}
