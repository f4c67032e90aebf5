// SPDX-License-Identifier: Apache-2.0
// helm_service_test.cpp -- the PKI adapter through the running service: the
// real NORTAKestrovan with HelmPKICryptAdapter laid out next to it, the
// SoftHSM2 token and PKCS #12 files of make_fixtures.sh, and the curl program
// as the page's client. Signatures are checked with openssl. The dialogs are
// the stub pinentry's (stub_pinentry.sh), which the service starts with the
// environment it was given. A second service runs on the fixture's key-role
// token: which function takes which key, and that no signing call of one
// site becomes a login to another that the shipped verifier accepts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "adapters_pki/helm_test_support.h"
#include "harness.h"

namespace {

using helmtest::CommandResult;
using helmtest::Json;
using helmtest::quote;
using helmtest::run;

const char kBank[] = "https://bank.example";
const char kPathId[] = "7E41A0C2D95B4F3E8A61C07B2D9F54E1";

// A JSON object of text members, written as a page would; raw members
// (numbers, true) are written as given.
class Request {
 public:
  Request& text(const std::string& key, const std::string& value) {
    add(key);
    body_ += escape(value);
    return *this;
  }
  Request& bytes(const std::string& key, const std::string& value) {
    text(key, helmtest::base64(value));
    return raw(key + "_KestrovanBase64Flag", "true");
  }
  Request& raw(const std::string& key, const std::string& value) {
    add(key);
    body_ += value;
    return *this;
  }
  std::string json() const { return "{" + body_ + "}"; }

 private:
  void add(const std::string& key) {
    if (!body_.empty()) body_ += ",";
    body_ += escape(key) + ":";
  }
  static std::string escape(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
      if (c == '"' || c == '\\') out += std::string("\\") + c;
      else if (c == '\n') out += "\\n";
      else out += c;
    }
    return out + "\"";
  }
  std::string body_;
};

std::string urlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back((char)c);
    } else {
      out += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return out;
}

class HelmServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { startService("softhsm2.conf", {kBank}); }
  // The service with the fixture's key folder, the token of the fixture's
  // SoftHSM2 configuration conf, and origins allowed (and kiosks: they send
  // the PIN themselves).
  static void startService(const std::string& conf, const std::vector<std::string>& origins) {
    installation_ = new kt::Installation(KESTROVAN_SERVICE_EXE, HELM_ADAPTER_PATH);
    if (!installation_->ok) return;
    std::string config = helmtest::configFolder(installation_->home);
    run("mkdir -p " + quote(config) + " && chmod 700 " + quote(installation_->home + "/.config") + " " +
        quote(installation_->home + "/.config/kestrovan") + " " + quote(config));
    run("cp -a " + quote(std::string(HELM_FIXTURE_DIR) + "/home/.config/kestrovan/helm/keys") + " " + quote(config));
    std::string list;
    for (const std::string& origin : origins) list += origin + "\n";
    helmtest::writeFile(config + "/allowed-origins", list);
    writeSettings("");
    setenv("SOFTHSM2_CONF", (std::string(HELM_FIXTURE_DIR) + "/" + conf).c_str(), 1);
    // The service passes its own environment on to pinentry: a display, and
    // where the stub finds its plan and writes its log.
    setenv("DISPLAY", ":77", 1);
    unsetenv("WAYLAND_DISPLAY");
    setenv("STUB_PINENTRY_PLAN", planFile().c_str(), 1);
    setenv("STUB_PINENTRY_LOG", (installation_->home + "/dialogs.log").c_str(), 1);
    service_ = new kt::ServiceProcess();
    if (service_->start(installation_->exe, installation_->home)) {
      started_ = service_->waitFor("NORTAKestrovan initialization: Success", 60);
    }
  }
  static void TearDownTestSuite() {
    if (started_) {
      EXPECT_EQ(service_->stop(), 0) << service_->output();
    }
    delete service_;
    delete installation_;
    service_ = nullptr;
    installation_ = nullptr;
    started_ = false;
  }
  void SetUp() override {
    ASSERT_TRUE(started_) << (service_ != nullptr ? service_->output() : "no installation");
    work_ = std::make_unique<kt::TempFolder>();
    unlink(planFile().c_str());  // an empty plan cancels every dialog
  }

  static std::string planFile() { return installation_->home + "/plan"; }
  // The user's settings: the allowed origins send the PIN, the stub shows
  // the dialogs, and extra lines. Read again by every call.
  static void writeSettings(const std::string& extra) {
    std::string config = helmtest::configFolder(installation_->home);
    std::string settings = "pinentry = " + std::string(HELM_STUB_PINENTRY) + "\n";
    std::string list = helmtest::readFile(config + "/allowed-origins");
    for (size_t at = 0, end; (end = list.find('\n', at)) != std::string::npos; at = end + 1) {
      settings += "page-pin-origins = " + list.substr(at, end - at) + "\n";
    }
    helmtest::writeFile(config + "/helm.conf", settings + extra);
  }
  static void plan(const std::vector<std::string>& answers) {
    std::string text;
    for (const std::string& a : answers) text += a + "\n";
    helmtest::writeFile(planFile(), text);
  }

  // One POST made by curl: the answer's values, decoded.
  std::map<std::string, std::string> post(const std::string& json, const std::string& origin) {
    std::string body = work_->path + "/body";
    helmtest::writeFile(body, "Parameter=" + urlEncode(helmtest::base64(json)));
    CommandResult r = run("curl -sS --max-time 120 --cacert " + quote(installation_->caFile) + " -H " +
                          quote("Origin: " + origin) +
                          " -H 'Content-Type: application/x-www-form-urlencoded' --data-binary @" + quote(body) +
                          " https://127.0.0.1:56459/");
    std::map<std::string, std::string> values;
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(kt::decodeAnswer(r.output, &values)) << r.output;
    return values;
  }

  // A page function of the session (opened by the first call), in
  // main-thread mode, repeated while the service answers "heartbeat".
  Json call(Request request, const std::string& origin = kBank) {
    request.text("SessionId", session_);
    if (session_.empty()) {
      request.text("PathID", kPathId)
          .text("InstallerName", "")
          .text("minServerVersion", "3.0.23.0721")
          .text("minLibVersion", "1.0.0.0");
    }
    request.raw("KestrovanMainThread", "true");
    std::map<std::string, std::string> values;
    for (int attempt = 0; attempt < 30; attempt++) {
      values = post(request.json(), origin);
      if (values["result"] != "heartbeat") break;
    }
    last_ = values;
    if (session_.empty() && values.count("SessionID")) {
      session_ = values["SessionID"];
      sessionOrigin_ = origin;
    }
    try {
      return helmtest::parseJson(values["result"]);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "result is not JSON: " << values["result"];
      return Json();
    }
  }

  void closeSession() {
    if (!session_.empty()) {
      post(Request().text("FunctionName", "KestrovanClose").text("SessionId", session_).json(), sessionOrigin_);
    }
    session_.clear();
  }
  void TearDown() override { closeSession(); }

  std::string idOf(const std::string& commonName) {
    Json list = call(Request().text("FunctionName", "ListCertificates"));
    for (const Json& c : list["certificates"].items) {
      if (c["commonName"].text == commonName) return c["id"].text;
    }
    ADD_FAILURE() << "no " << commonName << " in " << last_["result"];
    return std::string();
  }

  CommandResult opensslVerify(const std::string& cms, const std::string& content, bool detached) {
    helmtest::writeFile(work_->path + "/sig.der", cms);
    helmtest::writeFile(work_->path + "/content.bin", content);
    std::string command = "openssl cms -verify -binary -inform DER -in " + quote(work_->path + "/sig.der") +
                          " -CAfile " + quote(std::string(HELM_FIXTURE_DIR) + "/ca.crt") + " -out /dev/null";
    if (detached) command += " -content " + quote(work_->path + "/content.bin");
    return run(command);
  }

  static kt::Installation* installation_;
  static kt::ServiceProcess* service_;
  static bool started_;
  std::unique_ptr<kt::TempFolder> work_;
  std::string session_;
  std::string sessionOrigin_ = kBank;  // the origin that opened session_
  std::map<std::string, std::string> last_;
};

kt::Installation* HelmServiceTest::installation_ = nullptr;
kt::ServiceProcess* HelmServiceTest::service_ = nullptr;
bool HelmServiceTest::started_ = false;

TEST_F(HelmServiceTest, APageListsCertificatesAndGetsSignaturesOpensslAccepts) {
  Json list = call(Request().text("FunctionName", "ListCertificates"));
  ASSERT_EQ(list.code(), 0) << last_["result"];
  EXPECT_EQ(last_["LibVersion"], "1.0.0.2");
  EXPECT_FALSE(session_.empty());
  std::map<std::string, std::string> ids;
  for (const Json& c : list["certificates"].items) ids[c["commonName"].text] = c["id"].text;
  ASSERT_TRUE(ids.count("Token Signer")) << last_["result"];
  ASSERT_TRUE(ids.count("Soft Signer")) << last_["result"];

  const std::string data = "I agree to the terms, 2026-12-10";
  struct {
    const char* name;
    const char* pin;
    bool attached;
  } cases[] = {{"Token Signer", "1234", false}, {"Soft Signer", "5678", true}, {"Token EC Signer", "1234", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Json signature = call(Request()
                              .text("FunctionName", "SignCms")
                              .text("id", ids[c.name])
                              .text("pin", c.pin)
                              .bytes("data", data)
                              .text("attached", c.attached ? "true" : "false"));
    ASSERT_EQ(signature.code(), 0) << last_["result"];
    CommandResult verdict = opensslVerify(helmtest::unbase64(signature["cms"].text), data, !c.attached);
    EXPECT_EQ(verdict.status, 0) << verdict.output;
  }

  // A text as a page types it, without the Base64 flag: its UTF-8 bytes.
  const std::string typed = "Gr\xc3\xbc\xc3\x9f Gott \xe2\x9c\x93";
  Json signature = call(
      Request().text("FunctionName", "SignCms").text("id", ids["Token Signer"]).text("pin", "1234").text("data", typed));
  ASSERT_EQ(signature.code(), 0) << last_["result"];
  CommandResult verdict = opensslVerify(helmtest::unbase64(signature["cms"].text), typed, true);
  EXPECT_EQ(verdict.status, 0) << verdict.output;
}

// Sessions left open on the PKI adapter cost no wake-ups: with a full
// table of them (each a loaded copy, unlocked for its site) and no
// connection, no thread of the service runs.
TEST_F(HelmServiceTest, IdleSessionsWakeNoThread) {
  std::vector<std::string> sessions;
  for (int i = 0; i < 32; i++) {
    std::map<std::string, std::string> values =
        post(Request()
                 .text("FunctionName", "KestrovanEcho")
                 .text("SessionId", "")
                 .text("PathID", kPathId)
                 .text("minServerVersion", "3.0.23.0721")
                 .json(),
             kBank);
    ASSERT_FALSE(values["SessionID"].empty()) << service_->output();
    sessions.push_back(values["SessionID"]);
  }
  // The connection watchdog's last look after the last connection.
  sleep(3);
  long long before = kt::contextSwitches(service_->pid());
  ASSERT_GE(before, 0);
  sleep(4);
  EXPECT_EQ(kt::contextSwitches(service_->pid()), before) << "a thread of the service woke with idle sessions";
  for (const std::string& id : sessions)
    post(Request().text("FunctionName", "KestrovanClose").text("SessionId", id).json(), kBank);
}

// A timestamped signature through the service: the authority is the
// settings', started here on loopback (the test's network namespace).
TEST_F(HelmServiceTest, ABtSignatureComesThroughTheServiceWithItsTimestamp) {
  std::string portFile = work_->path + "/tsa.port";
  pid_t server = fork();
  if (server == 0) {
    execl("/usr/bin/python3", "python3", HELM_TSA_SERVER, HELM_CADES_FIXTURE_DIR, portFile.c_str(), (char*)nullptr);
    _exit(127);
  }
  std::string port;
  for (int i = 0; i < 200 && port.empty(); i++) {
    usleep(50 * 1000);
    port = helmtest::readFile(portFile);
  }
  ASSERT_FALSE(port.empty());
  std::string trust = "tsa-trust = " + std::string(HELM_CADES_FIXTURE_DIR) + "/root.crt\n";
  writeSettings("tsa-urls = http://127.0.0.1:" + port + "/good\n" + trust);
  Json list = call(Request().text("FunctionName", "ListCertificates"));
  std::string id;
  for (const Json& c : list["certificates"].items) {
    if (c["commonName"].text == "Token Signer") id = c["id"].text;
  }
  const std::string data = "Signed through the service";
  Json signature =
      call(Request().text("FunctionName", "SignCms").text("id", id).text("pin", "1234").bytes("data", data).text(
          "level", "B-T"));
  EXPECT_EQ(signature.code(), 0) << last_["result"];
  EXPECT_EQ(signature["level"].text, "B-T");
  EXPECT_NE(signature["timestampAuthority"].text.find("Cades Test TSA"), std::string::npos) << last_["result"];
  CommandResult verdict = opensslVerify(helmtest::unbase64(signature["cms"].text), data, true);
  EXPECT_EQ(verdict.status, 0) << verdict.output;

  // An authority that fails: its code comes through, and no signature.
  writeSettings("tsa-urls = http://127.0.0.1:" + port + "/error500\n" + trust);
  Json failed =
      call(Request().text("FunctionName", "SignCms").text("id", id).text("pin", "1234").bytes("data", data).text(
          "level", "B-T"));
  EXPECT_EQ(failed.code(), 71032) << last_["result"];
  EXPECT_FALSE(failed.has("cms"));
  writeSettings("");
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
}

TEST_F(HelmServiceTest, WrongPinGivesItsCodeAndALaterRightPinWorks) {
  std::string id = idOf("Token Signer");
  Json wrong = call(Request().text("FunctionName", "SignCms").text("id", id).text("pin", "4321").bytes("data", "x"));
  EXPECT_EQ(wrong.code(), 71004) << last_["result"];
  Json right = call(Request().text("FunctionName", "SignCms").text("id", id).text("pin", "1234").bytes("data", "x"));
  ASSERT_EQ(right.code(), 0) << last_["result"];
  EXPECT_EQ(opensslVerify(helmtest::unbase64(right["cms"].text), "x", true).status, 0);
}

TEST_F(HelmServiceTest, TamperedDataFailsVerification) {
  std::string id = idOf("Soft Signer");
  const std::string data = "transfer 10 EUR";
  Json signature = call(Request().text("FunctionName", "SignCms").text("id", id).text("pin", "5678").bytes("data", data));
  ASSERT_EQ(signature.code(), 0) << last_["result"];
  std::string cms = helmtest::unbase64(signature["cms"].text);
  std::string anchors = helmtest::readFile(std::string(HELM_FIXTURE_DIR) + "/ca.crt");

  Json good = call(
      Request().text("FunctionName", "VerifyCms").bytes("cms", cms).bytes("data", data).text("trustAnchors", anchors));
  ASSERT_EQ(good.code(), 0) << last_["result"];
  EXPECT_EQ(good["signers"][0]["commonName"].text, "Soft Signer");

  const std::string tampered = "transfer 90 EUR";
  Json bad = call(
      Request().text("FunctionName", "VerifyCms").bytes("cms", cms).bytes("data", tampered).text("trustAnchors", anchors));
  EXPECT_EQ(bad.code(), 71013) << last_["result"];
  EXPECT_NE(opensslVerify(cms, tampered, true).status, 0);
}

// A site not on the list opens its session with a main-thread echo: the
// consent dialog, which outlasts the service's wait, keeps the page's
// request alive with heartbeats until the user answers. The session then
// signs with the PIN from a dialog just as slow.
TEST_F(HelmServiceTest, AMainThreadOpeningWaitsForConsentAndThePinThroughHeartbeats) {
  const std::string shop = "https://shop.example";
  plan({"delay 9 ok", "delay 9 pin 1234"});
  size_t heartbeatsBefore = service_->count("No result from component yet send heartbeat");
  Request open;
  open.text("FunctionName", "KestrovanEcho")
      .text("SessionId", "")
      .text("PathID", kPathId)
      .text("InstallerName", "")
      .text("minServerVersion", "3.0.23.0721")
      .text("minLibVersion", "1.0.0.2")
      .text("KestrovanMode", "0")
      .raw("KestrovanMainThread", "true");
  std::map<std::string, std::string> answer;
  int heartbeats = 0;
  for (int attempt = 0; attempt < 10; attempt++) {
    answer = post(open.json(), shop);
    if (answer["result"] != "heartbeat") break;
    heartbeats++;
  }
  EXPECT_GE(heartbeats, 1) << "the dialog took longer than the service's wait";
  ASSERT_EQ(answer["result"], "0") << service_->output();
  ASSERT_EQ(answer.count("SessionID"), 1u);
  session_ = answer["SessionID"];
  sessionOrigin_ = shop;
  EXPECT_EQ(answer["LibVersion"], "1.0.0.2");

  std::string id;
  Json list = call(Request().text("FunctionName", "ListCertificates"), shop);
  for (const Json& c : list["certificates"].items) {
    if (c["commonName"].text == "Token Signer") id = c["id"].text;
  }
  ASSERT_FALSE(id.empty()) << last_["result"];
  size_t before = service_->count("No result from component yet send heartbeat");
  const std::string data = "signed after a slow PIN";
  Json signature = call(Request().text("FunctionName", "SignCms").text("id", id).bytes("data", data), shop);
  ASSERT_EQ(signature.code(), 0) << last_["result"];
  EXPECT_GT(service_->count("No result from component yet send heartbeat"), before);
  EXPECT_GT(service_->count("No result from component yet send heartbeat"), heartbeatsBefore);
  CommandResult verdict = opensslVerify(helmtest::unbase64(signature["cms"].text), data, true);
  EXPECT_EQ(verdict.status, 0) << verdict.output;
  // Allowed once: not on the list.
  EXPECT_EQ(helmtest::readFile(helmtest::configFolder(installation_->home) + "/allowed-origins").find("shop"),
            std::string::npos);
  // The dialogs named the site, which the service gave, and got the display.
  std::string log = helmtest::readFile(installation_->home + "/dialogs.log");
  EXPECT_NE(log.find("SETDESC Allow https://shop.example to use your certificates?"), std::string::npos) << log;
  EXPECT_NE(log.find("SETDESC https://shop.example asks to sign a document"), std::string::npos) << log;
  EXPECT_NE(log.find("OPTION display=:77"), std::string::npos) << log;
}

TEST_F(HelmServiceTest, AnOriginNotOnTheListIsRefusedAtUnlockAndLoadsNothingFurther) {
  size_t versionsBefore = service_->count("Extract component version: ");
  Json refused = call(Request().text("FunctionName", "ListCertificates"), "https://evil.example");
  EXPECT_EQ(refused.code(), 71016) << last_["result"];
  EXPECT_FALSE(refused.has("certificates"));
  // The refusal is the whole answer: no session, no versions.
  EXPECT_EQ(last_.count("SessionID"), 0u);
  EXPECT_EQ(last_.count("LibVersion"), 0u);
  EXPECT_TRUE(session_.empty());
  EXPECT_EQ(service_->count("Extract component version: "), versionsBefore) << service_->output();
  // The allowed page still works next to it.
  EXPECT_EQ(call(Request().text("FunctionName", "Hash").bytes("data", "abc"))["hex"].text,
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// ---- one role per key --------------------------------------------------------------------
// The key-role token of the fixture (one key per key-usage form, and a key
// certified twice) behind the real service. https://evil.test is a site the
// user lets sign; https://bank.example is where it wants to log the user in.

const char kEvil[] = "https://evil.test";

class HelmKeyRoleTest : public HelmServiceTest {
 protected:
  static void SetUpTestSuite() { startService("softhsm2-roles.conf", {kBank, kEvil}); }
  void SetUp() override {
    HelmServiceTest::SetUp();
    writeSettings("");
  }

  // A page function called as origin, on a session of that origin's.
  Json as(const std::string& origin, Request request) {
    if (!session_.empty() && sessionOrigin_ != origin) closeSession();
    return call(std::move(request), origin);
  }
  std::string idAs(const std::string& origin, const std::string& commonName) {
    Json list = as(origin, Request().text("FunctionName", "ListCertificates"));
    for (const Json& c : list["certificates"].items) {
      if (c["commonName"].text == commonName) return c["id"].text;
    }
    ADD_FAILURE() << "no " << commonName << " in " << last_["result"];
    return std::string();
  }
  std::string pemAs(const std::string& origin, const std::string& id) {
    return as(origin, Request().text("FunctionName", "GetCertificate").text("id", id))["pem"].text;
  }

  static std::string sha256(const std::string& bytes) {
    TempFile in(bytes);
    return run("openssl dgst -sha256 -binary " + quote(in.path)).output;
  }
  // What Authenticate signs for origin and challenge (the documented 82 bytes).
  static std::string authenticationBytes(const std::string& origin, const std::string& challenge) {
    return std::string("KESTROVAN-AUTH-V1\0", 18) + sha256(origin) + sha256(challenge);
  }
  // The shipped verifier's verdict, run as bank.example's server runs it.
  Json verify(const std::string& answer, const std::string& challenge, bool acceptDualUse = false) {
    helmtest::writeFile(work_->path + "/answer.json", answer);
    CommandResult r = run(std::string(HELM_NODE) + " " + quote(HELM_VERIFY_SCRIPT) + " " +
                          quote(work_->path + "/answer.json") + " " + quote(kBank) + " " +
                          quote(helmtest::base64(challenge)) + " " +
                          quote(std::string(HELM_FIXTURE_DIR) + "/ca.crt") + (acceptDualUse ? " dual" : ""));
    try {
      return helmtest::parseJson(r.output);
    } catch (const std::exception&) {
      ADD_FAILURE() << r.output;
      return Json();
    }
  }
  // An answer in the form Authenticate gives, for bank.example, around a
  // signature got elsewhere.
  static std::string packed(const std::string& signature, const std::string& algorithm, const std::string& pem) {
    std::string escaped;
    for (char c : pem) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    return std::string(R"({"code":0,"id":"x","format":"KESTROVAN-AUTH-V1","version":1,"origin":")") + kBank +
           R"(","algorithm":")" + algorithm + R"(","signature":")" + helmtest::base64(signature) +
           R"(","certificate":")" + escaped + R"("})";
  }
  // The signature value of a CMS SignedData's (only) signer: the last
  // OCTET STRING openssl's parse shows, which follows the signature algorithm.
  std::string cmsSignatureValue(const std::string& cms) {
    TempFile der(cms);
    CommandResult parsed = run("openssl asn1parse -inform DER -in " + quote(der.path));
    std::string hexText;
    std::stringstream lines(parsed.output);
    for (std::string line; std::getline(lines, line);) {
      size_t dump = line.find("[HEX DUMP]:");
      if (line.find("OCTET STRING") != std::string::npos && dump != std::string::npos) hexText = line.substr(dump + 11);
    }
    if (hexText.empty()) ADD_FAILURE() << parsed.output;
    std::string bytes;
    for (size_t i = 0; i + 1 < hexText.size(); i += 2) bytes.push_back((char)std::stoi(hexText.substr(i, 2), nullptr, 16));
    return bytes;
  }

  struct TempFile {
    std::string path;
    explicit TempFile(const std::string& bytes) {
      char pattern[] = "/tmp/kestrovan-role-XXXXXX";
      int fd = mkstemp(pattern);
      if (fd >= 0) close(fd);
      path = pattern;
      helmtest::writeFile(path, bytes);
    }
    ~TempFile() { unlink(path.c_str()); }
  };
};

// Which functions take which key, by its certificate's key usage and the
// setting for keys certified for both roles.
struct RoleCase {
  const char* name;
  const char* commonName;
  const char* setting;  // settings line, "" for the defaults
  int signCms;          // expected codes
  int signRaw;
  int authenticate;
};

void PrintTo(const RoleCase& c, std::ostream* out) { *out << c.name; }

class HelmKeyRoles : public HelmKeyRoleTest, public ::testing::WithParamInterface<RoleCase> {};

TEST_P(HelmKeyRoles, EachKeyServesOneRole) {
  const RoleCase& c = GetParam();
  writeSettings(c.setting);
  std::string id = idAs(kBank, c.commonName);
  ASSERT_FALSE(id.empty());
  Json listed = as(kBank, Request().text("FunctionName", "GetCertificate").text("id", id));
  EXPECT_EQ(listed["role"].text, c.authenticate == 0 ? "authentication" : "signing") << last_["result"];
  const std::string data = "role table";
  Json cms = as(kBank, Request().text("FunctionName", "SignCms").text("id", id).text("pin", "1234").bytes("data", data));
  EXPECT_EQ(cms.code(), c.signCms) << last_["result"];
  if (cms.code() == 0) {
    EXPECT_EQ(opensslVerify(helmtest::unbase64(cms["cms"].text), data, true).status, 0);
  }
  for (bool hashed : {false, true}) {
    SCOPED_TRACE(hashed ? "SignRaw hashed" : "SignRaw");
    Json raw = as(kBank, Request()
                             .text("FunctionName", "SignRaw")
                             .text("id", id)
                             .text("pin", "1234")
                             .bytes("data", hashed ? sha256(data) : data)
                             .text("hashed", hashed ? "true" : "false"));
    EXPECT_EQ(raw.code(), c.signRaw) << last_["result"];
  }
  std::string challenge = run("openssl rand 32").output;
  Json login = as(kBank, Request().text("FunctionName", "Authenticate").text("id", id).text("pin", "1234").bytes(
                             "challenge", challenge));
  EXPECT_EQ(login.code(), c.authenticate) << last_["result"];
  if (login.code() == 0) {
    // Authentication keys with digitalSignature alone pass the shipped
    // verifier; one certified for both only where the server accepts them.
    Json verdict = verify(last_["result"], challenge, std::string(c.commonName) != "Role Auth" &&
                                                          std::string(c.commonName) != "Twin Auth");
    EXPECT_TRUE(verdict["ok"].boolean) << verdict["message"].text;
  }
  // A refusal names the role.
  if (c.signCms != 0) {
    EXPECT_NE(cms["message"].text.find("for authentication"), std::string::npos);
  }
  if (c.authenticate != 0) {
    EXPECT_NE(login["message"].text.find("for signing"), std::string::npos);
  }
}

const RoleCase kRoleCases[] = {
    {"DigitalSignatureAloneLogsIn", "Role Auth", "", 71023, 71023, 0},
    {"DigitalSignatureAloneWhateverTheSetting", "Role Auth", "dual-use-key-role = signing\n", 71023, 71023, 0},
    {"BothBitsSignByDefault", "Role Both", "", 0, 0, 71024},
    {"BothBitsSetToLogIn", "Role Both", "dual-use-key-role = authentication\n", 71023, 71023, 0},
    {"NonRepudiationAloneSigns", "Role NonRepudiation", "", 0, 0, 71024},
    {"NonRepudiationAloneWhateverTheSetting", "Role NonRepudiation", "dual-use-key-role = authentication\n", 0, 0,
     71024},
    {"NoKeyUsageSignsByDefault", "Role No Usage", "", 0, 0, 71024},
    {"NoKeyUsageSetToLogIn", "Role No Usage", "dual-use-key-role = authentication\n", 71023, 71023, 0},
    {"OldSettingNoLongerLetsLoginKeysSign", "Role Auth", "sign-without-non-repudiation = true\n", 71023, 71023, 0},
    {"TwinSignerRefusedItsKeyLogsIn", "Twin Signer", "", 71023, 71023, 71024},
    {"TwinAuthLogsIn", "Twin Auth", "", 71023, 71023, 0},
};

INSTANTIATE_TEST_SUITE_P(KeyUsages, HelmKeyRoles, ::testing::ValuesIn(kRoleCases),
                         [](const ::testing::TestParamInfo<RoleCase>& info) { return info.param.name; });

// A site the user lets sign tries to get, with every key, every setting
// and every signing function, a signature that bank.example's server takes
// as the user's login: the 82 bytes Authenticate signs for bank.example,
// signed raw over their digest, raw over themselves, and in a CMS. Packed
// as Authenticate answers with each certificate of the key, none passes
// the shipped verifier.
TEST_F(HelmKeyRoleTest, NoSigningCallOfASiteBecomesALoginToAnother) {
  std::string challenge = run("openssl rand 32").output;
  ASSERT_EQ(challenge.size(), 32u);
  const std::string target = authenticationBytes(kBank, challenge);
  ASSERT_EQ(target.size(), 82u);
  struct Key {
    const char* commonName;
    const char* algorithm;
    std::vector<const char*> certificates;  // every certificate of the key
  } keys[] = {{"Role Auth", "ECDSA-SHA256", {"Role Auth"}},
              {"Role Both", "RSA-SHA256", {"Role Both"}},
              {"Role NonRepudiation", "ECDSA-SHA256", {"Role NonRepudiation"}},
              {"Role No Usage", "ECDSA-SHA256", {"Role No Usage"}},
              {"Twin Signer", "ECDSA-SHA256", {"Twin Signer", "Twin Auth"}},
              {"Twin Auth", "ECDSA-SHA256", {"Twin Signer", "Twin Auth"}}};
  int signaturesGot = 0;
  int verified = 0;
  for (const char* setting : {"", "dual-use-key-role = authentication\n"}) {
    writeSettings(setting);
    for (const Key& key : keys) {
      SCOPED_TRACE(std::string(key.commonName) + " " + setting);
      std::string id = idAs(kEvil, key.commonName);
      std::vector<std::string> pems;
      for (const char* name : key.certificates) pems.push_back(pemAs(kEvil, idAs(kEvil, name)));
      auto sign = [&](Request request) {
        Json answer = as(kEvil, request.text("id", id).text("pin", "1234"));
        EXPECT_TRUE(answer.code() == 0 || answer.code() == 71023 || answer.code() == 71001) << last_["result"];
        return answer;
      };
      std::vector<std::string> signatures;
      Json hashed = sign(Request().text("FunctionName", "SignRaw").bytes("data", sha256(target)).text("hashed", "true"));
      if (hashed.code() == 0) signatures.push_back(helmtest::unbase64(hashed["signature"].text));
      Json raw = sign(Request().text("FunctionName", "SignRaw").bytes("data", target));
      EXPECT_NE(raw.code(), 0) << "what Authenticate signs is never signed raw";
      if (raw.code() == 0) signatures.push_back(helmtest::unbase64(raw["signature"].text));
      Json cms = sign(Request().text("FunctionName", "SignCms").bytes("data", target).text("includeTime", "false"));
      if (cms.code() == 0) signatures.push_back(cmsSignatureValue(helmtest::unbase64(cms["cms"].text)));
      // A key that logs in never signs what the site chose.
      bool logsIn = as(kEvil, Request().text("FunctionName", "Authenticate").text("id", id).text("pin", "1234").bytes(
                                  "challenge", challenge))
                        .code() == 0;
      if (logsIn) {
        EXPECT_TRUE(signatures.empty()) << "a login key signed for the site";
      }
      for (const std::string& signature : signatures) {
        signaturesGot++;
        for (const std::string& pem : pems) {
          Json verdict = verify(packed(signature, key.algorithm, pem), challenge);
          EXPECT_FALSE(verdict["ok"].boolean) << "a forged login to bank.example passed: " << pem.substr(0, 80);
          // The same packing passes where the server takes keys that may
          // also sign, for the raw digest: the check above could fail.
          if (verify(packed(signature, key.algorithm, pem), challenge, true)["ok"].boolean) verified++;
        }
      }
    }
  }
  EXPECT_GT(signaturesGot, 0) << "signing keys signed";
  EXPECT_GT(verified, 0) << "the packing is one the verifier can accept";
}

// ---- the user chooses ------------------------------------------------------------------------
// A site of the web, not a kiosk: the service runs without list sites, and the
// list dialog is stub_chooser.sh, answering from a file.

class HelmChooserServiceTest : public HelmServiceTest {
 protected:
  static void SetUpTestSuite() {
    const char* listing = getenv("KESTROVAN_HELM_LIST_ORIGINS");
    std::string saved = listing != nullptr ? listing : "";
    unsetenv("KESTROVAN_HELM_LIST_ORIGINS");
    setenv("KESTROVAN_HELM_CHOOSER", HELM_STUB_CHOOSER, 1);
    setenv("STUB_CHOOSER_ANSWER_FILE", answerFile().c_str(), 1);
    setenv("STUB_CHOOSER_LOG", (chooserFolder_.path + "/chooser.log").c_str(), 1);
    startService("softhsm2.conf", {kBank});
    if (!saved.empty()) setenv("KESTROVAN_HELM_LIST_ORIGINS", saved.c_str(), 1);
    for (const char* name : {"KESTROVAN_HELM_CHOOSER", "STUB_CHOOSER_ANSWER_FILE", "STUB_CHOOSER_LOG"}) unsetenv(name);
  }
  static std::string answerFile() { return chooserFolder_.path + "/answer"; }
  static kt::TempFolder chooserFolder_;
};
kt::TempFolder HelmChooserServiceTest::chooserFolder_;

TEST_F(HelmChooserServiceTest, ThePageSeesExactlyOneCertificateOrNone) {
  Json list = call(Request().text("FunctionName", "ListCertificates"));
  EXPECT_EQ(list.code(), 71050) << last_["result"];
  EXPECT_FALSE(list.has("certificates"));

  helmtest::writeFile(answerFile(), "CHOSEN 1\n");
  Json chosen = call(Request().text("FunctionName", "SelectCertificate").text("purpose", "signing"));
  ASSERT_EQ(chosen.code(), 0) << last_["result"];
  EXPECT_NE(chosen["pem"].text.find("BEGIN CERTIFICATE"), std::string::npos);
  EXPECT_FALSE(chosen.has("certificates"));
  EXPECT_EQ(last_["result"].find("\"pem\"", last_["result"].find("\"pem\"") + 1), std::string::npos)
      << "one certificate only";
  // The chosen one stays: no id needed, and no other id taken.
  Json again = call(Request().text("FunctionName", "GetCertificate"));
  EXPECT_EQ(again["id"].text, chosen["id"].text);
  const std::string data = "signed with the chosen certificate";
  std::string name = chosen["commonName"].text;
  std::string pin = name == "Plain Signer" ? "abcd" : name == "Soft Signer" ? "5678" : "1234";
  Json signature = call(Request().text("FunctionName", "SignCms").text("pin", pin).bytes("data", data));
  EXPECT_EQ(signature["id"].text, chosen["id"].text) << last_["result"];

  helmtest::writeFile(answerFile(), "CANCELLED\n");
  Json none = call(Request().text("FunctionName", "SelectCertificate"));
  EXPECT_EQ(none.code(), 71021) << last_["result"];
  EXPECT_FALSE(none.has("pem"));
  EXPECT_FALSE(none.has("id"));
  EXPECT_EQ(call(Request().text("FunctionName", "GetCertificate").text("id", chosen["id"].text)).code(), 71051);
  // The stub was told the site.
  std::string log = helmtest::readFile(chooserFolder_.path + "/chooser.log");
  EXPECT_NE(log.find("site https://bank.example"), std::string::npos) << log;
}

// In the service the adapter runs from a session's private copy in the copy
// folder: its list dialog is still the one installed beside the adapter
// (no setting, no environment naming it).
class HelmInstalledChooserServiceTest : public HelmServiceTest {
 protected:
  static void SetUpTestSuite() {
    const char* listing = getenv("KESTROVAN_HELM_LIST_ORIGINS");
    std::string saved = listing != nullptr ? listing : "";
    unsetenv("KESTROVAN_HELM_LIST_ORIGINS");
    unsetenv("KESTROVAN_HELM_CHOOSER");
    setenv("STUB_CHOOSER_ANSWER_FILE", (folder_.path + "/answer").c_str(), 1);
    setenv("STUB_CHOOSER_LOG", (folder_.path + "/chooser.log").c_str(), 1);
    startService("softhsm2.conf", {kBank});
    if (!saved.empty()) setenv("KESTROVAN_HELM_LIST_ORIGINS", saved.c_str(), 1);
    for (const char* name : {"STUB_CHOOSER_ANSWER_FILE", "STUB_CHOOSER_LOG"}) unsetenv(name);
    // Installed where the package puts it: beside the adapter, which the
    // copy folder does not hold. Looked for at each call.
    if (installation_ != nullptr) {
      run("install -m 755 " + quote(HELM_STUB_CHOOSER) + " " + quote(installation_->bin + "/NORTA/" "kestrovan-helm-chooser"));
    }
  }
  static kt::TempFolder folder_;
};
kt::TempFolder HelmInstalledChooserServiceTest::folder_;

TEST_F(HelmInstalledChooserServiceTest, TheListDialogInstalledBesideTheAdapterIsTheOneShown) {
  helmtest::writeFile(folder_.path + "/answer", "CHOSEN 0\n");
  Json chosen = call(Request().text("FunctionName", "SelectCertificate").text("purpose", "signing"));
  ASSERT_EQ(chosen.code(), 0) << last_["result"];
  EXPECT_NE(chosen["pem"].text.find("BEGIN CERTIFICATE"), std::string::npos);
  std::string log = helmtest::readFile(folder_.path + "/chooser.log");
  EXPECT_NE(log.find("site https://bank.example"), std::string::npos) << log;
}

}  // namespace
