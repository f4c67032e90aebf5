// SPDX-License-Identifier: Apache-2.0
// helm_refusal_test.cpp -- what a site learns through the running service
// before the user let it in: nothing. The real NORTAKestrovan with the PKI
// adapter beside it, the user's list allowing https://bank.example, run
// twice: without a display (nobody can be asked) and on a private Xvfb
// display where the stub pinentry denies. Sites that only look like the
// allowed one never get its grant, and a refused site gets the same answer,
// byte for byte, whether or not the machine has a display: no certificate,
// no session, no versions, no reason.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "adapters_pki/helm_test_support.h"
#include "harness.h"

namespace {

using helmtest::Json;
using helmtest::quote;
using helmtest::run;

const char kBank[] = "https://bank.example";
const char kPathId[] = "7E41A0C2D95B4F3E8A61C07B2D9F54E1";

// A page's first call: opens a session on the PKI adapter and lists the
// certificates, in main-thread mode (the consent dialog may take a while).
std::string openingJson() {
  return std::string(R"({"FunctionName":"ListCertificates","SessionId":"","PathID":")") + kPathId +
         R"(","InstallerName":"","minServerVersion":"3.0.23.0721","minLibVersion":"1.0.0.0",)"
         R"("KestrovanMainThread":true})";
}

struct Answer {
  long status = 0;
  std::string body;
  std::map<std::string, std::string> values;
};

struct Environment {
  const char* name;
  bool display;
};
const Environment kEnvironments[] = {{"NoDisplay", false}, {"DisplayUserDenies", true}};

struct SiteCase {
  const char* name;
  std::vector<std::string> headers;  // the page's Origin / Referer lines
  bool allowed;
};

void PrintTo(const SiteCase& c, std::ostream* os) { *os << c.name; }

const SiteCase kSites[] = {
    // The control: the allowed site itself gets in, in both environments.
    {"TheAllowedSite", {"Origin: https://bank.example"}, true},
    {"AllowedNameAsSubdomain", {"Origin: https://bank.example.evil.test"}, false},
    {"AllowedNameAsUserPart", {"Origin: https://bank.example@evil.test"}, false},
    {"AllowedNameInQuery", {"Origin: https://evil.test/?bank.example"}, false},
    {"AllowedNameInRefererQuery", {"Referer: https://evil.test/?bank.example"}, false},
    {"TrailingDot", {"Origin: https://bank.example."}, false},
    {"TrailingDotWithPort", {"Origin: https://bank.example.:443"}, false},
    {"PlainHttp", {"Origin: http://bank.example"}, false},
    {"ForeignSite", {"Origin: https://evil.test"}, false},
};

// Both services run once, for both suites below.
class HelmRefusal : public ::testing::Test {
 public:
  // Every site's answer in every environment, collected once.
  static std::map<std::string, Answer> answers_;  // "<environment>/<site>"
  static std::map<std::string, std::string> dialogs_;  // the stub's log per environment
  static std::map<std::string, std::string> consoles_;  // the service's console per environment
  static std::string failure_;
  static bool collected_;

 protected:
  static void SetUpTestSuite() {
    if (collected_) return;
    collected_ = true;
    setenv("SOFTHSM2_CONF", (std::string(HELM_FIXTURE_DIR) + "/softhsm2.conf").c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    for (const Environment& e : kEnvironments) {
      if (!serve(e)) return;
    }
  }

  static bool serve(const Environment& e) {
    kt::Installation installation(KESTROVAN_SERVICE_EXE, HELM_ADAPTER_PATH);
    if (!installation.ok) return fail("no installation");
    std::string config = helmtest::configFolder(installation.home);
    run("mkdir -p " + quote(config) + " && chmod 700 " + quote(installation.home + "/.config") + " " +
        quote(installation.home + "/.config/kestrovan") + " " + quote(config));
    run("cp -a " + quote(std::string(HELM_FIXTURE_DIR) + "/home/.config/kestrovan/helm/keys") + " " + quote(config));
    helmtest::writeFile(config + "/allowed-origins", std::string(kBank) + "\n");
    helmtest::writeFile(config + "/helm.conf", std::string("pinentry = ") + HELM_STUB_PINENTRY + "\n");
    // No plan: the stub cancels every dialog, as a user choosing Deny.
    std::string log = installation.home + "/dialogs.log";
    setenv("STUB_PINENTRY_LOG", log.c_str(), 1);
    unsetenv("STUB_PINENTRY_PLAN");
    pid_t xvfb = -1;
    if (e.display) {
      std::string display;
      if (!startDisplay(&xvfb, &display)) return fail("Xvfb did not start");
      setenv("DISPLAY", display.c_str(), 1);
    } else {
      unsetenv("DISPLAY");
    }
    bool served = false;
    {
      kt::ServiceProcess service;
      if (service.start(installation.exe, installation.home) &&
          service.waitFor("NORTAKestrovan initialization: Success", 60)) {
        served = true;
        for (const SiteCase& site : kSites) answers_[std::string(e.name) + "/" + site.name] = ask(installation, site);
        service.stop();
        consoles_[e.name] = service.output();
      } else {
        fail(std::string(e.name) + ": the service did not start\n" + service.output());
      }
    }
    std::string dialogs;
    kt::readFile(log, &dialogs);
    dialogs_[e.name] = dialogs;
    unsetenv("DISPLAY");
    if (xvfb > 0) {
      kill(xvfb, SIGTERM);
      waitpid(xvfb, nullptr, 0);
    }
    return served;
  }

  // The page's call, sent again while the service answers "heartbeat".
  static Answer ask(const kt::Installation& installation, const SiteCase& site) {
    Answer answer;
    for (int attempt = 0; attempt < 30; attempt++) {
      kt::HttpAnswer http = kt::post(installation.caFile, openingJson(), "", site.headers);
      answer.status = http.status;
      answer.body = http.body;
      answer.values.clear();
      kt::decodeAnswer(http.body, &answer.values);
      if (answer.values["result"] != "heartbeat") break;
    }
    return answer;
  }

  static bool startDisplay(pid_t* xvfb, std::string* display) {
    for (int attempt = 0; attempt < 20; attempt++) {
      int number = 100 + (int)((getpid() + attempt * 41) % 400);
      if (access(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), F_OK) == 0) continue;
      *display = ":" + std::to_string(number);
      *xvfb = fork();
      if (*xvfb == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        // -noreset: Xvfb resets when its last client leaves, and a client that
        // connects meanwhile (pinentry right after the readiness probe or the
        // previous dialog) finds no server and falls back to a terminal.
        execlp("Xvfb", "Xvfb", display->c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset",
               static_cast<char*>(nullptr));
        _exit(127);
      }
      for (int i = 0; i < 100; i++) {
        if (waitpid(*xvfb, nullptr, WNOHANG) == *xvfb) break;
        if (run("DISPLAY=" + *display + " xdotool getdisplaygeometry").status == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      kill(*xvfb, SIGTERM);
      waitpid(*xvfb, nullptr, 0);
      *xvfb = -1;
    }
    return false;
  }

  static bool fail(const std::string& why) {
    failure_ += why + "\n";
    return false;
  }
};

std::map<std::string, Answer> HelmRefusal::answers_;
std::map<std::string, std::string> HelmRefusal::dialogs_;
std::map<std::string, std::string> HelmRefusal::consoles_;
std::string HelmRefusal::failure_;
bool HelmRefusal::collected_ = false;

class HelmRefusalTest : public HelmRefusal, public ::testing::WithParamInterface<SiteCase> {};

TEST_P(HelmRefusalTest, OnlyTheListedSiteGetsInAndARefusalSaysNothingOfTheMachine) {
  const SiteCase& site = GetParam();
  ASSERT_TRUE(failure_.empty()) << failure_;
  for (const Environment& e : kEnvironments) {
    SCOPED_TRACE(e.name);
    ASSERT_EQ(answers_.count(std::string(e.name) + "/" + site.name), 1u);
    Answer& answer = answers_[std::string(e.name) + "/" + site.name];
    ASSERT_EQ(answer.status, 200) << answer.body;
    Json result = helmtest::parseJson(answer.values["result"]);
    if (site.allowed) {
      EXPECT_EQ(result.code(), 0) << answer.values["result"];
      EXPECT_FALSE(result["certificates"].items.empty()) << answer.values["result"];
      continue;
    }
    EXPECT_EQ(result.code(), 71016) << answer.values["result"];
    EXPECT_EQ(result["message"].text, "origin not allowed") << answer.values["result"];
    EXPECT_FALSE(result.has("certificates")) << answer.values["result"];
    // The refusal is the whole answer: no session, no versions.
    EXPECT_EQ(answer.values.size(), 1u) << answer.body;
  }
  if (!site.allowed) {
    // Byte for byte the same, display or not.
    EXPECT_EQ(answers_[std::string("NoDisplay/") + site.name].body,
              answers_[std::string("DisplayUserDenies/") + site.name].body);
  }
}

INSTANTIATE_TEST_SUITE_P(Sites, HelmRefusalTest, ::testing::ValuesIn(kSites),
                         [](const ::testing::TestParamInfo<SiteCase>& info) { return std::string(info.param.name); });

// The two environments really differ where it matters: with the display the
// user was asked (and denied), without it nobody was, and the console says
// which; the lookalike sites were asked about under their own names, never
// as the allowed site.
TEST_F(HelmRefusal, TheDisplayAskedTheUserAndNeverInTheAllowedSitesName) {
  ASSERT_TRUE(failure_.empty()) << failure_;
  EXPECT_EQ(dialogs_["NoDisplay"].find("CONFIRM"), std::string::npos) << dialogs_["NoDisplay"];
  const std::string& asked = dialogs_["DisplayUserDenies"];
  EXPECT_NE(asked.find("CONFIRM"), std::string::npos) << asked;
  EXPECT_NE(asked.find("SETDESC Allow https://evil.test to use your certificates?"), std::string::npos) << asked;
  EXPECT_EQ(asked.find("SETDESC Allow https://bank.example to use"), std::string::npos) << asked;
  // What the page was not told, the user's console says.
  EXPECT_NE(consoles_["NoDisplay"].find("HelmPKICryptAdapter: site refused: https://evil.test: origin not allowed: "
                                        "no dialog could be shown"),
            std::string::npos)
      << consoles_["NoDisplay"];
  EXPECT_NE(consoles_["DisplayUserDenies"].find(
                "HelmPKICryptAdapter: site refused: https://evil.test: origin not allowed: the user denied it"),
            std::string::npos)
      << consoles_["DisplayUserDenies"];
}

}  // namespace
