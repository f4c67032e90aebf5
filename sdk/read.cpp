// SPDX-License-Identifier: Apache-2.0
// read.cpp -- the strict parameter reads adapters link: one lookup for a
// value and its flags, the strict decoders, and the wiping release.
#include "sdk/sdk.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <strings.h>

#include "crypto/open.h"
#include "support/memory.h"

const unsigned char KestrovanJson_ShareIV[16] = {'K', 'e', 's', 't', 'r', 'o', 'v', 'a',
                                                 'n', 'S', 'h', 'a', 'r', 'e', 'I', 'V'};

const char* const KestrovanParam_FlagSuffixes[KESTROVAN_FLAG_NONE] = {
    "_KestrovanEncryptFlag",
    "_KestrovanFlag",
    "_KestrovanSlashFlag",
    "_KestrovanBase64Flag",
};

// Only this many characters of a flag's value take part ("true" and a
// terminator fit).
#define FLAG_VALUE_SIZE 8

void KestrovanParam_flagKey(char (&flagKey)[KESTROVAN_FLAG_KEY_SIZE], const char* key, const char* suffix) {
  // Every typed read tries four suffixes, so this runs a few times per
  // parameter read: no snprintf.
  size_t used = 0;
  for (const char* from : {key, suffix}) {
    size_t length = strnlen(from, sizeof(flagKey) - 1 - used);
    memcpy(flagKey + used, from, length);
    used += length;
  }
  flagKey[used] = '\0';
}

bool KestrovanParam_isOn(const char* value, size_t length) {
  char buffer[FLAG_VALUE_SIZE];
  size_t used = strnlen(value, length < sizeof(buffer) - 1 ? length : sizeof(buffer) - 1);
  memcpy(buffer, value, used);
  buffer[used] = '\0';
  bool on = strcasecmp(buffer, "true") == 0;
  secureWipe(buffer, sizeof(buffer));
  return on;
}

// The entry of key, or null: the one lookup of every read, for the value and
// for its flags alike. A linear scan: it needs the entry itself (a byte
// value's length), and an adapter may hand in a map it filled unsorted.
static const KestrovanJsonUnit* findEntry(const KestrovanJsonMap* map, const char* key) {
  int count = map->count < KESTROVAN_MAP_CAPACITY ? map->count : KESTROVAN_MAP_CAPACITY;
  for (int i = 0; i < count; i++) {
    if (map->units[i].key != nullptr && strcasecmp(map->units[i].key, key) == 0) {
      return &map->units[i];
    }
  }
  return nullptr;
}

// Whether the decoding flag of key with suffix is on.
static bool flagOn(const KestrovanJsonMap* map, const char* key, const char* suffix) {
  char flagKey[KESTROVAN_FLAG_KEY_SIZE];
  KestrovanParam_flagKey(flagKey, key, suffix);
  const KestrovanJsonUnit* flag = findEntry(map, flagKey);
  if (flag == nullptr) return false;
  if (flag->value != nullptr) return KestrovanParam_isOn(flag->value, strlen(flag->value));
  return flag->data != nullptr && KestrovanParam_isOn((const char*)flag->data, (size_t)flag->dataLength);
}

static int hexDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c |= 0x20;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

static int base64Digit(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// A decoded value: length bytes and a zero byte after them.
struct Decoded {
  unsigned char* bytes = nullptr;
  size_t length = 0;
};

static bool allocate(Decoded* out, size_t room) {
  out->bytes = (unsigned char*)allocateZeroed((uint64_t)room + 1);
  return out->bytes != nullptr;
}

static void discard(Decoded* out) {
  if (out->bytes != nullptr) {
    secureWipe(out->bytes, out->length + 1);
    free(out->bytes);
  }
  out->bytes = nullptr;
  out->length = 0;
}

// Base64 with white space skipped, the three percent escapes of form
// encoding accepted and at most two '=' at the very end; anything else, or
// a trailing group too short to hold a byte, does not decode.
static int decodeBase64Strict(const unsigned char* in, size_t length, Decoded* out) {
  if (!allocate(out, length / 4 * 3 + 3)) return KESTROVAN_PARAM_NO_MEMORY;
  uint32_t accumulator = 0;
  int bits = 0;
  size_t padding = 0;
  bool ok = true;
  for (size_t i = 0; i < length && ok; i++) {
    unsigned char c = in[i];
    if (c == '%') {
      if (i + 2 >= length) {
        ok = false;
        break;
      }
      unsigned char a = in[i + 1], b = (unsigned char)(in[i + 2] | 0x20);
      if (a == '2' && b == 'b') c = '+';
      else if (a == '2' && b == 'f') c = '/';
      else if (a == '3' && b == 'd') c = '=';
      else ok = false;
      i += 2;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      padding++;
      continue;
    }
    int v = base64Digit(c);
    if (v < 0 || padding > 0) {
      ok = false;
      break;
    }
    accumulator = (accumulator << 6) | (uint32_t)v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->bytes[out->length++] = (unsigned char)(accumulator >> bits);
    }
  }
  secureWipe(&accumulator, sizeof(accumulator));
  if (!ok || bits >= 6 || padding > 2) {
    discard(out);
    return KESTROVAN_PARAM_UNDECODABLE;
  }
  return KESTROVAN_PARAM_OK;
}

// Every occurrence of token becomes one backslash.
static int replaceStrict(const unsigned char* in, size_t length, const char* token, Decoded* out) {
  if (!allocate(out, length)) return KESTROVAN_PARAM_NO_MEMORY;
  size_t tokenLength = strlen(token);
  for (size_t i = 0; i < length;) {
    if (i + tokenLength <= length && memcmp(in + i, token, tokenLength) == 0) {
      out->bytes[out->length++] = '\\';
      i += tokenLength;
    } else {
      out->bytes[out->length++] = in[i++];
    }
  }
  return KESTROVAN_PARAM_OK;
}

// Hex AES-256-CBC text opened with the request's shared secret. A missing or
// short secret, odd or non-hex text, and cipher text that does not open to
// the sealed form (the wrong secret) all leave the value undecodable.
static int decryptStrict(const KestrovanJsonMap* map, const unsigned char* in, size_t length, Decoded* out) {
  const KestrovanJsonUnit* secret = findEntry(map, KESTROVAN_SHARE_SECRET_KEY);
  if (secret == nullptr || secret->value == nullptr || strlen(secret->value) < KESTROVAN_SHARE_SECRET_MIN_LENGTH ||
      length == 0 || length % 2 != 0) {
    return KESTROVAN_PARAM_UNDECODABLE;
  }
  size_t cipherLength = length / 2;
  unsigned char* cipher = (unsigned char*)allocateZeroed((uint64_t)cipherLength);
  if (cipher == nullptr) return KESTROVAN_PARAM_NO_MEMORY;
  bool hex = true;
  for (size_t i = 0; i < cipherLength && hex; i++) {
    int high = hexDigit(in[2 * i]), low = hexDigit(in[2 * i + 1]);
    hex = high >= 0 && low >= 0;
    cipher[i] = (unsigned char)(high * 16 + low);
  }
  size_t textLength = 0;
  unsigned char* text = hex ? AES256_Open_CBC(cipher, (unsigned long)cipherLength,
                                              (const unsigned char*)secret->value, KestrovanJson_ShareIV, &textLength)
                            : nullptr;
  secureWipe(cipher, cipherLength);
  free(cipher);
  if (text == nullptr) return KESTROVAN_PARAM_UNDECODABLE;
  out->bytes = text;
  out->length = textLength;
  return KESTROVAN_PARAM_OK;
}

extern "C" int KestrovanParam_Read(const KestrovanJsonMap* map, const char* key, unsigned char** value,
                                   size_t* length, int* encoding) {
  if (value != nullptr) *value = nullptr;
  if (length != nullptr) *length = 0;
  if (map == nullptr || key == nullptr || value == nullptr || length == nullptr) {
    return KESTROVAN_PARAM_BAD_ARGUMENTS;
  }
  const KestrovanJsonUnit* unit = findEntry(map, key);
  if (unit == nullptr) return KESTROVAN_PARAM_ABSENT;

  int flag = KESTROVAN_FLAG_NONE;
  for (int i = KESTROVAN_FLAG_ENCRYPT; i < KESTROVAN_FLAG_NONE; i++) {
    if (flagOn(map, key, KestrovanParam_FlagSuffixes[i])) {
      flag = i;
      break;
    }
  }
  static const int kEncodings[] = {KESTROVAN_ENCODING_ENCRYPTED, KESTROVAN_ENCODING_STAR, KESTROVAN_ENCODING_SLASH,
                                   KESTROVAN_ENCODING_BASE64, KESTROVAN_ENCODING_PLAIN};
  if (encoding != nullptr) *encoding = kEncodings[flag];

  const unsigned char* raw = (const unsigned char*)"";
  size_t rawLength = 0;
  if (unit->value != nullptr) {
    raw = (const unsigned char*)unit->value;
    rawLength = strlen(unit->value);
  } else if (unit->data != nullptr) {
    raw = unit->data;
    rawLength = (size_t)unit->dataLength;
  }

  Decoded decoded;
  int result = KESTROVAN_PARAM_OK;
  switch (flag) {
    case KESTROVAN_FLAG_ENCRYPT:
      result = decryptStrict(map, raw, rawLength, &decoded);
      break;
    case KESTROVAN_FLAG_STAR:
      result = replaceStrict(raw, rawLength, "*", &decoded);
      break;
    case KESTROVAN_FLAG_SLASH:
      result = replaceStrict(raw, rawLength, "==KestrovanSlash==", &decoded);
      break;
    case KESTROVAN_FLAG_BASE64:
      result = decodeBase64Strict(raw, rawLength, &decoded);
      break;
    default:
      if (!allocate(&decoded, rawLength)) {
        result = KESTROVAN_PARAM_NO_MEMORY;
        break;
      }
      if (rawLength > 0) memcpy(decoded.bytes, raw, rawLength);
      decoded.length = rawLength;
      break;
  }
  if (result != KESTROVAN_PARAM_OK) return result;
  *value = decoded.bytes;
  *length = decoded.length;
  return KESTROVAN_PARAM_OK;
}

extern "C" void KestrovanParam_Free(unsigned char* value, size_t length) {
  if (value == nullptr) return;
  secureWipe(value, length + 1);
  free(value);
}
