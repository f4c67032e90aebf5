// SPDX-License-Identifier: Apache-2.0
// secrets_test.cpp -- session identifiers that cannot be guessed or repeat,
// and server keys that exist nowhere in the open: neither the key built
// into the program nor a user's own key is in the repository or in any file
// a build lays out or provisioning writes (but the user's key file); the
// user's certificate is not for the built-in key; the built-in key differs
// in every build tree; and a trace that shows neither a page's PIN and
// shared secret nor the whole of a long value, on the console or in the log
// file.
#include <gtest/gtest.h>

#include <dirent.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/stat.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <thread>

#include "certify.h"
#include "hardening.h"
#include "harness.h"
#include "service/key.h"
#include "service/key_material.h"

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    out.push_back(line);
  return out;
}

bool wellFormed(const std::string& id) {
  if (id.size() != 12 || id.compare(8, 4, "_SID") != 0)
    return false;
  for (size_t i = 0; i < 8; i++)
    if (!((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'A' && id[i] <= 'Z')))
      return false;
  return true;
}

TEST(SessionIdentifiers, HundredThousandWithoutRepeatAndRightForm) {
  std::string output;
  ASSERT_EQ(kt::runProgram({KESTROVAN_SID_PRINT, "100000"}, "", &output), 0);
  std::vector<std::string> ids = lines(output);
  ASSERT_EQ(ids.size(), 100001u);
  std::set<std::string> seen;
  std::set<char> letters;
  for (size_t i = 1; i < ids.size(); i++) {
    ASSERT_TRUE(wellFormed(ids[i])) << ids[i];
    EXPECT_TRUE(seen.insert(ids[i]).second) << "repeated " << ids[i];
    letters.insert(ids[i].begin(), ids[i].begin() + 8);
  }
  // All 36 characters in use: the identifiers are spread over the alphabet.
  EXPECT_EQ(letters.size(), 36u);
}

// Two programs started within one second (as two services after a reboot)
// share no identifier: nothing is seeded from the clock.
TEST(SessionIdentifiers, TwoRunsInTheSameSecondDiffer) {
  for (int attempt = 0; attempt < 5; attempt++) {
    std::string first, second;
    std::thread other([&] { kt::runProgram({KESTROVAN_SID_PRINT, "2000"}, "", &second); });
    kt::runProgram({KESTROVAN_SID_PRINT, "2000"}, "", &first);
    other.join();
    std::vector<std::string> a = lines(first), b = lines(second);
    ASSERT_EQ(a.size(), 2001u);
    ASSERT_EQ(b.size(), 2001u);
    if (a[0] != b[0])
      continue;  // a second boundary fell between the starts: try again
    std::set<std::string> setA(a.begin() + 1, a.end());
    for (size_t i = 1; i < b.size(); i++)
      EXPECT_EQ(setA.count(b[i]), 0u) << b[i] << " came from both runs";
    return;
  }
  FAIL() << "could not start two runs within one second";
}

// ---- the server keys ----

// The private scalar of the key built into the program, opened the way the
// service does.
std::string builtInScalar() {
  char* pem = KestrovanKey_openBuiltIn();
  if (pem == nullptr)
    return "";
  std::string out = kt::privateScalarOf(pem);
  freeKey(pem);
  return out;
}

// The private scalars looked for, by name.
typedef std::vector<std::pair<std::string, std::string>> Scalars;

// A PEM private key block with content, a DER EC private key (SEC 1 or
// PKCS #8 for P-256), or one of the given raw scalars.
std::string keyMaterialIn(const std::string& bytes, const Scalars& scalars) {
  const std::string begin = std::string("-----BEGIN ");
  for (size_t at = bytes.find(begin); at != std::string::npos; at = bytes.find(begin, at + 1)) {
    size_t end = bytes.find("-----", at + begin.size());
    if (end == std::string::npos)
      break;
    std::string label = bytes.substr(at + begin.size(), end - at - begin.size());
    if (label.find("PRIVATE KEY") == std::string::npos)
      continue;
    // Key text follows: at least a line of Base64.
    size_t body = end + 5;
    while (body < bytes.size() && (bytes[body] == '\r' || bytes[body] == '\n'))
      body++;
    size_t run = 0;
    while (body + run < bytes.size() && (isalnum((unsigned char)bytes[body + run]) || bytes[body + run] == '+' ||
                                         bytes[body + run] == '/'))
      run++;
    if (run >= 40)
      return "PEM " + label;
  }
  const std::string sec1("\x30\x77\x02\x01\x01\x04\x20", 7);
  const std::string pkcs8("\x30\x81\x87\x02\x01\x00\x30\x13\x06\x07\x2a\x86\x48\xce\x3d\x02\x01", 17);
  if (bytes.find(sec1) != std::string::npos)
    return "DER SEC 1 key";
  if (bytes.find(pkcs8) != std::string::npos)
    return "DER PKCS #8 key";
  for (const auto& scalar : scalars)
    if (scalar.second.size() >= 16 && bytes.find(scalar.second) != std::string::npos)
      return "the private scalar of " + scalar.first;
  return "";
}

// The key built into the program and the key provisioning made for a user.
struct Keys {
  kt::Installation installation{KESTROVAN_SERVICE_EXE, KESTROVAN_TEST_ADAPTER};
  std::string userKey;  // the user's key file
  Scalars scalars;
  Keys() {
    kt::readFile(installation.home + "/NORTAKestrovan/key.pem", &userKey);
    scalars = {{"the key built into the program", builtInScalar()},
               {"the user's key", kt::privateScalarOf(userKey)}};
  }
  bool ok() const { return installation.ok && scalars[0].second.size() >= 30 && scalars[1].second.size() >= 30; }
};

TEST(ServerKey, NoPrivateKeyInTheRepository) {
  Keys keys;
  ASSERT_TRUE(keys.ok()) << "the keys could not be opened";
  std::string listing;
  ASSERT_EQ(kt::runProgram({"git", "-C", KESTROVAN_SOURCE_DIR, "ls-files", "-z", "--cached", "--others",
                            "--exclude-standard"},
                           "", &listing),
            0);
  size_t scanned = 0;
  for (size_t at = 0; at < listing.size();) {
    size_t end = listing.find('\0', at);
    std::string name = listing.substr(at, end - at);
    at = end == std::string::npos ? listing.size() : end + 1;
    if (name.empty())
      continue;
    std::string bytes;
    if (!kt::readFile(std::string(KESTROVAN_SOURCE_DIR) + "/" + name, &bytes))
      continue;
    scanned++;
    EXPECT_EQ(keyMaterialIn(bytes, keys.scalars), "") << name;
  }
  EXPECT_GT(scanned, 100u);
}

// What a user gets: the executables, the adapter next to them, and the
// certificate files provisioning writes. The only private key is the
// user's own, in the user's key file; the program carries the built-in key
// only sealed, and that key is not the one the user's certificate names, so
// a copy of the program run by anyone else has no key that answers for the
// user.
TEST(ServerKey, NoPrivateKeyInWhatIsLaidOutOrProvisioned) {
  Keys keys;
  ASSERT_TRUE(keys.ok());
  const kt::Installation& installation = keys.installation;
  for (const std::string& path : {installation.exe, std::string(KESTROVAN_PROVISION_EXE),
                                  std::string(KESTROVAN_HELM_ADAPTER), installation.certFile, installation.caFile}) {
    std::string bytes;
    ASSERT_TRUE(kt::readFile(path, &bytes)) << path;
    EXPECT_EQ(keyMaterialIn(bytes, keys.scalars), "") << path;
  }
  std::string cert;
  ASSERT_TRUE(kt::readFile(installation.certFile, &cert));
  EXPECT_EQ(kt::publicKeyOf(cert), kt::publicKeyOf(keys.userKey));
  EXPECT_NE(kt::publicKeyOf(cert), kt::publicKeyOf(KestrovanKeyMaterial_publicKey));
  EXPECT_NE(keys.scalars[0].second, keys.scalars[1].second);
  // The scan finds a key where there is one.
  EXPECT_EQ(keyMaterialIn(keys.userKey, keys.scalars), "PEM PRIVATE KEY");
  EXPECT_EQ(keyMaterialIn("xx" + keys.scalars[0].second + "yy", keys.scalars),
            "the private scalar of the key built into the program");
  EXPECT_EQ(keyMaterialIn("xx" + keys.scalars[1].second + "yy", keys.scalars), "the private scalar of the user's key");
}

TEST(ServerKey, TwoBuildTreesGetDifferentKeys) {
  kt::TempFolder a, b;
  std::string output;
  ASSERT_EQ(kt::runProgram({KESTROVAN_KEYGEN, a.path}, "", &output), 0) << output;
  ASSERT_EQ(kt::runProgram({KESTROVAN_KEYGEN, b.path}, "", &output), 0) << output;
  for (const char* file : {"/key_material.cpp", "/public_key.cpp"}) {
    std::string first, second, mine;
    ASSERT_TRUE(kt::readFile(a.path + file, &first));
    ASSERT_TRUE(kt::readFile(b.path + file, &second));
    ASSERT_TRUE(kt::readFile(std::string(KESTROVAN_KEY_DIR) + file, &mine));
    EXPECT_NE(first, second) << file;
    EXPECT_NE(first, mine) << file;
  }
  // A second run in a tree that has its key keeps it.
  std::string before;
  ASSERT_TRUE(kt::readFile(a.path + "/key_material.cpp", &before));
  ASSERT_EQ(kt::runProgram({KESTROVAN_KEYGEN, a.path}, "", &output), 0);
  std::string after;
  ASSERT_TRUE(kt::readFile(a.path + "/key_material.cpp", &after));
  EXPECT_EQ(before, after);
}

// ---- what the trace shows of a request ----

// A request's decoded "Parameter" with "@PIN@", "@SECRET@" and "@TAIL@"
// standing for markers of the case's own; the trace must show the line
// `shows` for it and none of the markers.
struct TraceCase {
  const char* name;
  std::string json;
  std::string shows;
};

void PrintTo(const TraceCase& c, std::ostream* out) {
  *out << c.name;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string pairs(int count) {
  std::string text;
  for (int i = 0; i < count; i++)
    text += "\"k" + std::to_string(i) + "\":\"v\",";
  return text;
}

// One service for the table, its log file in a folder of the test's own.
class TraceSecrets : public ::testing::TestWithParam<TraceCase> {
 protected:
  static void SetUpTestSuite() {
    logFolder_ = new kt::TempFolder();
    running_ = new kh::Running(KESTROVAN_TEST_ADAPTER, {}, false);
    // The service reads its log profile from $HOME/NORTAKestrovan, the
    // user's private folder that provisioning made.
    if (running_->installation->ok)
      kt::writeFile(running_->installation->home + "/NORTAKestrovan/NORTAKestrovan.ini",
                    "[NORTAKestrovan]\nLog File=" + logFolder_->path + "/trace.log\nLog Level=5\n");
    if (running_->installation->ok)
      running_->ok = running_->start();
  }
  static void TearDownTestSuite() {
    if (running_->ok) {
      EXPECT_EQ(running_->service.stop(), 0) << kh::tail(running_->service);
    }
    delete running_;
    running_ = nullptr;
    delete logFolder_;
  }
  void SetUp() override { ASSERT_TRUE(running_->ok) << running_->service.output(); }

  // Every log file's text (the log adds the date to the file's name).
  static std::string logText() {
    std::string text;
    DIR* folder = opendir(logFolder_->path.c_str());
    if (folder == nullptr)
      return text;
    while (struct dirent* entry = readdir(folder)) {
      std::string content;
      if (entry->d_name[0] != '.' && kt::readFile(logFolder_->path + "/" + entry->d_name, &content))
        text += content;
    }
    closedir(folder);
    return text;
  }

  static kt::TempFolder* logFolder_;
  static kh::Running* running_;
};

kt::TempFolder* TraceSecrets::logFolder_ = nullptr;
kh::Running* TraceSecrets::running_ = nullptr;

TEST_P(TraceSecrets, NoMarkerOnTheConsoleOrInTheLog) {
  const TraceCase& c = GetParam();
  const std::string pin = std::string(c.name) + "-pin-4711";
  const std::string secret = std::string(c.name) + "-share-secret-0123456789abcdef";
  const std::string tail = std::string(c.name) + "-tail-of-a-long-value";
  std::string json = replaced(replaced(replaced(c.json, "@PIN@", pin), "@SECRET@", secret), "@TAIL@", tail);
  size_t before = running_->service.count(c.shows);
  running_->post(json, "https://a.example");
  EXPECT_TRUE(running_->service.waitFor(c.shows, 20, before + 1)) << kh::tail(running_->service);

  std::string console = running_->service.output();
  for (const std::string& marker : {pin, secret, tail})
    EXPECT_EQ(console.find(marker), std::string::npos) << marker << " on the console";
  // Lines reach the log before they reach the console.
  std::string log = logText();
  EXPECT_NE(log.find(c.shows), std::string::npos) << "the log mirrors the trace";
  for (const std::string& marker : {pin, secret, tail})
    EXPECT_EQ(log.find(marker), std::string::npos) << marker << " in the log";
}

const std::string kLong(300, 'a');
const std::string kShownLong = std::string(256, 'a') + " ... (";

const TraceCase kTraceCases[] = {
    TraceCase{"Unterminated",
              R"({"FunctionName":"Sign","SessionId":"","pin":"@PIN@","Kestrovan_share_secret":"@SECRET@")",
              "Error json: text ends inside a value (JSMN_ERROR_PART) at offset "},
    TraceCase{"PinCutOffInItsString", R"({"Kestrovan_share_secret":"@SECRET@","FunctionName":"Sign","pin":"@PIN@)",
              "Error json: text ends inside a value (JSMN_ERROR_PART) at offset "},
    TraceCase{"WrongBracket", R"({"pin":"@PIN@","Kestrovan_share_secret":"@SECRET@"])",
              "Error json: invalid character (JSMN_ERROR_INVAL) at offset "},
    TraceCase{"TooManyPairs", "{" + pairs(130) + R"("pin":"@PIN@","Kestrovan_share_secret":"@SECRET@"})",
              "Error json: too many tokens (JSMN_ERROR_NOMEM) at offset "},
    TraceCase{"WellFormedMasked", kh::echoJson(R"(,"pin":"@PIN@","Kestrovan_share_secret":"@SECRET@")"),
              "] pin: ****"},
    TraceCase{"LongValueCut", kh::echoJson(R"(,"note":")" + kLong + R"(@TAIL@")"), "] note: " + kShownLong},
    TraceCase{"LongAnswerCut",
              replaced(kh::echoJson(R"(,"text":")" + kLong + R"(@TAIL@")"), "KestrovanEcho", "EchoText"),
              " Component result: " + kShownLong},
    TraceCase{"LongHiddenAnswerMasked",
              replaced(kh::echoJson(R"(,"text":"@PIN@)" + kLong + R"(","text_KestrovanHide":"true",)"
                                    R"("hide_result":"true")"),
                       "KestrovanEcho", "EchoText"),
              " Component result: " + std::string(256, '*') + " ... ("},
};

INSTANTIATE_TEST_SUITE_P(Requests, TraceSecrets, ::testing::ValuesIn(kTraceCases),
                         [](const ::testing::TestParamInfo<TraceCase>& info) { return std::string(info.param.name); });

}  // namespace
