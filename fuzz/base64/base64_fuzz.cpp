// SPDX-License-Identifier: Apache-2.0
// base64_fuzz.cpp -- Base64 encoding and decoding and the JSON-escape fix-up
// over raw bytes:
//  - any bytes survive _Base64encode / _Base64decode and Base64Decode with
//    buffers of exactly the advertised size, the encoding is canonical;
//  - any text survives Base64Encode then Base64Decode;
//  - Base64Decode of any text (percent escapes included) and Base64DecodeFix
//    of any text agree with small reference models written here;
//  - a text without backslashes, escaped the way a page's JSON escapes it,
//    comes back unchanged from Base64DecodeFix.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "support/base64.h"

static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static int value(unsigned char c) {
  const char* at = c != 0 ? strchr(kAlphabet, c) : nullptr;
  return at != nullptr ? (int)(at - kAlphabet) : -1;
}

// Left to right, non-overlapping.
static std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Decodes the leading run of alphabet characters; a lone last character
// gives nothing.
static std::string referenceDecode(const std::string& text) {
  std::string fixed = replaceAll(replaceAll(replaceAll(text, "%2B", "+"), "%2F", "/"), "%3D", "=");
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (unsigned char c : fixed) {
    int v = value(c);
    if (v < 0)
      break;
    bits = (bits << 6) | (unsigned)v;
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back((char)((bits >> count) & 0xFF));
    }
  }
  return out;
}

static std::string referenceFix(const std::string& text) {
  static const char* const kEscapes[][2] = {
      {"\\r", "\r"},         {"\\n", "\n"},         {"\\t", "\t"},  {"\\u000f", "\x0f"},
      {"\\u000e", "\x0e"}, {"\\u001b", "\x1b"}, {"\\\"", "\""},
  };
  std::string out = text;
  for (const auto& escape : kEscapes)
    out = replaceAll(out, escape[0], escape[1]);
  return out;
}

static std::string jsonEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\x0f': out += "\\u000f"; break;
      case '\x0e': out += "\\u000e"; break;
      case '\x1b': out += "\\u001b"; break;
      case '"': out += "\\\""; break;
      default: out += c;
    }
  }
  return out;
}

static void bytesRoundTrip(const uint8_t* data, size_t size) {
  int encodedSize = Base64encode_len((int)size);
  FUZZ_CHECK(encodedSize == (int)(((size + 2) / 3) * 4 + 1));
  char* encoded = (char*)malloc((size_t)encodedSize);
  FUZZ_CHECK(encoded != nullptr);
  FUZZ_CHECK(_Base64encode(encoded, (const char*)data, (int)size) == encodedSize);
  FUZZ_CHECK(strlen(encoded) == (size_t)encodedSize - 1);
  for (int i = 0; i < encodedSize - 1; i++)
    FUZZ_CHECK(value((unsigned char)encoded[i]) >= 0 || (encoded[i] == '=' && i >= encodedSize - 3));

  int decodedSize = Base64decode_len(encoded);
  FUZZ_CHECK(decodedSize >= (int)size + 1);
  char* plain = (char*)malloc((size_t)decodedSize);
  FUZZ_CHECK(plain != nullptr);
  FUZZ_CHECK(_Base64decode(plain, encoded) == (int)size);
  FUZZ_CHECK(memcmp(plain, data, size) == 0);
  free(plain);

  char* decoded = Base64Decode(encoded);
  FUZZ_CHECK(decoded != nullptr);
  FUZZ_CHECK(memcmp(decoded, data, size) == 0 && decoded[size] == '\0');
  free(decoded);
  free(encoded);
}

static void textRoundTrip(const std::string& text) {
  char* encoded = Base64Encode(text.c_str());
  FUZZ_CHECK(encoded != nullptr);
  char* decoded = Base64Decode(encoded);
  FUZZ_CHECK(decoded != nullptr);
  FUZZ_CHECK(strcmp(decoded, text.c_str()) == 0);
  free(decoded);
  free(encoded);
}

static void decodeAnything(const std::string& text) {
  std::string expected = referenceDecode(text);
  char* decoded = Base64Decode(text.c_str());
  FUZZ_CHECK(decoded != nullptr);
  FUZZ_CHECK(memcmp(decoded, expected.data(), expected.size()) == 0 && decoded[expected.size()] == '\0');
  free(decoded);

  // The advertised size is enough for the raw decoder (no percent fix-up).
  int size = Base64decode_len(text.c_str());
  FUZZ_CHECK(size >= 1);
  char* plain = (char*)malloc((size_t)size);
  FUZZ_CHECK(plain != nullptr);
  int count = _Base64decode(plain, text.c_str());
  FUZZ_CHECK(count >= 0 && count < size && plain[count] == '\0');
  free(plain);
}

static void fixAnything(const std::string& text) {
  char* fixed = Base64DecodeFix(text.c_str());
  FUZZ_CHECK(fixed != nullptr);
  FUZZ_CHECK(referenceFix(text) == fixed);
  free(fixed);

  if (text.find('\\') == std::string::npos) {
    std::string escaped = jsonEscape(text);
    char* back = Base64DecodeFix(escaped.c_str());
    FUZZ_CHECK(back != nullptr);
    FUZZ_CHECK(text == back);
    free(back);
  }
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KestrovanFuzz_quietTrace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bytesRoundTrip(data, size);
  // The C-string APIs see the text up to the first zero byte.
  std::string text((const char*)data, strnlen((const char*)data, size));
  textRoundTrip(text);
  decodeAnything(text);
  fixAnything(text);
  return 0;
}
