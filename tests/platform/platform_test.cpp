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
