// SPDX-License-Identifier: Apache-2.0
// write_test.cpp -- writing a file whole or not at all, in both layers (the
// service's KestrovanFiles_writeWhole and the adapters' SDK twin), with a
// fault injected at each step in turn: a failed step leaves the old file and
// no temporary file; interrupted and short writes still write everything.
// Both are compiled into this test with their fault seam.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "include/kestrovan/adapter_files.h"
#include "support/helpers.h"
#include "support/write.h"

namespace {

const int kShort = -1;  // the seam's "write one byte only"

struct Fault {
  int step;
  int call;   // the step's nth call fails (1 = first)
  int error;  // errno, or kShort
};

// The faults of the row running; calls counted per step.
std::vector<Fault> activeFaults;
int calls[8];

}  // namespace

extern "C" int KestrovanWriteFault(int step) {
  if (step < 0 || step >= 8)
    return 0;
  int call = ++calls[step];
  for (const Fault& fault : activeFaults)
    if (fault.step == step && fault.call == call)
      return fault.error;
  return 0;
}

namespace {

struct Row {
  const char* name;
  std::vector<Fault> faults;
  int step;         // the step reported
  bool newContent;  // what the file holds afterwards
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

const Row kRows[] = {
    {"NoFault", {}, KESTROVAN_WRITE_DONE, true},
    {"InterruptedWrites", {{KESTROVAN_WRITE_WRITE, 1, EINTR}, {KESTROVAN_WRITE_WRITE, 2, EINTR}}, KESTROVAN_WRITE_DONE,
     true},
    {"ShortWrites",
     {{KESTROVAN_WRITE_WRITE, 1, kShort}, {KESTROVAN_WRITE_WRITE, 2, kShort}, {KESTROVAN_WRITE_WRITE, 3, kShort}},
     KESTROVAN_WRITE_DONE, true},
    {"CreateFails", {{KESTROVAN_WRITE_CREATE, 1, EACCES}}, KESTROVAN_WRITE_CREATE, false},
    {"WriteFailsAfterAShortOne", {{KESTROVAN_WRITE_WRITE, 1, kShort}, {KESTROVAN_WRITE_WRITE, 2, ENOSPC}},
     KESTROVAN_WRITE_WRITE, false},
    {"SyncFails", {{KESTROVAN_WRITE_SYNC, 1, EIO}}, KESTROVAN_WRITE_SYNC, false},
    {"CloseFails", {{KESTROVAN_WRITE_CLOSE, 1, EIO}}, KESTROVAN_WRITE_CLOSE, false},
    {"RenameFails", {{KESTROVAN_WRITE_RENAME, 1, EXDEV}}, KESTROVAN_WRITE_RENAME, false},
    {"FolderSyncFails", {{KESTROVAN_WRITE_SYNC_FOLDER, 1, EIO}}, KESTROVAN_WRITE_SYNC_FOLDER, true},
};

enum Layer { Service, Adapter };

class WriteWhole : public ::testing::TestWithParam<std::tuple<Row, Layer>> {
 protected:
  void SetUp() override {
    activeFaults = std::get<0>(GetParam()).faults;
    memset(calls, 0, sizeof(calls));
    previousMask = umask(0);  // the mode must not depend on the umask
  }
  void TearDown() override {
    umask(previousMask);
    activeFaults.clear();
  }
  int write(const std::string& path, const std::string& text) {
    if (std::get<1>(GetParam()) == Adapter) {
      int error = 0;
      int step = KestrovanFile_WritePrivate(path.c_str(), text.data(), text.size(), &error);
      if (step != KESTROVAN_WRITE_DONE) {
        EXPECT_NE(error, 0);
      }
      return step;
    }
    char reason[512];
    int step = KestrovanFiles_writeWhole(path.c_str(), text.data(), text.size(), 0600, reason, sizeof(reason));
    if (step != KESTROVAN_WRITE_DONE) {
      EXPECT_NE(strstr(reason, path.c_str()), nullptr) << reason;
    }
    return step;
  }
  mode_t previousMask = 022;
  kestrovan_test::TempDir dir;
};

std::vector<std::string> names(const std::string& folder) {
  std::vector<std::string> out;
  DIR* d = opendir(folder.c_str());
  while (d != nullptr) {
    struct dirent* entry = readdir(d);
    if (entry == nullptr)
      break;
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
      out.push_back(entry->d_name);
  }
  if (d != nullptr)
    closedir(d);
  return out;
}

TEST_P(WriteWhole, LeavesTheOldFileOrTheWholeNewOne) {
  const Row& row = std::get<0>(GetParam());
  std::string path = dir.path() + "/list";
  std::string before = "the old text\n";
  std::string after(100000, 'n');  // long enough for several short writes
  kestrovan_test::writeAll(path, before);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);

  EXPECT_EQ(write(path, after), row.step);

  EXPECT_EQ(kestrovan_test::readAll(path), row.newContent ? after : before);
  EXPECT_EQ(names(dir.path()), std::vector<std::string>{"list"}) << "no temporary file is left";
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  for (const Fault& fault : row.faults)
    EXPECT_GE(calls[fault.step], fault.call) << "the fault at step " << fault.step << " was reached";
}

INSTANTIATE_TEST_SUITE_P(
    Steps, WriteWhole, ::testing::Combine(::testing::ValuesIn(kRows), ::testing::Values(Service, Adapter)),
    [](const ::testing::TestParamInfo<std::tuple<Row, Layer>>& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) == Service ? "_Service" : "_Adapter");
    });

// The service's tools write public files too (the local CA): the mode asked
// for, from the file's creation.
TEST(WriteWholeMode, IsTheOneAskedForWhateverTheUmask) {
  kestrovan_test::TempDir dir;
  mode_t previous = umask(077);
  char reason[256];
  EXPECT_EQ(KestrovanFiles_writeWhole((dir.path() + "/ca.pem").c_str(), "x", 1, 0644, reason, sizeof(reason)),
            KESTROVAN_WRITE_DONE)
      << reason;
  umask(previous);
  struct stat info;
  ASSERT_EQ(stat((dir.path() + "/ca.pem").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

// A file that does not exist yet is made; a folder that does not exist is
// the creation step's failure.
TEST(WriteWholeMode, ANewFileAndAMissingFolder) {
  kestrovan_test::TempDir dir;
  int error = 0;
  EXPECT_EQ(KestrovanFile_WritePrivate((dir.path() + "/new").c_str(), "abc", 3, &error), KESTROVAN_WRITE_DONE);
  EXPECT_EQ(kestrovan_test::readAll(dir.path() + "/new"), "abc");
  EXPECT_EQ(KestrovanFile_WritePrivate((dir.path() + "/none/new").c_str(), "abc", 3, &error), KESTROVAN_WRITE_CREATE);
  EXPECT_EQ(error, ENOENT);
}

}  // namespace
