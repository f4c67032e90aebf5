// SPDX-License-Identifier: Apache-2.0
// console_test.cpp -- another user taking the console ends the service: the
// request that notices it is answered 61012, then the service shuts down in
// order with exit status 0. Runs the test build NORTAKestrovanSeam, whose
// console user comes from a file the test writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include "harness.h"

namespace {

TEST(ServiceConsoleUser, ChangedUserIsAnswered61012ThenTheServiceStops) {
  kt::Installation installation(KESTROVAN_SEAM_EXE);
  ASSERT_TRUE(installation.ok);
  ASSERT_TRUE(kt::writeFile(installation.home + "/console-user", "1000\n"));
  kt::ServiceProcess service;
  ASSERT_TRUE(service.start(installation.exe, installation.home));
  ASSERT_TRUE(service.waitFor("NORTAKestrovan initialization: Success", 60)) << service.output();

  const std::string close = R"({"FunctionName":"KestrovanClose","SessionId":""})";
  kt::HttpAnswer same = kt::post(installation.caFile, close, "https://a.example");
  ASSERT_EQ(same.status, 200);
  std::map<std::string, std::string> values;
  ASSERT_TRUE(kt::decodeAnswer(same.body, &values));
  EXPECT_EQ(values.count("SessionID"), 1u) << same.body;
  EXPECT_TRUE(service.waitFor("Org_User: 1000", 30)) << service.output();
  EXPECT_TRUE(service.waitFor("Check_User: 1000", 30)) << service.output();

  ASSERT_TRUE(kt::writeFile(installation.home + "/console-user", "1001\n"));
  kt::HttpAnswer other = kt::post(installation.caFile, close, "https://a.example");
  ASSERT_EQ(other.curlCode, 0);
  EXPECT_EQ(other.status, 200);
  EXPECT_EQ(other.body, R"({"result": "NjEwMTI="})");

  EXPECT_EQ(service.waitExit(60), 0);
  std::string output = service.output();
  EXPECT_NE(output.find("Check_User: 1001"), std::string::npos) << output;
  size_t warning = output.find("Not Same User!!Kestrovan will turn off");
  size_t final = output.find("[KestrovanFinal] Ready to suicide", warning);
  size_t released = output.find("Releasing port: 56659", final);
  EXPECT_NE(warning, std::string::npos) << output;
  EXPECT_NE(final, std::string::npos) << output;
  EXPECT_NE(released, std::string::npos) << output;
  EXPECT_NE(output.find("NORTAKestrovan terminated.", released), std::string::npos) << output;
}

// Without an active console session the check is skipped: the service serves.
TEST(ServiceConsoleUser, NoConsoleSessionSkipsTheCheck) {
  kt::Installation installation(KESTROVAN_SEAM_EXE);
  ASSERT_TRUE(installation.ok);
  kt::ServiceProcess service;
  ASSERT_TRUE(service.start(installation.exe, installation.home));
  ASSERT_TRUE(service.waitFor("NORTAKestrovan initialization: Success", 60)) << service.output();
  kt::HttpAnswer answer =
      kt::post(installation.caFile, R"({"FunctionName":"KestrovanClose","SessionId":""})", "https://a.example");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(service.output().find("Check_User: "), std::string::npos);
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace

namespace {

// Started while no console session was active, the service compares a
// session that becomes active later with its own user.
TEST(ServiceConsoleUser, SessionAppearingLaterIsComparedWithTheServicesUser) {
  kt::Installation installation(KESTROVAN_SEAM_EXE);
  ASSERT_TRUE(installation.ok);
  kt::ServiceProcess service;
  ASSERT_TRUE(service.start(installation.exe, installation.home));
  ASSERT_TRUE(service.waitFor("NORTAKestrovan initialization: Success", 60)) << service.output();
  const std::string close = R"({"FunctionName":"KestrovanClose","SessionId":""})";
  std::string own = std::to_string(getuid());

  ASSERT_TRUE(kt::writeFile(installation.home + "/console-user", own + "\n"));
  kt::HttpAnswer same = kt::post(installation.caFile, close, "https://a.example");
  std::map<std::string, std::string> values;
  ASSERT_TRUE(kt::decodeAnswer(same.body, &values)) << same.body;
  EXPECT_EQ(values.count("SessionID"), 1u) << same.body;
  EXPECT_TRUE(service.waitFor("Org_User: " + own, 30)) << service.output();

  ASSERT_TRUE(kt::writeFile(installation.home + "/console-user", std::to_string(getuid() + 1) + "\n"));
  kt::HttpAnswer other = kt::post(installation.caFile, close, "https://a.example");
  EXPECT_EQ(other.body, R"({"result": "NjEwMTI="})");
  EXPECT_EQ(service.waitExit(60), 0);
}

}  // namespace
