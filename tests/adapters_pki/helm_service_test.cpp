// helm_service_test.cpp -- the PKI adapter through the running service: the
// real NORTAKestrovan with HelmPKICryptAdapter laid out next to it, the
// SoftHSM2 token and PKCS #12 files of make_fixtures.sh, and the curl program
// as the page's client. Signatures are checked with openssl. The dialogs are
// the stub pinentry's (stub_pinentry.sh), which the service starts with the
// environment it was given.
#include <gtest/gtest.h>

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
  static void SetUpTestSuite() {
    installation_ = new kt::Installation(KESTROVAN_SERVICE_EXE, HELM_ADAPTER_PATH);
    if (!installation_->ok) return;
    std::string config = helmtest::configFolder(installation_->home);
    run("mkdir -p " + quote(config) + " && chmod 700 " + quote(installation_->home + "/.config") + " " +
        quote(installation_->home + "/.config/kestrovan") + " " + quote(config));
    run("cp -a " + quote(std::string(HELM_FIXTURE_DIR) + "/home/.config/kestrovan/helm/keys") + " " + quote(config));
    helmtest::writeFile(config + "/allowed-origins", std::string(kBank) + "\n");
    helmtest::writePagePinSettings(installation_->home, kBank);
    helmtest::writeFile(config + "/helm.conf", helmtest::readFile(config + "/helm.conf") +
                                                   "pinentry = " + HELM_STUB_PINENTRY + "\n");
    setenv("SOFTHSM2_CONF", (std::string(HELM_FIXTURE_DIR) + "/softhsm2.conf").c_str(), 1);
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
    if (session_.empty() && values.count("SessionID")) session_ = values["SessionID"];
    try {
      return helmtest::parseJson(values["result"]);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "result is not JSON: " << values["result"];
      return Json();
    }
  }

  void closeSession() {
    if (!session_.empty()) post(Request().text("FunctionName", "KestrovanClose").text("SessionId", session_).json(), kBank);
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

}  // namespace
