// SPDX-License-Identifier: Apache-2.0
// helm_text_test.cpp -- what the PKI adapter's dialogs make of outside text
// (adapters/helm/text.cpp, compiled in): a table of hostile texts, each
// with the exact line a dialog shows, and the whole of Unicode checked
// against Python's character database: every Cc, Cf, Zl and Zp code point
// becomes a space, and no other assigned one does.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "adapters/helm/helm.h"

namespace {

std::string utf8(unsigned cp) {
  std::string out;
  if (cp < 0x80) {
    out.push_back((char)cp);
  } else if (cp < 0x800) {
    out.push_back((char)(0xC0 | (cp >> 6)));
    out.push_back((char)(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back((char)(0xE0 | (cp >> 12)));
    out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back((char)(0x80 | (cp & 0x3F)));
  } else {
    out.push_back((char)(0xF0 | (cp >> 18)));
    out.push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back((char)(0x80 | (cp & 0x3F)));
  }
  return out;
}

std::string all(std::initializer_list<unsigned> cps) {
  std::string out;
  for (unsigned cp : cps) out += utf8(cp);
  return out;
}

struct WordsCase {
  const char* name;
  std::string words;   // what the page sent
  std::string shown;   // the quoted line the dialog shows
};

void PrintTo(const WordsCase& c, std::ostream* os) { *os << c.name; }

class HelmWordsTest : public ::testing::TestWithParam<WordsCase> {};

TEST_P(HelmWordsTest, TheSitesWordsStayOneLineInsideQuotesTheyCannotClose) {
  const WordsCase& c = GetParam();
  std::string shown = HelmDialog_Quoted(c.words.data(), c.words.size(), 160);
  EXPECT_EQ(shown, c.shown);
  // Whatever came in: one line, in order, opened and closed by the
  // dialog's own quotes and no others.
  ASSERT_GE(shown.size(), 2u);
  EXPECT_EQ(shown.front(), '"');
  EXPECT_EQ(shown.back(), '"');
  std::string inside = shown.substr(1, shown.size() - 2);
  EXPECT_EQ(inside.find('"'), std::string::npos);
  EXPECT_LE(inside.size(), 160u);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(inside.data());
  for (size_t i = 0; i < inside.size();) {
    size_t n = Helm_Utf8Sequence(p + i, inside.size() - i);
    ASSERT_NE(n, 0u) << "not UTF-8 at " << i;
    unsigned cp = n == 1 ? p[i] : p[i] & (0x7Fu >> n);
    for (size_t k = 1; k < n; k++) cp = cp << 6 | (p[i + k] & 0x3F);
    EXPECT_FALSE(HelmText_BreaksLine(cp)) << std::hex << cp;
    EXPECT_FALSE(HelmText_IsQuote(cp)) << std::hex << cp;
    i += n;
  }
  // The same text as a plain line (a certificate's or a token's name):
  // nothing that breaks it either.
  std::string line = HelmDialog_Line(c.words.data(), c.words.size(), 160);
  for (unsigned char b : line) EXPECT_FALSE(b < 0x20 || b == 0x7F) << line;
}

const WordsCase kWordsCases[] = {
    // A page's own "dialog text" under its words, on lines of their own.
    {"ParagraphAndLineSeparators",
     all({0x2029, 0x2029}) + "Site verified by your computer:" + all({0x2028}) + "https://bank.example" +
         all({0x2028, 0x2028}) + "Operation: log in",
     "\"  Site verified by your computer: https://bank.example  Operation: log in\""},
    {"NextLine", "Pay" + all({0x85}) + "Operation: log in", "\"Pay Operation: log in\""},
    {"AsciiControls", "a\nb\r\nc\td\x0b" "e\x0c" "f\x1b[31mg\x7fh", "\"a b  c d e f [31mg h\""},
    {"C1Controls", "a" + all({0x80, 0x9B, 0x9F}) + "b", "\"a   b\""},
    {"DirectionOverrides",
     "fdp." + all({0x202E}) + "exe" + all({0x202C, 0x202A, 0x202B, 0x202D}) + "x",
     "\"fdp. exe    x\""},
    {"DirectionIsolatesAndMarks", all({0x2066, 0x2067, 0x2068, 0x2069, 0x200E, 0x200F, 0x061C}) + "x",
     "\"       x\""},
    {"ZeroWidthAndInvisible", "a" + all({0x200B, 0x200C, 0x200D, 0x2060, 0x2061, 0x2064, 0xFEFF, 0x00AD, 0x180E}) + "b",
     "\"a         b\""},
    {"DeprecatedFormatControls", "a" + all({0x206A, 0x206F}) + "b", "\"a  b\""},
    {"InterlinearAnnotations", all({0xFFF9}) + "a" + all({0xFFFA}) + "b" + all({0xFFFB}), "\" a b \""},
    {"TagCharacters", "flag" + all({0xE0001, 0xE0067, 0xE0062, 0xE007F}) + "!", "\"flag    !\""},
    {"ArabicAndSyriacFormatMarks", all({0x0600, 0x06DD, 0x070F, 0x08E2}) + "1", "\"    1\""},
    {"AsciiQuoteCannotClose", "Invoice\" Verified by your computer: \"OK", "\"Invoice' Verified by your computer: 'OK\""},
    {"TypographicQuotes",
     all({0x201C}) + "a" + all({0x201D, 0x201E}) + "b" + all({0x201F, 0x00AB, 0x00BB, 0xFF02, 0x301D, 0x301E}),
     "\"'a''b''''''\""},
    {"NotUtf8", "a\xff\xc0\x80" "b\xed\xa0\x80", "\"a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd" "b\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
    {"OrdinaryWordsStay", "Invoice 2026-117 f\xc3\xbcr M\xc3\xbcller, \xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d 'ok' 100%",
     "\"Invoice 2026-117 f\xc3\xbcr M\xc3\xbcller, \xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d 'ok' 100%\""},
    {"LongWordsAreCut", std::string(300, 'A'), "\"" + std::string(157, 'A') + "\xe2\x80\xa6\""},
    {"CutNeverSplitsACharacter", std::string(158, 'A') + all({0x00E9, 0x00E9}),
     "\"" + std::string(157, 'A') + "\xe2\x80\xa6\""},
};

INSTANTIATE_TEST_SUITE_P(Hostile, HelmWordsTest, ::testing::ValuesIn(kWordsCases),
                         [](const ::testing::TestParamInfo<WordsCase>& info) { return std::string(info.param.name); });

TEST(HelmTextTest, EveryLineBreakingFormatOrControlCharacterOfUnicodeIsReplaced) {
  // Python's character database: runs of "B" (Cc, Cf, Zl, Zp), "N"
  // (unassigned in its Unicode version: later versions may add format
  // characters, which the table may know already) and "O" (the rest).
  const char* script =
      "python3 -c \"import sys,unicodedata as u\n"
      "def k(c):\n"
      "  g=u.category(chr(c))\n"
      "  return 'B' if g in ('Cc','Cf','Zl','Zp') else 'N' if g in ('Cn','Cs') else 'O'\n"
      "s=0;p=k(0)\n"
      "for c in range(1,0x110000):\n"
      "  q=k(c)\n"
      "  if q!=p: print(p,s,c-1);s=c;p=q\n"
      "print(p,s,0x10FFFF)\n"
      "print('V',u.unidata_version)\"";
  FILE* pipe = popen(script, "r");
  ASSERT_NE(pipe, nullptr);
  char kind[8];
  unsigned long first = 0, last = 0;
  unsigned breaking = 0, checked = 0;
  std::string version;
  while (fscanf(pipe, "%7s", kind) == 1) {
    if (kind[0] == 'V') {
      char v[32];
      if (fscanf(pipe, "%31s", v) == 1) version = v;
      continue;
    }
    ASSERT_EQ(fscanf(pipe, "%lu %lu", &first, &last), 2);
    if (kind[0] == 'N') continue;
    for (unsigned long cp = first; cp <= last; cp++) {
      checked++;
      if (kind[0] == 'B') {
        breaking++;
        EXPECT_TRUE(HelmText_BreaksLine((unsigned)cp)) << "U+" << std::hex << cp << " is Cc/Cf/Zl/Zp";
        std::string text = "a" + utf8((unsigned)cp) + "b";
        EXPECT_EQ(HelmDialog_Line(text.data(), text.size(), 160), "a b") << "U+" << std::hex << cp;
      } else {
        EXPECT_FALSE(HelmText_BreaksLine((unsigned)cp)) << "U+" << std::hex << cp << " is not Cc/Cf/Zl/Zp";
      }
    }
  }
  EXPECT_EQ(pclose(pipe), 0);
  ASSERT_FALSE(version.empty()) << "python3's unicodedata did not answer";
  EXPECT_GT(checked, 250000u) << "Unicode " << version;
  // Unicode 14 has 65 Cc, 161 Cf (tags included), one Zl and one Zp.
  EXPECT_GE(breaking, 65u + 161u + 2u) << "Unicode " << version;
}

TEST(HelmTextTest, ASiteIsCutInTheMiddleAndItsEndStays) {
  std::string origin = "https://" + std::string(200, 'a') + ".bank.example";
  std::string site = HelmDialog_Site(origin, 120);
  EXPECT_LE(site.size(), 120u);
  EXPECT_EQ(site.compare(0, 8, "https://"), 0);
  EXPECT_EQ(site.substr(site.size() - 13), ".bank.example");
  EXPECT_NE(site.find("\xe2\x80\xa6"), std::string::npos);
  EXPECT_EQ(HelmDialog_Site("https://bank.example", 120), "https://bank.example");
}

TEST(HelmTextTest, AssuanEscapesNeverSplitAndLineBreaksCannotStartACommand) {
  EXPECT_EQ(HelmDialog_Escape("a%b\nc\rd", 100), "a%25b%0Ac%0Dd");
  // Cut before an escape that would not fit whole.
  EXPECT_EQ(HelmDialog_Escape("ab%", 4), "ab");
  EXPECT_EQ(HelmDialog_Escape("a\xc3\xa9", 2), "a");
}

}  // namespace
