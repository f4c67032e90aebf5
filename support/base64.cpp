// SPDX-License-Identifier: Apache-2.0
// base64.cpp -- Base64 encoding and decoding (with the percent-escape fix-up
// that browser forms need) and the undoing of a fixed set of JSON escapes.
#include "support/base64.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/text.h"
#include "support/trace.h"

static const char kModule[] = "Tool";

// Intermediate texts carry a page's parameters: they are wiped before free.

static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Inverse of kAlphabet; 64 marks every byte outside it ('=' and NUL too).
static const unsigned char kOutside = 64;

// The inverse as a table: one load per character instead of a chain of
// range tests (requests decode a few hundred characters each).
struct DecodeTable {
  unsigned char values[256];
  constexpr DecodeTable() : values() {
    for (int c = 0; c < 256; c++)
      values[c] = kOutside;
    for (int i = 0; i < 64; i++)
      values[(unsigned char)kAlphabet[i]] = (unsigned char)i;
  }
};
static constexpr DecodeTable kDecodeTable;

static unsigned char decodeValue(unsigned char c) { return kDecodeTable.values[c]; }

// Characters from the start up to the first one outside the alphabet.
static size_t alphabetRun(const char* encoded) {
  size_t count = 0;
  while (decodeValue((unsigned char)encoded[count]) != kOutside)
    count++;
  return count;
}

static uint64_t encodedSize(uint64_t length) { return ((length + 2) / 3) * 4 + 1; }

static uint64_t decodedSize(uint64_t run) { return ((run + 3) / 4) * 3 + 1; }

// A figure that does not fit an int is -1: as a size it can never be allocated.
static int sizeFigure(uint64_t size) { return size > (uint64_t)INT_MAX ? -1 : (int)size; }

int Base64encode_len(int length) {
  if (length < 0)
    return -1;
  return sizeFigure(encodedSize((uint64_t)length));
}

int Base64decode_len(const char* encoded) {
  if (encoded == nullptr)
    return -1;
  return sizeFigure(decodedSize(alphabetRun(encoded)));
}

static size_t encodeBytes(char* encoded, const unsigned char* input, size_t length) {
  char* out = encoded;
  size_t i = 0;
  for (; i + 2 < length; i += 3) {
    *out++ = kAlphabet[input[i] >> 2];
    *out++ = kAlphabet[((input[i] & 0x03) << 4) | (input[i + 1] >> 4)];
    *out++ = kAlphabet[((input[i + 1] & 0x0F) << 2) | (input[i + 2] >> 6)];
    *out++ = kAlphabet[input[i + 2] & 0x3F];
  }
  if (i < length) {
    *out++ = kAlphabet[input[i] >> 2];
    if (i + 1 == length) {
      *out++ = kAlphabet[(input[i] & 0x03) << 4];
      *out++ = '=';
    } else {
      *out++ = kAlphabet[((input[i] & 0x03) << 4) | (input[i + 1] >> 4)];
      *out++ = kAlphabet[(input[i + 1] & 0x0F) << 2];
    }
    *out++ = '=';
  }
  *out++ = '\0';
  return (size_t)(out - encoded);
}

size_t Base64EncodeInto(char* encoded, const char* text, size_t length) {
  return encodeBytes(encoded, (const unsigned char*)text, length) - 1;
}

size_t Base64EncodedLength(size_t length) { return (size_t)encodedSize(length) - 1; }

int _Base64encode(char* encoded, const char* input, int length) {
  if (encoded == nullptr || (input == nullptr && length > 0) || length < 0)
    return 0;
  return (int)encodeBytes(encoded, (const unsigned char*)input, (size_t)length);
}

static size_t decodeRun(unsigned char* plain, const char* encoded, size_t run) {
  const unsigned char* in = (const unsigned char*)encoded;
  unsigned char* out = plain;
  size_t i = 0;
  for (; i + 4 <= run; i += 4) {
    unsigned a = decodeValue(in[i]), b = decodeValue(in[i + 1]);
    unsigned c = decodeValue(in[i + 2]), d = decodeValue(in[i + 3]);
    *out++ = (unsigned char)((a << 2) | (b >> 4));
    *out++ = (unsigned char)((b << 4) | (c >> 2));
    *out++ = (unsigned char)((c << 6) | d);
  }
  size_t left = run - i;
  if (left >= 2) {
    unsigned a = decodeValue(in[i]), b = decodeValue(in[i + 1]);
    *out++ = (unsigned char)((a << 2) | (b >> 4));
    if (left == 3) {
      unsigned c = decodeValue(in[i + 2]);
      *out++ = (unsigned char)((b << 4) | (c >> 2));
    }
  }
  *out = '\0';
  return (size_t)(out - plain);
}

int _Base64decode(char* plain, const char* encoded) {
  if (plain == nullptr || encoded == nullptr)
    return 0;
  return (int)decodeRun((unsigned char*)plain, encoded, alphabetRun(encoded));
}

char* Base64Encode(const char* text) {
  if (text == nullptr) {
    showNullParameter("input", kModule, __LINE__);
    return nullptr;
  }
  size_t length = strlen(text);
  char* encoded = (char*)newMemSize(encodedSize(length) + 1);
  if (encoded == nullptr) {
    showMemoryFail(kModule, __LINE__);
    return nullptr;
  }
  encodeBytes(encoded, (const unsigned char*)text, length);
  return encoded;
}

size_t Base64DecodeInPlace(char* text) {
  // The percent escapes browser forms may leave on the three Base64 symbols
  // undone, then the text decoded where it lies (three bytes out for four in
  // never overtake the input). The escapes all start with '%' and no
  // replacement makes one, so one pass does what three replacements in turn
  // would.
  size_t length = strlen(text);
  // Nearly always the form's decoder has undone them already.
  const char* escape = (const char*)memchr(text, '%', length);
  size_t used = escape != nullptr ? (size_t)(escape - text) : length;
  for (size_t i = used; i < length; i++) {
    char c = text[i];
    if (c == '%' && i + 2 < length) {
      if (text[i + 1] == '2' && text[i + 2] == 'B')
        c = '+';
      else if (text[i + 1] == '2' && text[i + 2] == 'F')
        c = '/';
      else if (text[i + 1] == '3' && text[i + 2] == 'D')
        c = '=';
      if (c != '%')
        i += 2;
    }
    text[used++] = c;
  }
  text[used] = '\0';
  size_t plain = decodeRun((unsigned char*)text, text, alphabetRun(text));
  // The encoded text past the decoded bytes says the same: it goes too.
  secureWipe(text + plain + 1, length - plain);
  return plain;
}

char* Base64Decode(const char* text) {
  if (text == nullptr)
    return nullptr;
  // One copy, decoded where it lies.
  size_t length = strlen(text);
  char* block = length < (size_t)INT_MAX ? (char*)malloc(length + 1) : nullptr;
  if (block == nullptr) {
    showMemoryFail(kModule, __LINE__);
    return nullptr;
  }
  memcpy(block, text, length + 1);
  Base64DecodeInPlace(block);
  return block;
}

char* Base64DecodeFix(const char* text) {
  if (text == nullptr) {
    showNullParameter("inputData", kModule, __LINE__);
    return nullptr;
  }
  static const char* const kEscapes[][2] = {
      {"\\r", "\r"},         {"\\n", "\n"},         {"\\t", "\t"},  {"\\u000f", "\x0f"},
      {"\\u000e", "\x0e"}, {"\\u001b", "\x1b"}, {"\\\"", "\""},
  };
  // Every escape starts with a backslash and no replacement makes one: a
  // value without a backslash (nearly every value) is its own result.
  if (strchr(text, '\\') == nullptr)
    return newMem(text);
  char* result = newMem(text);
  for (const auto& escape : kEscapes) {
    if (result == nullptr)
      break;
    char* next = replace(result, escape[0], escape[1]);
    freeSecret(result);
    result = next;
  }
  return result;
}
