// SPDX-License-Identifier: Apache-2.0
// helm_real_dialog_test.cpp -- one real dialog end to end: Debian's
// pinentry-gtk2 on a private Xvfb display, driven by xdotool as a user's
// keyboard. The site is allowed once in the consent dialog, the PIN is typed
// into the PIN dialog (a wrong one first, then the right one), and openssl
// verifies the signature. A page's words made to look like the dialog's own
// lines are shown as one quoted line. A keystroke already under way when the
// consent dialog appears (Return within 300 ms) does not grant: gtk2 starts
// with the focus on the cancel button, which the adapter labels "Deny".
// Screenshots of the dialogs are kept in the build tree (consent-dialog.png,
// pin-dialog.png, pin-retry-dialog.png, hostile-words-dialog.png) for the
// adapter's README.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "adapters_pki/helm_test_support.h"

using namespace helmtest;

namespace {

const char kBank[] = "https://bank.example";
const char kShop[] = "https://shop.example";

class HelmRealDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = makeHome(temp_.path());
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("KESTROVAN_PINENTRY");
    setenv("SOFTHSM2_CONF", (std::string(HELM_FIXTURE_DIR) + "/softhsm2.conf").c_str(), 1);
    writeFile(configFolder(home_) + "/allowed-origins", std::string(kBank) + "\n");
    writeFile(configFolder(home_) + "/helm.conf",
              "pinentry = /usr/bin/pinentry-gtk-2\ndialog-timeout = 60\n");
    ASSERT_TRUE(startDisplay());
  }
  void TearDown() override {
    if (xvfb_ > 0) {
      kill(xvfb_, SIGTERM);
      waitpid(xvfb_, nullptr, 0);
    }
  }

  // A private X server on a display number nobody holds, ready once a
  // client can talk to it.
  bool startDisplay() {
    for (int attempt = 0; attempt < 20; attempt++) {
      int number = 100 + (int)((getpid() + attempt * 37) % 400);
      if (access(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), F_OK) == 0) continue;
      display_ = ":" + std::to_string(number);
      xvfb_ = fork();
      if (xvfb_ == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        // -noreset: Xvfb resets when its last client leaves, and a client that
        // connects meanwhile (pinentry right after the readiness probe or the
        // previous dialog) finds no server and falls back to a terminal.
        execlp("Xvfb", "Xvfb", display_.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset",
               static_cast<char*>(nullptr));
        _exit(127);
      }
      setenv("DISPLAY", display_.c_str(), 1);
      for (int i = 0; i < 100; i++) {
        if (waitpid(xvfb_, nullptr, WNOHANG) == xvfb_) break;  // it could not take the display
        if (run("xdotool getdisplaygeometry").status == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      kill(xvfb_, SIGTERM);
      waitpid(xvfb_, nullptr, 0);
      xvfb_ = -1;
    }
    return false;
  }

  // Waits (up to 60 s) for a visible window with exactly this title, other
  // than the window not.
  std::string window(const std::string& title, const std::string& other = "") {
    for (int i = 0; i < 600; i++) {
      CommandResult found = run("xdotool search --onlyvisible --name " + quote("^" + title + "$"));
      std::istringstream ids(found.output);
      std::string id;
      while (std::getline(ids, id)) {
        if (!id.empty() && id != other) return id;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return std::string();
  }
  void keys(const std::string& arguments) { EXPECT_EQ(run("xdotool " + arguments).status, 0) << arguments; }
  void screenshot(const std::string& name) {
    std::string path = std::string(HELM_BUILD_DIR) + "/" + name;
    CommandResult shot = run("import -window root " + quote(path));
    EXPECT_EQ(shot.status, 0) << shot.output;
  }

  TempFolder temp_;
  std::string home_;
  std::string display_;
  pid_t xvfb_ = -1;
};

TEST_F(HelmRealDialogTest, AUserAllowsASiteOnceAndTypesThePinIntoGtkDialogs) {
  Adapter adapter;
  std::string unlocked;
  std::thread consent([&] { unlocked = adapter.unlock(kShop); });
  std::string id = window("Kestrovan: site access");
  if (id.empty()) {
    consent.join();
    FAIL() << "no consent dialog appeared; unlock answered " << unlocked;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // drawn
  screenshot("consent-dialog.png");
  keys("key alt+a");  // "_Allow once"
  consent.join();
  ASSERT_EQ(unlocked, "0");
  EXPECT_EQ(readFile(configFolder(home_) + "/allowed-origins").find("shop"), std::string::npos);

  Json list = adapter.page("ListCertificates", {});
  std::string signer;
  for (const Json& c : list["certificates"].items) {
    if (c["commonName"].text == "Token Signer") signer = c["id"].text;
  }
  ASSERT_FALSE(signer.empty());
  const std::string data = "Pay 100.00 to account 42";
  Params p = {{"id", signer}, {"description", "Invoice 2026-117"}};
  addBytes(&p, "data", data);
  Json answer;
  std::thread signing([&] { answer = adapter.page("SignCms", p); });
  std::string first = window("Kestrovan: PIN");
  EXPECT_FALSE(first.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  keys("type --delay 30 9999");
  screenshot("pin-dialog.png");
  keys("key Return");
  // The retry is a new window, with the token's answer on it.
  std::string second = window("Kestrovan: PIN", first);
  EXPECT_FALSE(second.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  keys("type --delay 30 1234");
  screenshot("pin-retry-dialog.png");
  keys("key Return");
  signing.join();
  ASSERT_EQ(answer.code(), 0) << answer["message"].text;
  writeFile(temp_.path() + "/sig.der", unbase64(answer["cms"].text));
  writeFile(temp_.path() + "/data.bin", data);
  CommandResult verdict = run("openssl cms -verify -binary -inform DER -in " + quote(temp_.path() + "/sig.der") +
                              " -content " + quote(temp_.path() + "/data.bin") + " -CAfile " +
                              quote(std::string(HELM_FIXTURE_DIR) + "/ca.crt") + " -out /dev/null");
  EXPECT_EQ(verdict.status, 0) << verdict.output;
  adapter.release();
}

// A page's words made to look like the dialog's own lines (paragraph and
// line separators, a quote to close the site's words): pinentry-gtk2 shows
// them as one line, inside the dialog's quotes.
TEST_F(HelmRealDialogTest, ASitesWordsStayOneQuotedLineInTheGtkDialog) {
  Adapter adapter;
  ASSERT_EQ(adapter.unlock(kBank), "0");
  Json list = adapter.page("ListCertificates", {});
  std::string signer;
  for (const Json& c : list["certificates"].items) {
    if (c["commonName"].text == "Token Signer") signer = c["id"].text;
  }
  ASSERT_FALSE(signer.empty());
  const std::string words =
      "Invoice 7\" \xe2\x80\xa9\xe2\x80\xa9Site verified by your computer:\xe2\x80\xa8https://bank.example"
      "\xe2\x80\xa8\xe2\x80\xa8Operation: log in";
  Params p = {{"id", signer}, {"description", words}};
  addBytes(&p, "data", "x");
  Json answer;
  std::thread signing([&] { answer = adapter.page("SignCms", p); });
  std::string id = window("Kestrovan: PIN");
  EXPECT_FALSE(id.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  screenshot("hostile-words-dialog.png");
  keys("key Escape");
  signing.join();
  EXPECT_EQ(answer.code(), 71021) << answer["message"].text;
  adapter.release();
}

// A page can make the consent dialog appear while the user is typing: a
// Return meant for the page lands on the dialog within a few hundred ms.
// The adapter puts "Deny" on pinentry's cancel button, where gtk2 starts the
// focus, and "Allow once" on the OK button, which only its mnemonic or a
// click reaches: the early Return denies, and no "always" question follows.
// The second row is the control: a key sent as early does reach the dialog
// (its mnemonic allows), so the first row's refusal is the key's doing.
struct EarlyKeyCase {
  const char* name;
  const char* key;
  const char* site;  // one per row: a denial may be remembered
  bool granted;
};

void PrintTo(const EarlyKeyCase& c, std::ostream* os) { *os << c.name; }

class HelmEarlyKeyTest : public HelmRealDialogTest, public ::testing::WithParamInterface<EarlyKeyCase> {};

TEST_P(HelmEarlyKeyTest, AKeystrokeUnderWayDoesNotAllowTheSite) {
  const EarlyKeyCase& c = GetParam();
  Adapter adapter;
  std::string unlocked;
  std::thread consent([&] { unlocked = adapter.unlock(c.site); });
  // Polled every 10 ms (xdotool's own --sync looks twice a second): the
  // key goes out as soon as the window is mapped, and the time from then to
  // the key sent is measured.
  CommandResult shown = run("timeout 60 sh -c 'until xdotool search --onlyvisible --name \"^Kestrovan: site access$\" "
                            ">/dev/null 2>&1; do sleep 0.01; done; start=$(date +%s%N); xdotool key " +
                            std::string(c.key) + " && echo key-ms=$(( ($(date +%s%N) - start) / 1000000 ))'");
  size_t mark = shown.output.find("key-ms=");
  long keyMs = mark == std::string::npos ? 100000 : atol(shown.output.c_str() + mark + 7);
  auto sent = std::chrono::steady_clock::now();
  consent.join();
  double answeredAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
  ASSERT_EQ(shown.status, 0) << shown.output;
  printf("%s: key sent %ld ms after the dialog was seen; answered %.2f s later: %s\n", c.key, keyMs, answeredAfter,
         unlocked.c_str());
  EXPECT_LT(keyMs, 300) << "the key was not sent within 300 ms of the dialog appearing";
  // The dialog's own timeout is 60 s: an answer this soon is the key's.
  EXPECT_LT(answeredAfter, 20.0) << unlocked;
  if (c.granted) {
    EXPECT_EQ(unlocked, "0");
  } else {
    ASSERT_NE(unlocked, "0");
    EXPECT_EQ(parseJson(unlocked).code(), 71016) << unlocked;
    Json after = adapter.page("ListCertificates", {});
    EXPECT_EQ(after.code(), 71016);
    EXPECT_FALSE(after.has("certificates"));
  }
  // Neither asked "always": that would need the third button.
  EXPECT_TRUE(run("xdotool search --onlyvisible --name '^Kestrovan: always allow$'").output.empty());
  EXPECT_EQ(readFile(configFolder(home_) + "/allowed-origins").find(c.site), std::string::npos);
  adapter.release();
}

const EarlyKeyCase kEarlyKeyCases[] = {
    {"ReturnDenies", "Return", "https://shop.example", false},
    {"KeypadEnterDenies", "KP_Enter", "https://store.example", false},
    {"MnemonicReachesTheDialogAsEarly", "alt+a", "https://market.example", true},
};

INSTANTIATE_TEST_SUITE_P(Cases, HelmEarlyKeyTest, ::testing::ValuesIn(kEarlyKeyCases),
                         [](const ::testing::TestParamInfo<EarlyKeyCase>& info) { return std::string(info.param.name); });

}  // namespace
