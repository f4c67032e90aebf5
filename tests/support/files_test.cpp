// SPDX-License-Identifier: Apache-2.0
// Files, folders, time and randomness: real files in fresh temporary
// folders, the private-folder check against another user's folder and a
// symlink, and randomness failing under a seccomp filter.
#include "support/support.h"

#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <regex>
#include <set>
#include <string>
#include <vector>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/relative_path.h"
#include "support/helpers.h"

using kestrovan_test::captureStdout;
using kestrovan_test::TempDir;
using kestrovan_test::writeAll;
using kestrovan_test::readAll;

TEST(ExecutePath, IsTheFolderOfThisBinary) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  std::string expected(self, strrchr(self, '/'));
  char* folder = getExecutePath();
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(std::string(folder), expected);
  free(folder);
}

// Sets or removes an environment variable for one test and puts back what
// was there.
class EnvironmentSetting {
 public:
  EnvironmentSetting(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_)
      old_ = old;
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~EnvironmentSetting() {
    if (had_)
      setenv(name_.c_str(), old_.c_str(), 1);
    else
      unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

// Without a private runtime folder the copy folder goes to the user's cache
// folder, made 0700 when it is missing; never to the /tmp all users share.
TEST(CopyPath, JoinsUnderTheCacheFolder) {
  TempDir home;
  EnvironmentSetting noRuntimeFolder("XDG_RUNTIME_DIR", nullptr);
  EnvironmentSetting setHome("HOME", home.path().c_str());
  const std::string cache = home.file(".cache");
  char* path = getCopyPath(nullptr);
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(std::string(path), cache);
  free(path);
  struct stat info;
  ASSERT_EQ(lstat(cache.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  path = getCopyPath("x");
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(std::string(path), cache + "/x");
  free(path);
  path = getCopyPath("NORTAKestrovan");
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(std::string(path), cache + "/NORTAKestrovan");
  free(path);
  std::string longName(5000, 'n');
  path = getCopyPath(longName.c_str());
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(strlen(path), 4095u);
  free(path);
}

// The user's runtime folder holds the copy folder only when it is an
// absolute path to a private folder; anything else falls to the cache folder.
enum RuntimeKind { kRuntimePrivate, kRuntimeTrailingSlash, kRuntimeWorldWritable, kRuntimeGroupWritable,
                   kRuntimeRelative, kRuntimeSymlink, kRuntimeFile, kRuntimeMissing, kRuntimeEmpty };

struct RuntimeCase {
  const char* name;
  RuntimeKind kind;
  bool used;  // the copy folder goes under it
};

void PrintTo(const RuntimeCase& c, std::ostream* out) {
  *out << c.name;
}

class CopyPathRuntime : public ::testing::TestWithParam<RuntimeCase> {};

TEST_P(CopyPathRuntime, UsesOnlyAPrivateAbsoluteRuntimeFolder) {
  const RuntimeCase& c = GetParam();
  TempDir dir;
  std::string folder = dir.file("runtime");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  std::string value = folder;
  switch (c.kind) {
    case kRuntimeTrailingSlash:
      value = folder + "/";
      break;
    case kRuntimeWorldWritable:
      ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
      break;
    case kRuntimeGroupWritable:
      ASSERT_EQ(chmod(folder.c_str(), 0770), 0);
      break;
    case kRuntimeRelative: {
      // The same private folder, named from the working folder.
      value = relativeToWorkingFolder(folder);
      ASSERT_FALSE(value.empty());
      ASSERT_EQ(access(value.c_str(), F_OK), 0) << value;
      break;
    }
    case kRuntimeSymlink:
      value = dir.file("link");
      ASSERT_EQ(symlink(folder.c_str(), value.c_str()), 0);
      break;
    case kRuntimeFile:
      value = dir.file("file");
      writeAll(value, "x");
      break;
    case kRuntimeMissing:
      value = dir.file("missing");
      break;
    case kRuntimeEmpty:
      value = "";
      break;
    default:
      break;
  }
  TempDir home;
  EnvironmentSetting setHome("HOME", home.path().c_str());
  EnvironmentSetting setting("XDG_RUNTIME_DIR", value.c_str());
  char* path = nullptr;
  captureStdout([&] { path = getCopyPath("NORTAKestrovan"); });
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(std::string(path), c.used ? folder + "/NORTAKestrovan" : home.file(".cache/NORTAKestrovan")) << value;
  free(path);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CopyPathRuntime,
    ::testing::Values(RuntimeCase{"Private", kRuntimePrivate, true},
                      RuntimeCase{"TrailingSlash", kRuntimeTrailingSlash, true},
                      RuntimeCase{"WorldWritable", kRuntimeWorldWritable, false},
                      RuntimeCase{"GroupWritable", kRuntimeGroupWritable, false},
                      RuntimeCase{"Relative", kRuntimeRelative, false},
                      RuntimeCase{"Symlink", kRuntimeSymlink, false}, RuntimeCase{"File", kRuntimeFile, false},
                      RuntimeCase{"Missing", kRuntimeMissing, false}, RuntimeCase{"Empty", kRuntimeEmpty, false}),
    [](const ::testing::TestParamInfo<RuntimeCase>& info) { return std::string(info.param.name); });

// Without a private runtime folder, the cache folder is used only when it is
// this user's and closed to others (a link to such a folder counts, by its
// real path); otherwise there is no copy folder at all, and the service does
// not start, rather than share one.
enum CacheKind { kCacheMissing, kCachePrivate, kCacheOpen, kCacheWorldWritable, kCacheLinkToPrivate,
                 kCacheLinkToShared, kCacheOtherUser, kCacheFile, kHomeUnset, kHomeRelative };

struct CacheCase {
  const char* name;
  CacheKind kind;
  bool used;
  const char* warning;  // part of the warning line when not used
};

void PrintTo(const CacheCase& c, std::ostream* out) {
  *out << c.name;
}

class CopyPathCache : public ::testing::TestWithParam<CacheCase> {};

TEST_P(CopyPathCache, UsesOnlyAPrivateCacheFolder) {
  const CacheCase& c = GetParam();
  if (c.kind == kCacheOtherUser && geteuid() != 0)
    GTEST_SKIP() << "needs root to give a folder to another user";
  TempDir home;
  const std::string cache = home.file(".cache");
  std::string real = cache;
  std::string homeValue = home.path();
  switch (c.kind) {
    case kCachePrivate:
      ASSERT_EQ(mkdir(cache.c_str(), 0700), 0);
      break;
    case kCacheOpen:
      ASSERT_EQ(mkdir(cache.c_str(), 0755), 0);
      break;
    case kCacheWorldWritable:
      ASSERT_EQ(mkdir(cache.c_str(), 0700), 0);
      ASSERT_EQ(chmod(cache.c_str(), 01777), 0);
      break;
    case kCacheLinkToPrivate:
      real = home.file("elsewhere");
      ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
      ASSERT_EQ(symlink(real.c_str(), cache.c_str()), 0);
      break;
    case kCacheLinkToShared:
      ASSERT_EQ(symlink("/tmp", cache.c_str()), 0);
      break;
    case kCacheOtherUser:
      ASSERT_EQ(mkdir(cache.c_str(), 0700), 0);
      ASSERT_EQ(chown(cache.c_str(), 65534, 65534), 0);
      break;
    case kCacheFile:
      writeAll(cache, "x");
      break;
    case kHomeRelative:
      homeValue = relativeToWorkingFolder(home.path());
      break;
    default:
      break;
  }
  EnvironmentSetting noRuntimeFolder("XDG_RUNTIME_DIR", nullptr);
  EnvironmentSetting setHome("HOME", c.kind == kHomeUnset ? nullptr : homeValue.c_str());
  char* path = nullptr;
  std::string out = captureStdout([&] { path = getCopyPath("NORTAKestrovan"); });
  if (c.used) {
    ASSERT_NE(path, nullptr) << out;
    EXPECT_EQ(std::string(path), real + "/NORTAKestrovan");
  } else {
    EXPECT_EQ(path, nullptr) << (path != nullptr ? path : "");
    EXPECT_NE(out.find("getCopyPath: \033[0m\033[33mNo private folder of this user"), std::string::npos) << out;
    EXPECT_NE(out.find(c.warning), std::string::npos) << out;
  }
  free(path);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CopyPathCache,
    ::testing::Values(CacheCase{"Missing", kCacheMissing, true, ""}, CacheCase{"Private", kCachePrivate, true, ""},
                      CacheCase{"ReadableByOthers", kCacheOpen, true, ""},
                      CacheCase{"WorldWritable", kCacheWorldWritable, false, "is writable by group or others"},
                      CacheCase{"LinkToPrivate", kCacheLinkToPrivate, true, ""},
                      CacheCase{"LinkToSharedTmp", kCacheLinkToShared, false, "Folder not trusted: "},
                      CacheCase{"OtherUser", kCacheOtherUser, false, "is owned by uid 65534"},
                      CacheCase{"File", kCacheFile, false, "is not a directory"},
                      CacheCase{"HomeUnset", kHomeUnset, false, ""},
                      CacheCase{"HomeRelative", kHomeRelative, false, ""}),
    [](const ::testing::TestParamInfo<CacheCase>& info) { return std::string(info.param.name); });

// Crash leftovers: only this user's regular files named like a session copy
// go; anything else in the folder stays.
TEST(CopyLeftovers, RemovesOnlyThisUsersCopies) {
  TempDir dir;
  const std::string folder = dir.file("copies");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string suffix = KESTROVAN_ADAPTER_SUFFIX;
  const std::vector<std::string> removed = {"HelmPKICryptAdapter-ABCDEFGH_SID" + suffix,
                                            "x-0123456Z_SID" + suffix};
  std::vector<std::string> kept = {
      "HelmPKICryptAdapter-abcdefgh_SID" + suffix,  // lower case: no identifier
      "HelmPKICryptAdapter-ABCDEFG_SID" + suffix,   // seven characters
      "HelmPKICryptAdapter-ABCDEFGH_SID" + suffix + ".keep",
      "-ABCDEFGH_SID" + suffix,                     // no name
      "HelmPKICryptAdapter" + suffix,
      "NORTAKestrovan.ini",
  };
  for (const std::string& name : removed)
    writeAll(folder + "/" + name, "copy");
  for (const std::string& name : kept)
    writeAll(folder + "/" + name, "other");
  // A folder and a link by a copy's name are not files of ours.
  const std::string folderNamed = "F-ABCDEFGH_SID" + suffix;
  ASSERT_EQ(mkdir((folder + "/" + folderNamed).c_str(), 0700), 0);
  const std::string linkNamed = "L-ABCDEFGH_SID" + suffix;
  ASSERT_EQ(symlink(dir.file("target").c_str(), (folder + "/" + linkNamed).c_str()), 0);
  writeAll(dir.file("target"), "target");
  kept.push_back(folderNamed);
  kept.push_back(linkNamed);
  std::string foreign;
  if (geteuid() == 0) {
    foreign = "Foreign-ABCDEFGH_SID" + suffix;
    writeAll(folder + "/" + foreign, "foreign");
    ASSERT_EQ(chown((folder + "/" + foreign).c_str(), 65534, 65534), 0);
    kept.push_back(foreign);
  }

  int count = -2;
  std::string out = captureStdout([&] { count = removeCopyLeftovers(folder.c_str()); });
  EXPECT_EQ(count, (int)removed.size()) << out;
  for (const std::string& name : removed) {
    EXPECT_NE(access((folder + "/" + name).c_str(), F_OK), 0) << name;
    EXPECT_NE(out.find("Adapter copy left behind, removed: \033[0m\033[32m" + name), std::string::npos) << out;
  }
  for (const std::string& name : kept)
    EXPECT_EQ(faccessat(AT_FDCWD, (folder + "/" + name).c_str(), F_OK, AT_SYMLINK_NOFOLLOW), 0) << name;
  EXPECT_EQ(readAll(dir.file("target")), "target");
}

// While another run of the service uses the folder (its shared lock), its
// copies are in use and nothing is removed; a folder that is not private is
// not looked at.
TEST(CopyLeftovers, LeavesAFolderInUseOrNotPrivate) {
  TempDir dir;
  const std::string folder = dir.file("copies");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string copy = folder + "/HelmPKICryptAdapter-ABCDEFGH_SID" KESTROVAN_ADAPTER_SUFFIX;
  writeAll(copy, "in use");
  int other = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_SH), 0);
  int count = 0;
  std::string out = captureStdout([&] { count = removeCopyLeftovers(folder.c_str()); });
  EXPECT_EQ(count, -1);
  EXPECT_NE(out.find("Copy folder in use by another run, leftovers kept: "), std::string::npos) << out;
  EXPECT_EQ(access(copy.c_str(), F_OK), 0);
  close(other);

  ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
  EXPECT_EQ(removeCopyLeftovers(folder.c_str()), -1);
  EXPECT_EQ(access(copy.c_str(), F_OK), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
  EXPECT_EQ(removeCopyLeftovers(folder.c_str()), 1);
  EXPECT_NE(access(copy.c_str(), F_OK), 0);
  EXPECT_EQ(removeCopyLeftovers(nullptr), -1);
}

TEST(FileExist, StatsThePath) {
  TempDir dir;
  writeAll(dir.file("a"), "x");
  EXPECT_TRUE(isFileExist(dir.file("a").c_str()));
  EXPECT_TRUE(isFileExist(dir.path().c_str()));
  EXPECT_FALSE(isFileExist(dir.file("b").c_str()));
  std::string out = captureStdout([] { EXPECT_FALSE(isFileExist(nullptr)); });
  EXPECT_NE(out.find("Parameter inputFileName is null at Tool "), std::string::npos) << out;
}

TEST(ReadFile, ReadsWholeFiles) {
  TempDir dir;
  std::string longLine(1200, 'q');
  std::string many;
  for (int i = 0; i < 300; i++)
    many += "line " + std::to_string(i) + "\n";
  struct {
    std::string content;
    std::string expected;
  } cases[] = {
      {longLine, longLine},
      {many, many},
      {"3.0.23.0721\r\n", "3.0.23.0721\r\n"},
      {std::string(512, 'a'), std::string(512, 'a')},
      {std::string(513, 'b'), std::string(513, 'b')},
      {std::string("ab\0cd", 5), "ab"},
  };
  for (const auto& c : cases) {
    writeAll(dir.file("f"), c.content);
    char* text = readFile(dir.file("f").c_str(), "r");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), c.expected);
    free(text);
  }
}

TEST(ReadFile, FailuresReturnNullWithTheirLine) {
  TempDir dir;
  writeAll(dir.file("empty"), "");
  struct {
    const char* path;
    const char* mode;
    const char* message;
  } cases[] = {
      {nullptr, "r", "inputPath is null"},
      {"/etc/hostname", nullptr, "inputMode is empty"},
      {"/etc/hostname", "", "inputMode is empty"},
      {"/nonexistent/file", "r", "Read file pointer is null"},
  };
  for (const auto& c : cases) {
    std::string out = captureStdout([&] { EXPECT_EQ(readFile(c.path, c.mode), nullptr); });
    EXPECT_NE(out.find(std::string("[Warning] ") + c.message), std::string::npos) << out;
  }
  std::string out = captureStdout([&] { EXPECT_EQ(readFile(dir.file("empty").c_str(), "r"), nullptr); });
  EXPECT_EQ(out, "");
}

TEST(CopyFile, CopiesContentAndMode) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 70000; i++)
    content.push_back((char)(i * 7));
  writeAll(dir.file("src.so"), content);
  chmod(dir.file("src.so").c_str(), 0750);
  ASSERT_TRUE(Kestrovan_CopyFile(dir.file("src.so").c_str(), dir.file("copy.so").c_str()));
  EXPECT_EQ(readAll(dir.file("copy.so")), content);
  struct stat info;
  ASSERT_EQ(stat(dir.file("copy.so").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0750u & ~(unsigned)umask(umask(0)));
}

TEST(CopyFile, NeverOverwritesOrFollowsTheDestination) {
  TempDir dir;
  writeAll(dir.file("src"), "new");
  writeAll(dir.file("existing"), "old");
  writeAll(dir.file("target"), "victim");
  ASSERT_EQ(symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);

  std::string out = captureStdout([&] {
    EXPECT_FALSE(Kestrovan_CopyFile(dir.file("src").c_str(), dir.file("existing").c_str()));
    EXPECT_FALSE(Kestrovan_CopyFile(dir.file("src").c_str(), dir.file("link").c_str()));
    EXPECT_FALSE(Kestrovan_CopyFile(dir.file("src").c_str(), dir.file("dangling").c_str()));
  });
  EXPECT_EQ(readAll(dir.file("existing")), "old");
  EXPECT_EQ(readAll(dir.file("target")), "victim");
  EXPECT_FALSE(isFileExist(dir.file("nowhere").c_str()));
  std::regex expected("(.*\\[Error\\] Copyfile failed: \033\\[0m\033\\[31mFile exists\033\\[0m\n){3}");
  EXPECT_TRUE(std::regex_match(out, expected)) << out;
}

TEST(CopyFile, MissingSourceOrFolderFails) {
  TempDir dir;
  writeAll(dir.file("src"), "x");
  std::string out = captureStdout([&] {
    EXPECT_FALSE(Kestrovan_CopyFile(dir.file("missing").c_str(), dir.file("dst").c_str()));
    EXPECT_FALSE(Kestrovan_CopyFile(dir.file("src").c_str(), dir.file("no/dst").c_str()));
    EXPECT_FALSE(Kestrovan_CopyFile(dir.path().c_str(), dir.file("dst").c_str()));
  });
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
  EXPECT_NE(out.find("Copyfile failed: \033[0m\033[31mNo such file or directory"), std::string::npos) << out;
  EXPECT_NE(out.find("Copyfile failed: \033[0m\033[31mInvalid argument"), std::string::npos) << out;
  EXPECT_FALSE(isFileExist(dir.file("dst").c_str()));
}

TEST(DeleteFile, RemovesAndReports) {
  TempDir dir;
  writeAll(dir.file("a"), "x");
  EXPECT_TRUE(deleteFile(dir.file("a").c_str()));
  EXPECT_FALSE(isFileExist(dir.file("a").c_str()));
  EXPECT_FALSE(deleteFile(dir.file("a").c_str()));
  std::string out = captureStdout([] { EXPECT_FALSE(deleteFile(nullptr)); });
  EXPECT_NE(out.find("Parameter inputFilePath is null at Tool "), std::string::npos) << out;
}

TEST(PrivateFolder, AcceptsOnlyOwnUnsharedRealFolders) {
  TempDir dir;
  std::string own = dir.file("own");
  ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
  std::string readable = dir.file("readable");
  ASSERT_EQ(mkdir(readable.c_str(), 0755), 0);
  chmod(readable.c_str(), 0755);
  std::string groupWritable = dir.file("group");
  ASSERT_EQ(mkdir(groupWritable.c_str(), 0700), 0);
  chmod(groupWritable.c_str(), 0770);
  std::string shared = dir.file("shared");
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  chmod(shared.c_str(), 01777);
  std::string link = dir.file("link");
  ASSERT_EQ(symlink(own.c_str(), link.c_str()), 0);
  std::string file = dir.file("file");
  writeAll(file, "x");

  std::string out = captureStdout([&] {
    EXPECT_TRUE(checkPrivateFolder(own.c_str()));
    EXPECT_TRUE(checkPrivateFolder(readable.c_str()));
  });
  EXPECT_EQ(out, "");

  struct {
    std::string path;
    std::string reason;
  } refused[] = {
      {groupWritable, groupWritable + " is writable by group or others"},
      {shared, shared + " is writable by group or others"},
      {link, link + " is a symbolic link"},
      {file, file + " is not a directory"},
      {dir.file("missing"), dir.file("missing") + ": No such file or directory"},
  };
  for (const auto& c : refused) {
    out = captureStdout([&] { EXPECT_FALSE(checkPrivateFolder(c.path.c_str())) << c.path; });
    EXPECT_NE(out.find("[Warning] Folder not trusted: \033[0m\033[33m" + c.reason + "\033[0m\n"), std::string::npos)
        << out;
  }
}

TEST(PrivateFolder, RefusesAnotherUsersFolder) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to give a folder to another user";
  TempDir dir;
  std::string foreign = dir.file("foreign");
  ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
  ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  std::string out = captureStdout([&] { EXPECT_FALSE(checkPrivateFolder(foreign.c_str())); });
  EXPECT_NE(out.find("Folder not trusted: \033[0m\033[33m" + foreign + " is owned by uid 65534, not by uid 0"),
            std::string::npos)
      << out;
}

TEST(Time, GetTimeFormatsLocalTime) {
  char* now = getTime();
  ASSERT_NE(now, nullptr);
  EXPECT_TRUE(std::regex_match(now, std::regex("\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\]"))) << now;
  free(now);
  char* custom = getTime("%d/%d/%d");
  ASSERT_NE(custom, nullptr);
  time_t t = time(nullptr);
  struct tm local;
  localtime_r(&t, &local);
  std::string prefix = std::to_string(local.tm_year + 1900) + "/" + std::to_string(local.tm_mon + 1) + "/";
  EXPECT_EQ(std::string(custom).substr(0, prefix.size()), prefix);
  free(custom);
}

TEST(Time, CounterCountsLocalSecondsSince2015) {
  // Independent reckoning: the local calendar fields read as if they were UTC.
  time_t t = time(nullptr);
  struct tm local;
  localtime_r(&t, &local);
  struct tm start = {};
  start.tm_year = 115;
  start.tm_mday = 1;
  int64_t expected = (int64_t)(timegm(&local) - timegm(&start));
  uint64_t value = getTimeValue();
  EXPECT_GE((int64_t)value, expected);
  EXPECT_LE((int64_t)value, expected + 2);
}

TEST(Random, FillsTheWholeBuffer) {
  unsigned char bytes[4096];
  memset(bytes, 0, sizeof(bytes));
  ASSERT_TRUE(getSecureRandom(bytes, sizeof(bytes)));
  // Each 64-byte stretch is all zero with chance 2^-512: a zero stretch means
  // part of the buffer was never filled.
  for (size_t at = 0; at < sizeof(bytes); at += 64) {
    bool any = false;
    for (size_t i = at; i < at + 64; i++)
      any = any || bytes[i] != 0;
    EXPECT_TRUE(any) << "bytes " << at << "..." << at + 63 << " were left zero";
  }
  EXPECT_TRUE(getSecureRandom(bytes, 0));
  std::string out = captureStdout([&] {
    EXPECT_FALSE(getSecureRandom(nullptr, 4));
    EXPECT_FALSE(getSecureRandom(bytes, -1));
  });
  EXPECT_NE(out.find("[Warning] \033[0m\033[33mParameter inputBuffer is null at Tool "), std::string::npos) << out;
  EXPECT_NE(out.find("[Warning] getSecureRandom: \033[0m\033[33mInvalid count"), std::string::npos) << out;
}

TEST(Random, IdentifiersHaveTheirFormAndDiffer) {
  std::regex form("[0-9A-Z]{8}_SID");
  std::set<std::string> seen;
  for (int i = 0; i < 200; i++) {
    char* id = genUUID();
    ASSERT_NE(id, nullptr);
    EXPECT_TRUE(std::regex_match(id, form)) << id;
    seen.insert(id);
    free(id);
  }
  EXPECT_EQ(seen.size(), 200u);
}

// Makes getrandom(2) fail with EIO for this process (and only for it).
static bool denyGetrandom() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getrandom, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EIO & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {(unsigned short)(sizeof(filter) / sizeof(filter[0])), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(Random, WithoutRandomnessThereIsNoIdentifier) {
  kestrovan_test::runInChild([] {
    ASSERT_TRUE(denyGetrandom());
    unsigned char bytes[8];
    std::string out = captureStdout([&] {
      EXPECT_FALSE(getSecureRandom(bytes, sizeof(bytes)));
      EXPECT_EQ(genUUID(), nullptr);
    });
    EXPECT_NE(out.find("[Error] getSecureRandom: \033[0m\033[31mInput/output error"), std::string::npos) << out;
  });
}
