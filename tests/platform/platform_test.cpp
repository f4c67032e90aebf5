#include "platform/platform.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
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
