// SPDX-License-Identifier: Apache-2.0
// helm_dialog_test.cpp -- the user in the loop: the PKI adapter (loaded with
// dlopen and called as the service does) asks for consent at unlock and for
// the PIN in dialogs, here shown by a stub pinentry (stub_pinentry.sh) that
// answers from a plan and logs every command it received. The token is
// SoftHSM2's "helm-reader" seen through reader_token_module.c, registered in
// SoftHSM2's place: it counts wrong PINs as a card does and can be a reader
// with its own keypad. Every signature is checked by openssl; Authenticate
// also by the shipped Node verifier.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "adapters_pki/helm_test_support.h"
#include "kestrovan/host.h"

using namespace helmtest;

// The service's run-time hooks (kestrovan/host.h), exported by this
// executable as the service exports them: a test names the call it makes
// on its thread, and says when that call is abandoned.
static thread_local uint64_t testCallToken = 0;
static std::atomic<uint64_t> abandonedCallToken{0};

extern "C" __attribute__((visibility("default"))) uint64_t KestrovanHost_callToken(void) { return testCallToken; }
extern "C" __attribute__((visibility("default"))) int KestrovanHost_callAbandoned(uint64_t token) {
  return token != 0 && token == abandonedCallToken.load() ? 1 : 0;
}

namespace {

const char kBank[] = "https://bank.example";
const char kShop[] = "https://shop.example";

std::string fixture(const std::string& name) { return std::string(HELM_FIXTURE_DIR) + "/" + name; }

// %XX escapes undone, as pinentry reads an argument.
std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit((unsigned char)text[i + 1]) &&
        isxdigit((unsigned char)text[i + 2])) {
      out.push_back((char)std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

class HelmDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = new TempFolder();
    home_ = makeHome(temp_->path());
    run("cp " + quote(fixture("extra/notary.p12")) + " " + quote(configFolder(home_) + "/keys/"));
    // The reader module in SoftHSM2's place (a user's module file of the
    // same name; as root, with_test_module.sh did it).
    std::string modules = home_ + "/.config/pkcs11/modules";
    run("mkdir -p " + quote(modules));
    writeFile(modules + "/softhsm2.module", std::string("module: ") + HELM_READER_MODULE + "\n");
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    setenv("SOFTHSM2_CONF", fixture("softhsm2-reader.conf").c_str(), 1);
    setenv("STUB_PINENTRY_LOG", logFile().c_str(), 1);
    setenv("STUB_PINENTRY_PLAN", planFile().c_str(), 1);
    setenv("HELM_READER_LOG", logFile().c_str(), 1);
    setenv("HELM_READER_COUNTER", (temp_->path() + "/counter").c_str(), 1);
    setenv("DISPLAY", ":77", 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("KESTROVAN_PINENTRY");
  }
  static void TearDownTestSuite() {
    delete temp_;
    temp_ = nullptr;
  }
  void SetUp() override {
    if (getenv("HELM_LOCKED_MODULE_UNAVAILABLE") != nullptr) {
      GTEST_SKIP() << "the reader module cannot be registered with p11-kit here (root without mount namespaces)";
    }
    unlink(logFile().c_str());
    unlink(planFile().c_str());
    unlink((temp_->path() + "/counter").c_str());
    unsetenv("HELM_READER_PINPAD");
    unsetenv("HELM_READER_PINPAD_PIN");
    setenv("DISPLAY", ":77", 1);
    settings("");
    writeFile(allowList(), std::string(kBank) + "\n");
    // Denials are remembered for the process's run: each test starts
    // without them.
    run("find " + quote(configFolder(home_)) + " -maxdepth 1 -name 'denied-origins.[0-9]*' -delete");
    abandonedCallToken.store(0);
    testCallToken = 0;
  }

  static std::string logFile() { return temp_->path() + "/dialogs.log"; }
  static std::string planFile() { return temp_->path() + "/plan"; }
  static std::string allowList() { return configFolder(home_) + "/allowed-origins"; }
  std::string work(const std::string& name) { return temp_->path() + "/" + name; }

  // Waits (up to 30 s) until the stubs logged count lines starting with prefix.
  static bool waitFor(const std::string& prefix, size_t count) {
    for (int i = 0; i < 3000; i++) {
      if (commands(prefix).size() >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  static CommandResult sites(const std::string& arguments) {
    return run(quote(HELM_SITES_TOOL) + " " + arguments);
  }
  // Private copies of the library, one per session, as the service loads them.
  std::vector<std::string> copies(int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; i++) {
      paths.push_back(work("copy" + std::to_string(i) + ".so"));
      run("cp " + quote(HELM_ADAPTER_PATH) + " " + quote(paths.back()));
    }
    return paths;
  }

  // The user's settings: the stub, a short timeout, and extra lines.
  static void settings(const std::string& extra, bool withStub = true) {
    std::string text = "dialog-timeout = 5\n" + extra;
    if (withStub) text = std::string("pinentry = ") + HELM_STUB_PINENTRY + "\n" + text;
    writeFile(configFolder(home_) + "/helm.conf", text);
  }
  static void plan(const std::vector<std::string>& answers) {
    std::string text;
    for (const std::string& a : answers) text += a + "\n";
    writeFile(planFile(), text);
  }
  // What the stubs and the reader logged, without the stubs' process ids.
  static std::vector<std::string> log() {
    std::vector<std::string> lines;
    std::istringstream in(readFile(logFile()));
    std::string line;
    while (std::getline(in, line)) {
      if (line.compare(0, 7, "reader ") == 0) {
        lines.push_back(line);
      } else {
        size_t space = line.find(' ');
        lines.push_back(space == std::string::npos ? line : line.substr(space + 1));
      }
    }
    return lines;
  }
  // The logged lines that start with prefix, their arguments unescaped.
  static std::vector<std::string> commands(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& line : log()) {
      if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(unescape(line.substr(prefix.size())));
    }
    return out;
  }
  // The index of the first logged line starting with prefix, or -1.
  static int position(const std::string& prefix) {
    std::vector<std::string> lines = log();
    for (size_t i = 0; i < lines.size(); i++) {
      if (lines[i].compare(0, prefix.size(), prefix) == 0) return (int)i;
    }
    return -1;
  }

  // A copy unlocked for the bank, which is on the list (no dialog).
  std::unique_ptr<Adapter> bank() {
    auto adapter = std::make_unique<Adapter>();
    EXPECT_EQ(adapter->unlock(kBank), "0");
    return adapter;
  }

  std::string idOf(Adapter* adapter, const std::string& commonName) {
    Json list = adapter->page("ListCertificates", {{"all", "true"}});
    for (const Json& c : list["certificates"].items) {
      if (c["commonName"].text == commonName) return c["id"].text;
    }
    ADD_FAILURE() << "no certificate " << commonName << " in " << adapter->call("ListCertificates", {{"all", "true"}});
    return std::string();
  }

  Json sign(Adapter* adapter, const std::string& function, const std::string& commonName, const std::string& data,
            Params extra = {}) {
    Params p = {{"id", idOf(adapter, commonName)}};
    addBytes(&p, "data", data);
    p.insert(p.end(), extra.begin(), extra.end());
    return adapter->page(function, p);
  }

  CommandResult opensslVerifyCms(const std::string& cmsDer, const std::string& content) {
    writeFile(work("sig.der"), cmsDer);
    writeFile(work("content.bin"), content);
    return run("openssl cms -verify -binary -inform DER -in " + quote(work("sig.der")) + " -content " +
               quote(work("content.bin")) + " -CAfile " + quote(fixture("ca.crt")) + " -out /dev/null");
  }

  // openssl's verdict on a raw SHA-256 signature over the file's bytes.
  CommandResult opensslVerifyRaw(const std::string& certificateFile, const std::string& signature,
                                 const std::string& dataFile) {
    writeFile(work("raw.sig"), signature);
    run("openssl x509 -in " + quote(certificateFile) + " -pubkey -noout > " + quote(work("pub.pem")));
    return run("openssl dgst -sha256 -verify " + quote(work("pub.pem")) + " -signature " + quote(work("raw.sig")) +
               " " + quote(dataFile));
  }

  static TempFolder* temp_;
  static std::string home_;
};

TempFolder* HelmDialogTest::temp_ = nullptr;
std::string HelmDialogTest::home_;

// ---- consent at unlock --------------------------------------------------------------

struct ConsentCase {
  const char* name;
  std::vector<std::string> plan;
  bool unlocked;
  bool listed;        // the site went on the allow-list
  size_t dialogs;     // CONFIRM commands
  bool remembered = false;  // the user's denial: not asked again at once
};

void PrintTo(const ConsentCase& c, std::ostream* os) { *os << c.name; }

class HelmConsentTest : public HelmDialogTest, public ::testing::WithParamInterface<ConsentCase> {};

TEST_P(HelmConsentTest, OnlyAnOkAllowsAndOnlyAnAlwaysWithItsOwnOkLists) {
  const ConsentCase& c = GetParam();
  plan(c.plan);
  Adapter first;
  std::string answer = first.unlock(kShop);
  if (c.unlocked) {
    EXPECT_EQ(answer, "0");
    EXPECT_EQ(first.page("Hash", {{"data", "YQ=="}, {"data_KestrovanBase64Flag", "true"}}).code(), 0);
  } else {
    ASSERT_NE(answer, "0");
    Json refusal = parseJson(answer);
    EXPECT_EQ(refusal.code(), 71016) << answer;
    EXPECT_EQ(first.page("ListCertificates", {}).code(), 71016);
  }
  first.release();
  std::vector<std::string> confirms = commands("CONFIRM");
  EXPECT_EQ(confirms.size(), c.dialogs) << readFile(logFile());
  // The question names the site and offers the three answers.
  std::vector<std::string> descriptions = commands("SETDESC ");
  ASSERT_FALSE(descriptions.empty());
  EXPECT_EQ(descriptions[0].find("Allow https://shop.example to use your certificates?"), 0u) << descriptions[0];
  EXPECT_EQ(commands("SETOK ")[0], "_Allow once");
  EXPECT_EQ(commands("SETNOTOK ")[0], "Al_ways allow");
  EXPECT_EQ(commands("SETCANCEL ")[0], "_Deny");
  if (c.dialogs == 2) {
    EXPECT_EQ(descriptions[1].find("Always allow https://shop.example"), 0u) << descriptions[1];
  }

  std::string list = readFile(allowList());
  EXPECT_EQ(list.find("https://shop.example\n") != std::string::npos, c.listed) << list;
  EXPECT_NE(list.find("https://bank.example"), std::string::npos) << "the rest of the list stays";
  struct stat info;
  ASSERT_EQ(stat(allowList().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // Next visit: a listed site is not asked; any other is asked again.
  unlink(logFile().c_str());
  plan({"cancel"});
  Adapter second;
  ::testing::internal::CaptureStderr();
  std::string again = second.unlock(kShop);
  std::string console = ::testing::internal::GetCapturedStderr();
  second.release();
  EXPECT_EQ(again == "0", c.listed) << again;
  if (!c.remembered) {
    EXPECT_EQ(commands("CONFIRM").size(), c.listed ? 0u : 1u);
    return;
  }
  // Denied by the user: refused at once, without a dialog, until the
  // user's command forgets it. The page reads the refusal every site not
  // let in reads; the reason is the console's.
  EXPECT_EQ(again, "{\"code\":71016,\"message\":\"origin not allowed\"}");
  EXPECT_NE(console.find("site refused: https://shop.example: origin not allowed: the user declined this site recently"),
            std::string::npos)
      << console;
  EXPECT_EQ(position("START"), -1) << readFile(logFile());
  EXPECT_EQ(sites("clear-denials https://shop.example").status, 0);
  Adapter third;
  EXPECT_NE(third.unlock(kShop), "0");
  third.release();
  EXPECT_EQ(commands("CONFIRM").size(), 1u) << readFile(logFile());
}

const ConsentCase kConsentCases[] = {
    {"AllowOnce", {"ok"}, true, false, 1},
    {"AlwaysWithItsOwnOk", {"notok", "ok"}, true, true, 2},
    {"AlwaysNotConfirmed", {"notok", "cancel"}, false, false, 2},
    {"NotConfirmedTwiceIsNoConsent", {"notok", "notok"}, false, false, 2},
    {"AlwaysThenTimeout", {"notok", "timeout"}, false, false, 2},
    {"Deny", {"cancel"}, false, false, 1, true},
    {"PinentryTimeout", {"timeout"}, false, false, 1},
    {"NoDisplayAnswer", {"nodisplay"}, false, false, 1},
    {"PinentryEnds", {"exit"}, false, false, 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, HelmConsentTest, ::testing::ValuesIn(kConsentCases),
                         [](const ::testing::TestParamInfo<ConsentCase>& info) { return std::string(info.param.name); });

TEST_F(HelmDialogTest, SitesOnTheListAreNotAsked) {
  Adapter adapter;
  EXPECT_EQ(adapter.unlock(kBank), "0");
  adapter.release();
  EXPECT_EQ(position("START"), -1) << readFile(logFile());
}

TEST_F(HelmDialogTest, TheAdaptersOwnDeadlineEndsAPinentryThatNeverAnswers) {
  plan({"hang"});
  Adapter adapter;
  std::string answer;
  double seconds = 0;
  std::string console;
  // Called as the service calls: from a thread that blocks the stop
  // signals. The deadline's SIGTERM must still reach pinentry (the stub
  // logs TERMINATED), not only the SIGKILL two seconds after it.
  std::thread caller([&] {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    auto start = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStderr();
    answer = adapter.unlock(kShop);
    console = ::testing::internal::GetCapturedStderr();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  });
  caller.join();
  adapter.release();
  EXPECT_EQ(parseJson(answer).code(), 71016) << answer;
  // The reason is the user's to read, not the page's.
  EXPECT_EQ(parseJson(answer)["message"].text, "origin not allowed") << answer;
  EXPECT_NE(console.find("site refused: https://shop.example: origin not allowed: the user did not answer in time"),
            std::string::npos) << console;
  // dialog-timeout 5 plus the adapter's margin; generous above.
  EXPECT_GE(seconds, 5.0);
  EXPECT_LT(seconds, 60.0);
  EXPECT_NE(position("TERMINATED"), -1) << readFile(logFile());
}

TEST_F(HelmDialogTest, NothingIsAskedWhereNoDialogCanBeShownWhole) {
  std::string curses = work("pinentry");  // a plain name that resolves to a terminal pinentry
  run("ln -sf /usr/bin/pinentry-curses " + quote(curses));
  std::string stub = std::string("pinentry = ") + HELM_STUB_PINENTRY + "\n";
  struct {
    const char* name;
    std::string pinentryLine;
    bool display;
    const char* refused;  // a command the pinentry refuses
    bool started;
  } cases[] = {
      {"NoDisplay", stub, false, nullptr, false},
      {"TerminalPinentry", "pinentry = /usr/bin/pinentry-curses\n", true, nullptr, false},
      {"LinkToATerminalPinentry", "pinentry = " + curses + "\n", true, nullptr, false},
      {"RelativePath", "pinentry = stub_pinentry.sh\n", true, nullptr, false},
      {"MissingProgram", "pinentry = /nonexistent/pinentry-gtk-2\n", true, nullptr, false},
      // A dialog that would not name the site is not shown.
      {"DescriptionRefused", stub, true, "SETDESC", true},
      {"ButtonRefused", stub, true, "SETNOTOK", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(logFile().c_str());
    plan({"ok"});
    settings(c.pinentryLine, false);
    if (!c.display) unsetenv("DISPLAY");
    if (c.refused != nullptr) setenv("STUB_PINENTRY_REFUSE", c.refused, 1);
    Adapter adapter;
    ::testing::internal::CaptureStderr();
    std::string answer = adapter.unlock(kShop);
    std::string console = ::testing::internal::GetCapturedStderr();
    adapter.release();
    setenv("DISPLAY", ":77", 1);
    unsetenv("STUB_PINENTRY_REFUSE");
    EXPECT_EQ(parseJson(answer).code(), 71016) << answer;
    // The page is not told that nobody could be asked: only the console is.
    EXPECT_EQ(parseJson(answer)["message"].text, "origin not allowed") << answer;
    EXPECT_NE(console.find("site refused: https://shop.example: origin not allowed: no dialog could be shown"),
              std::string::npos) << console;
    EXPECT_EQ(position("START") != -1, c.started) << readFile(logFile());
    EXPECT_EQ(position("CONFIRM"), -1) << readFile(logFile());
  }
}

TEST_F(HelmDialogTest, TheSettingChoosesThePinentryThenTheEnvironmentAndTheDisplayIsPassed) {
  // No setting: KESTROVAN_PINENTRY.
  settings("", false);
  setenv("KESTROVAN_PINENTRY", HELM_STUB_PINENTRY, 1);
  plan({"ok"});
  Adapter first;
  EXPECT_EQ(first.unlock(kShop), "0");
  first.release();
  EXPECT_EQ(commands("START argv=").size(), 1u);
  // The setting wins over the environment.
  unlink(logFile().c_str());
  settings("");
  setenv("KESTROVAN_PINENTRY", "/nonexistent/pinentry", 1);
  plan({"ok"});
  Adapter second;
  EXPECT_EQ(second.unlock(kShop), "0");
  second.release();
  unsetenv("KESTROVAN_PINENTRY");
  std::vector<std::string> starts = commands("START argv=");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0], "--display :77 DISPLAY=:77");
  EXPECT_EQ(commands("OPTION display=").size(), 1u);
  EXPECT_EQ(commands("OPTION display=")[0], ":77");
  EXPECT_EQ(commands("SETTIMEOUT ")[0], "5");
}

TEST_F(HelmDialogTest, HostileOriginsAreRefusedOrShownEscapedAndCut) {
  // A line break could end the command and start another: such an origin
  // is not an origin and nobody is asked.
  plan({"ok"});
  Adapter injected;
  std::string answer = injected.unlock("https://bank.example\nSETDESC fake");
  injected.release();
  EXPECT_EQ(parseJson(answer).code(), 71016);
  EXPECT_EQ(position("START"), -1);

  // A very long host name is shown cut in the middle, keeping the end a
  // user knows the site by, within one Assuan line.
  std::string label(60, 'a');
  std::string host = label + "." + label + "." + label + "." + std::string(50, 'b') + ".example";
  std::string origin = "https://" + host;
  plan({"ok"});
  Adapter adapter;
  EXPECT_EQ(adapter.unlock(origin), "0");
  adapter.release();
  for (const std::string& line : log()) EXPECT_LT(line.size(), 1000u) << line.substr(0, 80);
  std::vector<std::string> descriptions = commands("SETDESC ");
  ASSERT_EQ(descriptions.size(), 1u);
  EXPECT_EQ(descriptions[0].find("Allow https://aaaaaaaaaa"), 0u) << descriptions[0];
  EXPECT_NE(descriptions[0].find("a\xe2\x80\xa6" "a"), std::string::npos) << descriptions[0];
  EXPECT_NE(descriptions[0].find("." + std::string(50, 'b') + ".example to use your certificates?"), std::string::npos)
      << descriptions[0];
  EXPECT_EQ(descriptions[0].find(host), std::string::npos) << "not shown whole";
}

TEST_F(HelmDialogTest, OneDialogAtATimeAcrossSessions) {
  // Two sessions, each its own copy of the library on its own thread.
  std::vector<std::string> paths;
  for (int i = 0; i < 2; i++) {
    paths.push_back(work("copy" + std::to_string(i) + ".so"));
    run("cp " + quote(HELM_ADAPTER_PATH) + " " + quote(paths.back()));
  }
  plan({"delay 1 ok", "delay 1 ok"});
  Adapter a(paths[0].c_str()), b(paths[1].c_str());
  std::string answerA, answerB;
  std::thread ta([&] { answerA = a.unlock("https://one.example"); });
  std::thread tb([&] { answerB = b.unlock("https://two.example"); });
  ta.join();
  tb.join();
  a.release();
  b.release();
  EXPECT_EQ(answerA, "0");
  EXPECT_EQ(answerB, "0");
  EXPECT_EQ(commands("CONFIRM").size(), 2u);
  EXPECT_EQ(position("OVERLAP"), -1) << readFile(logFile());
}

TEST_F(HelmDialogTest, TheSitesCommandListsAllowsAndRevokes) {
  std::string tool = quote(HELM_SITES_TOOL);
  writeFile(allowList(), "# mine\nhttps://bank.example; https://shop.example # both\n*.wild.example\n");
  CommandResult list = run(tool + " list");
  EXPECT_EQ(list.status, 0) << list.output;
  EXPECT_EQ(list.output, "https://bank.example\nhttps://shop.example\n*.wild.example\n");

  CommandResult revoked = run(tool + " revoke HTTPS://Shop.Example");
  EXPECT_EQ(revoked.status, 0) << revoked.output;
  EXPECT_EQ(readFile(allowList()), "# mine\nhttps://bank.example # both\n*.wild.example\n");
  struct stat info;
  ASSERT_EQ(stat(allowList().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // Revoked: asked again at the next visit.
  plan({"cancel"});
  Adapter adapter;
  EXPECT_NE(adapter.unlock(kShop), "0");
  adapter.release();
  EXPECT_EQ(commands("CONFIRM").size(), 1u);

  // A wildcard still admits it: said so, and the list keeps the pattern.
  CommandResult wild = run(tool + " revoke https://a.wild.example");
  EXPECT_EQ(wild.status, 1) << wild.output;
  EXPECT_NE(wild.output.find("wildcard"), std::string::npos) << wild.output;
  EXPECT_NE(readFile(allowList()).find("*.wild.example"), std::string::npos);

  CommandResult allowed = run(tool + " allow http://127.0.0.1:8480");
  EXPECT_EQ(allowed.status, 0) << allowed.output;
  EXPECT_NE(readFile(allowList()).find("\nhttp://127.0.0.1:8480\n"), std::string::npos) << readFile(allowList());
  EXPECT_NE(run(tool + " allow http://127.0.0.1:8480").output.find("was allowed already"), std::string::npos);
  EXPECT_EQ(run(tool + " allow 'https://x.example/path'").status, 2);
  EXPECT_EQ(run(tool + " frobnicate").status, 2);

  // A list another account may write is neither read nor written.
  chmod(allowList().c_str(), 0620);
  EXPECT_EQ(run(tool + " list").status, 1);
  EXPECT_EQ(run(tool + " allow https://new.example").status, 1);
  chmod(allowList().c_str(), 0600);
  EXPECT_EQ(readFile(allowList()).find("new.example"), std::string::npos);
}

// ---- a page that asks again and again ---------------------------------------------------

TEST_F(HelmDialogTest, ADeniedSiteIsNotAskedAgainUntilItsBackOffPassesWhichGrows) {
  // The default back-off, in the page's message.
  plan({"cancel"});
  Adapter first;
  EXPECT_EQ(parseJson(first.unlock(kShop)).code(), 71016);
  ::testing::internal::CaptureStderr();
  Json declined = parseJson(first.unlock(kShop));
  std::string console = ::testing::internal::GetCapturedStderr();
  first.release();
  EXPECT_EQ(declined.code(), 71016);
  EXPECT_NE(console.find("it is not asked again for 30 s"), std::string::npos) << console;
  EXPECT_EQ(commands("CONFIRM").size(), 1u);
  EXPECT_EQ(sites("clear-denials").output, "1 denied site forgotten\n");

  // A second of back-off, doubled by the next denial.
  settings("denial-backoff = 1\n");
  unlink(logFile().c_str());
  plan({"cancel", "ok", "cancel", "ok"});
  Adapter adapter;
  EXPECT_EQ(parseJson(adapter.unlock(kShop)).code(), 71016);
  EXPECT_EQ(parseJson(adapter.unlock(kShop)).code(), 71016);
  EXPECT_EQ(commands("CONFIRM").size(), 1u) << "the second refused without a dialog";
  // Other sites are asked as ever.
  Adapter other;
  EXPECT_EQ(other.unlock("https://two.example"), "0");
  other.release();
  EXPECT_EQ(commands("CONFIRM").size(), 2u);
  CommandResult listed = sites("denials");
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(listed.output.find("https://shop.example denied 1 time, asked again "), 0u) << listed.output;

  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(parseJson(adapter.unlock(kShop)).code(), 71016);  // asked, denied again
  EXPECT_EQ(commands("CONFIRM").size(), 3u);
  EXPECT_EQ(sites("denials").output.find("https://shop.example denied 2 times, asked again "), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(parseJson(adapter.unlock(kShop)).code(), 71016) << "two seconds now";
  EXPECT_EQ(commands("CONFIRM").size(), 3u);

  CommandResult cleared = sites("clear-denials HTTPS://Shop.Example");
  EXPECT_EQ(cleared.status, 0);
  EXPECT_EQ(cleared.output, "https://shop.example is asked again at its next visit\n");
  EXPECT_EQ(adapter.unlock(kShop), "0");
  adapter.release();
  EXPECT_EQ(commands("CONFIRM").size(), 4u);
  // Allowed: nothing is held against it any more.
  EXPECT_EQ(sites("denials").output, "");
  EXPECT_EQ(sites("clear-denials not-an-origin").status, 2);
}

TEST_F(HelmDialogTest, DenialsBelongToThisRunOfTheService) {
  // Files of other runs: a process that ended, and this process id with
  // another start time (a reused id). Both deny the shop for an hour.
  std::string folder = configFolder(home_);
  std::string far = std::to_string(1000LL * 1000 * 1000 * 1000);
  std::string ended = folder + "/denied-origins.999999999.12345";
  std::string reused = folder + "/denied-origins." + std::to_string(getpid()) + ".1";
  writeFile(ended, "https://shop.example 5 " + far + " 0\n");
  writeFile(reused, "https://shop.example 5 " + far + " 1\n");
  plan({"ok"});
  Adapter adapter;
  EXPECT_EQ(adapter.unlock(kShop), "0");
  adapter.release();
  EXPECT_EQ(commands("CONFIRM").size(), 1u);
  EXPECT_NE(access(ended.c_str(), F_OK), 0) << "an ended run's file is removed";
  EXPECT_NE(access(reused.c_str(), F_OK), 0);
  // This run's own file: private.
  plan({"cancel"});
  Adapter denied;
  EXPECT_EQ(parseJson(denied.unlock("https://two.example")).code(), 71016);
  denied.release();
  CommandResult files = run("find " + quote(folder) + " -maxdepth 1 -name 'denied-origins.[0-9]*' -perm 0600");
  EXPECT_NE(files.output.find("denied-origins." + std::to_string(getpid()) + "."), std::string::npos)
      << files.output;
}

TEST_F(HelmDialogTest, OnlyOneConsentDialogPerSiteIsOpenOrWaiting) {
  std::vector<std::string> paths = copies(4);
  plan({"delay 2 ok", "delay 1 ok", "ok"});
  Adapter one(paths[0].c_str()), shop(paths[1].c_str()), again(paths[2].c_str()), queued(paths[3].c_str());
  std::string answerOne, answerShop;
  std::atomic<bool> shopDone{false};
  std::thread t1([&] { answerOne = one.unlock("https://one.example"); });
  ASSERT_TRUE(waitFor("CONFIRM", 1)) << readFile(logFile());
  // The shop waits for the dialog of one.example to end.
  std::thread t2([&] {
    answerShop = shop.unlock(kShop);
    shopDone = true;
  });
  bool asking = false;
  for (int i = 0; i < 300 && !asking; i++) {
    asking = sites("denials").output.find("https://shop.example is being asked now") != std::string::npos;
    if (!asking) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(asking);
  // A second opening by the shop, while its dialog waits: refused at once.
  ::testing::internal::CaptureStderr();
  std::string refused = again.unlock(kShop);
  std::string console = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(shopDone.load()) << "answered while the first dialog waited";
  EXPECT_EQ(parseJson(refused).code(), 71016) << refused;
  EXPECT_NE(console.find("site refused: https://shop.example: origin not allowed: a dialog already asks"),
            std::string::npos)
      << console;
  // And while it is on the screen.
  ASSERT_TRUE(waitFor("CONFIRM", 2)) << readFile(logFile());
  EXPECT_EQ(parseJson(queued.unlock(kShop)).code(), 71016);
  t1.join();
  t2.join();
  EXPECT_EQ(answerOne, "0");
  EXPECT_EQ(answerShop, "0");
  EXPECT_EQ(commands("CONFIRM").size(), 2u) << readFile(logFile());
  // Answered: the next opening is asked again.
  EXPECT_EQ(again.unlock(kShop), "0");
  EXPECT_EQ(commands("CONFIRM").size(), 3u);
  for (Adapter* a : {&one, &shop, &again, &queued}) a->release();
}

// ---- dialogs end with their page and with the service -------------------------------

TEST_F(HelmDialogTest, PinentryStartsWithNoSignalBlockedInAProcessGroupOfItsOwn) {
  // As in the service: the stop signals blocked in every thread, SIGPIPE
  // ignored (libassuan ignores it too); and another signal ignored.
  plan({"ok"});
  struct sigaction ignore, before;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGUSR2, &ignore, &before);
  std::string answer;
  std::thread caller([&] {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    Adapter adapter;
    answer = adapter.unlock(kShop);
    adapter.release();
  });
  caller.join();
  sigaction(SIGUSR2, &before, nullptr);
  EXPECT_EQ(answer, "0");
  std::istringstream raw(readFile(logFile()));
  std::string line;
  bool seen = false;
  while (std::getline(raw, line)) {
    size_t at = line.find(" PROCESS ");
    if (at == std::string::npos) continue;
    seen = true;
    std::string pid = line.substr(0, at);
    EXPECT_NE(line.find("sigblk=0000000000000000 "), std::string::npos) << line;
    size_t ignored = line.find("sigign=");
    ASSERT_NE(ignored, std::string::npos);
    unsigned long long mask = std::stoull(line.substr(ignored + 7, 16), nullptr, 16);
    // Nothing ignored but what bash ignores by itself (SIGQUIT).
    EXPECT_EQ(mask & ~(1ull << (SIGQUIT - 1)), 0u) << "ignored signals: " << line;
    EXPECT_NE(line.find("pgid=" + pid + " "), std::string::npos) << line;
    EXPECT_NE(line.find("sid=" + pid), std::string::npos) << line;
    EXPECT_NE(std::to_string(getpgrp()), pid);
  }
  EXPECT_TRUE(seen) << readFile(logFile());
}

TEST_F(HelmDialogTest, ADialogEndsWithTheProcessThatShowedIt) {
  // A service killed outright (SIGKILL, a crash) closes nothing: pinentry
  // learns of it from the kernel. The "service" is this test binary run
  // again, showing a consent dialog that nobody answers.
  plan({"hang"});
  pid_t child = fork();
  if (child == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execl("/proc/self/exe", "helm_dialog_test", "--gtest_also_run_disabled_tests",
          "--gtest_filter=HelmDialogChild.*", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  bool shown = waitFor("CONFIRM", 1);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(shown) << readFile(logFile());
  EXPECT_TRUE(waitFor("TERMINATED", 1)) << "pinentry outlived the process that showed it\n" << readFile(logFile());
}

struct AbandonCase {
  const char* name;
  bool pin;            // a PIN dialog (else the consent dialog)
  bool queued;         // abandoned while another site's dialog is up
  long code;
  const char* message;
};

void PrintTo(const AbandonCase& c, std::ostream* os) { *os << c.name; }

class HelmAbandonTest : public HelmDialogTest, public ::testing::WithParamInterface<AbandonCase> {};

TEST_P(HelmAbandonTest, ADialogWhosePageWentAwayClosesWithinASecondAndGrantsNothing) {
  const AbandonCase& c = GetParam();
  std::vector<std::string> paths = copies(2);
  Adapter other(paths[0].c_str());
  std::unique_ptr<Adapter> adapter;
  if (c.pin) {
    adapter = bank();
  } else {
    adapter = std::make_unique<Adapter>(paths[1].c_str());
  }
  std::string signer = c.pin ? idOf(adapter.get(), "Reader Signer") : std::string();
  std::string otherAnswer;
  std::thread holder;
  if (c.queued) {
    plan({"delay 3 ok", "hang"});
    holder = std::thread([&] { otherAnswer = other.unlock("https://one.example"); });
    ASSERT_TRUE(waitFor("CONFIRM", 1)) << readFile(logFile());
  } else {
    plan({"hang"});
  }
  std::string answer;
  std::chrono::steady_clock::time_point returned;
  // A refused opening tells its reason to the console only.
  ::testing::internal::CaptureStderr();
  std::thread call([&] {
    testCallToken = 4711;
    if (c.pin) {
      Params p = {{"id", signer}};
      addBytes(&p, "data", "x");
      answer = adapter->call("SignCms", p);
    } else {
      answer = adapter->unlock(kShop);
    }
    returned = std::chrono::steady_clock::now();
  });
  if (c.queued) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  } else {
    EXPECT_TRUE(waitFor(c.pin ? "GETPIN" : "CONFIRM", 1)) << readFile(logFile());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  abandonedCallToken.store(4711);
  auto flipped = std::chrono::steady_clock::now();
  call.join();
  std::string console = ::testing::internal::GetCapturedStderr();
  double seconds = std::chrono::duration<double>(returned - flipped).count();
  EXPECT_LT(seconds, 1.0) << "the dialog stayed " << seconds << " s after its page went away";
  printf("[ measured ] %s: answered %.3f s after its call was abandoned\n", c.name, seconds);
  Json refusal = parseJson(answer);
  EXPECT_EQ(refusal.code(), c.code) << answer;
  EXPECT_NE((c.pin ? refusal["message"].text : console).find(c.message), std::string::npos) << answer << console;
  EXPECT_FALSE(refusal.has("cms"));
  if (c.queued) {
    holder.join();
    EXPECT_EQ(otherAnswer, "0");
    EXPECT_EQ(commands("START argv=").size(), 1u) << "never shown: " << readFile(logFile());
  } else {
    EXPECT_NE(position("TERMINATED"), -1) << readFile(logFile());
  }
  adapter->release();
  other.release();
  if (!c.pin) {
    // Not the user's denial: the site is asked again at its next visit.
    unlink(logFile().c_str());
    abandonedCallToken.store(0);
    plan({"ok"});
    Adapter next;
    EXPECT_EQ(next.unlock(kShop), "0");
    next.release();
  }
}

const AbandonCase kAbandonCases[] = {
    {"ConsentDialog", false, false, 71016, "the page that asked went away"},
    {"PinDialog", true, false, 71021, "the page that asked went away"},
    {"ConsentWaitingForAnotherDialog", false, true, 71016, "went away before the dialog could be shown"},
};

INSTANTIATE_TEST_SUITE_P(Cases, HelmAbandonTest, ::testing::ValuesIn(kAbandonCases),
                         [](const ::testing::TestParamInfo<AbandonCase>& info) { return std::string(info.param.name); });

TEST_F(HelmDialogTest, AChooserWhosePageWentAwayEndsWithinASecondAndGivesNothing) {
  settings(std::string("chooser = ") + HELM_STUB_CHOOSER + "\n");
  std::string chooserLog = work("chooser.log");
  unlink(chooserLog.c_str());
  setenv("STUB_CHOOSER_LOG", chooserLog.c_str(), 1);
  setenv("STUB_CHOOSER_ANSWER", "hang", 1);
  auto adapter = bank();
  std::string answer;
  std::chrono::steady_clock::time_point returned;
  std::thread call([&] {
    testCallToken = 4712;
    answer = adapter->call("SelectCertificate", {});
    returned = std::chrono::steady_clock::now();
  });
  pid_t stub = 0;
  for (int i = 0; i < 300 && stub == 0; i++) {
    std::string log = readFile(chooserLog);
    if (log.find("\nshow\n") != std::string::npos && log.compare(0, 4, "PID ") == 0) stub = atoi(log.c_str() + 4);
    else std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(stub, 0) << readFile(chooserLog);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  abandonedCallToken.store(4712);
  auto flipped = std::chrono::steady_clock::now();
  call.join();
  unsetenv("STUB_CHOOSER_ANSWER");
  unsetenv("STUB_CHOOSER_LOG");
  double seconds = std::chrono::duration<double>(returned - flipped).count();
  EXPECT_LT(seconds, 1.0) << "the chooser stayed " << seconds << " s after its page went away";
  Json refusal = parseJson(answer);
  EXPECT_EQ(refusal.code(), 71021) << answer;
  EXPECT_NE(refusal["message"].text.find("went away"), std::string::npos) << answer;
  EXPECT_FALSE(refusal.has("pem"));
  // The program is gone (ended with its process group, and reaped).
  EXPECT_NE(kill(stub, 0), 0);
  adapter->release();
}

// ---- the PIN from a dialog ------------------------------------------------------------

struct PinCase {
  const char* name;
  const char* function;
  const char* commonName;
  std::vector<std::string> plan;
  const char* settings;
  long code;
  size_t pinDialogs;
  std::vector<std::string> errors;  // SETERROR texts, in order
  const char* prompt;
};

void PrintTo(const PinCase& c, std::ostream* os) { *os << c.name; }

class HelmPinTest : public HelmDialogTest, public ::testing::WithParamInterface<PinCase> {};

TEST_P(HelmPinTest, ThePinComesFromTheDialogAndOnlyAnOkWithTheRightPinSigns) {
  const PinCase& c = GetParam();
  settings(c.settings);
  auto adapter = bank();
  std::string id = idOf(adapter.get(), c.commonName);
  plan(c.plan);
  const std::string data = "Pay 100.00 to account 42";
  Json answer = sign(adapter.get(), c.function, c.commonName, data);
  adapter->release();
  EXPECT_EQ(answer.code(), c.code) << answer["message"].text << "\n" << readFile(logFile());
  EXPECT_EQ(commands("GETPIN").size(), c.pinDialogs) << readFile(logFile());
  EXPECT_EQ(commands("SETERROR "), c.errors);
  if (c.pinDialogs > 0) {
    EXPECT_EQ(commands("SETPROMPT ")[0], c.prompt);
  }
  // The adapter never sends a PIN anywhere (the stubs' process ids, which
  // may be any number, left out).
  for (const std::string& line : log()) {
    EXPECT_EQ(line.find("1234"), std::string::npos) << line;
    EXPECT_EQ(line.find("2468"), std::string::npos) << line;
  }
  if (c.code != 0) {
    EXPECT_FALSE(answer.has("cms") || answer.has("signature"));
    return;
  }
  if (std::string(c.function) == "SignCms") {
    CommandResult verdict = opensslVerifyCms(unbase64(answer["cms"].text), data);
    EXPECT_EQ(verdict.status, 0) << verdict.output;
  } else {
    writeFile(work("data.bin"), data);
    std::string crt = std::string(c.commonName) == "Reader Signer" ? fixture("keys/reader-signer.crt")
                                                                   : fixture("keys/notary.crt");
    CommandResult verdict = opensslVerifyRaw(crt, unbase64(answer["signature"].text), work("data.bin"));
    EXPECT_EQ(verdict.status, 0) << verdict.output;
  }
}

const PinCase kPinCases[] = {
    {"TokenRightPin", "SignCms", "Reader Signer", {"pin 1234"}, "", 0, 1, {}, "PIN:"},
    {"TokenWrongThenRight", "SignCms", "Reader Signer", {"pin 9999", "pin 1234"}, "", 0, 2,
     {"Wrong PIN. Few tries are left before the token locks."}, "PIN:"},
    {"TokenRaw", "SignRaw", "Reader Signer", {"pin 1234"}, "", 0, 1, {}, "PIN:"},
    {"TokenCancel", "SignCms", "Reader Signer", {"cancel"}, "", 71021, 1, {}, "PIN:"},
    {"TokenTimeout", "SignRaw", "Reader Signer", {"timeout"}, "", 71021, 1, {}, "PIN:"},
    {"TokenNotConfirmed", "SignCms", "Reader Signer", {"notok"}, "", 71021, 1, {}, "PIN:"},
    {"TokenPinentryEnds", "SignCms", "Reader Signer", {"exit"}, "", 71022, 1, {}, "PIN:"},
    {"TokenEmptyThenRight", "SignCms", "Reader Signer", {"pin", "pin 1234"}, "", 0, 2, {"No PIN was entered."},
     "PIN:"},
    {"TokenAttemptsRunOut", "SignCms", "Reader Signer", {"pin 1111", "pin 2222"}, "pin-attempts = 2\n", 71004, 2,
     {"Wrong PIN. Few tries are left before the token locks."}, "PIN:"},
    {"FileRightPassword", "SignCms", "Notary Signer", {"pin 2468"}, "", 0, 1, {}, "Password:"},
    {"FileWrongThenRight", "SignRaw", "Notary Signer", {"pin 8642", "pin 2468"}, "", 0, 2,
     {"Wrong password. Try again."}, "Password:"},
};

INSTANTIATE_TEST_SUITE_P(Cases, HelmPinTest, ::testing::ValuesIn(kPinCases),
                         [](const ::testing::TestParamInfo<PinCase>& info) { return std::string(info.param.name); });

TEST_F(HelmDialogTest, ThePinDialogsTitlePromptErrorAndButtonsAreInTheUsersLanguage) {
  setenv("LANGUAGE", "de", 1);
  auto adapter = bank();
  plan({"pin 8642", "pin 2468"});
  Json answer = sign(adapter.get(), "SignCms", "Notary Signer", "Vertrag");
  adapter->release();
  unsetenv("LANGUAGE");
  EXPECT_EQ(answer.code(), 0) << answer["message"].text;
  EXPECT_EQ(commands("SETTITLE ")[0], "Kestrovan: Kennwort");
  EXPECT_EQ(commands("SETPROMPT ")[0], "Kennwort:");
  EXPECT_EQ(commands("SETERROR "), std::vector<std::string>{"Falsches Kennwort. Bitte erneut versuchen."});
  EXPECT_EQ(commands("SETCANCEL ")[0], "_Abbrechen");
}

TEST_F(HelmDialogTest, TheTokensTriesLeftAreShownAndALockedTokenAsksNothing) {
  settings("pin-attempts = 3\n");
  auto adapter = bank();
  plan({"pin 0000", "pin 0000", "pin 1234"});
  Json answer = sign(adapter.get(), "SignCms", "Reader Signer", "text");
  EXPECT_EQ(answer.code(), 0) << answer["message"].text;
  EXPECT_EQ(commands("SETERROR "),
            (std::vector<std::string>{"Wrong PIN. Few tries are left before the token locks.",
                                      "Wrong PIN. One try is left: another wrong PIN locks the token."}));

  // A token that already counts a wrong PIN warns in the first dialog.
  unlink(logFile().c_str());
  writeFile(temp_->path() + "/counter", "1\n");
  plan({"cancel"});
  EXPECT_EQ(sign(adapter.get(), "SignCms", "Reader Signer", "text").code(), 71021);
  std::vector<std::string> descriptions = commands("SETDESC ");
  ASSERT_EQ(descriptions.size(), 1u);
  EXPECT_NE(descriptions[0].find("Warning: few tries are left before the token locks."), std::string::npos)
      << descriptions[0];

  // Locked: its code, and no dialog.
  unlink(logFile().c_str());
  writeFile(temp_->path() + "/counter", "3\n");
  plan({"pin 1234"});
  EXPECT_EQ(sign(adapter.get(), "SignCms", "Reader Signer", "text").code(), 71005);
  EXPECT_EQ(position("START"), -1) << readFile(logFile());
  adapter->release();
}

TEST_F(HelmDialogTest, APinPadReaderTakesThePinWhileAMessageSaysSo) {
  setenv("HELM_READER_PINPAD", "1", 1);
  auto adapter = bank();
  const std::string data = "signed on the keypad";
  Json answer = sign(adapter.get(), "SignCms", "Reader Signer", data);
  ASSERT_EQ(answer.code(), 0) << answer["message"].text << "\n" << readFile(logFile());
  EXPECT_EQ(opensslVerifyCms(unbase64(answer["cms"].text), data).status, 0);
  EXPECT_EQ(commands("GETPIN").size(), 0u);
  std::vector<std::string> descriptions = commands("SETDESC ");
  ASSERT_EQ(descriptions.size(), 1u);
  EXPECT_NE(descriptions[0].find("Enter your PIN on the reader's keypad"), std::string::npos) << descriptions[0];
  // The message is up while the reader waits, and goes when it is done.
  int message = position("MESSAGE"), end = position("reader login-end ok"), gone = position("TERMINATED");
  ASSERT_NE(message, -1) << readFile(logFile());
  ASSERT_NE(end, -1) << readFile(logFile());
  EXPECT_LT(message, end) << readFile(logFile());
  EXPECT_GT(gone, end) << readFile(logFile());

  // Cancelled on the reader: no signature, and the reader is named.
  unlink(logFile().c_str());
  setenv("HELM_READER_PINPAD_PIN", "cancel", 1);
  Json cancelled = sign(adapter.get(), "SignCms", "Reader Signer", data);
  EXPECT_EQ(cancelled.code(), 71004);
  EXPECT_NE(cancelled["message"].text.find("reader"), std::string::npos) << cancelled["message"].text;
  EXPECT_NE(position("TERMINATED"), -1);
  adapter->release();
}

TEST_F(HelmDialogTest, APagePinIsTakenOnlyWhereTheSettingsAllowIt) {
  struct {
    const char* name;
    const char* settings;
    long code;
  } cases[] = {
      {"NoSetting", "", 71020},
      {"OtherOrigin", "page-pin-origins = https://kiosk.example\n", 71020},
      {"ThisOrigin", "page-pin-origins = https://kiosk.example; https://bank.example\n", 0},
      {"Wildcard", "page-pin-origins = *.example\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(logFile().c_str());
    settings(c.settings);
    auto adapter = bank();
    plan({"pin 1234"});
    Json answer = sign(adapter.get(), "SignCms", "Reader Signer", "kiosk", {{"pin", "1234"}});
    adapter->release();
    EXPECT_EQ(answer.code(), c.code) << answer["message"].text;
    EXPECT_EQ(position("START"), -1) << "no dialog either way";
    if (c.code == 0) {
      EXPECT_EQ(opensslVerifyCms(unbase64(answer["cms"].text), "kiosk").status, 0);
    }
  }
  // The administrator's file is not the user's to fake: a user file that
  // others may write is ignored.
  settings("page-pin-origins = https://bank.example\n");
  chmod((configFolder(home_) + "/helm.conf").c_str(), 0666);
  auto adapter = bank();
  EXPECT_EQ(sign(adapter.get(), "SignCms", "Reader Signer", "kiosk", {{"pin", "1234"}}).code(), 71020);
  adapter->release();
}

TEST_F(HelmDialogTest, TheDialogNamesSiteCertificateAndDataAndMarksTheSitesWords) {
  auto adapter = bank();
  std::string hostile = "Pay\n100%\r\n\x1b[31mred\xe2\x80\xae " + std::string(4000, 'A');
  plan({"pin 1234"});
  Json answer = sign(adapter.get(), "SignCms", "Reader Signer", "x", {{"description", hostile}});
  adapter->release();
  ASSERT_EQ(answer.code(), 0) << answer["message"].text;
  for (const std::string& line : log()) EXPECT_LT(line.size(), 1000u) << line.substr(0, 80);
  std::string raw;
  for (const std::string& line : log()) {
    if (line.compare(0, 8, "SETDESC ") == 0) raw = line;
  }
  // The site's words: one line, its percent sign escaped, cut.
  size_t words = raw.find("The site says (its own words): \"");
  ASSERT_NE(words, std::string::npos) << raw;
  std::string quoted = raw.substr(words);
  EXPECT_EQ(quoted.find("\"Pay 100%25  "), 31u) << quoted.substr(0, 60);
  size_t close = quoted.find("\"", 32);
  ASSERT_NE(close, std::string::npos);
  std::string inside = quoted.substr(32, close - 32);
  EXPECT_EQ(inside.find("%0A"), std::string::npos);
  EXPECT_EQ(inside.find("%0D"), std::string::npos);
  EXPECT_EQ(inside.find("%1B"), std::string::npos);
  EXPECT_EQ(inside.find("\xe2\x80\xae"), std::string::npos) << "no direction override";
  EXPECT_NE(inside.find("\xe2\x80\xa6"), std::string::npos) << "cut with an ellipsis";
  EXPECT_LT(inside.size(), 200u);
  std::string shown = unescape(raw.substr(8));
  EXPECT_EQ(shown.find("https://bank.example asks to sign a document (CMS signature) with your certificate."), 0u)
      << shown;
  EXPECT_NE(shown.find("Certificate: CN=Reader Signer"), std::string::npos) << shown;
  EXPECT_NE(shown.find("Issued by: CN=Helm Test CA"), std::string::npos) << shown;
  EXPECT_NE(shown.find("On token: helm-reader"), std::string::npos) << shown;
  // SHA-256("x") = 2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881
  EXPECT_NE(shown.find("SHA-256 of the data: 2d71 1642 b726 b044 0162 7ca9 \xe2\x80\xa6"), std::string::npos)
      << shown;
}

TEST_F(HelmDialogTest, AuthenticationKeysNeverSignWhateverTheSettings) {
  auto adapter = bank();
  for (const char* extra : {"", "sign-without-non-repudiation = true\n", "dual-use-key-role = signing\n"}) {
    settings(extra);
    for (const char* function : {"SignCms", "SignRaw"}) {
      SCOPED_TRACE(std::string(function) + " " + extra);
      unlink(logFile().c_str());
      plan({"pin 1234"});
      Json refused = sign(adapter.get(), function, "Reader Auth", "x");
      EXPECT_EQ(refused.code(), 71023) << refused["message"].text;
      EXPECT_EQ(position("START"), -1) << "no PIN asked for a key that cannot serve";
    }
  }
  adapter->release();
}

// ---- Authenticate ------------------------------------------------------------------------

class HelmAuthenticateTest : public HelmDialogTest {
 protected:
  // openssl's verdict on an Authenticate signature, over the signed bytes
  // built by the documented command line.
  CommandResult opensslVerifyAuthentication(const Json& answer, const std::string& origin,
                                            const std::string& challenge, const std::string& certificateFile) {
    writeFile(work("challenge.bin"), challenge);
    std::string build = "{ printf 'KESTROVAN-AUTH-V1\\000'; printf '%s' " + quote(origin) +
                        " | openssl dgst -sha256 -binary; openssl dgst -sha256 -binary " + quote(work("challenge.bin")) +
                        "; } > " + quote(work("signed.bin"));
    EXPECT_EQ(run(build).status, 0);
    EXPECT_EQ(readFile(work("signed.bin")).size(), 82u);
    return opensslVerifyRaw(certificateFile, unbase64(answer["signature"].text), work("signed.bin"));
  }
  // The shipped verifier, run by node as a site's server runs it.
  Json nodeVerify(const std::string& answerText, const std::string& origin, const std::string& challenge,
                  const std::string& anchors, bool acceptDualUse = false) {
    writeFile(work("answer.json"), answerText);
    CommandResult r = run(std::string(HELM_NODE) + " " + quote(HELM_VERIFY_SCRIPT) + " " + quote(work("answer.json")) +
                          " " + quote(origin) + " " + quote(base64(challenge)) + " " + quote(anchors) +
                          (acceptDualUse ? " dual" : ""));
    try {
      return parseJson(r.output);
    } catch (const std::exception&) {
      ADD_FAILURE() << r.output;
      return Json();
    }
  }
};

TEST_F(HelmAuthenticateTest, TheSignatureIsBoundToTheOriginAndTheChallenge) {
  // Reader Signer is certified for both roles: it logs in only where the
  // settings make such keys authentication keys, and the shipped verifier
  // takes it only where the server accepts keys that may also sign.
  struct {
    const char* commonName;
    const char* certificate;
    const char* algorithm;
    bool dualUse;
  } keys[] = {{"Reader Auth", "keys/reader-auth.crt", "ECDSA-SHA256", false},
              {"Reader Signer", "keys/reader-signer.crt", "RSA-SHA256", true}};
  std::string challenge = run("openssl rand 32").output;
  ASSERT_EQ(challenge.size(), 32u);
  std::string other = challenge;
  other[0] ^= 1;
  for (const auto& k : keys) {
    SCOPED_TRACE(k.commonName);
    unlink(logFile().c_str());
    auto adapter = bank();
    Params p = {{"id", idOf(adapter.get(), k.commonName)}};
    addBytes(&p, "challenge", challenge);
    if (k.dualUse) {
      plan({"pin 1234"});
      EXPECT_EQ(adapter->page("Authenticate", p).code(), 71024) << "a signing key by default";
      EXPECT_EQ(position("START"), -1) << "no PIN asked for a key that cannot serve";
      settings("dual-use-key-role = authentication\n");
    }
    plan({"pin 1234"});
    std::string text = adapter->call("Authenticate", p);
    adapter->release();
    Json answer = parseJson(text);
    ASSERT_EQ(answer.code(), 0) << text;
    EXPECT_EQ(answer["format"].text, "KESTROVAN-AUTH-V1");
    EXPECT_EQ(answer["version"].number, 1);
    EXPECT_EQ(answer["origin"].text, kBank);
    EXPECT_EQ(answer["algorithm"].text, k.algorithm);
    std::vector<std::string> descriptions = commands("SETDESC ");
    ASSERT_EQ(descriptions.size(), 1u);
    EXPECT_EQ(descriptions[0].find("https://bank.example asks to log you in (authentication)"), 0u) << descriptions[0];

    std::string crt = fixture(k.certificate);
    EXPECT_EQ(opensslVerifyAuthentication(answer, kBank, challenge, crt).status, 0);
    EXPECT_NE(opensslVerifyAuthentication(answer, kShop, challenge, crt).status, 0);
    EXPECT_NE(opensslVerifyAuthentication(answer, kBank, other, crt).status, 0);

    Json good = nodeVerify(text, kBank, challenge, fixture("ca.crt"), k.dualUse);
    EXPECT_TRUE(good["ok"].boolean) << good["message"].text;
    EXPECT_NE(good["subject"].text.find(k.commonName), std::string::npos);
    if (k.dualUse) {
      EXPECT_EQ(nodeVerify(text, kBank, challenge, fixture("ca.crt"))["reason"].text, "keyUsage");
    }
    EXPECT_EQ(nodeVerify(text, kShop, challenge, fixture("ca.crt"), k.dualUse)["reason"].text, "origin");
    EXPECT_EQ(nodeVerify(text, kBank, other, fixture("ca.crt"), k.dualUse)["reason"].text, "signature");
    EXPECT_EQ(nodeVerify(text, kBank, challenge, fixture("other-ca.crt"), k.dualUse)["reason"].text, "untrusted");
    // An answer whose origin was rewritten does not verify either.
    std::string rewritten = text;
    rewritten.replace(rewritten.find("https://bank.example"), 20, "https://shop.example");
    EXPECT_EQ(nodeVerify(rewritten, kShop, challenge, fixture("ca.crt"), k.dualUse)["reason"].text, "signature");
    settings("");
  }
}

TEST_F(HelmAuthenticateTest, ShortChallengesAndAuthenticationShapedRawDataAreRefused) {
  auto adapter = bank();
  std::string id = idOf(adapter.get(), "Reader Auth");
  Params shortChallenge = {{"id", id}};
  addBytes(&shortChallenge, "challenge", std::string(31, 'c'));
  EXPECT_EQ(adapter->page("Authenticate", shortChallenge).code(), 71001);
  EXPECT_EQ(adapter->page("Authenticate", {{"id", id}}).code(), 71001);
  Json raw = sign(adapter.get(), "SignRaw", "Reader Auth", std::string("KESTROVAN-AUTH-V1\0", 18) + std::string(64, 'x'));
  EXPECT_EQ(raw.code(), 71001) << raw["message"].text;
  EXPECT_EQ(position("START"), -1);
  adapter->release();
}

// Run only by ADialogEndsWithTheProcessThatShowedIt, in a process of its
// own (the environment is the parent's).
TEST(HelmDialogChild, DISABLED_ShowsAConsentDialogUntilKilled) {
  Adapter adapter;
  adapter.unlock(kShop);
}

}  // namespace
