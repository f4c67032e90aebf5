// SPDX-License-Identifier: Apache-2.0
// helm_chooser_real_test.cpp -- the adapter's own list dialog for real:
// kestrovan-helm-chooser (GTK 3) on a private Xvfb display, driven by
// xdotool as a keyboard-only user. A certificate is chosen with the arrow
// keys and the button's mnemonic; a keystroke in the dialog's first second
// does nothing; Escape and a window that goes away give no certificate; a
// batch is signed with a wrong password first, then the right one. A
// screenshot of the chooser is kept in the build tree (chooser-dialog.png).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "adapters_pki/helm_test_support.h"

using namespace helmtest;

namespace {

const char kShop[] = "https://shop.example";
const char kChooserTitle[] = "Kestrovan: choose a certificate";

std::string fixture(const std::string& name) { return std::string(HELM_FIXTURE_DIR) + "/" + name; }

class HelmChooserRealTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = makeHome(temp_.path());
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("KESTROVAN_HELM_CHOOSER");
    unsetenv("KESTROVAN_HELM_LIST_ORIGINS");
    setenv("SOFTHSM2_CONF", fixture("softhsm2.conf").c_str(), 1);
    writeFile(configFolder(home_) + "/allowed-origins", std::string(kShop) + "\n");
    writeFile(configFolder(home_) + "/helm.conf", "dialog-timeout = 30\n");
    ASSERT_TRUE(startDisplay());
    adapter_.reset(new Adapter());
    ASSERT_EQ(adapter_->unlock(kShop), "0");
  }
  void TearDown() override {
    if (adapter_) adapter_->release();
    adapter_.reset();
    if (xvfb_ > 0) {
      kill(xvfb_, SIGTERM);
      waitpid(xvfb_, nullptr, 0);
    }
  }

  // A private X server on a display number nobody holds (-noreset: see
  // helm_real_dialog_test.cpp).
  bool startDisplay() {
    for (int attempt = 0; attempt < 20; attempt++) {
      int number = 500 + (int)((getpid() + attempt * 37) % 400);
      if (access(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), F_OK) == 0) continue;
      display_ = ":" + std::to_string(number);
      xvfb_ = fork();
      if (xvfb_ == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("Xvfb", "Xvfb", display_.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset",
               static_cast<char*>(nullptr));
        _exit(127);
      }
      setenv("DISPLAY", display_.c_str(), 1);
      for (int i = 0; i < 100; i++) {
        if (waitpid(xvfb_, nullptr, WNOHANG) == xvfb_) break;
        if (run("xdotool getdisplaygeometry").status == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      kill(xvfb_, SIGTERM);
      waitpid(xvfb_, nullptr, 0);
      xvfb_ = -1;
    }
    return false;
  }

  std::string window(const std::string& title) {
    for (int i = 0; i < 300; i++) {
      CommandResult found = run("xdotool search --onlyvisible --name " + quote("^" + title + "$"));
      std::istringstream ids(found.output);
      std::string id;
      if (std::getline(ids, id) && !id.empty()) return id;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return std::string();
  }
  bool gone(const std::string& title, int ms) {
    for (int i = 0; i < ms / 100; i++) {
      if (run("xdotool search --onlyvisible --name " + quote("^" + title + "$")).output.empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  void keys(const std::string& arguments) { EXPECT_EQ(run("xdotool " + arguments).status, 0) << arguments; }
  // After the first second, when the dialog takes answers.
  void armed() { std::this_thread::sleep_for(std::chrono::milliseconds(1300)); }

  // A call on its own thread, as a page waits for it.
  struct Pending {
    std::thread thread;
    std::atomic<bool> done{false};
    std::string answer;
  };
  void start(Pending* pending, const std::string& function, const Params& params) {
    pending->thread = std::thread([this, pending, function, params] {
      pending->answer = adapter_->call(function, params);
      pending->done = true;
    });
  }
  Json finish(Pending* pending) {
    pending->thread.join();
    return parseJson(pending->answer);
  }

  TempFolder temp_;
  std::string home_;
  std::string display_;
  pid_t xvfb_ = -1;
  std::unique_ptr<Adapter> adapter_;
};

TEST_F(HelmChooserRealTest, TheKeyboardChoosesAndTheFirstSecondIsIgnored) {
  Pending pending;
  start(&pending, "SelectCertificate", {{"purpose", "signing"}, {"description", "Sign in to <b>your</b> account"}});
  std::string id = window(kChooserTitle);
  ASSERT_FALSE(id.empty()) << "no chooser appeared";
  // At once, as a keystroke meant for the page: nothing is chosen.
  keys("key --window " + id + " Return");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(pending.done) << "a keystroke in the first second chose: " << pending.answer;
  run("import -window root " + quote(std::string(HELM_BUILD_DIR) + "/chooser-dialog.png"));
  keys("key Down");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  keys("key alt+g");   // "_Give this certificate"
  Json answer = finish(&pending);
  ASSERT_EQ(answer["code"].number, 0) << pending.answer;
  // The second of the signing certificates in the store's order.
  Params none;
  EXPECT_EQ(adapter_->page("GetCertificate", none)["id"].text, answer["id"].text);
  EXPECT_NE(answer["pem"].text.find("BEGIN CERTIFICATE"), std::string::npos);
}

TEST_F(HelmChooserRealTest, EscapeGivesNoCertificate) {
  Pending pending;
  start(&pending, "SelectCertificate", {});
  std::string id = window(kChooserTitle);
  ASSERT_FALSE(id.empty());
  armed();
  keys("key Escape");
  Json answer = finish(&pending);
  EXPECT_EQ(answer["code"].number, 71021);
  EXPECT_FALSE(answer.has("pem"));
  EXPECT_TRUE(gone(kChooserTitle, 3000));
}

TEST_F(HelmChooserRealTest, TheCancelButtonByItsMnemonicGivesNoCertificate) {
  Pending pending;
  start(&pending, "SelectCertificate", {});
  ASSERT_FALSE(window(kChooserTitle).empty());
  armed();
  keys("key alt+c");
  EXPECT_EQ(finish(&pending)["code"].number, 71021);
}

TEST_F(HelmChooserRealTest, AWindowThatGoesAwayGivesNoCertificate) {
  Pending pending;
  start(&pending, "SelectCertificate", {});
  std::string id = window(kChooserTitle);
  ASSERT_FALSE(id.empty());
  armed();
  keys("windowkill " + id);
  auto before = std::chrono::steady_clock::now();
  Json answer = finish(&pending);
  EXPECT_EQ(answer["code"].number, 71021);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
}

TEST_F(HelmChooserRealTest, ABatchIsSignedAfterAWrongPasswordAndTheRightOne) {
  // Plain Signer's PKCS #12 file: chosen first, with the keyboard.
  Pending choosing;
  start(&choosing, "SelectCertificate", {{"issuer", "Helm Test CA"}, {"purpose", "signing"}});
  ASSERT_FALSE(window(kChooserTitle).empty());
  armed();
  // Rows: the token's two signers, then the files; find Plain Signer by its
  // accessible order is not possible from here, so choose by walking to the
  // end: Plain Signer is the last signing row in the store's order.
  keys("key End");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  keys("key alt+g");
  Json chosen = finish(&choosing);
  ASSERT_EQ(chosen["code"].number, 0);
  std::string subject = chosen["subject"].text;
  bool plain = subject.find("Plain Signer") != std::string::npos;
  std::string password = plain ? "abcd" : "5678";

  std::string docs = base64("one.txt") + ":" + base64("first") + "," + base64("two.txt") + ":" + base64("second");
  Pending signing;
  start(&signing, "SignCmsBatch", {{"documents", docs}});
  std::string id = window("Kestrovan: sign documents");
  ASSERT_FALSE(id.empty()) << "no batch dialog appeared";
  armed();
  run("import -window root " + quote(std::string(HELM_BUILD_DIR) + "/batch-dialog.png"));
  keys("type --delay 30 wrong");
  keys("key Return");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(signing.done) << signing.answer;
  keys("type --delay 30 " + password);
  keys("key Return");
  Json batch = finish(&signing);
  ASSERT_EQ(batch["code"].number, 0) << signing.answer;
  ASSERT_EQ(batch["results"].items.size(), 2u);
  for (size_t i = 0; i < 2; i++) {
    EXPECT_EQ(batch["results"][i]["code"].number, 0) << batch["results"][i]["message"].text;
    Params verify = {{"trustAnchors", readFile(fixture("ca.crt"))}};
    addBytes(&verify, "cms", unbase64(batch["results"][i]["cms"].text));
    addBytes(&verify, "data", i == 0 ? "first" : "second");
    EXPECT_EQ(adapter_->page("VerifyCms", verify)["code"].number, 0);
  }
  EXPECT_TRUE(gone("Kestrovan: sign documents", 3000));
}

TEST_F(HelmChooserRealTest, TheBatchDialogTakesNoPinInItsFirstSecondAndEscapeSignsNothing) {
  Pending choosing;
  start(&choosing, "SelectCertificate", {{"purpose", "signing"}});
  ASSERT_FALSE(window(kChooserTitle).empty());
  armed();
  keys("key Return");   // the first row, by the keyboard alone
  Json chosen = finish(&choosing);
  ASSERT_EQ(chosen["code"].number, 0);

  Pending signing;
  start(&signing, "SignCmsBatch", {{"documents", base64("one.txt") + ":" + base64("first")}});
  std::string id = window("Kestrovan: sign documents");
  ASSERT_FALSE(id.empty());
  // At once: the right PIN and Return, as if typed for another window.
  keys("type --window " + id + " 1234");
  keys("key --window " + id + " Return");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(signing.done) << signing.answer;
  keys("key Escape");
  Json batch = finish(&signing);
  EXPECT_EQ(batch["code"].number, 71021) << signing.answer;
  EXPECT_FALSE(batch.has("results"));
  EXPECT_TRUE(gone("Kestrovan: sign documents", 3000));
}

}  // namespace
