// SPDX-License-Identifier: Apache-2.0
// stores_test.cpp -- NORTAKestrovanProvision --nss in homes laid out like
// each browser's: the local CA ends up exactly once in every NSS database a
// browser of that home reads (found through profiles.ini, not by folder
// names), replaces earlier CAs of ours, leaves databases no browser reads
// alone, and a database that cannot take it is reported without failing.
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace {

const char* const kOurs = "NORTAKestrovan local CA";

void makeFolders(const std::string& path) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
    mkdir(path.substr(0, at).c_str(), 0700);
  mkdir(path.c_str(), 0700);
}

// An empty NSS database at folder, as a browser makes it.
void makeDatabase(const std::string& folder) {
  makeFolders(folder);
  std::string output;
  ASSERT_EQ(kt::runProgram({"certutil", "-N", "-d", "sql:" + folder, "--empty-password"}, "", &output), 0) << output;
}

std::string listing(const std::string& folder) {
  std::string output;
  kt::runProgram({"certutil", "-L", "-d", "sql:" + folder}, "", &output);
  return output;
}

size_t countOurs(const std::string& text) {
  size_t count = 0;
  for (size_t at = text.find(kOurs); at != std::string::npos; at = text.find(kOurs, at + 1))
    count++;
  return count;
}

std::string squeezed(const std::string& pem) {
  std::string out;
  for (char c : pem)
    if (c != '\r' && c != '\n')
      out += c;
  return out;
}

// A profiles.ini in root listing (Path, IsRelative) pairs, as Firefox writes it.
void profilesIni(const std::string& root, const std::vector<std::pair<std::string, bool>>& profiles) {
  makeFolders(root);
  std::string text;
  for (size_t i = 0; i < profiles.size(); i++) {
    text += "[Profile" + std::to_string(i) + "]\nName=profile " + std::to_string(i) + "\nIsRelative=" +
            (profiles[i].second ? "1" : "0") + "\nPath=" + profiles[i].first + "\n" + (i == 0 ? "Default=1\n" : "") +
            "\n";
  }
  text += "[General]\nStartWithLastProfile=1\nVersion=2\n\n[InstallABCDEF0123456789]\nDefault=" +
          (profiles.empty() ? std::string() : profiles[0].first) + "\nLocked=1\n";
  ASSERT_TRUE(kt::writeFile(root + "/profiles.ini", text, 0644));
}

// A Firefox root with a profile that has a database, one that Firefox made
// but never started (no database yet, under a name no one would guess) and
// a database folder that profiles.ini does not list.
void firefoxRoot(const std::string& root) {
  makeDatabase(root + "/x1y2z3ab.default-esr");
  makeFolders(root + "/Profiles/work profile");
  profilesIni(root, {{"x1y2z3ab.default-esr", true}, {"Profiles/work profile", true}});
  makeDatabase(root + "/unlisted.default");
}

struct Layout {
  const char* name;
  void (*make)(const std::string& home);
  std::vector<const char*> stores;     // must hold our CA once, trusted for web sites
  std::vector<const char*> untouched;  // must hold none of ours
};

void PrintTo(const Layout& layout, std::ostream* out) {
  *out << layout.name;
}

const Layout kLayouts[] = {
    {"NothingYet", [](const std::string&) {}, {".pki/nssdb"}, {}},
    {"NewerChromium", [](const std::string& home) { makeDatabase(home + "/.local/share/pki/nssdb"); },
     {".pki/nssdb", ".local/share/pki/nssdb"}, {}},
    {"NewerChromiumNotMadeYet", [](const std::string& home) { makeFolders(home + "/.local/share/pki"); },
     {".pki/nssdb"}, {".local/share/pki/nssdb"}},
    {"SnapChromium",
     [](const std::string& home) {
       makeFolders(home + "/snap/chromium/2890");
       ASSERT_EQ(symlink("2890", (home + "/snap/chromium/current").c_str()), 0);
     },
     {".pki/nssdb", "snap/chromium/current/.pki/nssdb"}, {}},
    {"FlatpakChromium", [](const std::string& home) { makeDatabase(home + "/.var/app/org.chromium.Chromium/.pki/nssdb"); },
     {".pki/nssdb", ".var/app/org.chromium.Chromium/.pki/nssdb"}, {}},
    {"Firefox", [](const std::string& home) { firefoxRoot(home + "/.mozilla/firefox"); },
     {".pki/nssdb", ".mozilla/firefox/x1y2z3ab.default-esr", ".mozilla/firefox/Profiles/work profile"},
     {".mozilla/firefox/unlisted.default"}},
    {"NewerFirefox", [](const std::string& home) { firefoxRoot(home + "/.config/mozilla/firefox"); },
     {".pki/nssdb", ".config/mozilla/firefox/x1y2z3ab.default-esr", ".config/mozilla/firefox/Profiles/work profile"},
     {".config/mozilla/firefox/unlisted.default"}},
    {"SnapFirefox", [](const std::string& home) { firefoxRoot(home + "/snap/firefox/common/.mozilla/firefox"); },
     {".pki/nssdb", "snap/firefox/common/.mozilla/firefox/x1y2z3ab.default-esr",
      "snap/firefox/common/.mozilla/firefox/Profiles/work profile"},
     {"snap/firefox/common/.mozilla/firefox/unlisted.default"}},
    {"FlatpakFirefox", [](const std::string& home) { firefoxRoot(home + "/.var/app/org.mozilla.firefox/.mozilla/firefox"); },
     {".pki/nssdb", ".var/app/org.mozilla.firefox/.mozilla/firefox/x1y2z3ab.default-esr",
      ".var/app/org.mozilla.firefox/.mozilla/firefox/Profiles/work profile"},
     {".var/app/org.mozilla.firefox/.mozilla/firefox/unlisted.default"}},
    {"FirefoxProfileElsewhere",
     [](const std::string& home) {
       makeDatabase(home + "/Documents/firefox profile");
       profilesIni(home + "/.mozilla/firefox", {{home + "/Documents/firefox profile", false}});
     },
     {".pki/nssdb", "Documents/firefox profile"}, {}},
};

class Stores : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    // The default locations only: the test's own environment must not lead
    // provisioning elsewhere.
    unsetenv("XDG_CONFIG_HOME");
    std::string probe;
    ASSERT_GE(kt::runProgram({"certutil", "-H"}, "", &probe), 0) << "certutil (libnss3-tools) is missing";
  }
  int provision(const std::vector<std::string>& options, std::string* output) {
    std::vector<std::string> argv = {KESTROVAN_PROVISION_EXE};
    argv.insert(argv.end(), options.begin(), options.end());
    return kt::runProgram(argv, home.path, output);
  }
  kt::TempFolder home;
};

TEST_P(Stores, TheCaIsInEveryStoreOnceAfterProvisioningTwice) {
  GetParam().make(home.path);
  ASSERT_FALSE(HasFatalFailure());
  std::string first;
  std::string second;
  ASSERT_EQ(provision({"--nss"}, &first), 0) << first;
  // A new CA the second time: it must replace the first everywhere.
  ASSERT_EQ(provision({"--nss", "--force"}, &second), 0) << second;
  std::string ca;
  ASSERT_TRUE(kt::readFile(home.path + "/NORTAKestrovan/ca.pem", &ca));
  for (const char* store : GetParam().stores) {
    std::string folder = home.path + "/" + store;
    std::string list = listing(folder);
    EXPECT_EQ(countOurs(list), 1u) << store << ":\n" << list << second;
    EXPECT_NE(list.find("C,,"), std::string::npos) << store << ":\n" << list;
    std::string exported;
    kt::runProgram({"certutil", "-L", "-d", "sql:" + folder, "-n", kOurs, "-a"}, "", &exported);
    EXPECT_NE(squeezed(exported).find(squeezed(ca)), std::string::npos) << store << ": not the current CA";
    EXPECT_NE(second.find("the local CA is trusted in " + folder + " ("), std::string::npos) << second;
  }
  for (const char* store : GetParam().untouched) {
    std::string folder = home.path + "/" + store;
    EXPECT_EQ(countOurs(listing(folder)), 0u) << store;
    EXPECT_EQ(second.find(folder), std::string::npos) << second;
  }
}

INSTANTIATE_TEST_SUITE_P(Homes, Stores, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

class StoresOnly : public Stores {};

// Earlier CAs of ours, under our nickname or the one a browser's import
// dialog gives (the common name), go; another CA stays.
TEST_F(StoresOnly, EarlierCasOfOursAreReplacedAndOthersKept) {
  std::string nssdb = home.path + "/.pki/nssdb";
  makeDatabase(nssdb);
  std::string output;
  std::string ca = home.path + "/NORTAKestrovan/ca.pem";
  auto add = [&](const std::string& nickname, const std::string& file) {
    ASSERT_EQ(kt::runProgram({"certutil", "-A", "-d", "sql:" + nssdb, "-n", nickname, "-t", "C,,", "-i", file}, "",
                             &output),
              0)
        << output;
  };
  // Two earlier CAs of ours, each made by an earlier provisioning.
  ASSERT_EQ(provision({}, &output), 0) << output;
  add("NORTAKestrovan local CA", ca);
  ASSERT_EQ(provision({"--force"}, &output), 0) << output;
  add("NORTAKestrovan local CA 1A2B3C4D", ca);
  // Someone else's.
  std::string other = home.path + "/other-ca.pem";
  ASSERT_EQ(kt::runProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                            "-subj", "/CN=Some other CA", "-days", "2", "-keyout", home.path + "/other-ca.key", "-out",
                            other},
                           "", &output),
            0)
      << output;
  add("Some other CA", other);
  ASSERT_EQ(provision({"--nss", "--force"}, &output), 0) << output;
  std::string list = listing(nssdb);
  EXPECT_EQ(countOurs(list), 1u) << list;
  EXPECT_EQ(list.find("NORTAKestrovan local CA 1A2B3C4D"), std::string::npos) << list;
  EXPECT_NE(list.find("Some other CA"), std::string::npos) << list;
  std::string current;
  std::string exported;
  ASSERT_TRUE(kt::readFile(ca, &current));
  kt::runProgram({"certutil", "-L", "-d", "sql:" + nssdb, "-n", kOurs, "-a"}, "", &exported);
  EXPECT_EQ(squeezed(exported), squeezed(current));
}

// A database certutil cannot use is reported; the other stores still get
// the CA and the command succeeds, as does a profiles.ini entry whose
// folder is gone.
TEST_F(StoresOnly, AStoreThatCannotTakeItIsReportedNotFatal) {
  std::string broken = home.path + "/.var/app/org.chromium.Chromium/.pki/nssdb";
  makeFolders(broken);
  ASSERT_TRUE(kt::writeFile(broken + "/cert9.db", "this is not a database\n"));
  std::string root = home.path + "/.mozilla/firefox";
  makeDatabase(root + "/good.default");
  profilesIni(root, {{"good.default", true}, {"gone.default", true}});
  std::string output;
  ASSERT_EQ(provision({"--nss"}, &output), 0) << output;
  EXPECT_NE(output.find("could not trust the local CA in " + broken + " (Flatpak Chromium): "), std::string::npos)
      << output;
  EXPECT_NE(output.find("gone.default, which does not exist"), std::string::npos) << output;
  EXPECT_EQ(countOurs(listing(home.path + "/.pki/nssdb")), 1u);
  EXPECT_EQ(countOurs(listing(root + "/good.default")), 1u);
}

}  // namespace
