// SPDX-License-Identifier: Apache-2.0
// key_test.cpp -- the server key the real binary serves with: the user's own
// key file (the certificate of a real handshake is for it, on every
// listener, and differs between two homes); a key file that others may
// read, that another user owns or that lies in a folder others may write is
// refused with an error line and status 1; and a data.dat from an earlier
// installation, for the key built into the program, still starts, with a
// warning, until provisioning replaces it.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "certify.h"
#include "harness.h"
#include "service/key_material.h"

namespace {

using kt::Installation;
using kt::ServiceProcess;

const char* const kClose = R"({"FunctionName":"KestrovanClose","SessionId":""})";

std::string text(const std::string& path) {
  std::string out;
  kt::readFile(path, &out);
  return out;
}

std::string keyFile(const Installation& installation) {
  return installation.home + "/NORTAKestrovan/key.pem";
}

// Every one of the six listeners presents a certificate for want.
void expectServed(const std::string& want) {
  ASSERT_FALSE(want.empty());
  for (unsigned short port : kt::kPorts)
    for (bool ipv6 : {false, true})
      EXPECT_EQ(kt::publicKeyOf(kt::servedCertificate(port, ipv6)), want) << port << (ipv6 ? " IPv6" : " IPv4");
}

TEST(ServerKey, EachHomeIsServedWithItsOwnKey) {
  Installation a(KESTROVAN_SERVICE_EXE);
  Installation b(KESTROVAN_SERVICE_EXE);
  ASSERT_TRUE(a.ok && b.ok);
  std::string builtIn = kt::publicKeyOf(KestrovanKeyMaterial_publicKey);
  std::string keyA = kt::publicKeyOf(text(keyFile(a)));
  std::string keyB = kt::publicKeyOf(text(keyFile(b)));
  ASSERT_FALSE(keyA.empty());
  ASSERT_FALSE(keyB.empty());
  ASSERT_FALSE(builtIn.empty());
  EXPECT_NE(keyA, keyB);
  EXPECT_NE(keyA, builtIn);
  EXPECT_NE(keyB, builtIn);

  struct Run {
    const Installation& own;
    const std::string& key;
    const Installation& other;
  } runs[] = {{a, keyA, b}, {b, keyB, a}};
  for (const Run& run : runs) {
    ServiceProcess service;
    ASSERT_TRUE(service.start(run.own.exe, run.own.home));
    ASSERT_TRUE(service.waitFor("NORTAKestrovan initialization: Success", 60)) << service.output();
    expectServed(run.key);
    kt::HttpAnswer trusted = kt::post(run.own.caFile, kClose, "https://a.example");
    EXPECT_EQ(trusted.curlCode, 0);
    EXPECT_EQ(trusted.status, 200);
    // The other home's CA vouches for nothing this service has.
    kt::HttpAnswer foreign = kt::post(run.other.caFile, kClose, "https://a.example");
    EXPECT_EQ(foreign.curlCode, CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_EQ(service.stop(), 0);
    std::string output = service.output();
    EXPECT_EQ(kt::valueAfter(output, "Key filepath: "), keyFile(run.own));
    EXPECT_EQ(output.find("Server key"), std::string::npos) << output;
    EXPECT_EQ(output.find("PRIVATE KEY"), std::string::npos);
  }
}

struct KeyCase {
  const char* name;
  // Spoils the provisioned installation; false when this case cannot be set
  // up here.
  bool (*spoil)(const Installation& installation);
  const char* line;  // the error (or warning) line, or the part of it after the path
  bool refused;      // the key is refused (else the listeners refuse the pair)
};

void PrintTo(const KeyCase& c, std::ostream* out) {
  *out << c.name;
}

class ServerKeyRefused : public ::testing::TestWithParam<KeyCase> {};

// Nothing listens: the start ends with the error line, "getKey: Failed"
// and status 1, before any listener.
TEST_P(ServerKeyRefused, NoListenerStarts) {
  const KeyCase& c = GetParam();
  Installation installation(KESTROVAN_SERVICE_EXE);
  ASSERT_TRUE(installation.ok);
  if (!c.spoil(installation))
    GTEST_SKIP() << "needs root to give the file to another user";
  ServiceProcess service;
  ASSERT_TRUE(service.start(installation.exe, installation.home));
  EXPECT_EQ(service.waitExit(60), 1) << service.output();
  std::string output = service.output();
  EXPECT_NE(output.find(c.line), std::string::npos) << output;
  if (c.refused) {
    EXPECT_NE(output.find("Server key refused: "), std::string::npos) << output;
    EXPECT_NE(output.find("Exception: getKey: Failed"), std::string::npos) << output;
    EXPECT_EQ(output.find("launch state"), std::string::npos) << output;
  } else {
    EXPECT_NE(output.find("Exception: NORTAKestrovan initialization: Failed"), std::string::npos) << output;
  }
  EXPECT_NE(output.find("NORTAKestrovan terminated."), std::string::npos) << output;
}

bool readableByOthers(const Installation& i) {
  return chmod(keyFile(i).c_str(), 0644) == 0;
}
bool readableByGroup(const Installation& i) {
  return chmod(keyFile(i).c_str(), 0640) == 0;
}
bool writableByOthers(const Installation& i) {
  return chmod(keyFile(i).c_str(), 0602) == 0;
}
bool ownedByAnother(const Installation& i) {
  return geteuid() == 0 && chown(keyFile(i).c_str(), 65534, 65534) == 0;
}
bool folderWritableByOthers(const Installation& i) {
  return chmod((i.home + "/NORTAKestrovan").c_str(), 0777) == 0;
}
// The check is made on the file that is opened, not on a link to it.
bool linkToAnOpenFile(const Installation& i) {
  std::string open = i.root.path + "/open.pem";
  return kt::copyFile(keyFile(i), open, 0644) && unlink(keyFile(i).c_str()) == 0 &&
         symlink(open.c_str(), keyFile(i).c_str()) == 0;
}
bool missing(const Installation& i) {
  return unlink(keyFile(i).c_str()) == 0;
}
bool noKeyInIt(const Installation& i) {
  return kt::writeFile(keyFile(i), "not a key\n");
}
// A key of the user's own that data.dat does not certify: the listeners
// refuse the pair, and a warning says what to do.
bool anotherKeysCertificate(const Installation& i) {
  std::string cert = kt::certificateFor(text(i.caFile), 397, nullptr);
  return !cert.empty() && kt::writeFile(i.certFile, cert);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ServerKeyRefused,
    ::testing::Values(
        KeyCase{"ReadableByOthers", readableByOthers, "Server key refused: permissions 0644 for ", true},
        KeyCase{"ReadableByGroup", readableByGroup, "Server key refused: permissions 0640 for ", true},
        KeyCase{"WritableByOthers", writableByOthers, "Server key refused: permissions 0602 for ", true},
        KeyCase{"OwnedByAnotherUser", ownedByAnother, "key.pem is owned by uid 65534, not by uid 0", true},
        KeyCase{"FolderWritableByOthers", folderWritableByOthers,
                "NORTAKestrovan can be written by group or others (mode 0777)", true},
        KeyCase{"LinkToAnOpenFile", linkToAnOpenFile, "Server key refused: permissions 0644 for ", true},
        KeyCase{"Missing", missing, "key.pem: No such file or directory (NORTAKestrovanProvision makes it)", true},
        KeyCase{"NoKeyInIt", noKeyInIt, "key.pem holds no private key", true},
        KeyCase{"CertificateForAnotherKey", anotherKeysCertificate, "Server key: data.dat is no certificate for ",
                false}),
    [](const ::testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

// An installation from before the key of one's own: data.dat certifies the
// key built into the program (signed by that installation's CA) and there is
// no key file. It still starts, with a warning; provisioning replaces the
// certificate, and the next start serves the user's own key, which the old
// CA does not vouch for.
TEST(ServerKey, OlderCertificateForTheBuiltInKeyStartsWithAWarningUntilProvisionedAgain) {
  Installation installation(KESTROVAN_SERVICE_EXE);
  ASSERT_TRUE(installation.ok);
  std::string oldCa;
  std::string oldCert = kt::certificateFor(KestrovanKeyMaterial_publicKey, 397, &oldCa);
  ASSERT_FALSE(oldCert.empty());
  ASSERT_TRUE(kt::writeFile(installation.certFile, oldCert));
  ASSERT_TRUE(kt::writeFile(installation.caFile, oldCa, 0644));
  ASSERT_EQ(unlink(keyFile(installation).c_str()), 0);
  std::string oldCaFile = installation.root.path + "/old-ca.pem";
  ASSERT_TRUE(kt::writeFile(oldCaFile, oldCa, 0644));

  {
    ServiceProcess service;
    ASSERT_TRUE(service.start(installation.exe, installation.home));
    ASSERT_TRUE(service.waitFor("NORTAKestrovan initialization: Success", 60)) << service.output();
    expectServed(kt::publicKeyOf(KestrovanKeyMaterial_publicKey));
    kt::HttpAnswer answer = kt::post(oldCaFile, kClose, "https://a.example");
    EXPECT_EQ(answer.curlCode, 0);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(service.stop(), 0);
    std::string output = service.output();
    EXPECT_EQ(service.count("Server key: data.dat certifies the key built into the program, which every "
                            "installation of it shares; run NORTAKestrovanProvision --force to make a key of "
                            "your own"),
              1u)
        << output;
    EXPECT_EQ(output.find("Key filepath: "), std::string::npos) << output;
  }

  std::string provisioned;
  ASSERT_EQ(kt::runProgram({KESTROVAN_PROVISION_EXE}, installation.home, &provisioned), 0) << provisioned;
  EXPECT_NE(provisioned.find("for the key built into the program"), std::string::npos) << provisioned;
  std::string own = kt::publicKeyOf(text(keyFile(installation)));
  ASSERT_FALSE(own.empty());

  ServiceProcess service;
  ASSERT_TRUE(service.start(installation.exe, installation.home));
  ASSERT_TRUE(service.waitFor("NORTAKestrovan initialization: Success", 60)) << service.output();
  expectServed(own);
  EXPECT_EQ(kt::post(installation.caFile, kClose, "https://a.example").status, 200);
  EXPECT_EQ(kt::post(oldCaFile, kClose, "https://a.example").curlCode, CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(service.stop(), 0);
  EXPECT_EQ(service.output().find("Server key"), std::string::npos) << service.output();
}

}  // namespace
