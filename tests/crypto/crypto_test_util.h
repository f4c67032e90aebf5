// SPDX-License-Identifier: Apache-2.0
// crypto_test_util.h -- small helpers shared by the crypto tests: hexadecimal
// text to bytes and back, and running a whole operation through the engine.
#ifndef KESTROVAN_TESTS_CRYPTO_TEST_UTIL_H
#define KESTROVAN_TESTS_CRYPTO_TEST_UTIL_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/cipher.h"

typedef std::vector<uint8_t> Bytes;

// Hex digits to bytes; spaces are ignored.
inline Bytes fromHex(const std::string& hex) {
  Bytes out;
  int high = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

inline std::string toHex(const Bytes& b) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t x : b) {
    s += digits[x >> 4];
    s += digits[x & 15];
  }
  return s;
}

inline Bytes fromText(const char* text) { return Bytes(text, text + strlen(text)); }

// One whole operation (init, IV, a single update, final) through the engine.
// Returns the first non-zero code in *rv, or 0.
inline Bytes runOnce(bool encrypt, uint64_t mechanism, const Bytes& key, const Bytes& iv, const Bytes& input,
                     int* rv) {
  SK_CipherContext ctx;
  memset(&ctx, 0, sizeof(ctx));
  *rv = encrypt ? SK_EncryptInit(&ctx, mechanism, key.data(), key.size())
                : SK_DecryptInit(&ctx, mechanism, key.data(), key.size());
  if (*rv) return {};
  if (!iv.empty()) memcpy(ctx.chain, iv.data(), iv.size() < 16 ? iv.size() : 16);
  Bytes out(input.size() + 32);
  uint64_t n = out.size();
  *rv = encrypt ? SK_EncryptUpdate(&ctx, input.data(), input.size(), out.data(), &n)
                : SK_DecryptUpdate(&ctx, input.data(), input.size(), out.data(), &n);
  if (*rv) return {};
  uint64_t m = out.size() - n;
  *rv = encrypt ? SK_EncryptFinal(&ctx, out.data() + n, &m) : SK_DecryptFinal(&ctx, out.data() + n, &m);
  if (*rv) return {};
  out.resize(n + m);
  return out;
}

#endif
