// SPDX-License-Identifier: Apache-2.0
// helm_cades_test.cpp -- signature levels through the built adapter (dlopen,
// the SoftHSM2 token and key files of make_fixtures.sh), with timestamp
// authorities on loopback (tsa_server.py around `openssl ts -reply`, the PKI
// of make_cades_fixtures.sh). What the adapter makes is judged by openssl:
// `cms -verify -cades` (signature, attributes, the ESS certificate hash) and
// `ts -verify` (the timestamp over the signature value).
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "adapters_pki/helm_test_support.h"

using namespace helmtest;

namespace {

const char kBank[] = "https://bank.example";
// Where the test PKI's certificates find their CRL and their OCSP responder.
const char kCrlPort[] = "58612";
const char kOcspPort[] = "58611";

class HelmCadesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = new TempFolder();
    home_ = makeHome(temp_->path());
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    setenv("SOFTHSM2_CONF", (std::string(HELM_FIXTURE_DIR) + "/softhsm2.conf").c_str(), 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    writeFile(configFolder(home_) + "/allowed-origins", std::string(kBank) + "\n");
    // Each suite of this file starts its own authorities (and, on the fixed
    // port the certificates name, the CRL server), Debian's python3.
    std::string portFile = temp_->path() + "/tsa.port";
    port_.clear();
    server_ = fork();
    if (server_ == 0) {
      execl("/usr/bin/python3", "python3", HELM_TSA_SERVER, HELM_CADES_FIXTURE_DIR, portFile.c_str(), kCrlPort,
            (char*)nullptr);
      _exit(127);
    }
    for (int i = 0; i < 200 && port_.empty(); i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      port_ = readFile(portFile);
    }
  }
  static void TearDownTestSuite() {
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
      server_ = -1;
    }
    delete temp_;
    temp_ = nullptr;
  }
  void SetUp() override {
    ASSERT_FALSE(port_.empty()) << "the timestamp authorities did not start";
    adapter_ = std::make_unique<Adapter>();
    ASSERT_EQ(adapter_->unlock(kBank), "0");
  }
  void TearDown() override {
    adapter_->release();
    adapter_.reset();
  }

  static std::string cades(const std::string& name) { return std::string(HELM_CADES_FIXTURE_DIR) + "/" + name; }
  static std::string fixture(const std::string& name) { return std::string(HELM_FIXTURE_DIR) + "/" + name; }
  std::string work(const std::string& name) { return temp_->path() + "/" + name; }
  static std::string url(const std::string& path) { return "http://127.0.0.1:" + port_ + path; }

  // The user's settings: the page may send the PIN; the authorities (paths
  // of the local server, or full URLs), their timeout and trusted roots.
  void settings(const std::vector<std::string>& authorities, unsigned timeout = 5, const std::string& more = "") {
    // The test PKI's services listen on loopback; a later line of more
    // may refuse that again.
    std::string text = std::string("page-pin-origins = ") + kBank + "\nrevocation-private-networks = allow\n" + more;
    if (!authorities.empty()) {
      text += "tsa-urls =";
      for (const std::string& a : authorities) text += " " + (a[0] == '/' ? url(a) : a);
      text += "\ntsa-timeout = " + std::to_string(timeout) + "\ntsa-trust = " + cades("root.crt") + "\n";
    }
    writeFile(configFolder(home_) + "/helm.conf", text);
  }

  std::string idOf(const std::string& commonName) {
    Json list = adapter_->page("ListCertificates", {{"all", "true"}});
    for (const Json& c : list["certificates"].items) {
      if (c["commonName"].text == commonName) return c["id"].text;
    }
    ADD_FAILURE() << "no certificate " << commonName;
    return std::string();
  }

  Json sign(const std::string& commonName, const std::string& pin, const std::string& data, Params extra) {
    Params p = {{"id", idOf(commonName)}, {"pin", pin}};
    addBytes(&p, "data", data);
    p.insert(p.end(), extra.begin(), extra.end());
    return adapter_->page("SignCms", p);
  }

  // openssl cms -verify, with the ESS signing-certificate(-v2) check.
  CommandResult opensslVerify(const std::string& cms, const std::string& content, bool detached) {
    writeFile(work("sig.der"), cms);
    writeFile(work("content.bin"), content);
    std::string command = "openssl cms -verify -cades -binary -inform DER -in " + quote(work("sig.der")) +
                          " -CAfile " + quote(fixture("ca.crt")) + " -out " + quote(work("verified.bin"));
    if (detached) command += " -content " + quote(work("content.bin"));
    return run(command);
  }

  static TempFolder* temp_;
  static std::string home_;
  static std::string port_;
  static pid_t server_;
  std::unique_ptr<Adapter> adapter_;
};

TempFolder* HelmCadesTest::temp_ = nullptr;
std::string HelmCadesTest::home_;
std::string HelmCadesTest::port_;
pid_t HelmCadesTest::server_ = -1;

// The signature value and the signature-time-stamp token of the first
// signer, read with OpenSSL's parser (only to hand them to `openssl ts`).
struct Stamped {
  std::string signature;
  std::string token;
  int tokens = 0;
};

Stamped readStamped(const std::string& der) {
  Stamped out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, (long)der.size());
  if (cms == nullptr) return out;
  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
  ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(si);
  out.signature.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)), ASN1_STRING_length(value));
  int at = -1;
  while ((at = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, at)) >= 0) {
    out.tokens++;
    ASN1_TYPE* any = X509_ATTRIBUTE_get0_type(CMS_unsigned_get_attr(si, at), 0);
    if (any != nullptr && any->type == V_ASN1_SEQUENCE) {
      out.token.assign(reinterpret_cast<const char*>(any->value.sequence->data), any->value.sequence->length);
    }
  }
  CMS_ContentInfo_free(cms);
  return out;
}

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[32];
  EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_sha256(), nullptr);
  return hex(std::string(reinterpret_cast<char*>(digest), sizeof digest));
}

// ---- signing at a level ---------------------------------------------------------

struct LevelCase {
  const char* name;
  const char* commonName;
  const char* pin;
  bool attached;
  const char* level;                       // null: the default
  std::vector<std::string> authorities;    // tsa-urls, paths of the local server
  unsigned timeout;
  long code;                               // expected answer code
  const char* levelOrMessage;              // the level answered, or a part of the error message
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.name; }

class HelmCadesLevelTest : public HelmCadesTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(HelmCadesLevelTest, SignsAtTheLevelOrSaysWhatIsMissing) {
  const LevelCase& c = GetParam();
  settings(c.authorities, c.timeout);
  writeFile(work("tsa.port.hits"), "");
  std::string data("Contract 7\n\0\xff binary", 20);
  Params extra = {{"attached", c.attached ? "true" : "false"}};
  if (c.level != nullptr) extra.emplace_back("level", c.level);
  Json answer = sign(c.commonName, c.pin, data, extra);
  ASSERT_EQ(answer.code(), c.code) << answer["message"].text;
  if (c.code != 0) {
    EXPECT_NE(answer["message"].text.find(c.levelOrMessage), std::string::npos) << answer["message"].text;
    EXPECT_FALSE(answer.has("cms"));
    return;
  }
  EXPECT_EQ(answer["level"].text, c.levelOrMessage);
  std::string cms = unbase64(answer["cms"].text);
  CommandResult verdict = opensslVerify(cms, data, !c.attached);
  EXPECT_EQ(verdict.status, 0) << verdict.output;
  EXPECT_EQ(readFile(work("verified.bin")), data);

  // The B-B attributes, as openssl prints them.
  CommandResult dump = run("openssl cms -cmsout -print -inform DER -in " + quote(work("sig.der")));
  for (const char* attribute : {"contentType", "messageDigest", "signingTime", "id-smime-aa-signingCertificateV2"}) {
    EXPECT_NE(dump.output.find(attribute), std::string::npos) << attribute << "\n" << dump.output;
  }
  // Tampered content fails.
  if (!c.attached) {
    std::string tampered = data;
    tampered[0] ^= 1;
    EXPECT_NE(opensslVerify(cms, tampered, true).status, 0);
  }

  // A second opinion from pkijs, which shares no code with the adapter or
  // with openssl.
  writeFile(work("original.bin"), data);
  writeFile(work("sig.der"), cms);
  CommandResult second = run(std::string(HELM_NODE) + " " + quote(HELM_CADES_CHECK) + " " + quote(work("sig.der")) +
                             " " + quote(work("original.bin")));
  ASSERT_EQ(second.status, 0) << second.output;
  Json opinion = parseJson(second.output);
  EXPECT_TRUE(opinion["signatureVerified"].boolean) << second.output;
  EXPECT_TRUE(opinion["messageDigestMatches"].boolean) << second.output;
  EXPECT_TRUE(opinion["essHashMatches"].boolean) << second.output;

  Stamped stamped = readStamped(cms);
  if (std::string(c.levelOrMessage) == "B-B") {
    EXPECT_EQ(stamped.tokens, 0);
    EXPECT_FALSE(opinion.has("timestampVerified"));
    return;
  }
  EXPECT_TRUE(opinion["timestampVerified"].boolean) << second.output;
  EXPECT_TRUE(opinion["timestampImprintMatches"].boolean) << second.output;
  // B-T: one token, over the signature value, from the trusted authority.
  ASSERT_EQ(stamped.tokens, 1);
  writeFile(work("token.der"), stamped.token);
  CommandResult ts = run("openssl ts -verify -token_in -in " + quote(work("token.der")) + " -digest " +
                         sha256Hex(stamped.signature) + " -CAfile " + quote(cades("root.crt")) + " -untrusted " +
                         quote(cades("tsa-chain.pem")));
  EXPECT_EQ(ts.status, 0) << ts.output;
  EXPECT_NE(ts.output.find("Verification: OK"), std::string::npos) << ts.output;
  // Over anything else, it fails.
  CommandResult other = run("openssl ts -verify -token_in -in " + quote(work("token.der")) + " -digest " +
                            sha256Hex(stamped.signature + "x") + " -CAfile " + quote(cades("root.crt")) +
                            " -untrusted " + quote(cades("tsa-chain.pem")));
  EXPECT_NE(other.status, 0) << other.output;
  EXPECT_NE(answer["timestampAuthority"].text.find("Cades Test TSA"), std::string::npos);
  EXPECT_EQ(answer["timestampTime"].text.size(), 20u);
  EXPECT_EQ(answer["timestampUrl"].text, url(c.authorities.back()));
}

const LevelCase kLevelCases[] = {
    {"DefaultIsBbTokenRsa", "Token Signer", "1234", false, nullptr, {}, 5, 0, "B-B"},
    {"BbTokenEcAttached", "Token EC Signer", "1234", true, "B-B", {}, 5, 0, "B-B"},
    {"BbFileEc", "Soft Signer", "5678", false, "b-b", {}, 5, 0, "B-B"},
    {"BbFileRsaAttached", "Plain Signer", "abcd", true, "B-B", {}, 5, 0, "B-B"},
    {"BtTokenRsa", "Token Signer", "1234", false, "B-T", {"/good"}, 5, 0, "B-T"},
    {"BtFileEcAttached", "Soft Signer", "5678", true, "B-T", {"/good"}, 5, 0, "B-T"},
    {"BtFailsOverToTheNextAuthority", "Token EC Signer", "1234", false, "B-T", {"/error500", "/garbage", "/good"}, 5, 0,
     "B-T"},
    {"BtWithoutAuthority", "Token Signer", "1234", false, "B-T", {}, 5, 71031, "tsa-urls"},
    {"BtHttp500", "Token Signer", "1234", false, "B-T", {"/error500"}, 5, 71032, "HTTP 500"},
    {"BtNobodyListens", "Token Signer", "1234", false, "B-T", {"http://127.0.0.1:9/"}, 2, 71032, "127.0.0.1:9"},
    {"BtTimeout", "Token Signer", "1234", false, "B-T", {"/slow"}, 1, 71032, "/slow"},
    {"BtRejected", "Token Signer", "1234", false, "B-T", {"/reject"}, 5, 71033, "refused"},
    {"BtWrongImprint", "Token Signer", "1234", false, "B-T", {"/imprint"}, 5, 71034, "imprint"},
    {"BtWrongNonce", "Token Signer", "1234", false, "B-T", {"/nonce"}, 5, 71034, "nonce"},
    {"BtEkuNotCritical", "Token Signer", "1234", false, "B-T", {"/noncrit"}, 5, 71034, "critical timeStamping"},
    {"BtUntrustedAuthority", "Token Signer", "1234", false, "B-T", {"/stranger"}, 5, 71034, "verify"},
    {"BtGarbage", "Token Signer", "1234", false, "B-T", {"/garbage"}, 5, 71034, "not a timestamp response"},
    {"BltaNotReached", "Token Signer", "1234", false, "B-LTA", {"/good"}, 5, 71030, "archive timestamp"},
    {"UnknownLevel", "Token Signer", "1234", false, "B-X", {}, 5, 71001, "level"},
};

INSTANTIATE_TEST_SUITE_P(Cases, HelmCadesLevelTest, ::testing::ValuesIn(kLevelCases),
                         [](const ::testing::TestParamInfo<LevelCase>& info) { return std::string(info.param.name); });

// The authorities come from the settings alone: a page naming one is not heard.
TEST_F(HelmCadesTest, APageCannotNameTheAuthority) {
  settings({"/good"});
  writeFile(work("tsa.port.hits"), "");
  Json answer = sign("Token Signer", "1234", "text", {{"level", "B-T"}, {"tsa-urls", url("/stranger")},
                                                       {"tsaUrl", url("/stranger")}});
  ASSERT_EQ(answer.code(), 0) << answer["message"].text;
  EXPECT_EQ(answer["timestampUrl"].text, url("/good"));
  EXPECT_EQ(readFile(work("tsa.port.hits")), "/good\n");
}

// ---- verification as a validator judges ------------------------------------------

enum class Made { ByAdapterBb, ByAdapterBt, OpensslPlain, OpensslCades, OpensslExpired };

struct VerifyCase {
  const char* name;
  Made made;
  const char* change;        // "" / "data" (content changed) / "signature" (a byte of the signature value)
  const char* anchors;       // fixture file with the trust anchors
  long code;
  const char* indication;
  const char* subIndication;
  const char* level;         // null on errors
};

void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }

class HelmCadesVerifyTest : public HelmCadesTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(HelmCadesVerifyTest, AnswersTheIndicationAndTheLevelFound) {
  const VerifyCase& c = GetParam();
  settings({"/good"});
  const std::string data = "Order 12: 3 crates";
  std::string cms;
  std::string commonName = "Token Signer";
  if (c.made == Made::ByAdapterBb || c.made == Made::ByAdapterBt) {
    Json made = sign("Token Signer", "1234", data, {{"level", c.made == Made::ByAdapterBt ? "B-T" : "B-B"}});
    ASSERT_EQ(made.code(), 0) << made["message"].text;
    cms = unbase64(made["cms"].text);
  } else {
    const char* key = c.made == Made::OpensslExpired ? "expired" : "soft";
    commonName = c.made == Made::OpensslExpired ? "Expired Signer" : "Soft Signer";
    writeFile(work("data.bin"), data);
    CommandResult made = run(std::string("openssl cms -sign -binary -outform DER -md sha256 ") +
                             (c.made == Made::OpensslPlain ? "" : "-cades ") + "-in " + quote(work("data.bin")) +
                             " -signer " + quote(fixture(std::string("keys/") + key + ".crt")) + " -inkey " +
                             quote(fixture(std::string("keys/") + key + ".key")) + " -out " + quote(work("made.der")));
    ASSERT_EQ(made.status, 0) << made.output;
    cms = readFile(work("made.der"));
  }
  std::string content = data;
  if (std::string(c.change) == "data") content[0] ^= 1;
  if (std::string(c.change) == "signature") {
    std::string value = readStamped(cms).signature;
    size_t at = cms.find(value);
    ASSERT_NE(at, std::string::npos);
    cms[at + value.size() / 2] ^= 0x01;
  }
  Params p = {{"trustAnchors", readFile(fixture(c.anchors))}};
  addBytes(&p, "cms", cms);
  addBytes(&p, "data", content);
  Json answer = adapter_->page("VerifyCms", p);
  ASSERT_EQ(answer.code(), c.code) << answer["message"].text;
  EXPECT_EQ(answer["indication"].text, c.indication);
  EXPECT_EQ(answer["subIndication"].text, c.subIndication);
  if (c.code != 0) return;
  EXPECT_EQ(answer["level"].text, c.level);
  const Json& signer = answer["signers"][0];
  // The members pages have relied on, and the new ones.
  EXPECT_EQ(signer["commonName"].text, commonName);
  EXPECT_EQ(signer["signingTime"].text.size(), 20u);
  EXPECT_FALSE(signer["certificate"].text.empty());
  EXPECT_EQ(signer["indication"].text, c.indication);
  EXPECT_EQ(signer["level"].text, c.level);
  EXPECT_EQ(signer["claimedSigningTime"].text, signer["signingTime"].text);
  if (std::string(c.level) == "B-T") {
    EXPECT_EQ(signer["timestamps"].number, 1);
    EXPECT_EQ(signer["timestampTime"].text.size(), 20u);
    EXPECT_NE(signer["timestampAuthority"].text.find("Cades Test TSA"), std::string::npos);
    EXPECT_TRUE(signer["essCertificateMatch"].boolean);
  } else {
    EXPECT_FALSE(signer.has("timestampTime"));
  }
}

const VerifyCase kVerifyCases[] = {
    {"AdapterBb", Made::ByAdapterBb, "", "ca.crt", 0, "TOTAL_PASSED", "", "B-B"},
    {"AdapterBt", Made::ByAdapterBt, "", "ca.crt", 0, "TOTAL_PASSED", "", "B-T"},
    {"OpensslCadesIsBb", Made::OpensslCades, "", "ca.crt", 0, "TOTAL_PASSED", "", "B-B"},
    {"PlainCmsHasNoLevel", Made::OpensslPlain, "", "ca.crt", 0, "TOTAL_PASSED", "", "none"},
    {"ChangedDataIsHashFailure", Made::ByAdapterBt, "data", "ca.crt", 71013, "TOTAL_FAILED", "HASH_FAILURE", nullptr},
    {"ChangedSignatureIsCryptoFailure", Made::ByAdapterBb, "signature", "ca.crt", 71013, "TOTAL_FAILED",
     "SIG_CRYPTO_FAILURE", nullptr},
    {"OtherAnchorsNoChain", Made::ByAdapterBt, "", "other-ca.crt", 71014, "INDETERMINATE",
     "NO_CERTIFICATE_CHAIN_FOUND", nullptr},
    {"ExpiredWithoutTimestampIsOutOfBounds", Made::OpensslExpired, "", "ca.crt", 71014, "INDETERMINATE",
     "OUT_OF_BOUNDS_NO_POE", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, HelmCadesVerifyTest, ::testing::ValuesIn(kVerifyCases),
                         [](const ::testing::TestParamInfo<VerifyCase>& info) { return std::string(info.param.name); });

// ---- revocation: the certificates' own OCSP responder and CRL ---------------------

// openssl ocsp on the port the test certificates name, answering from an
// index the test writes (the intermediate's delegated responder signs).
// Ready once it says so in its log: a probing connection would be taken
// for a request.
class OcspResponder {
 public:
  OcspResponder(const std::string& index, const std::string& log) {
    pid_ = fork();
    if (pid_ == 0) {
      int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(out, 2);
      std::string ca = std::string(HELM_CADES_FIXTURE_DIR) + "/intermediate.crt";
      std::string signer = std::string(HELM_CADES_FIXTURE_DIR) + "/ocsp.crt";
      std::string key = std::string(HELM_CADES_FIXTURE_DIR) + "/ocsp.key";
      execlp("openssl", "openssl", "ocsp", "-index", index.c_str(), "-port", kOcspPort, "-rsigner", signer.c_str(),
             "-rkey", key.c_str(), "-CA", ca.c_str(), (char*)nullptr);
      _exit(127);
    }
    for (int i = 0; i < 100 && !ready_; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ready_ = readFile(log).find("waiting for OCSP client connections") != std::string::npos;
    }
  }
  bool ready() const { return ready_; }
  ~OcspResponder() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  // Whether anything listens there (asked only where nothing should).
  static bool listening() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)atoi(kOcspPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return up;
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// A time as the index of `openssl ca` writes it.
std::string indexTime(time_t when) {
  char text[32];
  struct tm t;
  gmtime_r(&when, &t);
  strftime(text, sizeof text, "%y%m%d%H%M%SZ", &t);
  return text;
}

enum class Ocsp { Down, Good, RevokedBefore, RevokedAfter, Unknown };

struct RevocationCase {
  const char* name;
  const char* signer;        // file in the cades fixture's keys/ (password 2468)
  const char* commonName;
  const char* level;
  Ocsp ocsp;
  bool crlDown;
  long code;
  const char* subIndication;  // "" when passed
  const char* status;         // the signer's revocation in the answer (passed cases)
  const char* source;
};

void PrintTo(const RevocationCase& c, std::ostream* os) { *os << c.name; }

class HelmCadesRevocationTest : public HelmCadesTest, public ::testing::WithParamInterface<RevocationCase> {};

TEST_P(HelmCadesRevocationTest, JudgesRevocationAgainstTheTimestamp) {
  const RevocationCase& c = GetParam();
  settings({"/good"});
  run("cp " + quote(cades(std::string("keys/") + c.signer + ".p12")) + " " + quote(configFolder(home_) + "/keys/"));
  run("chmod 600 " + quote(configFolder(home_) + "/keys/" + c.signer + ".p12"));
  std::string crlDown = work("tsa.port.crl-down");
  if (c.crlDown) writeFile(crlDown, "down");
  else unlink(crlDown.c_str());

  std::string serial = std::string(c.signer) == "good" ? "30" : std::string(c.signer) == "revoked" ? "31" : "32";
  std::string expiry = indexTime(time(nullptr) + 86400 * 30);
  if (c.ocsp == Ocsp::RevokedBefore) {
    writeFile(work("index.txt"), "R\t" + expiry + "\t" + indexTime(time(nullptr) - 60) + "\t" + serial +
                                     "\tunknown\t/CN=x\n");
  }
  const std::string data = "Lease, signed";
  Json made = sign(c.commonName, "2468", data, {{"level", c.level}});
  ASSERT_EQ(made.code(), 0) << made["message"].text;
  if (c.ocsp == Ocsp::RevokedAfter) {
    // Revoked a second after the signature was made (and stamped).
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    writeFile(work("index.txt"), "R\t" + expiry + "\t" + indexTime(time(nullptr)) + "\t" + serial +
                                     "\tunknown\t/CN=x\n");
  } else if (c.ocsp == Ocsp::Good) {
    writeFile(work("index.txt"), "V\t" + expiry + "\t\t" + serial + "\tunknown\t/CN=x\n");
  } else if (c.ocsp == Ocsp::Unknown) {
    writeFile(work("index.txt"), "V\t" + expiry + "\t\t7777\tunknown\t/CN=x\n");
  }
  std::unique_ptr<OcspResponder> responder;
  if (c.ocsp != Ocsp::Down) {
    responder = std::make_unique<OcspResponder>(work("index.txt"), work("ocsp.log"));
    ASSERT_TRUE(responder->ready()) << readFile(work("ocsp.log"));
  } else {
    ASSERT_FALSE(OcspResponder::listening());
  }

  Params p = {{"trustAnchors", readFile(cades("root.crt")) + readFile(cades("intermediate.crt"))}};
  addBytes(&p, "cms", unbase64(made["cms"].text));
  addBytes(&p, "data", data);
  Json answer = adapter_->page("VerifyCms", p);
  ASSERT_EQ(answer.code(), c.code) << answer["message"].text;
  EXPECT_EQ(answer["subIndication"].text, c.subIndication);
  if (c.code != 0) {
    EXPECT_EQ(answer["indication"].text, "INDETERMINATE");
    return;
  }
  EXPECT_EQ(answer["indication"].text, "TOTAL_PASSED");
  const Json& signer = answer["signers"][0];
  ASSERT_GE(signer["chain"].items.size(), 1u) << answer["message"].text;
  const Json& own = signer["chain"][0];
  EXPECT_NE(own["subject"].text.find(c.commonName), std::string::npos);
  EXPECT_EQ(own["revocation"].text, c.status);
  EXPECT_EQ(own["revocationSource"].text, c.source);
  if (std::string(c.status) == "revoked") {
    EXPECT_GT(own["revokedAt"].text, signer["timestampTime"].text);
  }
}

const RevocationCase kRevocationCases[] = {
    {"GoodByOcsp", "good", "Cades Good Signer", "B-T", Ocsp::Good, false, 0, "", "good", "ocsp"},
    {"RevokedAfterTheTimestampPasses", "good", "Cades Good Signer", "B-T", Ocsp::RevokedAfter, false, 0, "",
     "revoked", "ocsp"},
    {"RevokedBeforeTheTimestampFails", "good", "Cades Good Signer", "B-T", Ocsp::RevokedBefore, false, 71035,
     "REVOKED_NO_POE", nullptr, nullptr},
    {"RevokedWithoutTimestampFails", "good", "Cades Good Signer", "B-B", Ocsp::RevokedAfter, false, 71035,
     "REVOKED_NO_POE", nullptr, nullptr},
    {"ResponderDownCrlGood", "good", "Cades Good Signer", "B-T", Ocsp::Down, false, 0, "", "good", "crl"},
    {"ResponderDownCrlRevoked", "revoked", "Cades Revoked Signer", "B-T", Ocsp::Down, false, 71035,
     "REVOKED_NO_POE", nullptr, nullptr},
    {"CrlOnly", "crlonly", "Cades CRL Signer", "B-B", Ocsp::Down, false, 0, "", "good", "crl"},
    {"UnknownToOcspCrlDownTryLater", "good", "Cades Good Signer", "B-T", Ocsp::Unknown, true, 71036, "TRY_LATER",
     nullptr, nullptr},
    {"NobodyAnswersTryLater", "good", "Cades Good Signer", "B-T", Ocsp::Down, true, 71036, "TRY_LATER", nullptr,
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, HelmCadesRevocationTest, ::testing::ValuesIn(kRevocationCases),
                         [](const ::testing::TestParamInfo<RevocationCase>& info) {
                           return std::string(info.param.name);
                         });

// By default a certificate's services on loopback (or any private network)
// are not asked at all (the connection is refused before it is made): a
// page that hands in a certificate naming them gets TRY_LATER.
TEST_F(HelmCadesTest, CertificateServicesOnPrivateNetworksAreNotAskedByDefault) {
  settings({"/good"}, 5, "revocation-private-networks = refuse\n");
  run("cp " + quote(cades("keys/good.p12")) + " " + quote(configFolder(home_) + "/keys/"));
  run("chmod 600 " + quote(configFolder(home_) + "/keys/good.p12"));
  const std::string data = "Lease, signed";
  Json made = sign("Cades Good Signer", "2468", data, {{"level", "B-T"}});
  ASSERT_EQ(made.code(), 0) << made["message"].text;
  writeFile(work("index.txt"), "V\t" + indexTime(time(nullptr) + 86400 * 30) + "\t\t30\tunknown\t/CN=x\n");
  OcspResponder responder(work("index.txt"), work("ocsp.log"));
  ASSERT_TRUE(responder.ready()) << readFile(work("ocsp.log"));

  Params p = {{"trustAnchors", readFile(cades("root.crt")) + readFile(cades("intermediate.crt"))}};
  addBytes(&p, "cms", unbase64(made["cms"].text));
  addBytes(&p, "data", data);
  Json answer = adapter_->page("VerifyCms", p);
  EXPECT_EQ(answer.code(), 71036) << answer["message"].text;
  EXPECT_EQ(answer["subIndication"].text, "TRY_LATER");
  EXPECT_NE(answer["message"].text.find("revocation-private-networks"), std::string::npos) << answer["message"].text;

  // Allowed by the settings (an intranet's own PKI): asked, and good.
  settings({"/good"});
  answer = adapter_->page("VerifyCms", p);
  EXPECT_EQ(answer.code(), 0) << answer["message"].text;
}

// ---- B-LT: the chains and their CRLs in the signature -------------------------------

class HelmCadesLongTermTest : public HelmCadesTest {
 protected:
  void SetUp() override {
    HelmCadesTest::SetUp();
    for (const char* signer : {"good", "revoked"}) {
      run("cp " + quote(cades(std::string("keys/") + signer + ".p12")) + " " + quote(configFolder(home_) + "/keys/"));
      run("chmod 600 " + quote(configFolder(home_) + "/keys/" + signer + ".p12"));
    }
    settings({"/good"}, 5, "chain-certificates = " + cades("tsa-chain.pem") + "\n");
    unlink(work("tsa.port.crl-down").c_str());
  }
};

TEST_F(HelmCadesLongTermTest, CarriesTheChainsAndCrlsAndVerifiesWithoutTheNetwork) {
  const std::string data = "Deed of 2026";
  Json made = sign("Cades Good Signer", "2468", data, {{"level", "B-LT"}});
  ASSERT_EQ(made.code(), 0) << made["message"].text;
  EXPECT_EQ(made["level"].text, "B-LT");
  std::string cms = unbase64(made["cms"].text);
  // openssl finds the intermediate in the signature itself: only the root is given.
  writeFile(work("sig.der"), cms);
  writeFile(work("content.bin"), data);
  CommandResult verdict = run("openssl cms -verify -cades -binary -inform DER -in " + quote(work("sig.der")) +
                              " -content " + quote(work("content.bin")) + " -CAfile " + quote(cades("root.crt")) +
                              " -out /dev/null");
  EXPECT_EQ(verdict.status, 0) << verdict.output;
  CommandResult dump = run("openssl cms -cmsout -print -inform DER -in " + quote(work("sig.der")));
  EXPECT_NE(dump.output.find("Cades Test Intermediate"), std::string::npos);
  EXPECT_NE(dump.output.find("crls:"), std::string::npos) << dump.output;
  EXPECT_NE(dump.output.find("Cades Test TSA"), std::string::npos);

  // No responder, no CRL server: the signature's own CRL answers.
  writeFile(work("tsa.port.crl-down"), "down");
  ASSERT_FALSE(OcspResponder::listening());
  Params p = {{"trustAnchors", readFile(cades("root.crt"))}};
  addBytes(&p, "cms", cms);
  addBytes(&p, "data", data);
  Json answer = adapter_->page("VerifyCms", p);
  ASSERT_EQ(answer.code(), 0) << answer["message"].text;
  EXPECT_EQ(answer["level"].text, "B-LT");
  EXPECT_EQ(answer["indication"].text, "TOTAL_PASSED");
  EXPECT_EQ(answer["signers"][0]["chain"][0]["revocation"].text, "good");
  EXPECT_EQ(answer["signers"][0]["chain"][0]["revocationSource"].text, "embedded");
}

TEST_F(HelmCadesLongTermTest, ALevelWithoutItsDataIsAnError) {
  // The CRL cannot be fetched.
  writeFile(work("tsa.port.crl-down"), "down");
  Json down = sign("Cades Good Signer", "2468", "x", {{"level", "B-LT"}});
  EXPECT_EQ(down.code(), 71030);
  EXPECT_NE(down["message"].text.find("CRL"), std::string::npos) << down["message"].text;
  EXPECT_FALSE(down.has("cms"));
  unlink(work("tsa.port.crl-down").c_str());
  // The signer is on its CRL.
  Json revoked = sign("Cades Revoked Signer", "2468", "x", {{"level", "B-LT"}});
  EXPECT_EQ(revoked.code(), 71030);
  EXPECT_NE(revoked["message"].text.find("revoked"), std::string::npos) << revoked["message"].text;
  // The chain cannot be completed: the token signer's CA is not in chain-certificates.
  Json noChain = sign("Token Signer", "1234", "x", {{"level", "B-LT"}});
  EXPECT_EQ(noChain.code(), 71030);
  EXPECT_NE(noChain["message"].text.find("chain"), std::string::npos) << noChain["message"].text;
}

// ---- ExtendCms: a signature raised later, without its key ----------------------------

TEST_F(HelmCadesLongTermTest, ExtendCmsRaisesBbToBtAndThenToBlt) {
  const std::string data = "Minutes of the meeting";
  Json made = sign("Cades Good Signer", "2468", data, {{"level", "B-B"}});
  ASSERT_EQ(made.code(), 0) << made["message"].text;
  std::string bb = unbase64(made["cms"].text);

  Params toBt;
  addBytes(&toBt, "cms", bb);
  Json bt = adapter_->page("ExtendCms", toBt);  // B-T when no level is named
  ASSERT_EQ(bt.code(), 0) << bt["message"].text;
  EXPECT_EQ(bt["level"].text, "B-T");
  EXPECT_TRUE(bt["timestampAdded"].boolean);
  EXPECT_NE(bt["timestampAuthority"].text.find("Cades Test TSA"), std::string::npos);
  std::string btCms = unbase64(bt["cms"].text);
  Stamped stamped = readStamped(btCms);
  ASSERT_EQ(stamped.tokens, 1);
  EXPECT_EQ(stamped.signature, readStamped(bb).signature);  // the signature itself is untouched
  writeFile(work("token.der"), stamped.token);
  CommandResult ts = run("openssl ts -verify -token_in -in " + quote(work("token.der")) + " -digest " +
                         sha256Hex(stamped.signature) + " -CAfile " + quote(cades("root.crt")) + " -untrusted " +
                         quote(cades("tsa-chain.pem")));
  EXPECT_EQ(ts.status, 0) << ts.output;

  Params toBlt = {{"level", "B-LT"}};
  addBytes(&toBlt, "cms", btCms);
  Json blt = adapter_->page("ExtendCms", toBlt);
  ASSERT_EQ(blt.code(), 0) << blt["message"].text;
  EXPECT_EQ(blt["level"].text, "B-LT");
  EXPECT_FALSE(blt["timestampAdded"].boolean);
  std::string bltCms = unbase64(blt["cms"].text);
  EXPECT_EQ(readStamped(bltCms).token, stamped.token);  // the same timestamp, kept

  writeFile(work("sig.der"), bltCms);
  writeFile(work("content.bin"), data);
  CommandResult verdict = run("openssl cms -verify -cades -binary -inform DER -in " + quote(work("sig.der")) +
                              " -content " + quote(work("content.bin")) + " -CAfile " + quote(cades("root.crt")) +
                              " -out /dev/null");
  EXPECT_EQ(verdict.status, 0) << verdict.output;
  writeFile(work("tsa.port.crl-down"), "down");
  Params p = {{"trustAnchors", readFile(cades("root.crt"))}};
  addBytes(&p, "cms", bltCms);
  addBytes(&p, "data", data);
  Json answer = adapter_->page("VerifyCms", p);
  ASSERT_EQ(answer.code(), 0) << answer["message"].text;
  EXPECT_EQ(answer["level"].text, "B-LT");
  EXPECT_EQ(answer["indication"].text, "TOTAL_PASSED");
}

TEST_F(HelmCadesLongTermTest, ExtendCmsRefusesWhatItCannotRaise) {
  // Not B-B: openssl's signature without the ESS attribute.
  writeFile(work("data.bin"), "plain");
  CommandResult made = run("openssl cms -sign -binary -outform DER -md sha256 -in " + quote(work("data.bin")) +
                           " -signer " + quote(cades("good.crt")) + " -inkey " + quote(cades("good.key")) + " -out " +
                           quote(work("plain.der")));
  ASSERT_EQ(made.status, 0) << made.output;
  Params plain;
  addBytes(&plain, "cms", readFile(work("plain.der")));
  Json notBb = adapter_->page("ExtendCms", plain);
  EXPECT_EQ(notBb.code(), 71030);
  EXPECT_NE(notBb["message"].text.find("not B-B"), std::string::npos) << notBb["message"].text;

  Params garbage;
  addBytes(&garbage, "cms", "not a signature at all");
  EXPECT_EQ(adapter_->page("ExtendCms", garbage).code(), 71015);

  // A signature whose value was changed is not stamped.
  Json signed_ = sign("Cades Good Signer", "2468", "text", {{"level", "B-B"}});
  ASSERT_EQ(signed_.code(), 0);
  std::string cms = unbase64(signed_["cms"].text);
  std::string value = readStamped(cms).signature;
  cms[cms.find(value) + 5] ^= 0x01;
  Params changed;
  addBytes(&changed, "cms", cms);
  writeFile(work("tsa.port.hits"), "");
  EXPECT_EQ(adapter_->page("ExtendCms", changed).code(), 71013);
  EXPECT_EQ(readFile(work("tsa.port.hits")), "");

  Params lta = {{"level", "B-LTA"}};
  addBytes(&lta, "cms", unbase64(signed_["cms"].text));
  EXPECT_EQ(adapter_->page("ExtendCms", lta).code(), 71030);
}

}  // namespace
