// SPDX-License-Identifier: Apache-2.0
// Origin policy: list-to-pattern rules, the URL form, matching, the flag's
// life and hostile lists or origins.
#include "policy/policy.h"

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "common/trace_capture.h"

namespace {

bool permits(const char* list, const char* origin) {
  KestrovanUrlCheck check;
  KestrovanPolicy_setUnlockURL(&check, list);
  KestrovanPolicy_unlock(&check, origin);
  bool permitted = KestrovanPolicy_isUrlUnlock(&check);
  KestrovanPolicy_freeCheckURL(&check);
  return permitted;
}

struct OriginCase {
  const char* name;
  const char* list;
  const char* origin;
  bool permitted;
};

void PrintTo(const OriginCase& c, std::ostream* os) { *os << c.name; }

class OriginPolicy : public testing::TestWithParam<OriginCase> {};

TEST_P(OriginPolicy, Decides) {
  const OriginCase& c = GetParam();
  EXPECT_EQ(permits(c.list, c.origin), c.permitted) << c.list << " / " << c.origin;
}

const OriginCase OriginCases[] = {
    {"WildcardSubdomain", "*.example.com", "https://www.example.com", true},
    {"WildcardNeedsTheDot", "*.example.com", "https://example.com", false},
    {"WildcardDeepWithPort", "*.example.com", "https://a.b.example.com:8443", true},
    {"WildcardOtherDomain", "*.example.com", "https://www.example.org", false},
    {"DotIsLiteral", "example.com", "https://exampleXcom", false},
    {"TrimmedPiecesIgnoreCase", " example.com ; example.org ", "http://EXAMPLE.org", true},
    {"TrailingSlashInList", "example.com/", "https://example.com/", true},
    {"TrailingSlashInOrigin", "example.com", "https://example.com/", true},
    {"LeadingDotGetsStar", ".example.com", "https://a.example.com", true},
    {"TrailingDotGetsStar", "intra.", "http://intra.corp", true},
    {"TrailingDotNeedsMore", "intra.", "http://intra", false},
    {"PortRemovedBeforeMatch", "example.com", "https://example.com:8443", true},
    {"PortInListNeverMatches", "example.com:8443", "https://example.com:8443", false},
    {"PathIsNotUrl", "*", "https://www.example.com/path", false},
    {"NullOriginIsNotUrl", "*", "null", false},
    {"Ipv6IsNotUrl", "*", "https://[::1]:8443", false},
    {"UserPartIsNotUrl", "*", "https://user@example.com", false},
    {"OtherSchemeIsNotUrl", "*", "ftp://example.com", false},
    {"Ipv4", "127.0.0.1", "http://127.0.0.1:8080", true},
    {"Ipv4Wildcard", "192.168.*", "http://192.168.1.20", true},
    {"UpperSchemeKeptOnlyStarMatches", "*", "HTTPS://example.com", true},
    {"UpperSchemeKeptListMisses", "example.com", "HTTPS://example.com", false},
    {"SecondPieceMatches", "a.test;b.test", "https://b.test", true},
    {"EmptyList", "", "https://example.com", false},
    {"BlankPiecesOnly", " ; ;\t", "https://example.com", false},
    {"InvalidPattern", "a(b", "https://ab", false},
    {"InvalidPatternSpoilsTheList", "a(b;example.com", "https://example.com", false},
    {"RegexSyntaxKept", "(www|api).example.com", "https://api.example.com", true},
    {"RegexSyntaxKeptMiss", "(www|api).example.com", "https://ftp.example.com", false},
    {"CharacterClassKept", "[ab].example.com", "https://b.example.com", true},
    {"LabelOf63", "*", "https://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.com", true},
    {"LabelOf64IsNotUrl", "*", "https://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.com", false},
    {"HyphenInside", "*", "https://a-b.example", true},
    {"HyphenAtEdgeIsNotUrl", "*", "https://-ab.example", false},
};

INSTANTIATE_TEST_SUITE_P(Policy, OriginPolicy, testing::ValuesIn(OriginCases),
                         [](const testing::TestParamInfo<OriginCase>& info) { return info.param.name; });

TEST(OriginPolicy, MessagesOfTheCheck) {
  testing::internal::CaptureStdout();
  EXPECT_FALSE(permits("*", "https://www.example.com/path"));
  std::string out = captured();
  EXPECT_NE(out.find("Input domain is not url"), std::string::npos);
  EXPECT_EQ(out.find("Unlock original domain input: "), std::string::npos);

  testing::internal::CaptureStdout();
  EXPECT_FALSE(permits("a(b", "https://ab"));
  out = captured();
  EXPECT_NE(out.find("Enable url check list"), std::string::npos);
  EXPECT_NE(out.find("Url check list: a(b"), std::string::npos);
  EXPECT_NE(out.find("Unlock original domain input: https://ab"), std::string::npos);
  EXPECT_NE(out.find("unlock exception: "), std::string::npos);

  testing::internal::CaptureStdout();
  EXPECT_TRUE(permits(" .example.com ;; intra. ", "https://a.example.com"));
  out = captured();
  EXPECT_NE(out.find("Url check list: *.example.com"), std::string::npos);
  EXPECT_NE(out.find("Url check list: intra.*"), std::string::npos);

  testing::internal::CaptureStdout();
  KestrovanUrlCheck check;
  KestrovanPolicy_unlock(&check, nullptr);
  EXPECT_NE(captured().find("Parameter domain is null at checkURL"), std::string::npos);
}

TEST(OriginPolicy, FragmentsFollowTheListRules) {
  KestrovanUrlCheck check;
  KestrovanPolicy_setUnlockURL(&check, " .example.com ;\t;intra. ; a*b ;.");
  EXPECT_EQ(check.vecDomainRegexs,
            (std::vector<std::string>{"\\S*\\.example\\.com", "intra\\.\\S*", "a\\S*b", "\\S*\\.\\S*"}));
  // A missing or empty list leaves the fragments and clears the flag.
  check.bIsUnlock = true;
  KestrovanPolicy_setUnlockURL(&check, "");
  EXPECT_FALSE(check.bIsUnlock);
  EXPECT_EQ(check.vecDomainRegexs.size(), 4u);
  KestrovanPolicy_setUnlockURL(&check, nullptr);
  EXPECT_EQ(check.vecDomainRegexs.size(), 4u);
  // Blank pieces only: the list becomes empty.
  KestrovanPolicy_setUnlockURL(&check, " ; ");
  EXPECT_TRUE(check.vecDomainRegexs.empty());
}

TEST(OriginPolicy, FlagLifecycleOfTheProcessWideCheck) {
  setUnlockURL("example.com");
  KestrovanPolicy_unlockState("https://example.com");
  EXPECT_TRUE(isUrlUnlock());
  // Once true it stays true through further checks...
  KestrovanPolicy_unlockState("https://example.org");
  EXPECT_TRUE(isUrlUnlock());
  // ...and freeing the list does not touch it.
  freeCheckURL();
  EXPECT_TRUE(isUrlUnlock());
  EXPECT_TRUE(KestrovanPolicy_state.vecDomainRegexs.empty());
  // Setting an empty list after freeing permits nothing, whatever came before.
  setUnlockURL("");
  EXPECT_FALSE(isUrlUnlock());
  KestrovanPolicy_unlockState("https://example.com");
  EXPECT_FALSE(isUrlUnlock());
  freeCheckURL();
}

TEST(OriginPolicy, ChecksAreIndependent) {
  KestrovanUrlCheck first, second;
  KestrovanPolicy_setUnlockURL(&first, "example.com");
  KestrovanPolicy_setUnlockURL(&second, "example.org");
  KestrovanPolicy_unlock(&first, "https://example.com");
  KestrovanPolicy_unlock(&second, "https://example.com");
  EXPECT_TRUE(KestrovanPolicy_isUrlUnlock(&first));
  EXPECT_FALSE(KestrovanPolicy_isUrlUnlock(&second));
}

// Patterns and origins that make a backtracking matcher run for ages or
// recurse per character: each must be decided (the test's timeout guards).
TEST(OriginPolicy, HostileListsAndOriginsAreDecided) {
  std::string label(63, 'a');
  std::string host = label;
  for (int i = 0; i < 20; i++) {
    host += "." + label;
  }
  std::string origin = "https://" + host + "!";
  EXPECT_FALSE(permits("(a+)+$", origin.c_str()));  // not a URL: rejected first
  origin = "https://" + host + ".b";
  EXPECT_FALSE(permits("((a+)+[^c]?)+c", origin.c_str()));
  EXPECT_FALSE(permits("(a|aa)+(a|aa)+(a|aa)+c", origin.c_str()));
  EXPECT_TRUE(permits("((a+)+[^c]?)+b", origin.c_str()));

  std::string longOrigin = "https://";
  for (int i = 0; i < 100000; i++) {
    longOrigin += "a.";
  }
  longOrigin += "com";
  EXPECT_TRUE(permits("*", longOrigin.c_str()));
  EXPECT_TRUE(permits("*.com", longOrigin.c_str()));
  EXPECT_FALSE(permits("*.org", longOrigin.c_str()));

  // A list far beyond any real one, and a repetition beyond the matcher's
  // limits: refused, not crashed.
  std::string manyPieces;
  for (int i = 0; i < 2000; i++) {
    manyPieces += "host" + std::to_string(i) + ".example.com;";
  }
  manyPieces += "target.example.com";
  EXPECT_TRUE(permits(manyPieces.c_str(), "https://target.example.com"));
  EXPECT_FALSE(permits("a{1000}{1000}{1000}", "https://a.b"));
  EXPECT_FALSE(permits("(a)\\1", "https://aa"));
}

}  // namespace
