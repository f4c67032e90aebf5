// SPDX-License-Identifier: Apache-2.0
// activation_test.cpp -- the service started on demand: systemd-socket-activate
// holds the six listening addresses as the user's kestrovan.socket unit
// would, starts the real binary at the first connection and hands the
// sockets over (LISTEN_FDS); the service answers that first connection and
// ends by itself after its quiet period, never while a session is open.
// The user manager itself (systemctl --user with the shipped units) does not
// run here.
#include <gtest/gtest.h>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using kt::Installation;
using kt::ServiceProcess;

const char kActivate[] = "/usr/bin/systemd-socket-activate";

// The activator passes on only the variables named with -E (taken from its
// own environment, which the harness made).
std::vector<std::string> activation(const std::string& exe) {
  std::vector<std::string> argv = {kActivate, "-E", "HOME", "-E", "KESTROVAN_QUIET_EXIT_SECONDS"};
  for (const char* name : {"PATH", "XDG_RUNTIME_DIR", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (getenv(name) != nullptr) {
      argv.push_back("-E");
      argv.push_back(name);
    }
  }
  for (unsigned short port : kt::kPorts) {
    argv.push_back("-l");
    argv.push_back("127.0.0.1:" + std::to_string(port));
    argv.push_back("-l");
    argv.push_back("[::1]:" + std::to_string(port));
  }
  argv.push_back(exe);
  return argv;
}

std::string openSession(const Installation& installation) {
  kt::HttpAnswer answer = kt::post(installation.caFile,
                                   R"({"FunctionName":"KestrovanEcho","SessionId":"",)"
                                   R"("PathID":"7E41A0C2D95B4F3E8A61C07B2D9F54E1","minServerVersion":"3.0.23.0721"})",
                                   "https://bank.example");
  std::map<std::string, std::string> values;
  if (answer.status != 200 || !kt::decodeAnswer(answer.body, &values))
    return "";
  return values["SessionID"];
}

class ServiceActivation : public ::testing::Test {
 protected:
  void SetUp() override {
    struct stat info;
    if (stat(kActivate, &info) != 0)
      GTEST_SKIP() << kActivate << " is missing (the systemd package)";
    ASSERT_TRUE(installation_.ok);
    ASSERT_TRUE(kt::waitForFreePorts(120));
  }
  // Started with a quiet period of seconds; the sockets listen once the
  // activator says so, the service is not running yet.
  void start(const std::string& quietSeconds) {
    ASSERT_TRUE(service_.run(activation(installation_.exe), installation_.home,
                             {"KESTROVAN_QUIET_EXIT_SECONDS=" + quietSeconds}));
    ASSERT_TRUE(service_.waitFor("Listening on", 30, 6)) << service_.output();
    EXPECT_EQ(service_.output().find("Kestrovan"), std::string::npos) << service_.output();
  }
  Installation installation_{KESTROVAN_SERVICE_EXE, KESTROVAN_TEST_ADAPTER};
  ServiceProcess service_;
};

// The first request reaches a service that was not running: it is started
// with the six sockets, serves on them all and stops in order.
TEST_F(ServiceActivation, FirstRequestStartsTheServiceOnTheHandedSockets) {
  start("0");
  kt::HttpAnswer answer =
      kt::post(installation_.caFile, R"({"FunctionName":"KestrovanClose","SessionId":""})", "https://a.example");
  EXPECT_EQ(answer.curlCode, 0);
  EXPECT_EQ(answer.status, 200) << service_.output();
  ASSERT_TRUE(service_.waitFor("NORTAKestrovan initialization: Success", 30)) << service_.output();
  std::string output = service_.output();
  EXPECT_EQ(kt::valueAfter(output, "Start mode: "), "socket activation") << output;
  EXPECT_EQ(service_.count("Handed-over socket: "), 6u) << output;
  EXPECT_EQ(service_.count("launch state: Success"), 6u) << output;
  EXPECT_NE(output.find("Quiet exit: Off"), std::string::npos) << output;
  // Every listener serves on its handed-over socket, IPv6 too.
  for (unsigned short port : kt::kPorts) {
    for (const char* host : {"127.0.0.1", "[::1]"}) {
      std::string url = std::string("https://") + host + ":" + std::to_string(port) + "/";
      kt::HttpAnswer again = kt::post(installation_.caFile, R"({"FunctionName":"KestrovanClose","SessionId":""})",
                                      "https://a.example", {"Host: localhost:" + std::to_string(port)}, url);
      EXPECT_EQ(again.status, 200) << url;
    }
  }
  EXPECT_EQ(service_.stop(), 0) << service_.output();
}

// Quiet for its period with no session: it ends with status 0. An open
// session keeps it running; once closed, the service ends.
TEST_F(ServiceActivation, EndsWhenQuietButNotWhileASessionIsOpen) {
  start("1");
  std::string session = openSession(installation_);
  ASSERT_FALSE(session.empty()) << service_.output();
  ASSERT_TRUE(service_.waitFor("Quiet exit after seconds: 1", 30)) << service_.output();
  // Several periods with the session open: still running.
  EXPECT_EQ(service_.waitExit(4), -2) << service_.output();
  kt::HttpAnswer close = kt::post(installation_.caFile,
                                  R"({"FunctionName":"KestrovanClose","SessionId":")" + session + "\"}",
                                  "https://bank.example");
  EXPECT_EQ(close.status, 200);
  EXPECT_EQ(service_.waitExit(30), 0) << service_.output();
  EXPECT_NE(service_.output().find("Quiet, no session, value or connection for seconds: 1"), std::string::npos)
      << service_.output();
  EXPECT_NE(service_.output().find("NORTAKestrovan terminated."), std::string::npos) << service_.output();
}

// Started plainly, it binds its own sockets and says so.
TEST(ServiceStartMode, PlainStartBindsItsOwnSockets) {
  Installation installation(KESTROVAN_SERVICE_EXE);
  ASSERT_TRUE(installation.ok);
  ServiceProcess service;
  ASSERT_TRUE(service.start(installation.exe, installation.home, true, {"KESTROVAN_QUIET_EXIT_SECONDS=1"}));
  ASSERT_TRUE(service.waitFor("NORTAKestrovan initialization: Success", 60)) << service.output();
  EXPECT_EQ(kt::valueAfter(service.output(), "Start mode: "), "plain start");
  EXPECT_EQ(service.count("Handed-over socket: "), 0u);
  // No quiet exit without a manager to start it again.
  EXPECT_EQ(service.waitExit(3), -2) << service.output();
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
