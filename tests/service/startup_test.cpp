// SPDX-License-Identifier: Apache-2.0
// startup_test.cpp -- the real binary's start-up and shutdown: launch lines,
// exit statuses, certificate problems, taken ports and where adapter copies
// go.
#include <arpa/inet.h>
#include <ctime>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/relative_path.h"
#include "harness.h"

namespace {

using kt::Installation;
using kt::ServiceProcess;

const char* const kLaunchLines[6] = {
    "NORTAKestrovan at 127.0.0.1:56459 launch state: ", "NORTAKestrovan at [::1]:56459 launch state: ",
    "NORTAKestrovan at 127.0.0.1:56559 launch state: ", "NORTAKestrovan at [::1]:56559 launch state: ",
    "NORTAKestrovan at 127.0.0.1:56659 launch state: ", "NORTAKestrovan at [::1]:56659 launch state: ",
};

// Holds a port the way another program would.
struct TakenPort {
  int fd = -1;
  TakenPort(bool ipv6, unsigned short port) {
    // A listener holds the port against the service, as the service's own would.
    fd = kt::bindLoopback(ipv6, port);
    if (fd >= 0 && listen(fd, 1) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~TakenPort() {
    if (fd >= 0)
      close(fd);
  }
};

void expectShutdownLines(const std::string& output) {
  EXPECT_NE(output.find("[KestrovanFinal] Release adapters success"), std::string::npos) << output;
  EXPECT_NE(output.find("[KestrovanFinal] Ready to suicide"), std::string::npos) << output;
  size_t previous = 0;
  for (unsigned short port : kt::kPorts) {
    size_t at = output.find("Releasing port: " + std::to_string(port), previous);
    EXPECT_NE(at, std::string::npos) << "no release line for " << port << "\n" << output;
    if (at != std::string::npos)
      previous = at;
  }
  EXPECT_NE(output.find("NORTAKestrovan terminated."), std::string::npos) << output;
}

TEST(ServiceStartup, StartsSixListenersAndStopsInOrder) {
  Installation installation(KESTROVAN_SERVICE_EXE);
  ASSERT_TRUE(installation.ok);
  ServiceProcess service;
  ASSERT_TRUE(service.start(installation.exe, installation.home));
  ASSERT_TRUE(service.waitFor("NORTAKestrovan initialization: Success", 60)) << service.output();
  EXPECT_EQ(service.stop(), 0);
  std::string output = service.output();

  EXPECT_EQ(kt::valueAfter(output, "Support port: "), "56459 56559 56659");
  EXPECT_EQ(kt::valueAfter(output, "Kestrovan Version: "), "3.0.23.0721");
  EXPECT_EQ(kt::valueAfter(output, "Cert filepath: "), installation.certFile);
  EXPECT_EQ(kt::valueAfter(output, "Execute path: "), installation.bin);
  size_t previous = 0;
  for (const char* line : kLaunchLines) {
    size_t at = output.find(std::string(line) + "Success", previous);
    EXPECT_NE(at, std::string::npos) << line << " missing or out of order\n" << output;
    if (at != std::string::npos)
      previous = at;
  }
  size_t https = output.find("HTTPS Mode");
  EXPECT_GT(https, previous);
  EXPECT_GT(output.find("NORTAKestrovan initialization: Success"), https);
  // The certificate is printed once; the key never is.
  std::string cert;
  ASSERT_TRUE(kt::readFile(installation.certFile, &cert));
  EXPECT_EQ(service.count("KestrovanParseCert cert: -----BEGIN CERTIFICATE-----"), 1u);
  EXPECT_EQ(output.find("PRIVATE KEY"), std::string::npos);
  expectShutdownLines(output);
}

// Context switches of all the process's threads so far (-1 when unreadable).
long long contextSwitches(pid_t pid) {
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* folder = opendir(tasks.c_str());
  if (folder == nullptr)
    return -1;
  long long total = 0;
  for (struct dirent* entry = readdir(folder); entry != nullptr; entry = readdir(folder)) {
    if (entry->d_name[0] == '.')
      continue;
    std::string status;
    if (!kt::readFile(tasks + "/" + entry->d_name + "/status", &status))
      continue;
    for (const char* key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
      size_t at = status.find(key);
      if (at != std::string::npos && (at == 0 || status[at - 1] == '\n'))
        total += atoll(status.c_str() + at + strlen(key));
    }
  }
  closedir(folder);
  return total;
}

// Nothing polls: once its last connection is gone and a main-thread call is
// answered, an idle service sleeps until something happens (no thread of it
// is woken, not even once).
TEST(ServiceStartup, IdleServiceMakesNoWakeUps) {
  Installation installation(KESTROVAN_SERVICE_EXE);
  ASSERT_TRUE(installation.ok);
  ServiceProcess service;
  ASSERT_TRUE(service.start(installation.exe, installation.home));
  ASSERT_TRUE(service.waitFor("NORTAKestrovan initialization: Success", 60)) << service.output();
  // A main-thread call (its wait suspended, then resumed) on a connection
  // that curl closes once answered.
  kt::HttpAnswer answer = kt::post(installation.caFile, R"({"FunctionName":"KestrovanClose","SessionId":"","KestrovanMainThread":true})",
                                   "https://idle.example", {"Host: localhost:56459"});
  EXPECT_EQ(answer.status, 200);
  ASSERT_TRUE(service.waitFor("Main thread mode finish!", 10)) << service.output();
  // The connection watchdog's last look (it looks once a second while there
  // are connections), then quiet.
  sleep(3);
  long long before = contextSwitches(service.pid());
  ASSERT_GE(before, 0);
  sleep(4);
  EXPECT_EQ(contextSwitches(service.pid()), before) << "a thread of the idle service woke up";
  EXPECT_EQ(service.stop(), 0);
}

TEST(ServiceStartup, MissingCertificateExitsWithTwo) {
  Installation installation(KESTROVAN_SERVICE_EXE, "", /*provision=*/false);
  ASSERT_TRUE(installation.ok);
  ServiceProcess service;
  ASSERT_TRUE(service.start(installation.exe, installation.home));
  EXPECT_EQ(service.waitExit(60), 2);
  std::string output = service.output();
  EXPECT_NE(output.find("Exception: getCert: Failed"), std::string::npos) << output;
  EXPECT_EQ(output.find("launch state"), std::string::npos) << output;
  expectShutdownLines(output);
}

struct BrokenCertificate {
  const char* name;
  std::string (*make)(const std::string& good);
  int status;
  const char* line;
};

void PrintTo(const BrokenCertificate& c, std::ostream* out) {
  *out << c.name;
}

class ServiceCertificate : public ::testing::TestWithParam<BrokenCertificate> {};

// A certificate file is used less its carriage returns; one that is empty or
// for another key starts no listener.
TEST_P(ServiceCertificate, StartsOrFailsAsTheFileDeserves) {
  const BrokenCertificate& c = GetParam();
  Installation installation(KESTROVAN_SERVICE_EXE);
  ASSERT_TRUE(installation.ok);
  std::string good;
  ASSERT_TRUE(kt::readFile(installation.certFile, &good));
  ASSERT_TRUE(kt::writeFile(installation.certFile, c.make(good)));
  ServiceProcess service;
  ASSERT_TRUE(service.start(installation.exe, installation.home));
  if (c.status == 0) {
    ASSERT_TRUE(service.waitFor(c.line, 60)) << service.output();
    kt::HttpAnswer answer =
        kt::post(installation.caFile, R"({"FunctionName":"KestrovanClose","SessionId":""})", "https://a.example");
    EXPECT_EQ(answer.curlCode, 0);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(service.stop(), 0);
  } else {
    EXPECT_EQ(service.waitExit(60), c.status) << service.output();
    EXPECT_NE(service.output().find(c.line), std::string::npos) << service.output();
    for (const char* line : kLaunchLines)
      EXPECT_NE(service.output().find(std::string(line) + "Fail"), std::string::npos) << line;
  }
}

std::string crlf(const std::string& good) {
  std::string out;
  for (char ch : good) {
    if (ch == '\n')
      out += '\r';
    out += ch;
  }
  return out;
}

std::string emptyText(const std::string&) {
  return std::string();
}

// A well-formed certificate for a key the service does not have.
std::string otherKey(const std::string&) {
  std::string pem;
  gnutls_x509_privkey_t key = nullptr;
  gnutls_x509_crt_t crt = nullptr;
  gnutls_datum_t out = {nullptr, 0};
  unsigned char serial[1] = {7};
  time_t now = time(nullptr);
  if (gnutls_x509_privkey_init(&key) >= 0 &&
      gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0) >= 0 &&
      gnutls_x509_crt_init(&crt) >= 0 && gnutls_x509_crt_set_version(crt, 3) >= 0 &&
      gnutls_x509_crt_set_serial(crt, serial, 1) >= 0 && gnutls_x509_crt_set_dn(crt, "CN=localhost", nullptr) >= 0 &&
      gnutls_x509_crt_set_key(crt, key) >= 0 && gnutls_x509_crt_set_activation_time(crt, now - 60) >= 0 &&
      gnutls_x509_crt_set_expiration_time(crt, now + 86400) >= 0 &&
      gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0) >= 0 &&
      gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &out) >= 0)
    pem.assign((const char*)out.data, out.size);
  gnutls_free(out.data);
  if (crt != nullptr)
    gnutls_x509_crt_deinit(crt);
  if (key != nullptr)
    gnutls_x509_privkey_deinit(key);
  return pem;
}

std::string garbage(const std::string& good) {
  return good.substr(0, good.size() / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ServiceCertificate,
    ::testing::Values(BrokenCertificate{"CrLfLineEnds", crlf, 0, "NORTAKestrovan initialization: Success"},
                      BrokenCertificate{"Empty", emptyText, 1, "Exception: NORTAKestrovan initialization: Failed"},
                      BrokenCertificate{"NotForThisKey", otherKey, 1,
                                        "Exception: NORTAKestrovan initialization: Failed"},
                      BrokenCertificate{"Truncated", garbage, 1, "Exception: NORTAKestrovan initialization: Failed"}),
    [](const ::testing::TestParamInfo<BrokenCertificate>& info) { return std::string(info.param.name); });

TEST(ServiceStartup, EveryPortTakenExitsWithOne) {
  Installation installation(KESTROVAN_SERVICE_EXE);
  ASSERT_TRUE(installation.ok);
  ASSERT_TRUE(kt::waitForFreePorts(120));
  std::vector<std::unique_ptr<TakenPort>> taken;
  for (unsigned short port : kt::kPorts) {
    taken.push_back(std::make_unique<TakenPort>(false, port));
    taken.push_back(std::make_unique<TakenPort>(true, port));
  }
  for (const auto& port : taken)
    ASSERT_GE(port->fd, 0) << "a service port is in use on this machine";
  ServiceProcess service;
  ASSERT_TRUE(service.start(installation.exe, installation.home, /*waitForFreePorts=*/false));
  EXPECT_EQ(service.waitExit(60), 1);
  std::string output = service.output();
  for (const char* line : kLaunchLines)
    EXPECT_NE(output.find(std::string(line) + "Fail"), std::string::npos) << line << "\n" << output;
  EXPECT_NE(output.find("Exception: NORTAKestrovan initialization: Failed"), std::string::npos) << output;
  expectShutdownLines(output);
}

// One listener is enough: with every IPv4 port taken, the IPv6 listeners
// start and serve.
TEST(ServiceStartup, ServesOnIpv6WhenIpv4PortsAreTaken) {
  Installation installation(KESTROVAN_SERVICE_EXE);
  ASSERT_TRUE(installation.ok);
  ASSERT_TRUE(kt::waitForFreePorts(120));
  std::vector<std::unique_ptr<TakenPort>> taken;
  for (unsigned short port : kt::kPorts) {
    taken.push_back(std::make_unique<TakenPort>(false, port));
    ASSERT_GE(taken.back()->fd, 0);
  }
  ServiceProcess service;
  ASSERT_TRUE(service.start(installation.exe, installation.home, /*waitForFreePorts=*/false));
  ASSERT_TRUE(service.waitFor("NORTAKestrovan initialization: Success", 60)) << service.output();
  EXPECT_EQ(service.count("launch state: Fail"), 3u);
  EXPECT_EQ(service.count("launch state: Success"), 3u);
  kt::HttpAnswer answer = kt::post(installation.caFile, R"({"FunctionName":"KestrovanClose","SessionId":""})",
                                   "https://a.example", {"Host: localhost:56559"}, "https://[::1]:56559/");
  EXPECT_EQ(answer.curlCode, 0);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(service.stop(), 0);
}

// Each user's sessions get adapter copies of their own: in the user's
// runtime folder when XDG_RUNTIME_DIR names a private folder by an absolute
// path, else in the user's cache folder; never in the /tmp all users share.
// Without any private folder the service does not start.
enum RuntimeSetting { kPrivateRuntime, kWorldWritableRuntime, kRelativeRuntime, kNoPrivateFolder };

struct CopyFolderCase {
  const char* name;
  RuntimeSetting setting;
  bool underRuntime;
};

void PrintTo(const CopyFolderCase& c, std::ostream* out) {
  *out << c.name;
}

class ServiceCopyFolder : public ::testing::TestWithParam<CopyFolderCase> {};

TEST_P(ServiceCopyFolder, SessionCopyGoesToAPrivateFolderOfTheUser) {
  const CopyFolderCase& c = GetParam();
  Installation installation(KESTROVAN_SERVICE_EXE, KESTROVAN_TEST_ADAPTER);
  ASSERT_TRUE(installation.ok);
  kt::TempFolder runtime;
  ASSERT_FALSE(runtime.path.empty());
  std::string value = runtime.path;
  if (c.setting == kWorldWritableRuntime || c.setting == kNoPrivateFolder) {
    ASSERT_EQ(chmod(runtime.path.c_str(), 0777), 0);
  } else if (c.setting == kRelativeRuntime) {
    // The same private folder, named from the working folder the service
    // inherits.
    value = relativeToWorkingFolder(runtime.path);
    ASSERT_FALSE(value.empty());
    ASSERT_EQ(access(value.c_str(), F_OK), 0) << value;
  }
  if (c.setting == kNoPrivateFolder) {
    // A cache folder others may write to is no place for the user's copies.
    const std::string cache = installation.home + "/.cache";
    ASSERT_EQ(mkdir(cache.c_str(), 0700), 0);
    ASSERT_EQ(chmod(cache.c_str(), 0777), 0);
  }
  const std::string folder = c.underRuntime ? runtime.path + "/NORTAKestrovan" : installation.copyFolder;

  ServiceProcess service;
  ASSERT_TRUE(service.start(installation.exe, installation.home, true, {"XDG_RUNTIME_DIR=" + value}));
  if (c.setting == kNoPrivateFolder) {
    EXPECT_EQ(service.waitExit(60), 2) << service.output();
    EXPECT_NE(service.output().find("Exception: Extract copy path: Failed"), std::string::npos) << service.output();
    EXPECT_NE(service.output().find("getCopyPath: No private folder of this user"), std::string::npos)
        << service.output();
    EXPECT_EQ(service.count("launch state: "), 0u);
    return;
  }
  ASSERT_TRUE(service.waitFor("NORTAKestrovan initialization: Success", 60)) << service.output();
  EXPECT_EQ(kt::valueAfter(service.output(), "CopyPath: "), folder);
  struct stat info;
  ASSERT_EQ(lstat(folder.c_str(), &info), 0) << folder;
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  kt::HttpAnswer open = kt::post(installation.caFile,
                                 R"({"FunctionName":"KestrovanEcho","SessionId":"",)"
                                 R"("PathID":"7E41A0C2D95B4F3E8A61C07B2D9F54E1","minServerVersion":"3.0.23.0721"})",
                                 "https://bank.example", {"Host: localhost:56459"});
  std::map<std::string, std::string> values;
  ASSERT_TRUE(kt::decodeAnswer(open.body, &values)) << open.body;
  const std::string session = values["SessionID"];
  ASSERT_EQ(session.size(), 12u) << open.body;
  // The answer can overtake the console lines through the pipe.
  ASSERT_TRUE(service.waitFor("Init time: ", 30)) << service.output();
  EXPECT_TRUE(service.waitFor("Copied adapter: ", 10)) << service.output();
  std::string output = service.output();
  const std::string copy = folder + "/HelmPKICryptAdapter-" + session + ".so";
  EXPECT_EQ(kt::valueAfter(output, "Copy adapter: "), copy) << output;
  EXPECT_NE(output.find("Copied adapter: Active"), std::string::npos) << output;
  EXPECT_EQ(stat(copy.c_str(), &info), 0) << copy;
  std::string shared = "/tmp/NORTAKestrovan/HelmPKICryptAdapter-" + session + ".so";
  EXPECT_NE(stat(shared.c_str(), &info), 0) << shared;

  kt::HttpAnswer close = kt::post(installation.caFile,
                                  R"({"FunctionName":"KestrovanClose","SessionId":")" + session + "\"}",
                                  "https://bank.example", {"Host: localhost:56459"});
  EXPECT_EQ(close.body, "{}");
  EXPECT_EQ(service.stop(), 0);
  EXPECT_NE(stat(copy.c_str(), &info), 0) << "the closed session's copy is left: " << copy;
}

INSTANTIATE_TEST_SUITE_P(RuntimeFolder, ServiceCopyFolder,
                         ::testing::Values(CopyFolderCase{"Private", kPrivateRuntime, true},
                                           CopyFolderCase{"WorldWritable", kWorldWritableRuntime, false},
                                           CopyFolderCase{"Relative", kRelativeRuntime, false},
                                           CopyFolderCase{"NoPrivateFolder", kNoPrivateFolder, false}),
                         [](const ::testing::TestParamInfo<CopyFolderCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
