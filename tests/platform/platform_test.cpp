// SPDX-License-Identifier: Apache-2.0
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

TEST(Platform, ExecutablePathNamesThisBinary) {
  char path[4096];
  uint32_t size = sizeof(path);
  ASSERT_EQ(KestrovanPlatform_executablePath(path, &size), 0);
  char* real = realpath(path, nullptr);
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(std::string(real), std::string(path));
  free(real);
  const char* base = strrchr(path, '/');
  ASSERT_NE(base, nullptr);
  EXPECT_STREQ(base + 1, "platform_test");
}

TEST(Platform, ExecutablePathReportsSizeNeeded) {
  char full[4096];
  uint32_t fullSize = sizeof(full);
  ASSERT_EQ(KestrovanPlatform_executablePath(full, &fullSize), 0);
  char small[4];
  uint32_t size = sizeof(small);
  EXPECT_EQ(KestrovanPlatform_executablePath(small, &size), -1);
  EXPECT_EQ(size, strlen(full) + 1);
}

TEST(Platform, ThreadIdIsTheKernelsTid) {
  EXPECT_EQ(KestrovanPlatform_threadId(), (uint64_t)gettid());
}

TEST(Platform, MessagingAcceptsCallsAndReportsFailure) {
  EXPECT_FALSE(sendIPCMsg("NORTAKestrovan.exe", "NORTAKestrovanMonitor.exe", "KestrovanInstruction_Stop", ""));
  EXPECT_FALSE(sendIPCMsg(nullptr, nullptr, nullptr, nullptr));
  setStop(nullptr);
  stopMessageReceiver();
}

TEST(Platform, MachineIdIsOneLineWhenPresent) {
  char id[128];
  if (access("/etc/machine-id", R_OK) != 0)
    GTEST_SKIP() << "/etc/machine-id is not readable here";
  ASSERT_TRUE(KestrovanPlatform_machineId(id, sizeof(id)));
  EXPECT_EQ(strcspn(id, "\r\n"), strlen(id));
  EXPECT_GT(strlen(id), 0u);
}

// The runtime folder is what XDG_RUNTIME_DIR names, when that is an absolute
// path that fits; whether it is private is for the caller to check.
struct RuntimeFolderCase {
  const char* name;
  const char* value;  // null: unset
  size_t size;        // of the buffer
  bool found;
};

void PrintTo(const RuntimeFolderCase& c, std::ostream* out) {
  *out << c.name;
}

class PlatformRuntimeFolder : public ::testing::TestWithParam<RuntimeFolderCase> {};

TEST_P(PlatformRuntimeFolder, IsAnAbsoluteXdgRuntimeDirThatFits) {
  const RuntimeFolderCase& c = GetParam();
  const char* saved = getenv("XDG_RUNTIME_DIR");
  std::string old = saved != nullptr ? saved : "";
  if (c.value != nullptr)
    setenv("XDG_RUNTIME_DIR", c.value, 1);
  else
    unsetenv("XDG_RUNTIME_DIR");
  char buffer[64];
  memset(buffer, 'x', sizeof(buffer));
  bool found = KestrovanPlatform_runtimeFolder(buffer, c.size);
  if (saved != nullptr)
    setenv("XDG_RUNTIME_DIR", old.c_str(), 1);
  else
    unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(found, c.found);
  if (c.found) {
    EXPECT_STREQ(buffer, c.value);
  } else if (c.size > 0) {
    EXPECT_EQ(buffer[0], '\0');
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, PlatformRuntimeFolder,
    ::testing::Values(RuntimeFolderCase{"Absolute", "/run/user/1000", 64, true},
                      RuntimeFolderCase{"JustFits", "/run/user/1000", 15, true},
                      RuntimeFolderCase{"TooLong", "/run/user/1000", 14, false},
                      RuntimeFolderCase{"Relative", "run/user/1000", 64, false},
                      RuntimeFolderCase{"DotRelative", "./run", 64, false},
                      RuntimeFolderCase{"Empty", "", 64, false}, RuntimeFolderCase{"Unset", nullptr, 64, false},
                      RuntimeFolderCase{"NoBuffer", "/run/user/1000", 0, false}),
    [](const ::testing::TestParamInfo<RuntimeFolderCase>& info) { return std::string(info.param.name); });

// The console user follows logind's seat file however it changes: replaced
// by a rename (as logind does), rewritten in place, removed, and with the
// whole folder gone and back (the folder is no longer watched then). The
// file is faked on a tmpfs over /run in a private mount namespace, so the
// scenario runs in a child process of its own, as root.
namespace {
const char kSeats[] = "/run/systemd/seats";
const char kSeat0[] = "/run/systemd/seats/seat0";

// A step that failed: a system call (its error told) or an answer.
[[noreturn]] void seatStepFailed(const char* step, bool systemCall = false) {
  if (systemCall)
    fprintf(stderr, "seat step failed: %s: %s\n", step, strerror(errno));
  else
    fprintf(stderr, "seat step failed: %s: wrong console user\n", step);
  _exit(1);
}

bool writeAll(int fd, const char* text) {
  size_t length = strlen(text);
  return write(fd, text, length) == (ssize_t)length;
}

// As logind does: a new file renamed over the old one.
void replaceSeat(const char* text) {
  char temporary[] = "/run/systemd/seats/.#seat0XXXXXX";
  int fd = mkstemp(temporary);
  if (fd < 0 || !writeAll(fd, text) || close(fd) != 0 || rename(temporary, kSeat0) != 0)
    seatStepFailed(text, true);
}

void rewriteSeatInPlace(const char* text) {
  int fd = open(kSeat0, O_WRONLY | O_TRUNC);
  if (fd < 0 || !writeAll(fd, text) || close(fd) != 0)
    seatStepFailed(text, true);
}

// The answer may take the watching thread's turn to change (it is given ten
// seconds); once right, it must stay right while nothing changes.
bool consoleUserBecomes(bool found, int32_t uid) {
  for (int attempt = 0; attempt < 1000; attempt++) {
    int32_t got = -1;
    if (KestrovanPlatform_consoleUser(&got) == found && (!found || got == uid)) {
      for (int again = 0; again < 100; again++) {
        got = -1;
        if (KestrovanPlatform_consoleUser(&got) != found || (found && got != uid))
          return false;
      }
      return true;
    }
    usleep(10 * 1000);
  }
  return false;
}

void removeSeat(const char*) {
  if (unlink(kSeat0) != 0)
    seatStepFailed("unlink", true);
}

// The folder itself goes: it is no longer watched.
void removeSeatFolder(const char*) {
  if (rmdir(kSeats) != 0)
    seatStepFailed("rmdir", true);
}

// A new folder, not watched: only a check that looks at the file itself
// sees the users from here on.
void newSeatFolder(const char* text) {
  if (mkdir(kSeats, 0755) != 0)
    seatStepFailed("mkdir", true);
  replaceSeat(text);
}

// A forked child has no watching thread of its own, and still sees the
// seat change it makes.
void replaceSeatInChild(const char* text) {
  const char* uid = strstr(text, "ACTIVE_UID=");
  pid_t child = fork();
  if (child == 0) {
    replaceSeat(text);
    _exit(uid != nullptr && consoleUserBecomes(true, atoi(uid + strlen("ACTIVE_UID="))) ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    seatStepFailed("the forked child's answer");
}

struct SeatStep {
  const char* name;
  void (*change)(const char* text);
  const char* text;
  bool found;  // the console user afterwards
  int32_t uid;
};

void followSeatChanges() {
  if (unshare(CLONE_NEWNS) != 0)
    seatStepFailed("unshare", true);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    seatStepFailed("private mounts", true);
  if (mount("kestrovan-seats", "/run", "tmpfs", 0, "mode=0755") != 0)
    seatStepFailed("tmpfs over /run", true);
  if (mkdir("/run/systemd", 0755) != 0 || mkdir(kSeats, 0755) != 0)
    seatStepFailed("seat folder", true);

  const SeatStep steps[] = {
      {"no seat file", nullptr, nullptr, false, 0},
      {"first user", replaceSeat, "ACTIVE=c1\nACTIVE_UID=1001\n", true, 1001},
      {"changed by a forked child", replaceSeatInChild, "ACTIVE=c9\nACTIVE_UID=1009\n", true, 1009},
      {"switched user", replaceSeat, "ACTIVE=c2\nACTIVE_UID=1002\n", true, 1002},
      {"nobody active", replaceSeat, "# no active session\n", false, 0},
      {"rewritten in place", rewriteSeatInPlace, "ACTIVE=c3\nACTIVE_UID=1003\n", true, 1003},
      {"seat file removed", removeSeat, nullptr, false, 0},
      {"seat folder removed", removeSeatFolder, nullptr, false, 0},
      {"unwatched: new file", newSeatFolder, "ACTIVE=c4\nACTIVE_UID=1004\n", true, 1004},
      {"unwatched: replaced", replaceSeat, "ACTIVE=c5\nACTIVE_UID=1005\n", true, 1005},
  };
  for (const SeatStep& step : steps) {
    if (step.change != nullptr)
      step.change(step.text);
    if (!consoleUserBecomes(step.found, step.uid))
      seatStepFailed(step.name);
  }
  _exit(0);
}
}  // namespace

TEST(PlatformSeatDeathTest, ConsoleUserFollowsTheSeatFile) {
  if (geteuid() != 0)
    GTEST_SKIP() << "a private mount namespace needs root";
  EXPECT_EXIT(followSeatChanges(), ::testing::ExitedWithCode(0), "");
}
