// SPDX-License-Identifier: Apache-2.0
// The dispatcher with real test adapters: sessions, the path table, the
// adapter lifecycle, the opening sequence and the built-in functions.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/seal_for_page.h"
#include "session/session.h"
#include "session_fixture.h"
#include "values/values.h"

using namespace kestrovan_test;

namespace {

// ---- names and the path table ----

struct SanitizeCase {
  const char* input;
  const char* expected;
};

class SanitizeFileName : public ::testing::TestWithParam<SanitizeCase> {};

TEST_P(SanitizeFileName, DropsPathAndShellCharacters) {
  char buffer[KESTROVAN_NAME_SIZE];
  memset(buffer, 'X', sizeof(buffer));
  strcpy(buffer, GetParam().input);
  sanitize_file_name(buffer, sizeof(buffer));
  EXPECT_STREQ(buffer, GetParam().expected);
  for (size_t i = strlen(buffer); i < sizeof(buffer); i++) ASSERT_EQ(buffer[i], '\0') << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Names, SanitizeFileName,
                         ::testing::Values(SanitizeCase{"../Evil", "..Evil"}, SanitizeCase{"..", ""},
                                           SanitizeCase{".", "."}, SanitizeCase{"...", "..."},
                                           SanitizeCase{"a;b$c", "abc"},
                                           SanitizeCase{"<>:\"/\\|?*;&$`'", ""},
                                           SanitizeCase{"./..", "..."}, SanitizeCase{"Helm PKI", "Helm PKI"},
                                           SanitizeCase{"", ""}));

TEST(PathTable, PathIdIgnoresCaseAndOverwritesTheNames) {
  char libDir[KESTROVAN_NAME_SIZE] = "Other";
  char comName[KESTROVAN_NAME_SIZE] = "Thing";
  KestrovanSession_searchPathTable("7e41a0c2d95b4f3e8a61c07b2d9f54e1", libDir, comName);
  EXPECT_STREQ(libDir, "NORTA");
  EXPECT_STREQ(comName, "HelmPKICryptAdapter");
  KestrovanSession_searchPathTable("7E41A0C2D95B4F3E8A61C07B2D9F54E2", libDir, comName);
  EXPECT_STREQ(libDir, "NORTA");
  KestrovanSession_searchPathTable(nullptr, libDir, comName);
  KestrovanSession_searchPathTable("7E41A0C2D95B4F3E8A61C07B2D9F54E1", nullptr, comName);
}

TEST(PathTable, LocationCheckIgnoresCaseAndTracesTheStoredRow) {
  TraceCapture trace;
  EXPECT_TRUE(KestrovanSession_isInPathTable("norta", "helmpkicryptadapter"));
  std::string out = trace.finish();
  EXPECT_NE(out.find("Path table compare: Success"), std::string::npos) << out;
  EXPECT_NE(out.find("Lib: NORTA"), std::string::npos) << out;
  EXPECT_NE(out.find("Component: HelmPKICryptAdapter"), std::string::npos) << out;
  EXPECT_FALSE(KestrovanSession_isInPathTable("NORTA", "HelmPKICryptAdapterX"));
  EXPECT_FALSE(KestrovanSession_isInPathTable(nullptr, "HelmPKICryptAdapter"));
  EXPECT_FALSE(KestrovanSession_isInPathTable("NORTA", nullptr));
}

// ---- ageing queue ----

TEST(AgeingQueue, StampsInOrderAndRefusesIndexesOutOfRange) {
  KestrovanQueue_initQueue();
  EXPECT_EQ(KestrovanQueue_getQueue(), -1);
  uint64_t age = Age;
  EXPECT_FALSE(KestrovanQueue_setQueue(32));
  EXPECT_FALSE(KestrovanQueue_setQueue(-1));
  EXPECT_EQ(Age, age);
  EXPECT_TRUE(KestrovanQueue_setQueue(7));
  EXPECT_TRUE(KestrovanQueue_setQueue(2));
  EXPECT_TRUE(KestrovanQueue_setQueue(31));
  EXPECT_EQ(Age, age + 3);
  EXPECT_EQ(KestrovanQueue_getQueue(), 7);
  KestrovanQueue_removeQueue(7);
  EXPECT_EQ(KestrovanQueue_getQueue(), 2);
  KestrovanQueue_removeQueue(2);
  KestrovanQueue_removeQueue(31);
  EXPECT_EQ(KestrovanQueue_getQueue(), -1);
}

TEST(AgeingQueue, FinalOnAnEmptyTableReleasesNothing) {
  KestrovanQueue_initQueue();
  TraceCapture trace;
  KestrovanSession_Final();
  std::string out = trace.finish();
  EXPECT_NE(out.find("[KestrovanFinal] Start release all adapters"), std::string::npos) << out;
  EXPECT_EQ(out.find("Release session index: "), std::string::npos) << out;
}

// ---- the whole conversation ----

TEST_F(SessionTest, EchoOpensASessionAndTheAdapterSeesUnlockVersionCallsRelease) {
  install("KestrovanTestRecorder");
  Answer opened = process(open("KestrovanTestRecorder", "echo", {{"minLibVersion", "1.0.0.5"}}), "https://bank.example");
  ASSERT_TRUE(opened.present);
  std::string id = opened.get("SessionID");
  ASSERT_EQ(id.size(), 12u);
  EXPECT_EQ(id.substr(8), "_SID");
  EXPECT_EQ(opened.get("ServerVersion"), "3.0.23.0721");
  EXPECT_EQ(opened.get("LibVersion"), "1.0.0.5");
  EXPECT_EQ(opened.get("result"), "0");
  EXPECT_FALSE(opened.has("InstallerVersion"));

  Answer called = process(call(id, "Sign"));
  EXPECT_EQ(called.get("result"), "ok:Sign");
  EXPECT_FALSE(called.has("SessionID"));
  Answer released = process(call(id, "KestrovanClose"));
  EXPECT_TRUE(released.present);
  EXPECT_TRUE(released.keys.empty());
  EXPECT_EQ(process(call(id, "Sign")).get("result"), "61001");

  std::vector<Call> record = calls();
  std::vector<std::string> functions = entered();
  EXPECT_EQ(functions, (std::vector<std::string>{"Kestrovan_Unlock", "Kestrovan_GetVersion", "Sign",
                                                 "Kestrovan_Release"}));
  ASSERT_FALSE(record.empty());
  EXPECT_EQ(record[0].detail, "https://bank.example") << "the unlock carries the page origin";
  // The session ran on its own copy, named after the session and gone afterwards.
  std::string copyName = std::string("KestrovanTestRecorder-") + id + KESTROVAN_ADAPTER_SUFFIX;
  for (const Call& call : record) EXPECT_EQ(call.library, copyName);
  EXPECT_FALSE(exists(copyFolder + "/" + copyName));
  EXPECT_TRUE(exists(exeFolder + "/KestrovanTest/KestrovanTestRecorder.so"));
}

TEST_F(SessionTest, EchoAnswersInAnyLetterCase) {
  install("KestrovanTestRecorder");
  for (const char* name : {"ECHO", "kestrovanecho", "KestrovanEcho", "eChO"}) {
    Answer opened = process(open("KestrovanTestRecorder", name));
    EXPECT_EQ(opened.get("result"), "0") << name;
    Answer again = process(call(opened.get("SessionID"), name));
    EXPECT_EQ(again.get("result"), "0") << name;
    EXPECT_EQ(again.get("LibVersion"), "1.0.0.5") << name;
  }
  // No page function reached the adapter.
  for (const std::string& function : entered()) {
    EXPECT_TRUE(function == "Kestrovan_Unlock" || function == "Kestrovan_GetVersion") << function;
  }
}

TEST_F(SessionTest, CopyFolderIsPrivateAndTheCopyIsPrivateWhileTheSessionRuns) {
  struct stat folder;
  ASSERT_EQ(stat(copyFolder.c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  install("KestrovanTestRecorder");
  std::string id = process(open("KestrovanTestRecorder")).get("SessionID");
  std::string copy = copyFolder + "/KestrovanTestRecorder-" + id + KESTROVAN_ADAPTER_SUFFIX;
  struct stat file;
  ASSERT_EQ(stat(copy.c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 0077, 0u);
  int index = KestrovanSession_findSession(id.c_str());
  ASSERT_GE(index, 0);
  EXPECT_STREQ(SessionList[index]->adapterPath, copy.c_str());
}

TEST_F(SessionTest, InitTightensAnOlderWorldWritableCopyFolderOfOurs) {
  ASSERT_EQ(chmod(copyFolder.c_str(), 0777), 0);
  KestrovanSession_Init(copyFolder.c_str(), exeFolder.c_str());
  struct stat folder;
  ASSERT_EQ(stat(copyFolder.c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
}

// ---- fallback to the installed file ----

class FallbackTest : public SessionTest {};

TEST_F(FallbackTest, WritableCopyFolderIsNotUsedAndReleaseKeepsTheInstalledFile) {
  std::string installed = install("KestrovanTestRecorder");
  ASSERT_EQ(chmod(copyFolder.c_str(), 0777), 0);
  TraceCapture trace;
  Answer opened = process(open("KestrovanTestRecorder"));
  std::string out = trace.finish();
  ASSERT_EQ(opened.get("result"), "0") << out;
  EXPECT_NE(out.find("Copy adapter state: Fail"), std::string::npos) << out;
  EXPECT_NE(out.find("Origin adapter: Active"), std::string::npos) << out;
  EXPECT_NE(out.find("[Warning]"), std::string::npos) << out;
  std::string id = opened.get("SessionID");
  EXPECT_EQ(process(call(id, "Sign")).get("result"), "ok:Sign");
  // Nothing was written into the untrusted folder.
  EXPECT_FALSE(exists(copyFolder + "/KestrovanTestRecorder-" + id + KESTROVAN_ADAPTER_SUFFIX));
  process(call(id, "KestrovanForceRelease"));
  EXPECT_TRUE(exists(installed)) << "releasing a session on the installed file must not delete it";
  for (const Call& call : calls()) EXPECT_EQ(call.library, "KestrovanTestRecorder.so");
  EXPECT_EQ(entered().back(), "Kestrovan_Release");
}

TEST_F(FallbackTest, CopyFolderOfAnotherUserIsNotUsed) {
  install("KestrovanTestRecorder");
  if (chown(copyFolder.c_str(), geteuid() + 1, static_cast<gid_t>(-1)) != 0) {
    GTEST_SKIP() << "cannot hand the folder to another user here";
  }
  Answer opened = process(open("KestrovanTestRecorder"));
  EXPECT_EQ(opened.get("result"), "0");
  EXPECT_STREQ(SessionList[KestrovanSession_findSession(opened.get("SessionID").c_str())]->adapterPath,
               (exeFolder + "/KestrovanTest/KestrovanTestRecorder.so").c_str());
  EXPECT_EQ(copies(), std::vector<std::string>{}) << "nothing written into a folder that is not ours";
}

TEST_F(FallbackTest, MissingCopyFolderFallsBackToTheInstalledFile) {
  std::string installed = install("KestrovanTestRecorder");
  ASSERT_EQ(rmdir(copyFolder.c_str()), 0);
  TraceCapture trace;
  Answer opened = process(open("KestrovanTestRecorder", "Sign"));
  std::string out = trace.finish();
  EXPECT_EQ(opened.get("result"), "ok:Sign") << out;
  EXPECT_NE(out.find("Copy adapter state: Fail"), std::string::npos) << out;
  EXPECT_NE(out.find("Origin adapter: Active"), std::string::npos) << out;
  process(call(opened.get("SessionID"), "KestrovanClose"));
  EXPECT_TRUE(exists(installed));
}

TEST_F(FallbackTest, LinkedCopyFolderIsNotFollowed) {
  install("KestrovanTestRecorder");
  std::string elsewhere = root + "/elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  ASSERT_EQ(rmdir(copyFolder.c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), copyFolder.c_str()), 0);
  Answer opened = process(open("KestrovanTestRecorder"));
  EXPECT_EQ(opened.get("result"), "0");
  EXPECT_FALSE(exists(elsewhere + "/KestrovanTestRecorder-" + opened.get("SessionID") + KESTROVAN_ADAPTER_SUFFIX));
}

TEST_F(FallbackTest, LeftoverFileUnderTheCopyNameIsNeitherReusedNorDeleted) {
  std::string installed = install("KestrovanTestRecorder");
  // A leftover file where the copy would go: the copy fails (O_EXCL), the
  // installed file is loaded, and the leftover is not ours to delete.
  KestrovanSession* session = KestrovanSession_newSession();
  ASSERT_NE(session, nullptr);
  std::string leftover = copyFolder + "/KestrovanTestRecorder-" + session->sessionId + KESTROVAN_ADAPTER_SUFFIX;
  { std::ofstream(leftover) << "not a library"; }
  EXPECT_EQ(KestrovanSession_loadAdapter(session, "KestrovanTest", "KestrovanTestRecorder"), 0);
  EXPECT_STREQ(session->adapterPath, installed.c_str());
  KestrovanSession_release(session);
  KestrovanSession_leave(session);
  EXPECT_TRUE(exists(leftover));
  EXPECT_TRUE(exists(installed));

  // A link planted under the copy name is not followed: its target is not written.
  std::string victim = root + "/victim";
  { std::ofstream(victim) << "keep"; }
  session = KestrovanSession_newSession();
  ASSERT_NE(session, nullptr);
  std::string planted = copyFolder + "/KestrovanTestRecorder-" + session->sessionId + KESTROVAN_ADAPTER_SUFFIX;
  ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
  EXPECT_EQ(KestrovanSession_loadAdapter(session, "KestrovanTest", "KestrovanTestRecorder"), 0);
  EXPECT_STREQ(session->adapterPath, installed.c_str());
  KestrovanSession_release(session);
  KestrovanSession_leave(session);
  std::ifstream check(victim);
  std::string content;
  check >> content;
  EXPECT_EQ(content, "keep");
}

// ---- load failures ----

TEST_F(SessionTest, NeitherFileLoadsGives61902AndFreesTheSlot) {
  TraceCapture trace;
  Answer missing = process(open("KestrovanTestAbsent"));
  std::string out = trace.finish();
  EXPECT_EQ(missing.keys.size(), 1u);
  EXPECT_EQ(missing.get("result"), "61902");
  EXPECT_NE(out.find("Origin adpater: Not Exist"), std::string::npos) << out;
  EXPECT_NE(out.find("Copied adpater: Not Exist"), std::string::npos) << out;
  EXPECT_NE(out.find("Adapter load error reason: "), std::string::npos) << out;
  EXPECT_EQ(takenSlots(), 0);

  // A file that exists but is no library: both candidates fail, no copy is left.
  std::string folder = exeFolder + "/KestrovanTest";
  mkdir(folder.c_str(), 0755);
  { std::ofstream(folder + "/KestrovanTestBroken.so") << "not a library"; }
  TraceCapture trace2;
  Answer broken = process(open("KestrovanTestBroken"));
  out = trace2.finish();
  EXPECT_EQ(broken.get("result"), "61902");
  EXPECT_NE(out.find("Copied adapter: Inactive"), std::string::npos) << out;
  EXPECT_NE(out.find("Origin adpater: Exist"), std::string::npos) << out;
  EXPECT_EQ(takenSlots(), 0);
  EXPECT_EQ(copies(), std::vector<std::string>{}) << "the copy folder should be empty again";
}

TEST_F(SessionTest, PathsThatDoNotFitAreRejectedNotCut) {
  // An executable folder so long that "<folder>/<LibDir>/<ComName>.so" cannot fit.
  std::string deep = exeFolder + "/" + std::string(KESTROVAN_PATH_SIZE - 40 - exeFolder.size(), 'd');
  ASSERT_LT(deep.size(), static_cast<size_t>(KESTROVAN_PATH_SIZE));
  KestrovanSession_Init(copyFolder.c_str(), deep.c_str());
  TraceCapture trace;
  Answer answer = process(open("KestrovanTestRecorderWithAVeryLongName"));
  std::string out = trace.finish();
  EXPECT_EQ(answer.get("result"), "61902");
  EXPECT_NE(out.find("Adapter path too long: "), std::string::npos) << out;
  EXPECT_EQ(takenSlots(), 0);

  // A folder that does not fit at all is refused rather than cut.
  std::string tooLong(KESTROVAN_PATH_SIZE + 10, 'x');
  KestrovanSession_Init(copyFolder.c_str(), ("/" + tooLong).c_str());
  EXPECT_STREQ(ExecutePath, "");
  EXPECT_EQ(process(open("KestrovanTestRecorder")).get("result"), "61902");

  // Names longer than their 64-byte buffers are refused, not cut.
  KestrovanSession_Init(copyFolder.c_str(), exeFolder.c_str());
  EXPECT_EQ(process(open(std::string(70, 'A'))).get("result"), "61009");
}

// ---- location ----

struct LocationCase {
  const char* name;
  Request request;
  const char* expected;  // result, or "0" for an opened session
};

class LocationTest : public SessionTest, public ::testing::WithParamInterface<LocationCase> {};

TEST_P(LocationTest, ResolvesOrRejects) {
  install("KestrovanTestRecorder", "NORTA", "HelmPKICryptAdapter");
  install("KestrovanTestRecorder", "X", "Y");
  Request request = {{"SessionId", ""}, {"FunctionName", "Echo"}, {"minServerVersion", "3.0.23.0721"}};
  request.insert(request.end(), GetParam().request.begin(), GetParam().request.end());
  Answer answer = process(request);
  EXPECT_EQ(answer.get("result"), GetParam().expected);
  if (std::string(GetParam().expected) != "0") {
    EXPECT_EQ(answer.keys.size(), 1u) << "a rejection carries only the result";
    EXPECT_EQ(takenSlots(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Locations, LocationTest,
    ::testing::Values(
        LocationCase{"LowerCasePathIdSelectsTheRow",
                     {{"PathID", "7e41a0c2d95b4f3e8a61c07b2d9f54e1"}, {"LibDir", "X"}, {"ComName", "Nothing"}},
                     "0"},
        LocationCase{"LowerCaseRowPassesTheLocationCheck", {{"LibDir", "norta"}, {"ComName", "helmpkicryptadapter"}}, "0"},
        LocationCase{"UnknownPathIdKeepsThePageNames", {{"PathID", "unknown"}, {"LibDir", "X"}, {"ComName", "Y"}}, "0"},
        LocationCase{"NoLocationAtAll", {}, "61009"},
        LocationCase{"NamesOutsideTheTable", {{"LibDir", "X"}, {"ComName", "Y"}}, "61009"},
        LocationCase{"DotDotFolder", {{"PathID", "unknown"}, {"LibDir", ".."}, {"ComName", "Y"}}, "61009"},
        LocationCase{"TraversalInTheTableRowIsRejected", {{"LibDir", "../NORTA"}, {"ComName", "HelmPKICryptAdapter"}}, "61009"},
        LocationCase{"TraversalComponentIsCleanedAndNotFound",
                     {{"PathID", "unknown"}, {"LibDir", "X"}, {"ComName", "../Evil"}}, "61902"},
        LocationCase{"EmptyComponent", {{"PathID", "unknown"}, {"LibDir", "X"}, {"ComName", "/"}}, "61009"}),
    [](const ::testing::TestParamInfo<LocationCase>& info) { return std::string(info.param.name); });

TEST_F(SessionTest, TraversalComponentNameLoadsOnlyTheCleanedName) {
  // "../Evil" is read as "..Evil" inside the folder, never as a file one level up.
  install("KestrovanTestRecorder", "KestrovanTest", "Evil");
  install("KestrovanTestRecorder", "KestrovanTest", "..Evil");
  Answer answer = process(open("../Evil"));
  EXPECT_EQ(answer.get("result"), "0");
  std::string copy = std::string("..Evil-") + answer.get("SessionID") + KESTROVAN_ADAPTER_SUFFIX;
  EXPECT_EQ(calls().at(0).library, copy);
}

// ---- the version gate ----

struct VersionCase {
  const char* name;
  const char* adapterVersion;   // what the recorder answers
  const char* minServerVersion; // nullptr: key absent
  const char* minLibVersion;    // nullptr: key absent
  const char* expected;
};

class VersionGateTest : public SessionTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionGateTest, OpensOrRefuses) {
  install("KestrovanTestRecorder");
  setenv("KESTROVAN_TEST_VERSION", GetParam().adapterVersion, 1);
  Request request = {{"SessionId", ""},           {"FunctionName", "Echo"},
                     {"PathID", "test-location"}, {"LibDir", "KestrovanTest"},
                     {"ComName", "KestrovanTestRecorder"}};
  if (GetParam().minServerVersion) request.push_back({"minServerVersion", GetParam().minServerVersion});
  if (GetParam().minLibVersion) request.push_back({"minLibVersion", GetParam().minLibVersion});
  Answer answer = process(request);
  EXPECT_EQ(answer.get("result"), GetParam().expected);
  if (std::string(GetParam().expected) == "0") {
    EXPECT_EQ(answer.get("LibVersion"), GetParam().adapterVersion);
    EXPECT_EQ(answer.get("ServerVersion"), "3.0.23.0721");
    EXPECT_EQ(takenSlots(), 1);
  } else {
    EXPECT_EQ(answer.keys.size(), 1u) << "a refusal carries only the result";
    EXPECT_EQ(takenSlots(), 0);
    // A refused copy is still told it is released before it is unloaded.
    EXPECT_EQ(entered().back(), "Kestrovan_Release");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionGateTest,
    ::testing::Values(VersionCase{"BothMinimumsMetExactly", "1.0.0.5", "3.0.23.0721", "1.0.0.5", "0"},
                      VersionCase{"ServerOneAbove", "1.0.0.5", "3.0.23.0722", "", "61203"},
                      VersionCase{"ServerBelow", "1.0.0.5", "3.0.22.9999", "", "0"},
                      VersionCase{"ServerThreeParts", "1.0.0.5", "3.0.23", "", "61203"},
                      VersionCase{"ServerMissing", "1.0.0.5", nullptr, "", "61203"},
                      VersionCase{"ServerEmptyPart", "1.0.0.5", "3..23.0721", "", "61203"},
                      VersionCase{"AdapterOneAbove", "1.0.0.5", "3.0.23.0721", "1.0.0.6", "61204"},
                      VersionCase{"AdapterEmptyMeansZero", "0.0.0.1", "3.0.23.0721", "", "0"},
                      VersionCase{"AdapterAbsentMeansZero", "2.4.6.8", "3.0.23.0721", nullptr, "0"},
                      VersionCase{"AdapterThreeParts", "1.0.0.5", "3.0.23.0721", "1.0.0", "61204"},
                      VersionCase{"VersionErrorCode", "61007", "3.0.23.0721", "", "61007"},
                      VersionCase{"VersionErrorCodeWithParts", "61007.1", "3.0.23.0721", "", "61007"},
                      VersionCase{"VersionErrorLowest", "61000", "3.0.23.0721", "", "61000"},
                      VersionCase{"VersionErrorHighest", "61999.0.0.0", "3.0.23.0721", "", "61999"},
                      VersionCase{"VersionJustAboveTheRangeIsAVersion", "62000.0.0.0", "3.0.23.0721", "", "0"},
                      VersionCase{"VersionJustBelowTheRangeIsAVersion", "60999.0.0.0", "3.0.23.0721", "", "0"},
                      VersionCase{"VersionNotFourPartsFailsTheDefaultMinimum", "62000", "3.0.23.0721", "", "61204"}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return std::string(info.param.name); });

TEST_F(SessionTest, AdapterVariantsThatRefuse) {
  struct {
    const char* variant;
    const char* expected;
  } cases[] = {{"KestrovanTestUnlock61500", "61500"},
               {"KestrovanTestVersion61007", "61007"},
               {"KestrovanTestNoEntry", "61906"},
               {"KestrovanTestNullUnlock", "61001"}};
  for (const auto& c : cases) {
    install(c.variant);
    Answer answer = process(open(c.variant, "Sign"));
    EXPECT_EQ(answer.get("result"), c.expected) << c.variant;
    EXPECT_EQ(answer.keys.size(), 1u) << c.variant;
    EXPECT_EQ(takenSlots(), 0) << c.variant;
    // No page function was called, and no copy is left behind.
    for (const std::string& function : entered(c.variant)) EXPECT_NE(function, "Sign") << c.variant;
  }
  EXPECT_EQ(entered("KestrovanTestUnlock61500"),
            (std::vector<std::string>{"Kestrovan_Unlock", "Kestrovan_Release"}));
  EXPECT_EQ(copies(), std::vector<std::string>{});

  install("KestrovanTestOldVersion");
  EXPECT_EQ(process(open("KestrovanTestOldVersion", "Echo", {{"minLibVersion", "1.0.0.0"}})).get("result"), "61204");
  EXPECT_EQ(process(open("KestrovanTestOldVersion", "Echo", {{"minLibVersion", "0.9.0.1"}})).get("result"), "0");
}

TEST_F(SessionTest, AdapterWithoutVersionAnswerEndsWithoutResultCode) {
  install("KestrovanTestNullVersion");
  TraceCapture trace;
  Answer answer = process(open("KestrovanTestNullVersion"));
  std::string out = trace.finish();
  EXPECT_NE(out.find("Init adapter: Fail"), std::string::npos) << out;
  EXPECT_FALSE(answer.has("result"));
  EXPECT_EQ(takenSlots(), 0);
  // The identifier it was given names no session.
  EXPECT_EQ(process(call(answer.get("SessionID"), "Sign")).get("result"), "61001");
}

TEST_F(SessionTest, InstallerVersionFileIsReadFromTheCleanedName) {
  install("KestrovanTestRecorder");
  { std::ofstream(exeFolder + "/FooVersion.txt") << "7.7.7.7"; }
  { std::ofstream(exeFolder + "/..ToolVersion.txt") << "1.2.3"; }
  Answer foo = process(open("KestrovanTestRecorder", "Echo", {{"InstallerName", "Foo"}}));
  EXPECT_EQ(foo.get("InstallerVersion"), "7.7.7.7");
  Answer tool = process(open("KestrovanTestRecorder", "Echo", {{"InstallerName", "../Tool"}}));
  EXPECT_EQ(tool.get("InstallerVersion"), "1.2.3");
  Answer missing = process(open("KestrovanTestRecorder", "Echo", {{"InstallerName", "Nobody"}}));
  ASSERT_TRUE(missing.has("InstallerVersion"));
  EXPECT_FALSE(missing.keys["InstallerVersion"].has_value());
  EXPECT_EQ(missing.get("result"), "0");

  // An echo on the open session answers what was read at opening.
  { std::ofstream(exeFolder + "/FooVersion.txt", std::ios::trunc) << "8.8.8.8"; }
  Answer echo = process(call(foo.get("SessionID"), "KestrovanEcho"));
  EXPECT_EQ(echo.get("InstallerVersion"), "7.7.7.7");
  EXPECT_EQ(echo.get("LibVersion"), "1.0.0.5");
  EXPECT_EQ(echo.get("ServerVersion"), "3.0.23.0721");
  Answer noInstaller = process(call(missing.get("SessionID"), "Echo"));
  EXPECT_TRUE(noInstaller.has("InstallerVersion"));
  EXPECT_FALSE(noInstaller.keys["InstallerVersion"].has_value());
}

// ---- the session table ----

TEST_F(SessionTest, ThirtyThreeSessionsEvictTheFirstOpened) {
  install("KestrovanTestRecorder");
  std::vector<std::string> ids;
  for (int i = 0; i < KESTROVAN_SESSION_SLOTS; i++) {
    Answer answer = process(open("KestrovanTestRecorder"));
    ASSERT_EQ(answer.get("result"), "0") << i;
    ids.push_back(answer.get("SessionID"));
    EXPECT_EQ(KestrovanSession_findSession(ids.back().c_str()), i);
  }
  // Using the first session does not make it younger.
  EXPECT_EQ(process(call(ids[0], "Sign")).get("result"), "ok:Sign");
  EXPECT_EQ(process(call(ids[0], "Sign")).get("result"), "ok:Sign");
  TraceCapture trace;
  Answer extra = process(open("KestrovanTestRecorder"));
  std::string out = trace.finish();
  ASSERT_EQ(extra.get("result"), "0");
  EXPECT_NE(out.find("Kestrovan slot is full, release the oldest one"), std::string::npos);
  EXPECT_EQ(KestrovanSession_findSession(extra.get("SessionID").c_str()), 0);
  EXPECT_EQ(process(call(ids[0], "Sign")).get("result"), "61001");
  EXPECT_EQ(process(call(ids[1], "Sign")).get("result"), "ok:Sign");
  // The next one evicts the second opened.
  Answer another = process(open("KestrovanTestRecorder"));
  EXPECT_EQ(KestrovanSession_findSession(another.get("SessionID").c_str()), 1);
  EXPECT_EQ(process(call(ids[1], "Sign")).get("result"), "61001");
  EXPECT_EQ(takenSlots(), KESTROVAN_SESSION_SLOTS);
}

// An opening that fails (load, entry points, unlock, versions) evicts
// nobody, even with every slot taken: the table is left exactly as it was.
struct RefusedCase {
  const char* name;
  const char* variant;  // installed as KestrovanTest/<variant>.so, or not installed
  Request extra;
  const char* expected;
};

class RefusedOpening : public SessionTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedOpening, LeavesAFullTableAsItWas) {
  install("KestrovanTestRecorder");
  if (std::string(GetParam().variant) != "KestrovanTestAbsent") install(GetParam().variant);
  std::vector<std::string> ids;
  for (int i = 0; i < KESTROVAN_SESSION_SLOTS; i++) {
    ids.push_back(process(open("KestrovanTestRecorder")).get("SessionID"));
    ASSERT_EQ(KestrovanSession_findSession(ids.back().c_str()), i);
  }
  TraceCapture trace;
  Answer refused = process(open(GetParam().variant, "Sign", GetParam().extra), "https://refused.example");
  std::string out = trace.finish();
  EXPECT_EQ(refused.get("result"), GetParam().expected);
  EXPECT_EQ(refused.keys.size(), 1u);
  EXPECT_EQ(out.find("Kestrovan slot is full"), std::string::npos) << out;
  EXPECT_EQ(out.find("Release session index: "), std::string::npos) << out;
  for (int i = 0; i < KESTROVAN_SESSION_SLOTS; i++) {
    EXPECT_EQ(KestrovanSession_findSession(ids[i].c_str()), i);
  }
  EXPECT_EQ(process(call(ids[0], "Sign")).get("result"), "ok:Sign");
  for (const std::string& id : ids) {
    for (const std::string& function : entered("KestrovanTestRecorder-" + id)) EXPECT_NE(function, "Kestrovan_Release");
  }
  EXPECT_EQ(copies().size(), static_cast<size_t>(KESTROVAN_SESSION_SLOTS)) << "the refused copy is gone";
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusedOpening,
    ::testing::Values(RefusedCase{"UnlockRefused", "KestrovanTestUnlock61500", {}, "61500"},
                      RefusedCase{"NoEntryPoint", "KestrovanTestNoEntry", {}, "61906"},
                      RefusedCase{"VersionErrorCode", "KestrovanTestVersion61007", {}, "61007"},
                      RefusedCase{"AdapterVersionTooLow", "KestrovanTestOldVersion", {{"minLibVersion", "1.0.0.0"}},
                                  "61204"},
                      RefusedCase{"ServerVersionTooLow", "KestrovanTestRecorder", {{"minServerVersion", "9.0.0.0"}},
                                  "61203"},
                      RefusedCase{"NothingToLoad", "KestrovanTestAbsent", {}, "61902"}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.name); });

TEST_F(SessionTest, NewSessionTakesTheLowestFreeSlot) {
  install("KestrovanTestRecorder");
  std::vector<std::string> ids;
  for (int i = 0; i < 8; i++) ids.push_back(process(open("KestrovanTestRecorder")).get("SessionID"));
  process(call(ids[5], "KestrovanClose"));
  process(call(ids[2], "KestrovanRelease"));
  EXPECT_EQ(KestrovanSession_findSession(process(open("KestrovanTestRecorder")).get("SessionID").c_str()), 2);
  EXPECT_EQ(KestrovanSession_findSession(process(open("KestrovanTestRecorder")).get("SessionID").c_str()), 5);
  EXPECT_EQ(KestrovanSession_findSession(process(open("KestrovanTestRecorder")).get("SessionID").c_str()), 8);
}

TEST_F(SessionTest, UnknownOrMiscasedIdentifierIs61001AndChangesNothing) {
  install("KestrovanTestRecorder");
  std::string id = process(open("KestrovanTestRecorder")).get("SessionID");
  std::string lower = id;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (const std::string& wrong : {lower, std::string("NOSUCHID_SID"), id + " "}) {
    TraceCapture trace;
    Answer answer = process(call(wrong, "KestrovanForceRelease"));
    std::string out = trace.finish();
    EXPECT_EQ(answer.get("result"), "61001") << wrong;
    EXPECT_EQ(answer.keys.size(), 1u);
    EXPECT_NE(out.find("Invalid session id: " + wrong), std::string::npos) << out;
  }
  EXPECT_EQ(takenSlots(), 1);
  EXPECT_EQ(process(call(id, "Sign")).get("result"), "ok:Sign");
}

TEST_F(SessionTest, BrowserModeSurvivesCloseUntilForceRelease) {
  install("KestrovanTestRecorder");
  std::string id = process(open("KestrovanTestRecorder", "Echo", {{"KestrovanMode", "1"}})).get("SessionID");
  for (const char* close : {"KestrovanClose", "kestrovanrelease"}) {
    TraceCapture trace;
    Answer closed = process(call(id, close));
    std::string out = trace.finish();
    EXPECT_TRUE(closed.keys.empty());
    EXPECT_NE(out.find("[Browser mode] Skip release process"), std::string::npos) << out;
    EXPECT_EQ(process(call(id, "Sign")).get("result"), "ok:Sign");
  }
  EXPECT_TRUE(process(call(id, "KestrovanForceRelease")).keys.empty());
  EXPECT_EQ(process(call(id, "Sign")).get("result"), "61001");

  // Any other mode opens a normal session, which Close ends.
  std::string normal = process(open("KestrovanTestRecorder", "Echo", {{"KestrovanMode", "2"}})).get("SessionID");
  int index = KestrovanSession_findSession(normal.c_str());
  ASSERT_GE(index, 0);
  EXPECT_EQ(SessionList[index]->browserMode, 0);
  process(call(normal, "KestrovanClose"));
  EXPECT_EQ(KestrovanSession_findSession(normal.c_str()), -1);
}

TEST_F(SessionTest, ReleaseWithoutASessionLoadsNothing) {
  install("KestrovanTestRecorder");
  for (const char* name : {"KestrovanClose", "KestrovanForceRelease", "KESTROVANRELEASE"}) {
    TraceCapture trace;
    Answer answer = process(open("KestrovanTestRecorder", name));
    std::string out = trace.finish();
    EXPECT_EQ(answer.keys.size(), 1u) << name;
    EXPECT_EQ(answer.get("SessionID").size(), 12u) << name;
    EXPECT_NE(out.find("No specific adapter to release"), std::string::npos) << out;
  }
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(takenSlots(), 0);
}

TEST_F(SessionTest, MissingSessionIdOpensANewSessionAndMissingFunctionNameIsEmpty) {
  install("KestrovanTestRecorder");
  Request request = open("KestrovanTestRecorder", "Sign");
  request.erase(request.begin());  // no "SessionId" at all
  Answer opened = process(request);
  EXPECT_EQ(opened.get("result"), "ok:Sign");
  ASSERT_TRUE(opened.has("SessionID"));
  Answer nameless = process({{"SessionId", opened.get("SessionID")}});
  EXPECT_EQ(nameless.get("result"), "ok:");
  EXPECT_EQ(entered().back(), "");
}

TEST_F(SessionTest, NullArgumentsGiveNoAnswer) {
  KestrovanJsonMap* map = makeMap({{"FunctionName", "Echo"}});
  EXPECT_EQ(KestrovanSession_Process(0, nullptr, "https://bank.example"), nullptr);
  EXPECT_EQ(KestrovanSession_Process(0, map, nullptr), nullptr);
  KestrovanJsonFinal(map);
}

// The service's own calls to an adapter cannot be sent by a page: not on an
// open session (re-unlocking it for another origin, releasing it behind the
// service's back) and not on a new one, where nothing is even loaded.
TEST_F(SessionTest, PageCannotCallTheInternalAdapterFunctions) {
  install("KestrovanTestRecorder");
  std::string id = process(open("KestrovanTestRecorder")).get("SessionID");
  const char* internal[] = {"Kestrovan_Unlock",     "kestrovan_unlock", "KESTROVAN_UNLOCK",  "Kestrovan_GetVersion",
                            "kestrovan_getversion", "Kestrovan_Release", "KeStRoVaN_rElEaSe"};
  for (const char* name : internal) {
    Answer onSession = process(call(id, name, {{"url", "https://evil.example"}}));
    EXPECT_EQ(onSession.get("result"), "61001") << name;
    EXPECT_EQ(onSession.keys.size(), 1u) << name;
    Answer onNew = process(open("KestrovanTestRecorder", name, {{"url", "https://evil.example"}}));
    EXPECT_EQ(onNew.get("result"), "61001") << name;
    EXPECT_EQ(onNew.keys.size(), 1u) << name << ": no session identifier for a refused request";
    EXPECT_EQ(takenSlots(), 1) << name;
  }
  // The key may come twice in the page's JSON, once in another letter case:
  // the refusal looks at every copy, not only at the one the lookup finds.
  for (const char* second : {R"("functionname":"Kestrovan_Release")", R"("FUNCTIONNAME":"Kestrovan_Unlock")"}) {
    std::string json = R"({"SessionId":")" + id + R"(","FunctionName":"Sign",)" + second + "}";
    TraceCapture trace;
    Answer answer = processJson(json);
    std::string out = trace.finish();
    EXPECT_EQ(answer.get("result"), "61001") << json;
    EXPECT_NE(out.find("Refuse internal function: Kestrovan_"), std::string::npos) << out;
    json = std::string("{") + second + R"(,"SessionId":")" + id + R"(","FunctionName":"Sign"})";
    EXPECT_EQ(processJson(json).get("result"), "61001") << json;
  }
  // A name the page sent Base64-flagged is checked as the dispatcher reads it.
  Request flagged = {{"SessionId", id},
                     {"FunctionName", "S2VzdHJvdmFuX1JlbGVhc2U="},  // "Kestrovan_Release"
                     {"FunctionName_KestrovanBase64Flag", "true"}};
  EXPECT_EQ(process(flagged).get("result"), "61001");
  // The session is still the one the service unlocked, and still works.
  EXPECT_EQ(process(call(id, "Sign")).get("result"), "ok:Sign");
  EXPECT_EQ(entered(), (std::vector<std::string>{"Kestrovan_Unlock", "Kestrovan_GetVersion", "Sign"}));
  for (const Call& call : calls()) EXPECT_NE(call.detail, "https://evil.example");
  // Only the one session's copy was ever made.
  EXPECT_EQ(copies(), (std::vector<std::string>{"KestrovanTestRecorder-" + id + KESTROVAN_ADAPTER_SUFFIX}));
}

// ---- adapter calls ----

TEST_F(SessionTest, PageFunctionAnswers) {
  install("KestrovanTestRecorder");
  std::string id = process(open("KestrovanTestRecorder")).get("SessionID");
  EXPECT_EQ(process(call(id, "ReturnNull")).get("result"), "") << "no answer is the empty text";
  EXPECT_EQ(process(call(id, "Multiline")).get("result"), "first\nsecond");
  EXPECT_EQ(process(call(id, "EchoText", {{"text", "a\"b\\c"}})).get("result"), "a\"b\\c");
  // Function names that are built in only on an open session reach the adapter on a new one.
  EXPECT_EQ(process(open("KestrovanTestRecorder", "getKestrovanValue")).get("result"), "ok:getKestrovanValue");
  EXPECT_EQ(process(open("KestrovanTestRecorder", "setKestrovanValue")).get("result"), "ok:setKestrovanValue");
}

// The adapter gets the map as the page sent it; the reads of
// kestrovan/adapter_params.h linked into it undo the page's flags.
TEST_F(SessionTest, AdapterReadsFlaggedParametersDecoded) {
  install("KestrovanTestRecorder");
  std::string id = process(open("KestrovanTestRecorder")).get("SessionID");
  const char* secret = "0123456789abcdef0123456789ABCDEF";
  std::string hex = sealForPage("PIN 1234", secret);
  ASSERT_FALSE(hex.empty());
  EXPECT_EQ(process(call(id, "ReadParam",
                         {{"name", "pin"}, {"pin", hex}, {"pin_KestrovanEncryptFlag", "true"},
                          {"Kestrovan_share_secret", secret}}))
                .get("result"),
            "0 1 50494e2031323334");  // "PIN 1234"
  EXPECT_EQ(process(call(id, "ReadParam",
                         {{"name", "pin"}, {"pin", hex}, {"pin_KestrovanEncryptFlag", "true"},
                          {"Kestrovan_share_secret", "0123456789abcdef0123456789ABCDEX"}}))
                .get("result"),
            "2 1 ");
  EXPECT_EQ(process(call(id, "ReadParam", {{"name", "data"}, {"data", "AP8A"}, {"data_KestrovanBase64Flag", "true"}}))
                .get("result"),
            "0 4 00ff00");
  EXPECT_EQ(process(call(id, "ReadParam", {{"name", "missing"}})).get("result"), "1 -1 ");
}

TEST_F(SessionTest, HiddenResultIsMaskedInTheTraceOnly) {
  install("KestrovanTestRecorder");
  std::string id = process(open("KestrovanTestRecorder")).get("SessionID");
  TraceCapture trace;
  Answer hidden = process(call(id, "EchoText", {{"text", "PIN"}, {"hide_result", "TRUE"}}));
  std::string out = trace.finish();
  EXPECT_EQ(hidden.get("result"), "PIN");
  EXPECT_NE(out.find(" Component result: ***\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Component result: PIN"), std::string::npos) << out;

  TraceCapture trace2;
  Answer lines = process(call(id, "Multiline", {{"hide_result", "true"}}));
  out = trace2.finish();
  EXPECT_EQ(lines.get("result"), "first\nsecond");
  EXPECT_NE(out.find(" Component result:\n************"), std::string::npos) << out;

  TraceCapture trace3;
  process(call(id, "EchoText", {{"text", "open"}, {"hide_result", "1"}}));
  out = trace3.finish();
  EXPECT_NE(out.find(" Component result: open"), std::string::npos) << out;
}

TEST_F(SessionTest, CallMethodOnlyAdapterGetsJsonTextForUnlockVersionAndCalls) {
  install("KestrovanTestCallMethodOnly");
  Answer opened = processJson(
      R"({"SessionId":"","FunctionName":"Sign","PathID":"x","LibDir":"KestrovanTest",)"
      R"("ComName":"KestrovanTestCallMethodOnly","minServerVersion":"3.0.23.0721","minLibVersion":"1.0.0.5"})",
      "https://bank.example");
  EXPECT_EQ(opened.get("result"), "ok:Sign");
  EXPECT_EQ(opened.get("LibVersion"), "1.0.0.5");
  std::vector<Call> record = calls();
  std::vector<Call> entries;
  for (const Call& call : record) {
    if (call.phase == "enter") entries.push_back(call);
  }
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].detail,
            R"({"AdapterJsonKeyCheck":"true","functionname":"Kestrovan_Unlock","KestrovanFunctionIndex":"-2",)"
            R"("url":"https://bank.example"})");
  EXPECT_EQ(entries[1].detail,
            R"({"AdapterJsonKeyCheck":"true","functionname":"Kestrovan_GetVersion","KestrovanFunctionIndex":"-1"})");
  EXPECT_NE(entries[2].detail.find(R"("FunctionName":"Sign")"), std::string::npos) << "the page's own JSON text";
  // Such an adapter gets no release call, but its copy is still unloaded and deleted.
  process(call(opened.get("SessionID"), "KestrovanClose"));
  EXPECT_EQ(entered().size(), 3u);
  EXPECT_EQ(copies(), std::vector<std::string>{});
}

// An adapter may answer with the very text it was given: the service copies
// the answer before it frees that text. The unlock refusal then carries it.
TEST_F(SessionTest, AnswerThatIsTheArgumentIsCopiedBeforeTheArgumentIsFreed) {
  install("KestrovanTestReturnArgument");
  Answer answer = process(open("KestrovanTestReturnArgument", "Sign"), "https://bank.example");
  EXPECT_EQ(answer.keys.size(), 1u);
  EXPECT_EQ(answer.get("result"),
            R"({"AdapterJsonKeyCheck":"true","functionname":"Kestrovan_Unlock","KestrovanFunctionIndex":"-2",)"
            R"("url":"https://bank.example"})");
  EXPECT_EQ(takenSlots(), 0);
  EXPECT_EQ(entered(), (std::vector<std::string>{"Kestrovan_Unlock"}));
  EXPECT_EQ(copies(), std::vector<std::string>{}) << "the refused copy is deleted";
}

TEST(MapToJsonText, EscapesWhatWouldBreakTheObject) {
  KestrovanJsonMap* map = static_cast<KestrovanJsonMap*>(calloc(1, sizeof(KestrovanJsonMap)));
  addKestrovanJsonMapUnit(map, "url", "https://x\"},\"functionname\":\"evil");
  addKestrovanJsonMapUnit(map, "b", "line\nbreak\\\x01");
  addKestrovanJsonMapUnit(map, "bytes", reinterpret_cast<const unsigned char*>("ab"), 2);
  char* text = KestrovanSession_mapToJsonText(map);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, R"({"b":"line\nbreak\\\u0001","url":"https://x\"},\"functionname\":\"evil"})");
  // It reads back as the same two texts.
  KestrovanJsonMap* back = getKestrovanJsonMap(text);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->count, 2);
  free(text);
  KestrovanJsonFinal(back);
  KestrovanJsonFinal(map);
  KestrovanJsonMap empty = {};
  text = KestrovanSession_mapToJsonText(&empty);
  EXPECT_STREQ(text, "{}");
  free(text);
  EXPECT_EQ(KestrovanSession_mapToJsonText(nullptr), nullptr);
}

// ---- shutdown ----

// After Final the dispatcher is closed until the next Init: nothing is looked
// up, opened, loaded or called, and every request is answered 61001.
TEST_F(SessionTest, FinalClosesTheDispatcherUntilInit) {
  install("KestrovanTestRecorder");
  std::string id = process(open("KestrovanTestRecorder")).get("SessionID");
  ASSERT_EQ(id.size(), 12u);
  size_t before = calls().size();
  KestrovanSession_Final();
  std::vector<Call> atFinal = calls();
  ASSERT_GT(atFinal.size(), before);

  struct Late {
    const char* name;
    Request request;
  } late[] = {{"echo on a new session", open("KestrovanTestRecorder", "Echo")},
              {"page function on a new session", open("KestrovanTestRecorder", "Sign")},
              {"no SessionId at all", {{"FunctionName", "Echo"}, {"LibDir", "KestrovanTest"}, {"ComName", "KestrovanTestRecorder"}}},
              {"call on the session open before", call(id, "Sign")},
              {"echo on the session open before", call(id, "Echo")},
              {"value store", call(id, "getKestrovanValue", {{"channel", "c"}})},
              {"release without a session", open("KestrovanTestRecorder", "KestrovanClose")}};
  for (const Late& request : late) {
    TraceCapture trace;
    Answer answer = process(request.request);
    std::string out = trace.finish();
    EXPECT_EQ(answer.keys.size(), 1u) << request.name;
    EXPECT_EQ(answer.get("result"), "61001") << request.name;
    EXPECT_NE(out.find("Dispatcher closed: Refuse request"), std::string::npos) << request.name << "\n" << out;
  }
  EXPECT_EQ(takenSlots(), 0);
  EXPECT_EQ(calls().size(), atFinal.size()) << "no adapter was called after Final";
  EXPECT_EQ(copies(), std::vector<std::string>{}) << "no copy was made after Final";

  // Init opens it again.
  KestrovanSession_Init(copyFolder.c_str(), exeFolder.c_str());
  EXPECT_EQ(process(open("KestrovanTestRecorder")).get("result"), "0");
}

// Final wipes the value store with its key: nothing stored outlives the end,
// and nothing can be sealed until Init draws a new key.
TEST_F(SessionTest, FinalWipesTheValueStore) {
  ASSERT_EQ(KestrovanValue_set_value("basket", "example.com", 0, "v1", "https://example.com"), 0);
  char* channel = KestrovanValue_channelAt(0);
  ASSERT_NE(channel, nullptr);
  free(channel);
  KestrovanSession_Final();
  for (int i = 0; i < KESTROVAN_VALUE_RECORDS; i++) {
    channel = KestrovanValue_channelAt(i);
    EXPECT_EQ(channel, nullptr) << "record " << i << " holds " << channel;
    free(channel);
  }
  char* value = KestrovanValue_get_value("basket", "https://example.com");
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "");
  free(value);
  EXPECT_EQ(KestrovanValue_set_value("basket", "example.com", 0, "v2", "https://example.com"), 61020) << "the key is gone";

  KestrovanSession_Init(copyFolder.c_str(), exeFolder.c_str());
  install("KestrovanTestRecorder");
  std::string id = process(open("KestrovanTestRecorder"), "https://example.com").get("SessionID");
  EXPECT_EQ(process(call(id, "getKestrovanValue", {{"channel", "basket"}}), "https://example.com").get("result"), "");
  EXPECT_EQ(process(call(id, "setKestrovanValue",
                         {{"channel", "basket"}, {"domain_list", "example.com"}, {"timeout", "0"}, {"value", "v3"}}),
                    "https://example.com")
                .get("result"),
            "0");
  EXPECT_EQ(process(call(id, "getKestrovanValue", {{"channel", "basket"}}), "https://example.com").get("result"), "v3");
}

// ---- the value store through the dispatcher ----

TEST_F(SessionTest, SetAndGetValueOnASession) {
  install("KestrovanTestRecorder");
  const char* site = "https://example.com";
  std::string id = process(open("KestrovanTestRecorder"), site).get("SessionID");
  std::string other = process(open("KestrovanTestRecorder"), "https://example.org").get("SessionID");
  Answer stored = process(call(id, "setKestrovanValue",
                               {{"channel", "basket"}, {"domain_list", "example.com"}, {"timeout", "0"}, {"value", "v1"}}),
                          site);
  EXPECT_EQ(stored.keys.size(), 1u);
  EXPECT_EQ(stored.get("result"), "0");
  EXPECT_EQ(process(call(id, "getKestrovanValue", {{"channel", "BASKET"}}), site).get("result"), "v1");
  EXPECT_EQ(process(call(other, "getKestrovanValue", {{"channel", "basket"}}), "https://example.org").get("result"), "");
  Answer never = process(call(id, "getKestrovanValue", {{"channel", "never-stored"}}), site);
  EXPECT_EQ(never.keys.size(), 1u);
  EXPECT_EQ(never.get("result"), "");

  for (const Request& missing : {Request{{"domain_list", "example.com"}, {"value", "v"}},
                                 Request{{"channel", "c"}, {"value", "v"}},
                                 Request{{"channel", "c"}, {"domain_list", "example.com"}}}) {
    Answer answer = process(call(id, "setKestrovanValue", missing), site);
    EXPECT_EQ(answer.keys.size(), 1u);
    EXPECT_EQ(answer.get("result"), "61005");
  }
  EXPECT_EQ(process(call(id, "getKestrovanValue"), site).get("result"), "61005");
  EXPECT_EQ(process(call(id, "setKestrovanValue",
                         {{"channel", "c"}, {"domain_list", "example.com"}, {"timeout", "-1"}, {"value", "v"}}),
                    site)
                .get("result"),
            "61005");
  // The built-ins never reached the adapter.
  for (const std::string& function : entered()) EXPECT_EQ(function.find("KestrovanValue"), std::string::npos);
}

}  // namespace

// ---- a session serves only the origin that opened it ----

namespace {

struct OriginCase {
  const char* name;
  const char* origin;  // of the later request; the session was opened by https://bank.example
  bool served;
};

void PrintTo(const OriginCase& c, std::ostream* os) { *os << c.name; }

class SessionOrigin : public SessionTest, public ::testing::WithParamInterface<OriginCase> {
 protected:
  static Request withValueKeys(const std::string& id, const char* function) {
    return call(id, function, {{"channel", "basket"}, {"domain_list", "*"}, {"timeout", "0"}, {"value", "planted"}});
  }
};

// Every function a page can name on an open session, the built-ins included.
const char* const kSessionFunctions[] = {"Sign",          "Echo", "KestrovanClose", "KestrovanRelease",
                                         "KestrovanForceRelease", "setKestrovanValue", "getKestrovanValue"};

TEST_P(SessionOrigin, AnotherOriginMeetsAnUnknownSession) {
  const OriginCase& c = GetParam();
  install("KestrovanTestRecorder");
  // Browser mode, so that a close by the opener itself would keep it: only
  // a force-release ends it.
  std::string id = process(open("KestrovanTestRecorder", "Echo", {{"KestrovanMode", "1"}})).get("SessionID");
  ASSERT_EQ(id.size(), 12u);
  ASSERT_EQ(KestrovanValue_set_value("basket", "bank.example", 0, "bank's", "https://bank.example"), 0);
  int slot = KestrovanSession_findSession(id.c_str());
  ASSERT_GE(slot, 0);
  uint64_t stamp = Queue[slot];
  uint64_t age = Age;
  size_t enteredBefore = entered().size();
  if (!c.served) {
    // What an identifier that was never handed out gets: the same answer and trace.
    TraceCapture unknownTrace;
    Answer unknown = process(call("ZZZZZZZZ_SID", "Sign"), c.origin);
    std::string unknownOut = unknownTrace.finish();
    ASSERT_EQ(unknown.get("result"), "61001");
    for (const char* function : kSessionFunctions) {
      SCOPED_TRACE(function);
      TraceCapture trace;
      Answer answer = process(withValueKeys(id, function), c.origin);
      std::string out = trace.finish();
      EXPECT_EQ(answer.keys, unknown.keys);
      EXPECT_NE(out.find("Invalid session id: " + id), std::string::npos) << out;
      EXPECT_EQ(out.find("Find the loaded adapter"), std::string::npos) << out;
      EXPECT_EQ(out.find("Force release: "), std::string::npos) << out;
      EXPECT_EQ(out.find("Release Session id: "), std::string::npos) << out;
      EXPECT_NE(unknownOut.find("Invalid session id: ZZZZZZZZ_SID"), std::string::npos) << unknownOut;
    }
    // Nothing changed: the slot, its stamp, the ageing counter, the adapter,
    // the stored value; and the opener goes on.
    EXPECT_EQ(KestrovanSession_findSession(id.c_str()), slot);
    EXPECT_EQ(Queue[slot], stamp);
    EXPECT_EQ(Age, age);
    EXPECT_EQ(entered().size(), enteredBefore) << "the adapter was not called";
    char* value = KestrovanValue_get_value("basket", "https://bank.example");
    EXPECT_STREQ(value, "bank's");
    free(value);
    EXPECT_EQ(process(call(id, "Sign")).get("result"), "ok:Sign");
  } else {
    EXPECT_EQ(process(call(id, "Sign"), c.origin).get("result"), "ok:Sign");
    EXPECT_EQ(process(call(id, "Echo"), c.origin).get("result"), "0");
    EXPECT_EQ(process(call(id, "getKestrovanValue", {{"channel", "basket"}}), c.origin).get("result"), "bank's");
  }
  Answer released = process(call(id, "KestrovanForceRelease"), c.origin);
  EXPECT_EQ(released.keys.empty(), c.served);
  EXPECT_EQ(KestrovanSession_findSession(id.c_str()) == -1, c.served) << "only the opener releases it";
}

const OriginCase kOriginCases[] = {
    {"SameOrigin", "https://bank.example", true},
    {"OtherSite", "https://evil.test", false},
    {"OtherLetterCase", "https://BANK.example", false},
    {"OtherPort", "https://bank.example:8443", false},
    {"DefaultPortWritten", "https://bank.example:443", false},
    {"OtherScheme", "http://bank.example", false},
    {"TrailingSlash", "https://bank.example/", false},
    {"Subdomain", "https://www.bank.example", false},
    {"Empty", "", false},
    {"Null", "null", false},
};

INSTANTIATE_TEST_SUITE_P(Origins, SessionOrigin, ::testing::ValuesIn(kOriginCases),
                         [](const ::testing::TestParamInfo<OriginCase>& info) { return info.param.name; });

// Two sites, each with a session: neither reaches the other's, and each
// goes on with its own.
TEST_F(SessionTest, TwoSitesKeepTheirOwnSessions) {
  install("KestrovanTestRecorder");
  std::string bank = process(open("KestrovanTestRecorder"), "https://bank.example").get("SessionID");
  std::string shop = process(open("KestrovanTestRecorder"), "https://shop.example").get("SessionID");
  EXPECT_EQ(process(call(bank, "Sign"), "https://shop.example").get("result"), "61001");
  EXPECT_EQ(process(call(shop, "Sign"), "https://bank.example").get("result"), "61001");
  EXPECT_EQ(process(call(bank, "Sign"), "https://bank.example").get("result"), "ok:Sign");
  EXPECT_EQ(process(call(shop, "Sign"), "https://shop.example").get("result"), "ok:Sign");
  EXPECT_EQ(takenSlots(), 2);
}

}  // namespace
