// SPDX-License-Identifier: Apache-2.0
// policy_fuzz.cpp -- the origin policy over any domain list and origin. It
// must answer every input (libFuzzer's -timeout bounds the time of one
// input), and where the list uses only plain domain syntax (letters, digits,
// '-', '.', '*', blanks and ';') its answer must equal a reference written
// here with plain string matching: the origin must have the URL form, its
// host (scheme and port removed) must match one pattern as a whole, '*'
// standing for any run of characters and letters compared ignoring case.
// The process-wide functions must agree with the per-check ones, and a
// permitted check stays permitted until the list is set again.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "policy/policy.h"

static char lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

static bool alnum(char c) { return (c >= '0' && c <= '9') || (lower(c) >= 'a' && lower(c) <= 'z'); }

static bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

static bool plainList(const std::string& list) {
  for (char c : list)
    if (!alnum(c) && c != '-' && c != '.' && c != '*' && c != ';' && !blank(c))
      return false;
  return true;
}

static bool startsWithIgnoringCase(const std::string& text, const char* prefix) {
  size_t n = strlen(prefix);
  if (text.size() < n)
    return false;
  for (size_t i = 0; i < n; i++)
    if (lower(text[i]) != prefix[i])
      return false;
  return true;
}

// "http(s)://" + labels (1-63 characters, letters and digits, inner '-')
// joined by '.', then an optional '/', then an optional ':' and digits. (The
// dotted IPv4 form is a special case of the labels.)
static bool urlForm(const std::string& origin) {
  size_t at;
  if (startsWithIgnoringCase(origin, "https://"))
    at = 8;
  else if (startsWithIgnoringCase(origin, "http://"))
    at = 7;
  else
    return false;
  for (;;) {
    size_t start = at;
    while (at < origin.size() && (alnum(origin[at]) || origin[at] == '-'))
      at++;
    size_t length = at - start;
    if (length < 1 || length > 63 || origin[start] == '-' || origin[at - 1] == '-')
      return false;
    if (at < origin.size() && origin[at] == '.') {
      at++;
      continue;
    }
    break;
  }
  if (at < origin.size() && origin[at] == '/')
    at++;
  if (at < origin.size() && origin[at] == ':') {
    at++;
    if (at == origin.size())
      return false;
    while (at < origin.size() && origin[at] >= '0' && origin[at] <= '9')
      at++;
  }
  return at == origin.size();
}

// '*' is any run of characters; everything else compares ignoring case.
static bool glob(const char* pattern, const char* text) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*text != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = text;
    } else if (*pattern != '\0' && lower(*pattern) == lower(*text)) {
      pattern++;
      text++;
    } else if (star != nullptr) {
      pattern = star + 1;
      text = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*')
    pattern++;
  return *pattern == '\0';
}

static bool referencePermits(const std::string& list, const std::string& origin) {
  if (!urlForm(origin))
    return false;
  // The scheme is removed only when written in lower case.
  std::string host = origin;
  if (host.compare(0, 8, "https://") == 0)
    host = host.substr(8);
  else if (host.compare(0, 7, "http://") == 0)
    host = host.substr(7);
  host = host.substr(0, host.find(':'));
  std::string bare = !host.empty() && host.back() == '/' ? host.substr(0, host.size() - 1) : host;

  size_t start = 0;
  for (;;) {
    size_t end = list.find(';', start);
    std::string piece = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t first = 0, last = piece.size();
    while (first < last && blank(piece[first]))
      first++;
    while (last > first && blank(piece[last - 1]))
      last--;
    piece = piece.substr(first, last - first);
    if (!piece.empty()) {
      if (piece.front() == '.')
        piece.insert(piece.begin(), '*');
      if (piece.back() == '.')
        piece.push_back('*');
      if (glob(piece.c_str(), host.c_str()) || glob(piece.c_str(), bare.c_str()))
        return true;
    }
    if (end == std::string::npos)
      return false;
    start = end + 1;
  }
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KestrovanFuzz_quietTrace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  auto text = [&](size_t most) { return KestrovanFuzz_text(input, most); };
  std::string list = text(512);
  std::string origin = text(512);
  std::string other = text(512);

  KestrovanUrlCheck check;
  KestrovanPolicy_setUnlockURL(&check, list.c_str());
  KestrovanPolicy_unlock(&check, origin.c_str());
  bool permitted = KestrovanPolicy_isUrlUnlock(&check);
  if (!list.empty() && plainList(list))
    FUZZ_CHECK(permitted == referencePermits(list, origin));

  // Once permitted, a further origin never takes the permission back.
  KestrovanPolicy_unlock(&check, other.c_str());
  bool afterOther = KestrovanPolicy_isUrlUnlock(&check);
  FUZZ_CHECK(afterOther == (permitted || afterOther));
  KestrovanPolicy_freeCheckURL(&check);

  // The process-wide check gives the same answer.
  setUnlockURL(list.c_str());
  KestrovanPolicy_unlockState(origin.c_str());
  FUZZ_CHECK(isUrlUnlock() == permitted);
  freeCheckURL();
  // Setting the list again clears the permission.
  setUnlockURL(list.c_str());
  FUZZ_CHECK(!isUrlUnlock());
  freeCheckURL();
  return 0;
}
