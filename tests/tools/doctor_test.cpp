// SPDX-License-Identifier: Apache-2.0
// doctor_test.cpp -- NORTAKestrovanDoctor against a real installation: each
// problem is made for real (the service stopped, a port held by a program
// of another user, the certificate expired or replaced, a browser store
// without our CA, a key others may read or none, a key folder others may
// write, an allow-list others may write, a library that is no adapter) and
// gives its line and status 1; findings that are no problem (the key built
// into the program, the sites of a list with ";" and comments) give their
// line and status 0 or a problem elsewhere; the healthy installation gives
// status 0. Starts the service on its fixed ports: the "ports" lock and a
// network namespace of its own.
#include <gtest/gtest.h>
#include <csignal>
#include <ctime>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>
#include <vector>

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#define JSMN_STATIC
#include <jsmn.h>

#include "certify.h"
#include "harness.h"
#include "platform/platform.h"
#include "service/key_material.h"

namespace {

const uid_t kNobody = 65534;

// A self-signed certificate for the loopback names that no local CA of ours
// signed; valid from..until (seconds from now). With its key when asked.
std::string certificate(long from, long until, std::string* keyPem = nullptr) {
  gnutls_privkey_t key = nullptr;
  gnutls_x509_privkey_t raw = nullptr;
  gnutls_pubkey_t pub = nullptr;
  gnutls_x509_crt_t crt = nullptr;
  std::string out;
  unsigned char serial[8] = {0x41, 2, 3, 4, 5, 6, 7, 8};
  unsigned char v4[4] = {127, 0, 0, 1};
  time_t now = time(nullptr);
  if (gnutls_x509_privkey_init(&raw) >= 0 &&
      gnutls_x509_privkey_generate(raw, GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0) >= 0 &&
      gnutls_privkey_init(&key) >= 0 && gnutls_privkey_import_x509(key, raw, 0) >= 0 && gnutls_pubkey_init(&pub) >= 0 &&
      gnutls_pubkey_import_privkey(pub, key, 0, 0) >= 0 && gnutls_x509_crt_init(&crt) >= 0 &&
      gnutls_x509_crt_set_version(crt, 3) >= 0 && gnutls_x509_crt_set_serial(crt, serial, sizeof(serial)) >= 0 &&
      gnutls_x509_crt_set_dn(crt, "CN=localhost", nullptr) >= 0 && gnutls_x509_crt_set_pubkey(crt, pub) >= 0 &&
      gnutls_x509_crt_set_activation_time(crt, now + from) >= 0 &&
      gnutls_x509_crt_set_expiration_time(crt, now + until) >= 0 &&
      gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_DNSNAME, "localhost", 9, GNUTLS_FSAN_APPEND) >= 0 &&
      gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_IPADDRESS, v4, 4, GNUTLS_FSAN_APPEND) >= 0 &&
      gnutls_x509_crt_privkey_sign(crt, crt, key, GNUTLS_DIG_SHA256, 0) >= 0) {
    gnutls_datum_t pem = {nullptr, 0};
    if (gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &pem) >= 0)
      out.assign((const char*)pem.data, pem.size);
    gnutls_free(pem.data);
    if (keyPem != nullptr && gnutls_x509_privkey_export2(raw, GNUTLS_X509_FMT_PEM, &pem) >= 0) {
      keyPem->assign((const char*)pem.data, pem.size);
      gnutls_free(pem.data);
    }
  }
  if (crt != nullptr)
    gnutls_x509_crt_deinit(crt);
  if (pub != nullptr)
    gnutls_pubkey_deinit(pub);
  if (key != nullptr)
    gnutls_privkey_deinit(key);
  if (raw != nullptr)  // imported without handing it over: still ours
    gnutls_x509_privkey_deinit(raw);
  return out;
}

// A listening socket on 127.0.0.1:port owned by uid nobody, in a child
// process of its own; killed by the destructor.
struct ForeignListener {
  pid_t pid = -1;
  explicit ForeignListener(unsigned short port) {
    int ready[2];
    if (pipe(ready) != 0)
      return;
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      char ok = 0;
      if (setgid(kNobody) == 0 && setuid(kNobody) == 0) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && bind(fd, (struct sockaddr*)&address, sizeof(address)) == 0 && listen(fd, 4) == 0)
          ok = 1;
      }
      if (write(ready[1], &ok, 1) != 1 || ok == 0)
        _exit(1);
      for (;;)
        pause();
    }
    close(ready[1]);
    char ok = 0;
    if (pid < 0 || read(ready[0], &ok, 1) != 1 || ok != 1) {
      if (pid > 0)
        kill(pid, SIGKILL);
      if (pid > 0)
        waitpid(pid, nullptr, 0);
      pid = -1;
    }
    close(ready[0]);
  }
  ~ForeignListener() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

class Doctor : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("XDG_CONFIG_HOME");
    ASSERT_TRUE(installation.ok);
    std::string output;
    ASSERT_EQ(kt::runProgram({KESTROVAN_PROVISION_EXE, "--nss"}, installation.home, &output), 0) << output;
  }
  void startService(bool waitForFreePorts = true) {
    ASSERT_TRUE(service.start(installation.exe, installation.home, waitForFreePorts));
    ASSERT_TRUE(service.waitFor("initialization: Success", 60)) << service.output();
  }
  int doctor(std::string* output, bool json = false) {
    std::vector<std::string> argv = {KESTROVAN_DOCTOR_EXE, "--service-dir", installation.bin, "--root", noPolicies.path};
    if (json)
      argv.push_back("--json");
    return kt::runProgram(argv, installation.home, output);
  }
  kt::Installation installation{KESTROVAN_SERVICE_EXE, KESTROVAN_RECORDER_ADAPTER};
  kt::TempFolder noPolicies;  // no browser policies: the machine's own do not count
  kt::ServiceProcess service;
};

TEST_F(Doctor, AHealthyInstallationHasNoProblem) {
  startService();
  std::string output;
  EXPECT_EQ(doctor(&output), 0) << output;
  for (const char* address : {"127.0.0.1:56459", "127.0.0.1:56559", "127.0.0.1:56659", "[::1]:56459", "[::1]:56559",
                              "[::1]:56659"})
    EXPECT_NE(output.find(std::string("ok       service     ") + address + ": the service answers"), std::string::npos)
        << output;
  EXPECT_NE(output.find("data.dat: for localhost, 127.0.0.1, ::1; valid until"), std::string::npos) << output;
  EXPECT_NE(output.find("/.pki/nssdb (Chromium, Chrome, Edge): trusts the local CA"), std::string::npos) << output;
  EXPECT_NE(output.find("HelmPKICryptAdapter" KESTROVAN_ADAPTER_SUFFIX ": version 1.0.0.5"), std::string::npos)
      << output;
  EXPECT_NE(output.find("No problem found."), std::string::npos) << output;
}

struct Trouble {
  const char* name;
  bool serviceRunning;
  void (*make)(const kt::Installation& installation);
  const char* line;  // what the report must say
  int status = 1;    // the doctor's exit status: 1 for a problem
};

void PrintTo(const Trouble& trouble, std::ostream* out) {
  *out << trouble.name;
}

// The PKI adapter's allow-list in the installation's home, with mode.
void writeAllowList(const kt::Installation& installation, const std::string& text, int mode) {
  std::string folder = installation.home + "/.config";
  for (const char* part : {"", "/kestrovan", "/kestrovan/helm"})
    mkdir((folder + part).c_str(), 0700);
  std::string path = folder + "/kestrovan/helm/allowed-origins";
  ASSERT_TRUE(kt::writeFile(path, text, mode));
  ASSERT_EQ(chmod(path.c_str(), (mode_t)mode), 0);
}

void replaceCertificate(const kt::Installation& installation, long from, long until) {
  std::string pem = certificate(from, until);
  ASSERT_FALSE(pem.empty());
  ASSERT_TRUE(kt::writeFile(installation.certFile, pem));
}

const Trouble kTroubles[] = {
    {"ServiceStopped", false, [](const kt::Installation&) {},
     "PROBLEM  service     NORTAKestrovan: not running"},
    {"CertificateExpired", true, [](const kt::Installation& i) { replaceCertificate(i, -400 * 86400L, -86400L); },
     ": expired 1 days ago"},
    {"CertificateReplaced", true, [](const kt::Installation& i) { replaceCertificate(i, -3600, 300 * 86400L); },
     "data.dat: is not signed by the local CA in ca.pem"},
    {"CertificateNotServed", true,
     [](const kt::Installation& i) {
       std::string output;
       ASSERT_EQ(kt::runProgram({KESTROVAN_PROVISION_EXE, "--force"}, i.home, &output), 0) << output;
     },
     "with a certificate the local CA did not sign: restart it after provisioning"},
    {"StoreWithoutOurCa", true,
     [](const kt::Installation& i) {
       std::string output;
       ASSERT_EQ(kt::runProgram({"certutil", "-D", "-d", "sql:" + i.home + "/.pki/nssdb", "-n", "NORTAKestrovan local CA"},
                                "", &output),
                 0)
           << output;
     },
     "/.pki/nssdb (Chromium, Chrome, Edge): does not trust the local CA"},
    {"KeyOthersMayRead", true,
     [](const kt::Installation& i) {
       std::string key;
       certificate(0, 86400, &key);
       ASSERT_TRUE(kt::writeFile(i.home + "/NORTAKestrovan/key.pem", key, 0644));
       ASSERT_EQ(chmod((i.home + "/NORTAKestrovan/key.pem").c_str(), 0644), 0);
     },
     "key.pem: mode 0644: others may read it"},
    // The service refuses to start without the user's own key: the doctor
    // says so, never that the built-in key is used instead.
    {"KeyMissing", false,
     [](const kt::Installation& i) { ASSERT_EQ(unlink((i.home + "/NORTAKestrovan/key.pem").c_str()), 0); },
     "key.pem: no key of this user's own: the service does not start without it"},
    // The service checks the key's folder too.
    {"KeyFolderOthersMayWrite", false,
     [](const kt::Installation& i) { ASSERT_EQ(chmod((i.home + "/NORTAKestrovan").c_str(), 0777), 0); },
     "can be written by group or others (mode 0777): the service refuses it and does not start"},
    // A certificate for the key built into the program: the service uses
    // that key, with or without a key file.
    {"CertificateForTheBuiltInKey", false,
     [](const kt::Installation& i) {
       std::string pem = kt::certificateFor(KestrovanKeyMaterial_publicKey, 300, nullptr);
       ASSERT_FALSE(pem.empty());
       ASSERT_TRUE(kt::writeFile(i.certFile, pem));
       ASSERT_EQ(unlink((i.home + "/NORTAKestrovan/key.pem").c_str()), 0);
     },
     "data.dat certifies the key built into the program, which every installation of it shares: the service uses "
     "that key"},
    // The adapter refuses every site of a list another user may write.
    {"AllowListOthersMayWrite", true,
     [](const kt::Installation& i) { writeAllowList(i, "https://bank.example\n", 0666); },
     "allowed-origins: may be written by another user: the PKI adapter refuses every site"},
    // The list's grammar is the adapter's: ";" separates, "#" comments.
    {"AllowListSeparatorsAndComments", true,
     [](const kt::Installation& i) {
       writeAllowList(i, "# the bank\nhttps://bank.example; https://*.shop.example # and shops\n;\n", 0600);
     },
     "allowed-origins: the PKI adapter serves https://bank.example, https://*.shop.example\n", 0},
    // Libraries are found by the platform's suffix.
    {"LibraryThatIsNoAdapter", true,
     [](const kt::Installation& i) {
       ASSERT_TRUE(kt::writeFile(i.bin + "/NORTA/NotAnAdapter" KESTROVAN_ADAPTER_SUFFIX, "not a library"));
     },
     "/NORTA/NotAnAdapter" KESTROVAN_ADAPTER_SUFFIX ": "},
};

class DoctorFinds : public Doctor, public ::testing::WithParamInterface<Trouble> {};

TEST_P(DoctorFinds, TheProblemWithItsLineAndStatusOne) {
  if (GetParam().serviceRunning)
    startService();
  GetParam().make(installation);
  ASSERT_FALSE(HasFatalFailure());
  std::string output;
  EXPECT_EQ(doctor(&output), GetParam().status) << output;
  EXPECT_NE(output.find(GetParam().line), std::string::npos) << output;
  if (GetParam().status == 1)
    EXPECT_NE(output.find(" found (lines marked PROBLEM)."), std::string::npos) << output;
  else
    EXPECT_NE(output.find("No problem found."), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Problems, DoctorFinds, ::testing::ValuesIn(kTroubles),
                         [](const ::testing::TestParamInfo<Trouble>& info) { return std::string(info.param.name); });

// A program of another user on one port: the report names its uid (the
// service has the other ports).
TEST_F(Doctor, APortHeldByAnotherUsersProgramIsNamed) {
  if (geteuid() != 0)
    GTEST_SKIP() << "making a socket of another uid needs root";
  ForeignListener foreign(56559);
  ASSERT_GT(foreign.pid, 0);
  startService(false);
  std::string output;
  EXPECT_EQ(doctor(&output), 1) << output;
  EXPECT_NE(output.find("PROBLEM  service     127.0.0.1:56559: held by another program: uid 65534"), std::string::npos)
      << output;
  EXPECT_NE(output.find("process " + std::to_string(foreign.pid)), std::string::npos) << output;
  EXPECT_NE(output.find("ok       service     127.0.0.1:56459: the service answers"), std::string::npos) << output;
}

// --json: one object a machine reads, with the verdict and every line.
TEST_F(Doctor, JsonIsOneValidObjectWithTheVerdict) {
  std::string output;
  EXPECT_EQ(doctor(&output, true), 1) << output;
  jsmn_parser parser;
  jsmn_init(&parser);
  std::vector<jsmntok_t> tokens(4096);
  int count = jsmn_parse(&parser, output.data(), output.size(), tokens.data(), (unsigned)tokens.size());
  ASSERT_GT(count, 0) << output;
  EXPECT_EQ(tokens[0].type, JSMN_OBJECT);
  EXPECT_EQ((size_t)tokens[0].end, output.find_last_not_of("\n") + 1) << "one object, nothing after it";
  EXPECT_EQ(output.rfind("{\"ok\": false, \"problems\": 1, ", 0), 0u) << output;
  EXPECT_NE(output.find("{\"area\": \"service\", \"subject\": \"NORTAKestrovan\", \"status\": \"PROBLEM\", "
                        "\"text\": \"not running: start it"),
            std::string::npos)
      << output;
}

}  // namespace
