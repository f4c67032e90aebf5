// SPDX-License-Identifier: Apache-2.0
// helm_chooser_test.cpp -- the user chooses: SelectCertificate's filters and
// session rule, and SignCmsBatch, with the adapter loaded as the service
// loads it and its list dialog played by stub_chooser.sh (which logs the rows
// it was given); ListCertificates only for the sites "list-origins" names.
// Signatures are checked by openssl against the test CA.
#include <fcntl.h>

#include <set>

#include "adapters_pki/helm_test_support.h"

using namespace helmtest;

namespace {

const char kShop[] = "https://shop.example";
const char kKiosk[] = "https://kiosk.example";

std::string fixture(const std::string& name) { return std::string(HELM_FIXTURE_DIR) + "/" + name; }

// A text as the protocol carries it (only "%" and control bytes escaped).
std::string HelmChooserTestEscape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '%' || c < 0x20) {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out.push_back((char)c);
    }
  }
  return out;
}

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

class HelmChooserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = new TempFolder();
    home_ = makeHome(temp_->path());
    run("cp " + quote(fixture("extra/policy.p12")) + " " + quote(configFolder(home_) + "/keys/"));
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("KESTROVAN_HELM_LIST_ORIGINS");
    // The token is chosen once per process (SoftHSM2 reads its configuration
    // when first loaded): HELM_TEST_SOFTHSM2_CONF names another for a run.
    const char* conf = getenv("HELM_TEST_SOFTHSM2_CONF");
    setenv("SOFTHSM2_CONF", fixture(conf != nullptr ? conf : "softhsm2.conf").c_str(), 1);
    setenv("KESTROVAN_HELM_CHOOSER", HELM_STUB_CHOOSER, 1);
    setenv("STUB_CHOOSER_LOG", logFile().c_str(), 1);
    setenv("DISPLAY", ":77", 1);   // the stub shows nothing; a display must be named all the same
    unsetenv("WAYLAND_DISPLAY");
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
  }
  static void TearDownTestSuite() {
    delete temp_;
    temp_ = nullptr;
  }
  void SetUp() override {
    unlink(logFile().c_str());
    for (const char* name : {"STUB_CHOOSER_ANSWER", "STUB_CHOOSER_PINS", "STUB_CHOOSER_CANCEL_AT"}) unsetenv(name);
    writeFile(configFolder(home_) + "/allowed-origins", std::string(kShop) + "\n" + kKiosk + "\n");
    settings("");
    adapter_.reset(new Adapter());
    ASSERT_EQ(adapter_->unlock(kShop), "0");
  }
  void TearDown() override {
    if (adapter_) adapter_->release();
    adapter_.reset();
  }

  static std::string logFile() { return temp_->path() + "/chooser.log"; }
  static void settings(const std::string& extra) {
    writeFile(configFolder(home_) + "/helm.conf", "dialog-timeout = 5\n" + extra);
  }
  std::string work(const std::string& name) { return temp_->path() + "/" + name; }

  // The headlines of the rows the dialog was given, in order.
  static std::vector<std::string> rows() {
    std::vector<std::string> out;
    std::istringstream in(readFile(logFile()));
    std::string line;
    while (std::getline(in, line)) {
      if (line.compare(0, 4, "row ") != 0) continue;
      std::string fields = line.substr(4);
      out.push_back(unescape(fields.substr(0, fields.find('\t'))));
    }
    return out;
  }
  static std::string logged() { return readFile(logFile()); }

  static std::string commonName(const Json& answer) {
    std::string subject = answer["subject"].text;
    size_t at = subject.find("CN=");
    if (at == std::string::npos) return subject;
    size_t end = subject.find(',', at);
    return subject.substr(at + 3, end == std::string::npos ? std::string::npos : end - at - 3);
  }

  CommandResult opensslVerify(const std::string& cmsDer, const std::string& content) {
    writeFile(work("sig.der"), cmsDer);
    writeFile(work("content.bin"), content);
    return run("openssl cms -verify -binary -inform DER -in " + quote(work("sig.der")) + " -CAfile " +
               quote(fixture("ca.crt")) + " -content " + quote(work("content.bin")) + " -out /dev/null");
  }

  // "documents" for SignCmsBatch: "<name>:<data>" in Base64, comma-separated.
  static std::string documents(const std::vector<std::pair<std::string, std::string>>& docs) {
    std::string out;
    for (const auto& d : docs) {
      if (!out.empty()) out += ",";
      out += base64(d.first) + ":" + base64(d.second);
    }
    return out;
  }

  // Has the user choose the certificate with this common name (the stub
  // answers its row), returning the page's answer.
  Json choose(const std::string& name, const Params& filters = {}) {
    unlink(logFile().c_str());
    setenv("STUB_CHOOSER_ANSWER", "CANCELLED", 1);
    adapter_->page("SelectCertificate", filters);
    std::vector<std::string> shown = rows();
    size_t index = 0;
    while (index < shown.size() && shown[index] != name) index++;
    EXPECT_LT(index, shown.size()) << name << " is not offered";
    setenv("STUB_CHOOSER_ANSWER", ("CHOSEN " + std::to_string(index)).c_str(), 1);
    Json answer = adapter_->page("SelectCertificate", filters);
    unsetenv("STUB_CHOOSER_ANSWER");
    return answer;
  }

  static TempFolder* temp_;
  static std::string home_;
  std::unique_ptr<Adapter> adapter_;
};

TempFolder* HelmChooserTest::temp_ = nullptr;
std::string HelmChooserTest::home_;

// ---- filters -------------------------------------------------------------------

struct FilterCase {
  const char* name;
  Params filters;
  const char* settings;                   // extra settings lines
  std::set<std::string> offered;          // the rows' headlines
  int code;                               // a bad filter: its code, no dialog
};

const FilterCase kFilterCases[] = {
    {"NoneValidNow", {}, "", {"Token Signer", "Token EC Signer", "Token Encipher", "Soft Signer", "Plain Signer", "Policy Auth"}, 0},
    {"AlsoExpired", {{"validNow", "false"}}, "",
     {"Token Signer", "Token EC Signer", "Token Encipher", "Soft Signer", "Plain Signer", "Policy Auth", "Expired Signer"}, 0},
    {"Signing", {{"purpose", "signing"}}, "", {"Token Signer", "Token EC Signer", "Soft Signer", "Plain Signer"}, 0},
    {"Authentication", {{"purpose", "authentication"}}, "", {"Policy Auth"}, 0},
    {"AuthenticationWithDualUse", {{"purpose", "authentication"}}, "dual-use-key-role = authentication\n",
     {"Token Signer", "Token EC Signer", "Soft Signer", "Plain Signer", "Policy Auth"}, 0},
    {"IssuerAnyCase", {{"issuer", "helm TEST ca"}}, "",
     {"Token Signer", "Token EC Signer", "Token Encipher", "Soft Signer", "Plain Signer", "Policy Auth"}, 0},
    {"IssuerNoMatch", {{"issuer", "Other Test CA"}}, "", {}, 0},
    {"Policy", {{"policy", "1.3.6.1.4.1.55555.1.2"}}, "", {"Policy Auth"}, 0},
    {"PolicyNoMatch", {{"policy", "1.3.6.1.4.1.55555.1.3"}}, "", {}, 0},
    {"KeyEncipherment", {{"keyUsage", "keyEncipherment"}}, "", {"Token Encipher"}, 0},
    {"BothSigningBits", {{"keyUsage", "digitalSignature, nonRepudiation"}}, "",
     {"Token Signer", "Token EC Signer", "Soft Signer", "Plain Signer"}, 0},
    {"PurposeAndIssuer", {{"purpose", "signing"}, {"issuer", "Other"}}, "", {}, 0},
    {"BadPurpose", {{"purpose", "encryption"}}, "", {}, 71001},
    {"BadKeyUsage", {{"keyUsage", "digitalSignature,bogus"}}, "", {}, 71001},
    {"BadPolicy", {{"policy", "1.2.x"}}, "", {}, 71001},
    {"BadValidNow", {{"validNow", "yes"}}, "", {}, 71001},
};

class HelmFilterTest : public HelmChooserTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(HelmFilterTest, OffersExactlyTheCertificatesThatFit) {
  const FilterCase& c = GetParam();
  settings(c.settings);
  setenv("STUB_CHOOSER_ANSWER", "CANCELLED", 1);
  Json answer = adapter_->page("SelectCertificate", c.filters);
  if (c.code != 0) {
    EXPECT_EQ(answer["code"].number, c.code);
    EXPECT_EQ(logged(), "") << "no dialog for a bad filter";
    return;
  }
  EXPECT_EQ(answer["code"].number, 71021) << "the user cancelled";
  std::vector<std::string> shown = rows();
  EXPECT_EQ(std::set<std::string>(shown.begin(), shown.end()), c.offered);
  EXPECT_EQ(shown.size(), c.offered.size()) << "each certificate once";
  // The dialog names the site, also for an empty list (the page learns nothing from it).
  EXPECT_NE(logged().find("site https://shop.example"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, HelmFilterTest, ::testing::ValuesIn(kFilterCases),
                         [](const ::testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

// ---- what the page gets ------------------------------------------------------------

TEST_F(HelmChooserTest, ThePageGetsExactlyTheChosenCertificateAndOnlyItAfterwards) {
  Json chosen = choose("Token EC Signer");
  ASSERT_EQ(chosen["code"].number, 0) << chosen.text;
  EXPECT_EQ(commonName(chosen), "Token EC Signer");
  EXPECT_NE(chosen["pem"].text.find("BEGIN CERTIFICATE"), std::string::npos);
  EXPECT_FALSE(chosen.has("certificates"));
  std::string id = chosen["id"].text;
  // Each row says where the certificate is.
  EXPECT_NE(logged().find("On token: helm-test"), std::string::npos);
  EXPECT_NE(logged().find("In file: soft.p12"), std::string::npos);

  // The chosen one: by id, or with no id at all.
  Json again = adapter_->page("GetCertificate", {{"id", id}});
  EXPECT_EQ(again["code"].number, 0);
  Json implicit = adapter_->page("GetCertificate", {});
  EXPECT_EQ(implicit["id"].text, id);
  // No other, even by a correct id (a site may know a certificate's hash).
  Json other = choose("Plain Signer");
  std::string plainId = other["id"].text;
  choose("Token EC Signer");
  EXPECT_EQ(adapter_->page("GetCertificate", {{"id", plainId}})["code"].number, 71051);
  Params sign = {{"id", plainId}};
  addBytes(&sign, "data", "text");
  EXPECT_EQ(adapter_->page("SignCms", sign)["code"].number, 71051);
  // Listing is not for this site.
  EXPECT_EQ(adapter_->page("ListCertificates", {})["code"].number, 71050);
}

TEST_F(HelmChooserTest, ACancelGivesNothingAndForgetsTheEarlierChoice) {
  Json chosen = choose("Soft Signer");
  ASSERT_EQ(chosen["code"].number, 0);
  setenv("STUB_CHOOSER_ANSWER", "CANCELLED", 1);
  Json cancelled = adapter_->page("SelectCertificate", {});
  EXPECT_EQ(cancelled["code"].number, 71021);
  EXPECT_FALSE(cancelled.has("id"));
  EXPECT_FALSE(cancelled.has("pem"));
  EXPECT_EQ(adapter_->page("GetCertificate", {})["code"].number, 71001);
  EXPECT_EQ(adapter_->page("GetCertificate", {{"id", chosen["id"].text}})["code"].number, 71051);
}

struct AnswerCase {
  const char* name;
  const char* answer;
  int code;
};
const AnswerCase kAnswerCases[] = {
    {"Cancelled", "CANCELLED", 71021},  {"TimedOut", "TIMEOUT", 71021},     {"EndedSilently", "exit", 71021},
    {"NoDisplay", "NODISPLAY", 71022},  {"IndexOutOfRange", "CHOSEN 99", 71022}, {"Garbage", "CHOSEN 1x", 71022},
};
class HelmChooserAnswerTest : public HelmChooserTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(HelmChooserAnswerTest, AnythingButAValidChoiceGivesNoCertificate) {
  setenv("STUB_CHOOSER_ANSWER", GetParam().answer, 1);
  Json answer = adapter_->page("SelectCertificate", {});
  EXPECT_EQ(answer["code"].number, GetParam().code);
  EXPECT_FALSE(answer.has("pem"));
  EXPECT_EQ(adapter_->page("GetCertificate", {})["code"].number, 71001);
}
INSTANTIATE_TEST_SUITE_P(Cases, HelmChooserAnswerTest, ::testing::ValuesIn(kAnswerCases),
                         [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

TEST_F(HelmChooserTest, NoDialogWithoutADisplayOrProgram) {
  unsetenv("DISPLAY");
  EXPECT_EQ(adapter_->page("SelectCertificate", {})["code"].number, 71022);
  setenv("DISPLAY", ":77", 1);
  settings("chooser = /nonexistent/chooser\n");
  EXPECT_EQ(adapter_->page("SelectCertificate", {})["code"].number, 71022);
  EXPECT_EQ(logged(), "");
}

TEST_F(HelmChooserTest, ListSitesListAndNameAnyCertificate) {
  settings(std::string("list-origins = ") + kKiosk + "\n");
  EXPECT_EQ(adapter_->page("ListCertificates", {})["code"].number, 71050);
  adapter_->release();
  ASSERT_EQ(adapter_->unlock(kKiosk), "0");
  Json list = adapter_->page("ListCertificates", {});
  ASSERT_EQ(list["code"].number, 0);
  ASSERT_GT(list["certificates"].items.size(), 1u);
  EXPECT_EQ(adapter_->page("GetCertificate", {{"id", list["certificates"][1]["id"].text}})["code"].number, 0);
}

TEST_F(HelmChooserTest, TheSitesWordsAreShownAsOneQuotedLine) {
  setenv("STUB_CHOOSER_ANSWER", "CANCELLED", 1);
  adapter_->page("SelectCertificate", {{"description", "For your tax return\n\"OK\" means yes"}});
  std::string log = logged();
  size_t note = log.find("note ");
  ASSERT_NE(note, std::string::npos);
  std::string shown = unescape(log.substr(note + 5, log.find('\n', note) - note - 5));
  EXPECT_EQ(shown, "The site says (its own words): \"For your tax return 'OK' means yes\"");
}

// ---- batches --------------------------------------------------------------------------

TEST_F(HelmChooserTest, ABatchIsSignedWithOnePinInOrder) {
  ASSERT_EQ(choose("Plain Signer")["code"].number, 0);
  std::vector<std::pair<std::string, std::string>> docs = {
      {"contract.pdf", "first document"}, {"annex \xc3\xa4.txt", std::string("second\0document", 15)},
      {"third.xml", "<a>third</a>"}};
  unlink(logFile().c_str());
  setenv("STUB_CHOOSER_ANSWER", "PIN 0000", 1);   // wrong, then right
  setenv("STUB_CHOOSER_PINS", "abcd", 1);
  Json batch = adapter_->page("SignCmsBatch", {{"documents", documents(docs)}});
  ASSERT_EQ(batch["code"].number, 0) << logged();
  EXPECT_EQ(batch["cancelled"].type, Json::Bool);
  EXPECT_FALSE(batch["cancelled"].boolean);
  ASSERT_EQ(batch["results"].items.size(), docs.size());
  for (size_t i = 0; i < docs.size(); i++) {
    const Json& r = batch["results"][i];
    EXPECT_EQ(r["name"].text, docs[i].first);
    ASSERT_EQ(r["code"].number, 0) << r["message"].text;
    CommandResult verified = opensslVerify(unbase64(r["cms"].text), docs[i].second);
    EXPECT_EQ(verified.status, 0) << docs[i].first << ": " << verified.output;
  }
  std::string log = logged();
  EXPECT_NE(log.find("error Wrong password. Try again."), std::string::npos);
  EXPECT_NE(log.find("row contract.pdf\t14 bytes, SHA-256 "), std::string::npos) << log;
  EXPECT_NE(log.find("In file: plain.p12"), std::string::npos);
  EXPECT_NE(log.find("site https://shop.example"), std::string::npos);
  EXPECT_NE(log.find("\ndone\n"), std::string::npos);
}

TEST_F(HelmChooserTest, ACancelMidwayLeavesTheRestUnsigned) {
  ASSERT_EQ(choose("Token Signer")["code"].number, 0);
  std::vector<std::pair<std::string, std::string>> docs;
  for (int i = 1; i <= 6; i++) docs.emplace_back("doc" + std::to_string(i), "content " + std::to_string(i));
  setenv("STUB_CHOOSER_ANSWER", "PIN 1234", 1);
  setenv("STUB_CHOOSER_CANCEL_AT", "Signing 2 of 6", 1);
  Json batch = adapter_->page("SignCmsBatch", {{"documents", documents(docs)}});
  ASSERT_EQ(batch["code"].number, 0);
  EXPECT_TRUE(batch["cancelled"].boolean);
  ASSERT_EQ(batch["results"].items.size(), 6u);
  EXPECT_EQ(batch["results"][0]["code"].number, 0);
  EXPECT_EQ(opensslVerify(unbase64(batch["results"][0]["cms"].text), docs[0].second).status, 0);
  // The stub cancels on seeing the second document start: at most it and
  // the next are signed by then; the last ones never.
  for (size_t i = 4; i < 6; i++) {
    EXPECT_EQ(batch["results"][i]["code"].number, 71021) << i;
    EXPECT_FALSE(batch["results"][i].has("cms"));
  }
  // Once one is cancelled, every later one is too.
  bool seenCancel = false;
  for (size_t i = 0; i < 6; i++) {
    bool cancelled = batch["results"][i]["code"].number == 71021;
    EXPECT_TRUE(!seenCancel || cancelled) << i;
    seenCancel = seenCancel || cancelled;
  }
}

TEST_F(HelmChooserTest, ACancelledPinDialogSignsNothing) {
  ASSERT_EQ(choose("Soft Signer")["code"].number, 0);
  setenv("STUB_CHOOSER_ANSWER", "CANCELLED", 1);
  Json batch = adapter_->page("SignCmsBatch", {{"documents", documents({{"a", "b"}})}});
  EXPECT_EQ(batch["code"].number, 71021);
  EXPECT_FALSE(batch.has("results"));
}

TEST_F(HelmChooserTest, TooManyWrongPinsEndTheBatch) {
  settings("pin-attempts = 2\n");
  ASSERT_EQ(choose("Plain Signer")["code"].number, 0);
  setenv("STUB_CHOOSER_ANSWER", "PIN 0000", 1);
  setenv("STUB_CHOOSER_PINS", "1111 abcd", 1);
  Json batch = adapter_->page("SignCmsBatch", {{"documents", documents({{"a", "b"}})}});
  EXPECT_EQ(batch["code"].number, 71004);
}

// Run alone, on the token of softhsm2-always.conf (CMakeLists.txt).
class HelmAlwaysKeyTest : public HelmChooserTest {};

TEST_F(HelmAlwaysKeyTest, AKeyThatWantsItsPinForEverySignatureSignsOneDocument) {
  Json chosen = choose("Always Signer");
  ASSERT_EQ(chosen["code"].number, 0);
  setenv("STUB_CHOOSER_ANSWER", "PIN 1234", 1);
  std::vector<std::pair<std::string, std::string>> docs = {{"a", "first"}, {"b", "second"}, {"c", "third"}};
  Json batch = adapter_->page("SignCmsBatch", {{"documents", documents(docs)}});
  ASSERT_EQ(batch["code"].number, 0) << logged();
  ASSERT_EQ(batch["results"].items.size(), 3u);
  EXPECT_EQ(batch["results"][0]["code"].number, 0) << batch["results"][0]["message"].text;
  EXPECT_EQ(opensslVerify(unbase64(batch["results"][0]["cms"].text), "first").status, 0);
  for (size_t i = 1; i < 3; i++) {
    EXPECT_EQ(batch["results"][i]["code"].number, 71053) << i;
    EXPECT_FALSE(batch["results"][i].has("cms"));
  }
}

struct BatchErrorCase {
  const char* name;
  std::string documents;
  int code;
};
std::string manyDocuments(int count) {
  std::string out;
  for (int i = 0; i < count; i++) out += (i ? "," : "") + base64("d" + std::to_string(i)) + ":" + base64("x");
  return out;
}
const BatchErrorCase kBatchErrors[] = {
    {"Missing", "", 71001},
    {"NoColon", base64("a") + base64("b"), 71001},
    {"NotBase64", "a*:b*", 71001},
    {"EmptyName", ":" + base64("data"), 71001},
    {"EmptyData", base64("name") + ":", 71001},
    {"OneOverTheLimit", manyDocuments(101), 71052},
    {"TooManyBytes", base64("big") + ":" + base64(std::string(9u << 20, 'a')) + "," + base64("big2") + ":" +
                         base64(std::string(8u << 20, 'b')), 71052},
};
class HelmBatchErrorTest : public HelmChooserTest, public ::testing::WithParamInterface<BatchErrorCase> {};

TEST_P(HelmBatchErrorTest, RefusedBeforeAnyDialog) {
  ASSERT_EQ(choose("Plain Signer")["code"].number, 0);
  unlink(logFile().c_str());
  Params p;
  if (!GetParam().documents.empty()) p.emplace_back("documents", GetParam().documents);
  EXPECT_EQ(adapter_->page("SignCmsBatch", p)["code"].number, GetParam().code);
  EXPECT_EQ(logged(), "");
}
INSTANTIATE_TEST_SUITE_P(Cases, HelmBatchErrorTest, ::testing::ValuesIn(kBatchErrors),
                         [](const ::testing::TestParamInfo<BatchErrorCase>& info) { return std::string(info.param.name); });

TEST_F(HelmChooserTest, ABatchTakesOnlyTheChosenSigningCertificate) {
  std::string docs = documents({{"a", "b"}});
  // Nothing chosen yet.
  EXPECT_EQ(adapter_->page("SignCmsBatch", {{"documents", docs}})["code"].number, 71001);
  // An authentication key never signs a site's documents.
  ASSERT_EQ(choose("Policy Auth")["code"].number, 0);
  EXPECT_EQ(adapter_->page("SignCmsBatch", {{"documents", docs}})["code"].number, 71023);
  std::string authId = adapter_->page("GetCertificate", {})["id"].text;
  ASSERT_EQ(choose("Soft Signer")["code"].number, 0);
  EXPECT_EQ(adapter_->page("SignCmsBatch", {{"documents", docs}, {"id", authId}})["code"].number, 71051);
  EXPECT_EQ(logged().find("PIN"), std::string::npos);
}

// ---- the user's language --------------------------------------------------------------

struct LanguageCase {
  const char* name;
  const char* variable;   // the environment variable that names the language
  const char* value;
  const char* chooserTitle;
  const char* give;
  const char* cancel;
  const char* issuedBy;
  const char* siteSays;
  const char* batchTitle;
  const char* sign;
  const char* password;
  const char* wrongPassword;
};
const LanguageCase kLanguages[] = {
    {"English", "LANG", "C.UTF-8", "Kestrovan: choose a certificate", "_Give this certificate", "_Cancel", "Issued by: ",
     "The site says (its own words): ", "Kestrovan: sign documents", "_Sign", "_Password:", "Wrong password. Try again."},
    {"German", "LANGUAGE", "de", "Kestrovan: Zertifikat ausw\xc3\xa4hlen", "Dieses _Zertifikat \xc3\xbc" "bergeben",
     "_Abbrechen", "Ausgestellt von: ", "Die Website sagt (in ihren eigenen Worten): ", "Kestrovan: Dokumente signieren",
     "_Signieren", "_Kennwort:", "Falsches Kennwort. Bitte erneut versuchen."},
    {"French", "LC_MESSAGES", "fr_FR.UTF-8", "Kestrovan : choisir un certificat", "_Donner ce certificat", "A_nnuler",
     "\xc3\x89mis par : ", "Le site indique (ses propres mots) : ", "Kestrovan : signer des documents", "_Signer",
     "_Mot de passe :", "Mot de passe incorrect. R\xc3\xa9" "essayez."},
    {"Spanish", "LANG", "es_ES.UTF-8", "Kestrovan: elegir un certificado", "_Dar este certificado", "_Cancelar",
     "Emitido por: ", "El sitio dice (con sus propias palabras): ", "Kestrovan: firmar documentos", "_Firmar",
     "Con_trase\xc3\xb1" "a:", "Contrase\xc3\xb1" "a incorrecta. Int\xc3\xa9ntelo de nuevo."},
};
class HelmLanguageTest : public HelmChooserTest, public ::testing::WithParamInterface<LanguageCase> {
 protected:
  void TearDown() override {
    unsetenv(GetParam().variable);
    HelmChooserTest::TearDown();
  }
  // The value of the first logged line with this key.
  static std::string value(const std::string& key) {
    std::string log = logged();
    size_t at = log.find(key + " ");
    if (at == std::string::npos) return "(no " + key + ")";
    return unescape(log.substr(at + key.size() + 1, log.find('\n', at) - at - key.size() - 1));
  }
};

TEST_P(HelmLanguageTest, EveryDialogTextIsInTheUsersLanguageAndTheSitesWordsAsSent) {
  const LanguageCase& c = GetParam();
  setenv(c.variable, c.value, 1);
  setenv("STUB_CHOOSER_ANSWER", "CANCELLED", 1);
  const std::string words = "Sign in to \"Example Bank\"";
  adapter_->page("SelectCertificate", {{"description", words}});
  EXPECT_EQ(value("title"), c.chooserTitle);
  EXPECT_EQ(value("ok"), c.give);
  EXPECT_EQ(value("cancel"), c.cancel);
  EXPECT_EQ(value("note"), std::string(c.siteSays) + "\"Sign in to 'Example Bank'\"");
  EXPECT_NE(logged().find(HelmChooserTestEscape(c.issuedBy)), std::string::npos) << logged();

  ASSERT_EQ(choose("Plain Signer")["code"].number, 0);
  unlink(logFile().c_str());
  setenv("STUB_CHOOSER_ANSWER", "PIN wrong", 1);
  setenv("STUB_CHOOSER_PINS", "abcd", 1);
  Json batch = adapter_->page("SignCmsBatch", {{"documents", documents({{"Vertrag.pdf", "x"}})}});
  EXPECT_EQ(batch["code"].number, 0);
  EXPECT_EQ(value("title"), c.batchTitle);
  EXPECT_EQ(value("ok"), c.sign);
  EXPECT_EQ(value("pin"), c.password);
  EXPECT_EQ(value("error"), c.wrongPassword);
  EXPECT_NE(logged().find("row Vertrag.pdf\t"), std::string::npos) << "a name is never translated";
}
INSTANTIATE_TEST_SUITE_P(Cases, HelmLanguageTest, ::testing::ValuesIn(kLanguages),
                         [](const ::testing::TestParamInfo<LanguageCase>& info) { return std::string(info.param.name); });

}  // namespace
