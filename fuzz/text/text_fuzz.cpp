// SPDX-License-Identifier: Apache-2.0
// text_fuzz.cpp -- the text helpers the request path leans on, each against a
// reference written here from the documented rules:
//  - charToLong, strict and not, with LastErrorCode;
//  - checkVersion, plus its symmetry (A against B mirrors B against A);
//  - replace, getSubStringList (pieces joined again give the text back),
//    HexDecode, UpToLow and getRangeValue.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "support/text.h"

static bool digit(char c) { return c >= '0' && c <= '9'; }

static bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Decimal digits from `at` into *value; false on overflow or no digit.
static bool readNumber(const std::string& text, size_t at, bool negative, int64_t* value) {
  if (at >= text.size() || !digit(text[at]))
    return false;
  // Accumulate towards the negative side, which holds one more value.
  int64_t v = 0;
  for (; at < text.size() && digit(text[at]); at++) {
    int d = text[at] - '0';
    if (v < (INT64_MIN + d) / 10)
      return false;
    v = v * 10 - d;
  }
  if (!negative) {
    if (v == INT64_MIN)
      return false;
    v = -v;
  }
  *value = v;
  return true;
}

// *code as LastErrorCode would be; returns the number.
static int64_t referenceToLong(const std::string& text, bool strict, int* code) {
  *code = 61003;
  if (strict) {
    for (size_t i = 0; i < text.size(); i++)
      if (!digit(text[i]) && !(i == 0 && text[i] == '-'))
        return 0;
  }
  size_t at = 0;
  while (at < text.size() && space(text[at]))
    at++;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    at++;
  }
  int64_t value;
  if (!readNumber(text, at, negative, &value))
    return 0;
  *code = 0;
  return value;
}

static std::vector<std::string> split(const std::string& text, const std::string& delimiter) {
  std::vector<std::string> pieces;
  if (text.empty() || delimiter.empty())
    return pieces;
  size_t start = 0;
  for (size_t at = text.find(delimiter); at != std::string::npos; at = text.find(delimiter, start)) {
    pieces.push_back(text.substr(start, at - start));
    start = at + delimiter.size();
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

static std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  if (from.empty())
    return text;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

static std::vector<std::string> versionParts(const std::string& version) {
  std::string text = version.substr(0, 511);
  std::string cleaned;
  for (char c : text) {
    if (c == ' ')
      continue;
    cleaned += c == '.' ? ',' : c;
  }
  return split(cleaned, ",");
}

static int32_t referenceVersion(const std::string& a, const std::string& b) {
  std::vector<std::string> pa = versionParts(a), pb = versionParts(b);
  if (pa.size() != pb.size())
    return 3;
  for (size_t i = 0; i < pa.size(); i++)
    if (pa[i].empty() || pb[i].empty())
      return 61005;
  for (size_t i = 0; i < pa.size(); i++) {
    int codeA, codeB;
    int64_t va = referenceToLong(pa[i], true, &codeA);
    int64_t vb = referenceToLong(pb[i], true, &codeB);
    if (codeA != 0 || codeB != 0) {
      if (pa[i] != pb[i])
        return 2;
      continue;
    }
    if (va != vb)
      return va < vb ? -1 : 1;
  }
  return 0;
}

static void numbers(const std::string& text) {
  for (bool strict : {false, true}) {
    int expectedCode;
    int64_t expected = referenceToLong(text, strict, &expectedCode);
    int64_t got = charToLong(text.c_str(), strict);
    FUZZ_CHECK(LastErrorCode == expectedCode);
    FUZZ_CHECK(got == expected);
    FUZZ_CHECK(isCharToLongError() == (expectedCode != 0));
  }
  charToLong(nullptr);
  FUZZ_CHECK(LastErrorCode == 61004);
}

static void versions(const std::string& a, const std::string& b) {
  int32_t ab = checkVersion(a.c_str(), b.c_str());
  int32_t ba = checkVersion(b.c_str(), a.c_str());
  FUZZ_CHECK(ab == referenceVersion(a, b));
  FUZZ_CHECK(ba == (ab == 1 ? -1 : ab == -1 ? 1 : ab));
  int32_t aa = checkVersion(a.c_str(), a.c_str());
  FUZZ_CHECK(aa == 0 || aa == 61005);
}

static void texts(const std::string& text, const std::string& from, const std::string& to, uint64_t start,
                  uint64_t end) {
  char* replaced = replace(text.c_str(), from.c_str(), to.c_str());
  FUZZ_CHECK(replaced != nullptr);
  FUZZ_CHECK(replaceAll(text, from, to) == replaced);
  free(replaced);

  char** pieces = getSubStringList(text.c_str(), from.c_str());
  FUZZ_CHECK(pieces != nullptr);
  std::vector<std::string> expected = split(text, from);
  size_t count = 0;
  for (; pieces[count] != nullptr; count++) {
    FUZZ_CHECK(count < expected.size());
    FUZZ_CHECK(expected[count] == pieces[count]);
  }
  FUZZ_CHECK(count == expected.size());
  freeSubStringList(pieces);

  unsigned char* bytes = HexDecode(text.c_str());
  FUZZ_CHECK(bytes != nullptr);
  for (size_t i = 0; i < text.size() / 2; i++)
    FUZZ_CHECK(bytes[i] == (unsigned char)(CharToByte(text[2 * i]) * 16 + CharToByte(text[2 * i + 1])));
  FUZZ_CHECK(bytes[text.size() / 2] == 0);
  free(bytes);

  char* low = UpToLow(text.c_str());
  FUZZ_CHECK(low != nullptr && strlen(low) == text.size());
  for (size_t i = 0; i < text.size(); i++)
    FUZZ_CHECK(low[i] == (text[i] >= 'A' && text[i] <= 'Z' ? text[i] - 'A' + 'a' : text[i]));
  free(low);

  // The caller keeps the range inside the text.
  if (end <= text.size() && start <= end) {
    char* range = getRangeValue(text.c_str(), start, end);
    FUZZ_CHECK(range != nullptr);
    FUZZ_CHECK(text.substr(start, end - start) == range);
    free(range);
  }
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KestrovanFuzz_quietTrace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  auto text = [&](size_t most) { return KestrovanFuzz_text(input, most); };
  std::string a = text(700);
  std::string b = text(700);
  std::string to = text(8);
  uint64_t start = input.ConsumeIntegralInRange<uint64_t>(0, 800);
  uint64_t end = input.ConsumeIntegralInRange<uint64_t>(0, 800);
  numbers(a);
  versions(a, b);
  texts(a, b.substr(0, 4), to, start, end);
  return 0;
}
