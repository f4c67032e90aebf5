// SPDX-License-Identifier: Apache-2.0
// origins_test.cpp -- the allow-list grammar every reader of a list shares
// (the PKI adapter, its sites command, the doctor): the patterns a list
// text holds, and which origins they admit.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "include/kestrovan/adapter_origins.h"

namespace {

struct ListCase {
  const char* name;
  const char* text;
  std::vector<std::string> patterns;
};

void PrintTo(const ListCase& c, std::ostream* out) {
  *out << c.name;
}

const ListCase kLists[] = {
    {"Empty", "", {}},
    {"OneALine", "https://a.example\nhttps://b.example\n", {"https://a.example", "https://b.example"}},
    {"Semicolons", "https://a.example;https://b.example ; c.example", {"https://a.example", "https://b.example", "c.example"}},
    {"Comments", "# a list\nhttps://a.example # the bank\n#https://b.example\n", {"https://a.example"}},
    {"CommentEndsAtCarriageReturn", "# x\rhttps://a.example\r\n", {"https://a.example"}},
    {"BlanksAndEmptyPatterns", " \t;;\n\t https://a.example \t;\n\n", {"https://a.example"}},
    {"NoFinalLineEnd", "https://a.example", {"https://a.example"}},
};

class OriginList : public ::testing::TestWithParam<ListCase> {};

TEST_P(OriginList, HoldsItsPatterns) {
  const ListCase& c = GetParam();
  std::string text = c.text;
  std::vector<std::string> found;
  size_t at = 0, start = 0, length = 0;
  while (KestrovanOriginList_Next(text.data(), text.size(), &at, &start, &length))
    found.push_back(text.substr(start, length));
  EXPECT_EQ(found, c.patterns);
}

INSTANTIATE_TEST_SUITE_P(Lists, OriginList, ::testing::ValuesIn(kLists),
                         [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

struct AdmitCase {
  const char* name;
  const char* list;
  const char* origin;
  bool admitted;
};

void PrintTo(const AdmitCase& c, std::ostream* out) {
  *out << c.name;
}

const AdmitCase kAdmits[] = {
    {"Exact", "https://bank.example", "https://bank.example", true},
    {"SchemeLeftOutIsHttpsOnly", "bank.example", "http://bank.example", false},
    {"DefaultPortOnly", "https://bank.example", "https://bank.example:8443", false},
    {"AnyPort", "https://bank.example:*", "https://bank.example:8443", true},
    {"StarInHost", "https://*.shop.example", "https://a.b.shop.example", true},
    {"LeadingDot", ".shop.example", "https://x.shop.example", true},
    {"SecondOfTwoOnALine", "https://a.example; https://b.example", "https://b.example", true},
    {"CommentedOut", "# https://b.example", "https://b.example", false},
    {"AfterAComment", "https://a.example # b.example\nhttps://b.example", "https://b.example", true},
    {"CaseIgnored", "HTTPS://Bank.Example", "https://bank.EXAMPLE", true},
    {"NotAnOrigin", "*", "bank.example", false},
    {"OtherScheme", "ftp://bank.example", "https://bank.example", false},
};

class OriginListAdmits : public ::testing::TestWithParam<AdmitCase> {};

TEST_P(OriginListAdmits, AsItsPatternsSay) {
  const AdmitCase& c = GetParam();
  std::string list = c.list;
  EXPECT_EQ(KestrovanOriginList_Admits(list.data(), list.size(), c.origin) == 1, c.admitted);
}

INSTANTIATE_TEST_SUITE_P(Origins, OriginListAdmits, ::testing::ValuesIn(kAdmits),
                         [](const ::testing::TestParamInfo<AdmitCase>& info) { return std::string(info.param.name); });

TEST(Origin, CanonicalFormNamesOnlyAPortThatIsNotTheDefault) {
  KestrovanOrigin origin;
  char text[300];
  ASSERT_EQ(KestrovanOrigin_Parse("HTTPS://Bank.Example/", &origin), 1);
  EXPECT_EQ(KestrovanOrigin_Canonical(&origin, text, sizeof(text)), strlen("https://bank.example"));
  EXPECT_STREQ(text, "https://bank.example");
  ASSERT_EQ(KestrovanOrigin_Parse("http://[::1]:8080", &origin), 1);
  KestrovanOrigin_Canonical(&origin, text, sizeof(text));
  EXPECT_STREQ(text, "http://[::1]:8080");
  EXPECT_EQ(KestrovanOrigin_Canonical(&origin, text, 5), 0u);
  EXPECT_STREQ(text, "");
}

}  // namespace
