// SPDX-License-Identifier: Apache-2.0
// ini_fuzz.cpp -- the INI profile reader over arbitrary profile bytes, with a
// section, a key and an output size taken from the input. The profile is a
// real file (the reader reads files only). Every answer must agree with a
// small reference reader written here from the documented rules, and the
// output must stay inside its buffer, terminated.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "support/log.h"

// The reader examines at most this many bytes of a line (its 4096-byte buffer).
static const size_t kLineLimit = 4095;

static char profileFolder[64];
static char profilePath[96];

static bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

static char lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

static bool sameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); i++)
    if (lower(a[i]) != lower(b[i]))
      return false;
  return true;
}

// The profile's lines as the reader sees them: split at '\n', cut to the
// line limit, then at the first zero byte; no line after a final newline.
static std::vector<std::string> lines(const std::string& profile) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < profile.size()) {
    size_t end = profile.find('\n', start);
    if (end == std::string::npos)
      end = profile.size();
    std::string line = profile.substr(start, std::min(end - start, kLineLimit));
    out.push_back(line.substr(0, strnlen(line.c_str(), line.size())));
    start = end + 1;
  }
  return out;
}

static bool header(const std::string& line, std::string* name) {
  size_t first = 0;
  while (first < line.size() && blank(line[first]))
    first++;
  size_t last = line.size();
  while (last > first && blank(line[last - 1]))
    last--;
  if (last - first < 2 || line[first] != '[' || line[last - 1] != ']')
    return false;
  std::string inner = line.substr(first + 1, last - first - 2);
  size_t a = 0, b = inner.size();
  while (a < b && blank(inner[a]))
    a++;
  while (b > a && blank(inner[b - 1]))
    b--;
  *name = inner.substr(a, b - a);
  return true;
}

static int reference(const std::string& profile, const std::string& section, const std::string& key,
                     std::string* value) {
  std::vector<std::string> all = lines(profile);
  size_t i = 0;
  std::string name;
  for (;; i++) {
    if (i == all.size() || section.empty())
      return KESTROVAN_INI_NO_SECTION;
    if (header(all[i], &name) && sameIgnoringCase(name, section))
      break;
  }
  for (i++; i < all.size(); i++) {
    const std::string& line = all[i];
    if (header(line, &name))
      return KESTROVAN_INI_NO_KEY;
    size_t first = 0;
    while (first < line.size() && blank(line[first]))
      first++;
    if (first < line.size() && line[first] == ';')
      continue;
    size_t equals = line.find('=');
    if (equals == std::string::npos || !sameIgnoringCase(line.substr(0, equals), key))
      continue;
    std::string text = line.substr(equals + 1);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
      text.pop_back();
    size_t lead = 0;
    while (lead < text.size() && blank(text[lead]))
      lead++;
    if (lead < text.size() && (text[lead] == '"' || text[lead] == '\'')) {
      size_t close = text.rfind(text[lead]);
      if (close > lead) {
        *value = text.substr(lead + 1, close - lead - 1);
        return 0;
      }
    }
    *value = text;
    return 0;
  }
  return KESTROVAN_INI_NO_KEY;
}

static bool writeProfile(const std::string& profile) {
  FILE* file = fopen(profilePath, "wb");
  if (file == nullptr)
    return false;
  bool ok = fwrite(profile.data(), 1, profile.size(), file) == profile.size();
  return fclose(file) == 0 && ok;
}

static void removeFolder() { rmdir(profileFolder); }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KestrovanFuzz_quietTrace();
  // A private folder: /tmp is shared with other users.
  snprintf(profileFolder, sizeof(profileFolder), "/tmp/kestrovan-ini-fuzz-XXXXXX");
  FUZZ_CHECK(mkdtemp(profileFolder) != nullptr);
  snprintf(profilePath, sizeof(profilePath), "%s/profile.ini", profileFolder);
  atexit(removeFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::string section = input.ConsumeRandomLengthString(64);
  std::string key = input.ConsumeRandomLengthString(64);
  unsigned outputSize = input.ConsumeIntegralInRange<unsigned>(1, 300);
  std::string profile = input.ConsumeRemainingBytesAsString();
  section.resize(strnlen(section.c_str(), section.size()));
  key.resize(strnlen(key.c_str(), key.size()));

  FUZZ_CHECK(writeProfile(profile));
  std::vector<char> output(outputSize, 'X');
  int code = GetIniProfileString(section.c_str(), key.c_str(), output.data(), outputSize, profilePath);
  unlink(profilePath);

  std::string expected;
  int expectedCode = reference(profile, section, key, &expected);
  FUZZ_CHECK(code == expectedCode);
  if (code == 0) {
    FUZZ_CHECK(memchr(output.data(), '\0', outputSize) != nullptr);
    // The output holds the value up to its first zero byte, cut to fit.
    std::string value = expected.substr(0, strnlen(expected.c_str(), expected.size()));
    value = value.substr(0, std::min<size_t>(value.size(), outputSize - 1));
    FUZZ_CHECK(value == output.data());
  }
  FUZZ_CHECK(GetIniProfileString(section.c_str(), key.c_str(), output.data(), outputSize, profilePath) ==
             KESTROVAN_INI_NO_PROFILE);
  return 0;
}
