// SPDX-License-Identifier: Apache-2.0
// helm_adapter_test.cpp -- the PKI adapter as the service sees it: the built
// HelmPKICryptAdapter.so loaded with dlopen and called through its entry
// point with parameter maps, against a real SoftHSM2 token and real PKCS #12
// files (make_fixtures.sh). What it signs is checked by openssl, never by the
// adapter itself.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "kestrovan/adapter.h"
#include "adapters_pki/helm_test_support.h"

using namespace helmtest;

namespace {

const char kBank[] = "https://bank.example";

class HelmAdapterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = new TempFolder();
    home_ = makeHome(temp_->path());
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    setenv("SOFTHSM2_CONF", (std::string(HELM_FIXTURE_DIR) + "/softhsm2.conf").c_str(), 1);
    writeFile(allowList(), std::string("# the bank\n") + kBank + "\n");
    // These tests send the PIN themselves, as a kiosk would, and sign with
    // the fixture's keys, which are for authentication by the default rules.
    // No dialog can be shown here (helm_dialog_test has the dialogs).
    writePagePinSettings(home_, kBank);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
  }
  static void TearDownTestSuite() {
    delete temp_;
    temp_ = nullptr;
  }
  void SetUp() override {
    adapter_ = std::make_unique<Adapter>();
    ASSERT_EQ(adapter_->unlock(kBank), "0");
  }
  void TearDown() override {
    adapter_->release();
    adapter_.reset();
  }

  static std::string allowList() { return configFolder(home_) + "/allowed-origins"; }
  static std::string fixture(const std::string& name) { return std::string(HELM_FIXTURE_DIR) + "/" + name; }
  std::string work(const std::string& name) { return temp_->path() + "/" + name; }

  // The id of the listed certificate with this common name.
  std::string idOf(const std::string& commonName) {
    Json list = adapter_->page("ListCertificates", {{"all", "true"}});
    for (const Json& c : list["certificates"].items) {
      if (c["commonName"].text == commonName) return c["id"].text;
    }
    ADD_FAILURE() << "no certificate " << commonName << " in " << adapter_->call("ListCertificates", {{"all", "true"}});
    return std::string();
  }

  Json sign(const std::string& function, const std::string& id, const std::string& pin, const std::string& data,
            Params extra = {}) {
    Params p = {{"id", id}, {"pin", pin}};
    addBytes(&p, "data", data);
    p.insert(p.end(), extra.begin(), extra.end());
    return adapter_->page(function, p);
  }

  // openssl's verdict on a CMS signature against the test CA.
  CommandResult opensslVerify(const std::string& cmsDer, const std::string& content, bool detached,
                              const std::string& caFile = fixture("ca.crt")) {
    writeFile(work("sig.der"), cmsDer);
    writeFile(work("content.bin"), content);
    std::string command = "openssl cms -verify -binary -inform DER -in " + quote(work("sig.der")) + " -CAfile " +
                          quote(caFile) + " -out " + quote(work("verified.bin"));
    if (detached) command += " -content " + quote(work("content.bin"));
    return run(command);
  }

  static TempFolder* temp_;
  static std::string home_;
  std::unique_ptr<Adapter> adapter_;
};

TempFolder* HelmAdapterTest::temp_ = nullptr;
std::string HelmAdapterTest::home_;

// ---- unlock and version -------------------------------------------------------

struct UnlockCase {
  const char* name;
  const char* list;   // allow-list text; null: no file
  mode_t mode;
  const char* origin;
  bool admitted;
};

void PrintTo(const UnlockCase& c, std::ostream* os) { *os << c.name; }

class HelmUnlockTest : public HelmAdapterTest, public ::testing::WithParamInterface<UnlockCase> {};

TEST_P(HelmUnlockTest, AdmitsOnlyOriginsOnTheUsersList) {
  const UnlockCase& c = GetParam();
  Adapter fresh;
  if (c.list == nullptr) {
    unlink(allowList().c_str());
  } else {
    writeFile(allowList(), c.list, c.mode);
  }
  std::string answer = fresh.unlock(c.origin);
  writeFile(allowList(), std::string(kBank) + "\n");
  if (c.admitted) {
    EXPECT_EQ(answer, "0");
    EXPECT_EQ(fresh.page("Hash", {{"data", "YQ=="}, {"data_KestrovanBase64Flag", "true"}}).code(), 0);
  } else {
    ASSERT_NE(answer, "0");
    Json refusal = parseJson(answer);
    EXPECT_EQ(refusal.code(), 71016) << answer;
    // A refused copy does nothing further.
    Json after = fresh.page("ListCertificates", {});
    EXPECT_EQ(after.code(), 71016);
    EXPECT_FALSE(after.has("certificates"));
  }
  fresh.release();
}

const UnlockCase kUnlockCases[] = {
    {"NoListFile", nullptr, 0600, "https://bank.example", false},
    {"EmptyList", "", 0600, "https://bank.example", false},
    {"ExactOrigin", "https://bank.example\n", 0600, "https://bank.example", true},
    {"ExactOriginTrailingSlash", "https://bank.example/\n", 0600, "https://bank.example/", true},
    {"CaseIgnored", "HTTPS://Bank.Example\n", 0600, "https://BANK.example", true},
    {"NoSchemeMeansHttps", "bank.example", 0600, "https://bank.example", true},
    {"NoSchemeRefusesHttp", "bank.example", 0600, "http://bank.example", false},
    {"OtherHost", "https://bank.example", 0600, "https://evil.example", false},
    {"SuffixIsNotEnough", "https://bank.example", 0600, "https://evilbank.example", false},
    {"PrefixIsNotEnough", "https://bank.example", 0600, "https://bank.example.evil.example", false},
    {"AllowedHostAsUserPart", "https://bank.example", 0600, "https://bank.example@evil.test", false},
    {"AllowedHostInQuery", "https://bank.example", 0600, "https://evil.test/?bank.example", false},
    {"TrailingDotIsAnotherHost", "https://bank.example", 0600, "https://bank.example.", false},
    {"TrailingDotWithPortIsAnotherHost", "https://bank.example", 0600, "https://bank.example.:443", false},
    {"NoPortMeansDefaultPort", "https://bank.example", 0600, "https://bank.example:8443", false},
    {"DefaultPortWritten", "https://bank.example", 0600, "https://bank.example:443", true},
    {"ExactPort", "https://bank.example:8443", 0600, "https://bank.example:8443", true},
    {"OtherPort", "https://bank.example:8443", 0600, "https://bank.example:8444", false},
    {"AnyPort", "http://127.0.0.1:*", 0600, "http://127.0.0.1:56000", true},
    {"WildcardSubdomain", "*.bank.example", 0600, "https://a.b.bank.example", true},
    {"WildcardNeedsTheDot", "*.bank.example", 0600, "https://bank.example", false},
    {"LeadingDot", ".bank.example", 0600, "https://www.bank.example", true},
    {"TrailingDot", "intra.", 0600, "https://intra.corp", true},
    {"SecondOfSeveral", "https://one.example; https://bank.example # ours\n", 0600, "https://bank.example", true},
    {"CommentedOut", "# https://bank.example\n", 0600, "https://bank.example", false},
    {"AnySchemeWritten", "*://bank.example", 0600, "http://bank.example", true},
    {"RegexSyntaxIsNotRegex", "bank.exampl(e|x)", 0600, "https://bank.examplx", false},
    {"Ipv6Origin", "https://[::1]:8443", 0600, "https://[::1]:8443", true},
    {"NullOrigin", "*", 0600, "null", false},
    {"OriginWithPath", "*", 0600, "https://bank.example/login", false},
    {"OriginWithUser", "*", 0600, "https://user@bank.example", false},
    {"NotHttp", "*", 0600, "ftp://bank.example", false},
    {"EmptyOrigin", "*", 0600, "", false},
    {"ListWritableByGroup", "https://bank.example\n", 0620, "https://bank.example", false},
    {"ListWritableByAll", "https://bank.example\n", 0602, "https://bank.example", false},
};

INSTANTIATE_TEST_SUITE_P(Cases, HelmUnlockTest, ::testing::ValuesIn(kUnlockCases),
                         [](const ::testing::TestParamInfo<UnlockCase>& info) { return std::string(info.param.name); });

TEST_F(HelmAdapterTest, ConfigHomeVariableTakesPrecedence) {
  TempFolder other;
  std::string folder = other.path() + "/kestrovan/helm";
  run("mkdir -p " + quote(folder));
  writeFile(folder + "/allowed-origins", "https://shop.example\n");
  setenv("XDG_CONFIG_HOME", other.path().c_str(), 1);
  Adapter fresh;
  std::string shop = fresh.unlock("https://shop.example");
  Adapter second;
  std::string bank = second.unlock(kBank);
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(shop, "0");
  EXPECT_NE(bank, "0");
}

TEST_F(HelmAdapterTest, UnloadsCompletelyAfterItsRelease) {
  // Every function that can run, then the release: the library must really
  // go away, or each of the service's per-session copies would stay mapped.
  adapter_->page("ListCertificates", {});
  Params p = {{"id", idOf("Token Signer")}, {"pin", "1234"}};
  addBytes(&p, "data", "x");
  EXPECT_EQ(adapter_->page("SignCms", p).code(), 0);
  adapter_->release();
  adapter_.reset();
  void* still = dlopen(HELM_ADAPTER_PATH, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(still, nullptr) << "the adapter stayed loaded after dlclose";
  if (still != nullptr) dlclose(still);
  adapter_ = std::make_unique<Adapter>();
  ASSERT_EQ(adapter_->unlock(kBank), "0");
}

TEST_F(HelmAdapterTest, VersionIsAVersionNotAnErrorCode) {
  std::string version = adapter_->version();
  EXPECT_EQ(version, "1.0.0.2");
  long leading = strtol(version.c_str(), nullptr, 10);
  EXPECT_FALSE(leading >= KESTROVAN_ADAPTER_ERROR_FIRST && leading < KESTROVAN_ADAPTER_ERROR_LAST);
}

// ---- listing -------------------------------------------------------------------

TEST_F(HelmAdapterTest, ListFindsTokenAndFileCertificatesUsableForSigning) {
  Json list = adapter_->page("ListCertificates", {});
  ASSERT_EQ(list.code(), 0);
  std::map<std::string, const Json*> byName;
  for (const Json& c : list["certificates"].items) {
    // Tokens of this machine's own modules, if it has any, are not the test's.
    if (c["location"]["type"].text == "pkcs12" || c["location"]["token"].text == "helm-test") {
      byName[c["commonName"].text] = &c;
    }
  }
  // Usable ones only by default: not the encipher-only, the expired or the CA.
  EXPECT_EQ(byName.size(), 4u);
  ASSERT_TRUE(byName.count("Token Signer"));
  ASSERT_TRUE(byName.count("Token EC Signer"));
  ASSERT_TRUE(byName.count("Soft Signer"));
  ASSERT_TRUE(byName.count("Plain Signer"));

  const Json& token = *byName["Token Signer"];
  EXPECT_EQ(token["location"]["type"].text, "pkcs11");
  EXPECT_EQ(token["location"]["token"].text, "helm-test");
  EXPECT_EQ(token["id"].text.compare(0, 4, "tok-"), 0);
  EXPECT_EQ(token["issuer"].text, "CN=Helm Test CA");
  EXPECT_EQ(token["serial"].text, "03e9");  // 1001
  EXPECT_EQ(token["keyAlgorithm"].text, "RSA-2048");
  ASSERT_EQ(token["keyUsage"].type, Json::Array);
  EXPECT_EQ(token["keyUsage"][0].text, "digitalSignature");
  EXPECT_TRUE(token["canSign"].boolean);
  EXPECT_FALSE(token["expired"].boolean);
  EXPECT_NE(token["subject"].text.find("CN=Token Signer"), std::string::npos);
  EXPECT_EQ(token["notAfter"].text.size(), 20u);

  const Json& soft = *byName["Soft Signer"];
  EXPECT_EQ(soft["location"]["type"].text, "pkcs12");
  EXPECT_EQ(soft["location"]["file"].text, "soft.p12");
  EXPECT_EQ(soft["id"].text.compare(0, 4, "p12-"), 0);
  EXPECT_EQ(soft["keyAlgorithm"].text, "EC-SECP256R1");
  EXPECT_EQ((*byName["Plain Signer"])["location"]["file"].text, "plain.p12");

  // Files that cannot be listed are named, with their code.
  std::map<std::string, long> problems;
  for (const Json& p : list["problems"].items) problems[p["location"].text] = (long)p["code"].number;
  EXPECT_EQ(problems["broken.p12"], 71009);
  EXPECT_EQ(problems["nosidecar.p12"], 71009);
}

// What may stand in the key folder under a key file's name: each named with
// why it cannot be read, and none waited on (a FIFO has no writer).
TEST_F(HelmAdapterTest, KeyFilesThatCannotBeReadAreNamedWithTheReason) {
  std::string folder = configFolder(home_) + "/keys";
  struct {
    const char* name;
    std::function<bool(const std::string&)> make;
    const char* message;
  } cases[] = {
      {"fifo.p12", [](const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }, "not a regular file"},
      {"folder.p12", [](const std::string& path) { return mkdir(path.c_str(), 0700) == 0; }, "not a regular file"},
      {"huge.p12", [](const std::string& path) {
         writeFile(path, std::string(1024 * 1024 + 1, 'x'));
         return true;
       },
       "larger than "},
      {"closed.p12", [](const std::string& path) {
         writeFile(path, "x");
         return chmod(path.c_str(), 0) == 0;
       },
       geteuid() == 0 ? "not a PKCS #12 file" : "cannot open: Permission denied"},
  };
  for (const auto& c : cases) ASSERT_TRUE(c.make(folder + "/" + c.name)) << c.name;
  Json list = adapter_->page("ListCertificates", {});
  for (const auto& c : cases) {
    std::string path = folder + "/" + c.name;
    rmdir(path.c_str());
    unlink(path.c_str());
  }
  ASSERT_EQ(list.code(), 0);
  std::map<std::string, const Json*> problems;
  for (const Json& p : list["problems"].items) problems[p["location"].text] = &p;
  for (const auto& c : cases) {
    ASSERT_TRUE(problems.count(c.name)) << c.name;
    EXPECT_EQ((long)(*problems[c.name])["code"].number, 71009) << c.name;
    EXPECT_EQ((*problems[c.name])["message"].text.find(c.message), 0u) << c.name << ": " << (*problems[c.name])["message"].text;
  }
}

TEST_F(HelmAdapterTest, ListAllShowsWhyACertificateCannotSign) {
  Json list = adapter_->page("ListCertificates", {{"all", "true"}});
  ASSERT_EQ(list.code(), 0);
  std::map<std::string, const Json*> byName;
  for (const Json& c : list["certificates"].items) byName[c["commonName"].text] = &c;
  EXPECT_EQ(byName.count("Helm Test CA"), 0u);
  ASSERT_TRUE(byName.count("Expired Signer"));
  EXPECT_TRUE((*byName["Expired Signer"])["expired"].boolean);
  EXPECT_FALSE((*byName["Expired Signer"])["canSign"].boolean);
  ASSERT_TRUE(byName.count("Token Encipher"));
  EXPECT_FALSE((*byName["Token Encipher"])["canSign"].boolean);
  EXPECT_EQ((*byName["Token Encipher"])["keyUsage"][0].text, "keyEncipherment");
}

TEST_F(HelmAdapterTest, GetCertificateReturnsTheCertificateItself) {
  struct {
    const char* name;
    const char* file;
  } cases[] = {{"Token Signer", "keys/signer.crt"}, {"Soft Signer", "keys/soft.crt"}, {"Plain Signer", "keys/plain.crt"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Json answer = adapter_->page("GetCertificate", {{"id", idOf(c.name)}});
    ASSERT_EQ(answer.code(), 0);
    writeFile(work("got.pem"), answer["pem"].text);
    CommandResult got = run("openssl x509 -in " + quote(work("got.pem")) + " -outform DER | sha256sum");
    CommandResult want = run("openssl x509 -in " + quote(fixture(c.file)) + " -outform DER | sha256sum");
    ASSERT_EQ(got.status, 0) << got.output;
    EXPECT_EQ(got.output, want.output);
  }
  EXPECT_EQ(adapter_->page("GetCertificate", {{"id", "tok-0000"}}).code(), 71003);
}

// ---- CMS signing, checked by openssl ------------------------------------------

struct SignCase {
  const char* name;
  const char* commonName;
  const char* pin;
  bool attached;
  const char* digest;
};

void PrintTo(const SignCase& c, std::ostream* os) { *os << c.name; }

class HelmSignCmsTest : public HelmAdapterTest, public ::testing::WithParamInterface<SignCase> {};

TEST_P(HelmSignCmsTest, OpensslAcceptsTheSignatureAgainstTheTestCa) {
  const SignCase& c = GetParam();
  static const char kData[] = "Pay 100.00 to account 42\n\0binary\xff tail";
  std::string data(kData, sizeof kData - 1);
  Params extra = {{"attached", c.attached ? "true" : "false"}};
  if (c.digest != nullptr) extra.emplace_back("digest", c.digest);
  Json answer = sign("SignCms", idOf(c.commonName), c.pin, data, extra);
  ASSERT_EQ(answer.code(), 0) << answer["message"].text;
  std::string cms = unbase64(answer["cms"].text);
  CommandResult verdict = opensslVerify(cms, data, !c.attached);
  EXPECT_EQ(verdict.status, 0) << verdict.output;
  EXPECT_EQ(readFile(work("verified.bin")), data);
  if (c.digest != nullptr) {
    writeFile(work("sig.der"), cms);
    CommandResult dump = run("openssl cms -cmsout -print -inform DER -in " + quote(work("sig.der")));
    EXPECT_NE(dump.output.find(c.digest), std::string::npos) << dump.output;
  }

  // The same signature with the content changed by one byte: openssl refuses.
  std::string tampered = data;
  tampered[4] ^= 1;
  if (!c.attached) {
    CommandResult refused = opensslVerify(cms, tampered, true);
    EXPECT_NE(refused.status, 0) << refused.output;
  }
  // Against an unrelated CA: refused.
  CommandResult untrusted = opensslVerify(cms, data, !c.attached, fixture("other-ca.crt"));
  EXPECT_NE(untrusted.status, 0) << untrusted.output;
}

const SignCase kSignCases[] = {
    {"TokenRsaDetached", "Token Signer", "1234", false, nullptr},
    {"TokenRsaAttached", "Token Signer", "1234", true, nullptr},
    {"TokenRsaSha512", "Token Signer", "1234", false, "sha512"},
    {"TokenEcDetached", "Token EC Signer", "1234", false, nullptr},
    {"TokenEcAttached", "Token EC Signer", "1234", true, "sha384"},
    {"FileEcDetached", "Soft Signer", "5678", false, nullptr},
    {"FileRsaAttached", "Plain Signer", "abcd", true, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, HelmSignCmsTest, ::testing::ValuesIn(kSignCases),
                         [](const ::testing::TestParamInfo<SignCase>& info) { return std::string(info.param.name); });

TEST_F(HelmAdapterTest, WrongPinGivesItsCodeAndTheRightPinStillWorks) {
  struct {
    const char* commonName;
    const char* right;
    const char* wrong;
  } cases[] = {{"Token Signer", "1234", "9999"}, {"Soft Signer", "5678", "0000"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.commonName);
    std::string id = idOf(c.commonName);
    Json wrong = sign("SignCms", id, c.wrong, "text");
    EXPECT_EQ(wrong.code(), 71004) << wrong["message"].text;
    EXPECT_FALSE(wrong.has("cms"));
    Json right = sign("SignCms", id, c.right, "text");
    ASSERT_EQ(right.code(), 0) << right["message"].text;
    EXPECT_EQ(opensslVerify(unbase64(right["cms"].text), "text", true).status, 0);
    // A login that just succeeded must not carry a later wrong PIN.
    Json wrongAgain = sign("SignCms", id, c.wrong, "text");
    EXPECT_EQ(wrongAgain.code(), 71004) << wrongAgain["message"].text;
    Json empty = sign("SignRaw", id, "", "text");
    EXPECT_EQ(empty.code(), 71004) << empty["message"].text;
  }
}

TEST_F(HelmAdapterTest, ASecondSessionCannotUseTheFirstSessionsLogin) {
  // Two loaded copies, as two pages' sessions: the second's wrong PIN fails
  // even right after the first signed.
  Adapter second;
  ASSERT_EQ(second.unlock(kBank), "0");
  std::string id = idOf("Token Signer");
  EXPECT_EQ(sign("SignRaw", id, "1234", "x").code(), 0);
  Params p = {{"id", id}, {"pin", "1111"}};
  addBytes(&p, "data", "x");
  EXPECT_EQ(second.page("SignRaw", p).code(), 71004);
  second.release();
}

TEST_F(HelmAdapterTest, CertificatesThatCannotSignAreRefusedBeforeThePin) {
  struct {
    const char* commonName;
    const char* pin;
    long code;
  } cases[] = {
      {"Expired Signer", "5678", 71006},
      {"Expired Signer", "wrong", 71006},  // the PIN is not even tried
      {"Token Encipher", "1234", 71008},
      {"Token Encipher", "0000", 71008},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.commonName) + " " + c.pin);
    for (const char* function : {"SignCms", "SignRaw"}) {
      Json answer = sign(function, idOf(c.commonName), c.pin, "text");
      EXPECT_EQ(answer.code(), c.code) << answer["message"].text;
    }
  }
}

// ---- raw signatures, checked by openssl -----------------------------------------

struct RawCase {
  const char* name;
  const char* commonName;
  const char* pin;
  const char* publicKeyFrom;  // certificate file under the fixture
  const char* scheme;
  bool hashed;
};

void PrintTo(const RawCase& c, std::ostream* os) { *os << c.name; }

class HelmSignRawTest : public HelmAdapterTest, public ::testing::WithParamInterface<RawCase> {};

TEST_P(HelmSignRawTest, OpensslVerifiesTheRawSignature) {
  const RawCase& c = GetParam();
  std::string data = "raw signature input";
  Params extra;
  if (c.scheme != nullptr) extra.emplace_back("scheme", c.scheme);
  std::string input = data;
  if (c.hashed) {
    writeFile(work("data.bin"), data);
    input = run("openssl dgst -sha256 -binary " + quote(work("data.bin"))).output;
    ASSERT_EQ(input.size(), 32u);
    extra.emplace_back("hashed", "true");
  }
  Json answer = sign("SignRaw", idOf(c.commonName), c.pin, input, extra);
  ASSERT_EQ(answer.code(), 0) << answer["message"].text;
  writeFile(work("data.bin"), data);
  writeFile(work("raw.sig"), unbase64(answer["signature"].text));
  ASSERT_EQ(run("openssl x509 -in " + quote(fixture(c.publicKeyFrom)) + " -pubkey -noout > " + quote(work("pub.pem")))
                .status,
            0);
  std::string command = "openssl dgst -sha256 -verify " + quote(work("pub.pem")) + " -signature " +
                        quote(work("raw.sig"));
  if (c.scheme != nullptr && strcmp(c.scheme, "pss") == 0) {
    command += " -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:-2";
  }
  CommandResult verdict = run(command + " " + quote(work("data.bin")));
  EXPECT_EQ(verdict.status, 0) << verdict.output;
  writeFile(work("data.bin"), data + "!");
  EXPECT_NE(run(command + " " + quote(work("data.bin"))).status, 0);
}

const RawCase kRawCases[] = {
    {"TokenRsaPkcs1", "Token Signer", "1234", "keys/signer.crt", nullptr, false},
    {"TokenRsaPss", "Token Signer", "1234", "keys/signer.crt", "pss", false},
    {"TokenRsaPrehashed", "Token Signer", "1234", "keys/signer.crt", nullptr, true},
    {"TokenEc", "Token EC Signer", "1234", "keys/ec-signer.crt", nullptr, false},
    {"TokenEcPrehashed", "Token EC Signer", "1234", "keys/ec-signer.crt", nullptr, true},
    {"FileEc", "Soft Signer", "5678", "keys/soft.crt", nullptr, false},
    {"FileRsaPss", "Plain Signer", "abcd", "keys/plain.crt", "pss", false},
};

INSTANTIATE_TEST_SUITE_P(Cases, HelmSignRawTest, ::testing::ValuesIn(kRawCases),
                         [](const ::testing::TestParamInfo<RawCase>& info) { return std::string(info.param.name); });

// ---- verification -----------------------------------------------------------------

TEST_F(HelmAdapterTest, VerifyReportsTheSignerAndRefusesTamperedData) {
  std::string anchors = readFile(fixture("ca.crt"));
  std::string data = "contract text";
  Json signed_ = sign("SignCms", idOf("Token Signer"), "1234", data);
  ASSERT_EQ(signed_.code(), 0);
  std::string cms = unbase64(signed_["cms"].text);

  Params good = {{"trustAnchors", anchors}};
  addBytes(&good, "cms", cms);
  addBytes(&good, "data", data);
  Json ok = adapter_->page("VerifyCms", good);
  ASSERT_EQ(ok.code(), 0) << ok["message"].text;
  ASSERT_EQ(ok["signers"].items.size(), 1u);
  EXPECT_EQ(ok["signers"][0]["commonName"].text, "Token Signer");
  EXPECT_EQ(ok["signers"][0]["issuer"].text, "CN=Helm Test CA");
  EXPECT_EQ(ok["signers"][0]["signingTime"].text.size(), 20u);
  EXPECT_FALSE(ok["attached"].boolean);

  std::string tampered = data;
  tampered[0] = 'C';
  Params bad = {{"trustAnchors", anchors}};
  addBytes(&bad, "cms", cms);
  addBytes(&bad, "data", tampered);
  EXPECT_EQ(adapter_->page("VerifyCms", bad).code(), 71013);

  Params untrusted = {{"trustAnchors", readFile(fixture("other-ca.crt"))}};
  addBytes(&untrusted, "cms", cms);
  addBytes(&untrusted, "data", data);
  EXPECT_EQ(adapter_->page("VerifyCms", untrusted).code(), 71014);

  std::string broken = cms;
  broken[broken.size() / 2] ^= 0x5A;
  Params garbled = {{"trustAnchors", anchors}};
  addBytes(&garbled, "cms", broken);
  addBytes(&garbled, "data", data);
  long garbledCode = adapter_->page("VerifyCms", garbled).code();
  EXPECT_TRUE(garbledCode == 71013 || garbledCode == 71015 || garbledCode == 71014) << garbledCode;

  Params noData = {{"trustAnchors", anchors}};
  addBytes(&noData, "cms", cms);
  EXPECT_EQ(adapter_->page("VerifyCms", noData).code(), 71001);
}

TEST_F(HelmAdapterTest, VerifyAttachedReturnsTheContent) {
  std::string data = std::string("attached\0content", 16);
  Json signed_ = sign("SignCms", idOf("Plain Signer"), "abcd", data, {{"attached", "true"}});
  ASSERT_EQ(signed_.code(), 0);
  Params p = {{"trustAnchors", readFile(fixture("ca.crt"))}};
  addBytes(&p, "cms", unbase64(signed_["cms"].text));
  Json ok = adapter_->page("VerifyCms", p);
  ASSERT_EQ(ok.code(), 0) << ok["message"].text;
  EXPECT_TRUE(ok["attached"].boolean);
  EXPECT_EQ(unbase64(ok["content"].text), data);
  EXPECT_EQ(ok["signers"][0]["commonName"].text, "Plain Signer");
  // Data given with an attached signature must be the signed content.
  addBytes(&p, "data", "other");
  EXPECT_EQ(adapter_->page("VerifyCms", p).code(), 71013);
}

TEST_F(HelmAdapterTest, VerifyAcceptsSignaturesMadeByOpenssl) {
  std::string data = "signed elsewhere";
  writeFile(work("data.bin"), data);
  CommandResult made = run("openssl cms -sign -nodetach -binary -outform DER -md sha256 -in " + quote(work("data.bin")) +
                           " -signer " + quote(fixture("keys/soft.crt")) + " -inkey " + quote(fixture("keys/soft.key")) +
                           " -out " + quote(work("openssl.der")));
  ASSERT_EQ(made.status, 0) << made.output;
  Params p = {{"trustAnchors", readFile(fixture("ca.crt"))}};
  addBytes(&p, "cms", readFile(work("openssl.der")));
  Json ok = adapter_->page("VerifyCms", p);
  ASSERT_EQ(ok.code(), 0) << ok["message"].text;
  EXPECT_EQ(ok["signers"][0]["commonName"].text, "Soft Signer");
  EXPECT_EQ(unbase64(ok["content"].text), data);
}

// ---- hashing --------------------------------------------------------------------

TEST_F(HelmAdapterTest, HashMatchesKnownDigests) {
  struct {
    const char* algorithm;
    std::string data;
    const char* hex;
  } cases[] = {
      {nullptr, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"sha256", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"SHA384", "abc",
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
      {"sha512", "abc",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
       "454d4423643ce80e2a9ac94fa54ca49f"},
      {"sha1", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"sha256", std::string("\0\x01\x02", 3), "ae4b3280e56e2faf83f414a6e3dabe9d5fbe18976544c05fed121accb85b53fc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.algorithm ? c.algorithm : "default");
    Params p;
    addBytes(&p, "data", c.data);
    if (c.algorithm != nullptr) p.emplace_back("algorithm", c.algorithm);
    Json answer = adapter_->page("Hash", p);
    ASSERT_EQ(answer.code(), 0) << answer["message"].text;
    EXPECT_EQ(answer["hex"].text, c.hex);
    EXPECT_EQ(hex(unbase64(answer["hash"].text)), c.hex);
  }
}

// ---- parameters and errors ------------------------------------------------------------

struct ErrorCase {
  const char* name;
  const char* function;
  Params params;
  long code;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class HelmErrorTest : public HelmAdapterTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(HelmErrorTest, AnswersItsCodeWithAMessage) {
  const ErrorCase& c = GetParam();
  Params params = c.params;
  for (auto& p : params) {
    if (p.second == "@token") p.second = idOf("Token Signer");
  }
  std::string text = adapter_->call(c.function, params);
  Json answer = parseJson(text);
  EXPECT_EQ(answer.code(), c.code) << text;
  EXPECT_FALSE(answer["message"].text.empty()) << text;
}

const ErrorCase kErrorCases[] = {
    {"UnknownFunction", "NoSuchFunction", {}, 71002},
    {"HashWithoutData", "Hash", {}, 71001},
    {"PlainDataWithBackslash", "Hash", {{"data", "a\\\\b"}}, 71001},
    {"DataNotBase64", "Hash", {{"data", "a$bc"}, {"data_KestrovanBase64Flag", "true"}}, 71001},
    {"DataEncryptedWithoutSecret", "Hash", {{"data", "00ff"}, {"data_KestrovanEncryptFlag", "true"}}, 71001},
    {"UnsupportedDigest", "Hash", {{"data", "YQ=="}, {"data_KestrovanBase64Flag", "true"}, {"algorithm", "md5"}}, 71018},
    {"Sha1NotForSigning", "SignCms",
     {{"id", "@token"}, {"pin", "1234"}, {"data", "YQ=="}, {"data_KestrovanBase64Flag", "true"}, {"digest", "sha1"}},
     71018},
    {"SignCmsEmptyData", "SignCms", {{"id", "@token"}, {"pin", "1234"}, {"data", ""}}, 71001},
    {"SignWithoutId", "SignCms", {{"pin", "1234"}, {"data", "YQ=="}, {"data_KestrovanBase64Flag", "true"}}, 71001},
    // Without a PIN the user is asked in a dialog, which cannot be shown here.
    {"SignWithoutPinNoDisplay", "SignCms", {{"id", "@token"}, {"data", "YQ=="}, {"data_KestrovanBase64Flag", "true"}},
     71022},
    {"SignUnknownId", "SignCms",
     {{"id", "p12-00"}, {"pin", "1"}, {"data", "YQ=="}, {"data_KestrovanBase64Flag", "true"}}, 71003},
    {"SignIdNoKind", "SignRaw",
     {{"id", "whatever"}, {"pin", "1"}, {"data", "YQ=="}, {"data_KestrovanBase64Flag", "true"}}, 71003},
    {"AttachedNotBoolean", "SignCms",
     {{"id", "@token"}, {"pin", "1234"}, {"data", "YQ=="}, {"data_KestrovanBase64Flag", "true"}, {"attached", "1"}},
     71001},
    {"BadScheme", "SignRaw",
     {{"id", "@token"}, {"pin", "1234"}, {"data", "YQ=="}, {"data_KestrovanBase64Flag", "true"}, {"scheme", "raw"}},
     71018},
    {"HashedWrongLength", "SignRaw",
     {{"id", "@token"}, {"pin", "1234"}, {"data", "YQ=="}, {"data_KestrovanBase64Flag", "true"}, {"hashed", "true"}},
     71001},
    {"VerifyWithoutAnchors", "VerifyCms", {{"cms", "YQ=="}, {"cms_KestrovanBase64Flag", "true"}}, 71001},
    {"VerifyGarbage", "VerifyCms",
     {{"cms", "YWJjZA=="}, {"cms_KestrovanBase64Flag", "true"}, {"trustAnchors", "-----BEGIN CERTIFICATE-----"}},
     71001},
    {"AllNotBoolean", "ListCertificates", {{"all", "maybe"}}, 71001},
    {"IdTooLong", "GetCertificate", {{"id", std::string(300, 'a')}}, 71017},
};

INSTANTIATE_TEST_SUITE_P(Cases, HelmErrorTest, ::testing::ValuesIn(kErrorCases),
                         [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

TEST_F(HelmAdapterTest, ParameterEncodingsAreDecodedLikeTheServiceDoes) {
  struct {
    const char* name;
    Params params;
    std::string expected;  // the hashed bytes
  } cases[] = {
      {"PercentEscapesInBase64", {{"data", "%2B%2F8%3D"}, {"data_KestrovanBase64Flag", "TRUE"}}, unbase64("+/8=")},
      {"Base64WithLineBreaks", {{"data", "YWJj\nZGVm"}, {"data_KestrovanBase64Flag", "true"}}, "abcdef"},
      {"Base64WithoutPadding", {{"data", "YWI"}, {"data_KestrovanBase64Flag", "true"}}, "ab"},
      {"KeysIgnoreCase", {{"DATA", "YWJj"}, {"Data_kestrovanbase64flag", "true"}}, "abc"},
      {"PlainTextIsItsBytes", {{"data", "Gr\xc3\xbc\xc3\x9f Gott"}}, "Gr\xc3\xbc\xc3\x9f Gott"},
      {"FlagOtherThanTrueIsOff", {{"data", "YWJj"}, {"data_KestrovanBase64Flag", "yes"}}, "YWJj"},
      {"StarFlagGivesBackslashes", {{"data", "a*b"}, {"data_KestrovanFlag", "true"}}, "a\\b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Json answer = adapter_->page("Hash", c.params);
    ASSERT_EQ(answer.code(), 0) << answer["message"].text;
    Params direct;
    addBytes(&direct, "data", c.expected);
    EXPECT_EQ(answer["hex"].text, adapter_->page("Hash", direct)["hex"].text);
  }
  // A PIN is read as sent unless its Base64 flag is on, then decoded.
  std::string id = idOf("Plain Signer");
  Params plainPin = {{"id", id}, {"pin", "abcd"}, {"pin_KestrovanBase64Flag", "false"}};
  addBytes(&plainPin, "data", "x");
  EXPECT_EQ(adapter_->page("SignRaw", plainPin).code(), 0);
  Params base64Pin = {{"id", id}, {"pin", base64("abcd")}, {"pin_KestrovanBase64Flag", "true"}};
  addBytes(&base64Pin, "data", "x");
  EXPECT_EQ(adapter_->page("SignRaw", base64Pin).code(), 0);
}

// Sealed the way a page seals a parameter, by openssl rather than by our own
// cipher code: AES-256-CBC with PKCS #7 padding over "KestrovanAESCBC", the
// text and one zero byte, the key being the secret's first 32 bytes and the IV
// the service's fixed "KestrovanShareIV"; hex text.
std::string sealForPage(const std::string& work, const std::string& text, const std::string& secret) {
  writeFile(work, std::string("KestrovanAESCBC") + text + std::string(1, '\0'));
  CommandResult sealed = run("openssl enc -aes-256-cbc -K " + hex(secret.substr(0, 32)) + " -iv " +
                             hex("KestrovanShareIV") + " -in " + quote(work) + " | od -An -v -tx1 | tr -d ' \\n'");
  EXPECT_EQ(sealed.status, 0) << sealed.output;
  return sealed.output;
}

// A page may seal any parameter with its own secret; the adapter opens it
// and refuses it, before any PIN is tried, when the secret does not open it.
TEST_F(HelmAdapterTest, SealedParametersAreOpenedWithTheRequestsSecret) {
  const std::string secret = "Zq8x1cV7bN3mK5pL0oI9uY2tR4eW6sA1";
  const std::string text = "Gr\xc3\xbc\xc3\x9f \xce\xb1\xd0\x96 \xf0\x9f\x94\x91";
  Json sealed = adapter_->page("Hash", {{"data", sealForPage(work("data.bin"), text, secret)},
                                        {"data_KestrovanEncryptFlag", "true"},
                                        {"Kestrovan_share_secret", secret}});
  ASSERT_EQ(sealed.code(), 0) << sealed["message"].text;
  Params direct;
  addBytes(&direct, "data", text);
  EXPECT_EQ(sealed["hex"].text, adapter_->page("Hash", direct)["hex"].text);

  std::string id = idOf("Plain Signer");
  Params pin = {{"id", id}, {"pin", sealForPage(work("pin.bin"), "abcd", secret)}, {"pin_KestrovanEncryptFlag", "true"},
                {"Kestrovan_share_secret", secret}};
  addBytes(&pin, "data", "x");
  Json signedAnswer = adapter_->page("SignRaw", pin);
  EXPECT_EQ(signedAnswer.code(), 0) << signedAnswer["message"].text;

  Params wrongSecret = pin;
  for (auto& p : wrongSecret) {
    if (p.first == "Kestrovan_share_secret") p.second = "Zq8x1cV7bN3mK5pL0oI9uY2tR4eW6sA2";
  }
  Json refused = adapter_->page("SignRaw", wrongSecret);
  EXPECT_EQ(refused.code(), 71001) << "not a wrong PIN (71004): no PIN was tried";
  EXPECT_NE(refused["message"].text.find("Kestrovan_share_secret"), std::string::npos) << refused["message"].text;
}

TEST_F(HelmAdapterTest, OddMapsNeverCrash) {
  KestrovanCallJsonMapMethod entry =
      reinterpret_cast<KestrovanCallJsonMapMethod>(dlsym(adapter_->handle(), KESTROVAN_CALL_JSON_MAP_METHOD_SYMBOL));
  ASSERT_NE(entry, nullptr);
  auto* map = static_cast<KestrovanJsonMap*>(calloc(1, sizeof(KestrovanJsonMap)));
  // Units without text, without key, bytes only; counts out of range.
  static unsigned char bytes[] = {1, 2, 3};
  map->units[0].key = const_cast<char*>("data");
  map->units[0].data = bytes;
  map->units[0].dataLength = sizeof bytes;
  map->units[1].key = nullptr;
  map->units[2].key = const_cast<char*>("id");
  map->units[2].value = nullptr;
  for (int32_t count : {3, 0, -5, 100000}) {
    map->count = count;
    for (const char* function : {"Hash", "SignCms", "VerifyCms", "ListCertificates", "GetCertificate", "", "Kestrovan_Unlock"}) {
      char* answer = entry(map, function);
      ASSERT_NE(answer, nullptr);
      EXPECT_NO_THROW(parseJson(answer == std::string("0") ? "0" : answer)) << function << ": " << answer;
    }
  }
  EXPECT_NE(entry(nullptr, "Hash"), nullptr);
  EXPECT_NE(entry(nullptr, nullptr), nullptr);
  free(map);
}

}  // namespace
