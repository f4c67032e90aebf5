// SPDX-License-Identifier: Apache-2.0
// aes.cpp -- AES (128, 192 and 256-bit keys) with 32-bit round tables.
//
// State words are little-endian columns: byte r of word c is row r of column
// c, so blocks load with plain moves on the machines we build for. The round
// tables, S-boxes and their inverses are computed by the compiler from the
// field arithmetic, so no hand-typed constant can be wrong; the known-answer
// tests pin the result.
#include "crypto/cores.h"

#include <cstring>

// Processors with BMI take the middle bytes of a word in one instruction;
// a second copy of the rounds is built for them and chosen at run time.
// KESTROVAN_AES_PORTABLE_ONLY builds the portable rounds alone (a test
// binary does, so that they are checked on machines with BMI too).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(KESTROVAN_AES_PORTABLE_ONLY)
#define KESTROVAN_AES_BMI 1
#include <immintrin.h>
#else
#define KESTROVAN_AES_BMI 0
#endif

namespace {

struct AesTables {
  uint32_t te[4][256];  // S-box then MixColumns, one table per input row
  uint32_t td[4][256];  // inverse S-box then InvMixColumns
  uint8_t sbox[256];
  uint8_t isbox[256];
};

constexpr uint32_t rotl32c(uint32_t x, unsigned n) { return n == 0 ? x : (x << n) | (x >> (32 - n)); }

constexpr unsigned xtime(unsigned x) { return ((x << 1) ^ ((x & 0x80) ? 0x1b : 0)) & 0xff; }

constexpr unsigned gmul(unsigned a, unsigned b) {
  unsigned p = 0;
  while (b) {
    if (b & 1) p ^= a;
    a = xtime(a);
    b >>= 1;
  }
  return p;
}

constexpr unsigned rotl8(unsigned x, unsigned n) { return ((x << n) | (x >> (8 - n))) & 0xff; }

constexpr AesTables makeAesTables() {
  AesTables t{};
  // Walk the multiplicative group with the generator 3: p = 3^k and q = 3^-k,
  // so q is the inverse of p; the S-box is the affine map of the inverse.
  unsigned p = 1, q = 1;
  do {
    p = (p ^ (p << 1) ^ ((p & 0x80) ? 0x1b : 0)) & 0xff;
    q ^= q << 1;
    q ^= q << 2;
    q ^= q << 4;
    q &= 0xff;
    if (q & 0x80) q ^= 0x09;
    t.sbox[p] = static_cast<uint8_t>(q ^ rotl8(q, 1) ^ rotl8(q, 2) ^ rotl8(q, 3) ^ rotl8(q, 4) ^ 0x63);
  } while (p != 1);
  t.sbox[0] = 0x63;
  for (unsigned i = 0; i < 256; i++) t.isbox[t.sbox[i]] = static_cast<uint8_t>(i);
  for (unsigned i = 0; i < 256; i++) {
    unsigned s = t.sbox[i], v = t.isbox[i];
    uint32_t e = gmul(s, 2) | (s << 8) | (s << 16) | (gmul(s, 3) << 24);
    uint32_t d = gmul(v, 14) | (gmul(v, 9) << 8) | (gmul(v, 13) << 16) | (gmul(v, 11) << 24);
    for (unsigned r = 0; r < 4; r++) {
      t.te[r][i] = rotl32c(e, 8 * r);
      t.td[r][i] = rotl32c(d, 8 * r);
    }
  }
  return t;
}

alignas(64) constexpr AesTables kAes = makeAesTables();

#if defined(__GNUC__)
#define AES_INLINE inline __attribute__((always_inline))
#else
#define AES_INLINE inline
#endif

// Little-endian words; one move each on little-endian machines.
AES_INLINE uint32_t load32(const uint8_t* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
#else
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
#endif
}

AES_INLINE void store32(uint8_t* p, uint32_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  memcpy(p, &v, 4);
#else
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
#endif
}

inline uint32_t subWord(uint32_t w) {
  return static_cast<uint32_t>(kAes.sbox[w & 0xff]) | static_cast<uint32_t>(kAes.sbox[(w >> 8) & 0xff]) << 8 |
         static_cast<uint32_t>(kAes.sbox[(w >> 16) & 0xff]) << 16 |
         static_cast<uint32_t>(kAes.sbox[w >> 24]) << 24;
}


namespace plain {
#define AES_USE_BEXTR 0
#include "crypto/aes_rounds.inc"
#undef AES_USE_BEXTR
}  // namespace plain

#if KESTROVAN_AES_BMI
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("bmi,bmi2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("bmi,bmi2")
#endif
namespace bmi {
#define AES_USE_BEXTR 1
#include "crypto/aes_rounds.inc"
#undef AES_USE_BEXTR
}  // namespace bmi
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// Asked once; the answer does not change while the process runs.
bool haveBmi() {
  static const bool have = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
  }();
  return have;
}
#define AES_DISPATCH(call) \
  do {                     \
    if (haveBmi())         \
      bmi::call;           \
    else                   \
      plain::call;         \
  } while (0)
#else
#define AES_DISPATCH(call) plain::call
#endif

}  // namespace

void AESKeyE(uint32_t* w, const uint8_t* key, uint64_t keyLength) {
  const uint64_t nk = keyLength / 4;
  const uint64_t total = keyLength + 28;
  for (uint64_t i = 0; i < nk; i++) w[i] = load32(key + 4 * i);
  uint32_t rcon = 1;
  for (uint64_t i = nk; i < total; i++) {
    uint32_t temp = w[i - 1];
    if (i % nk == 0) {
      // RotWord is a right rotation of a little-endian word.
      temp = subWord((temp >> 8) | (temp << 24)) ^ rcon;
      rcon = xtime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      temp = subWord(temp);
    }
    w[i] = w[i - nk] ^ temp;
  }
}

void AESRev(uint32_t* w, uint64_t words) {
  // Reverse the order of the round keys...
  for (uint64_t i = 0, j = words - 4; i < j; i += 4, j -= 4) {
    for (uint64_t k = 0; k < 4; k++) {
      uint32_t tmp = w[i + k];
      w[i + k] = w[j + k];
      w[j + k] = tmp;
    }
  }
  // ...and run InvMixColumns over all but the first and the last. The td
  // tables include the inverse S-box, so feed them S-box outputs.
  for (uint64_t i = 4; i < words - 4; i++) {
    uint32_t x = w[i];
    w[i] = kAes.td[0][kAes.sbox[x & 0xff]] ^ kAes.td[1][kAes.sbox[(x >> 8) & 0xff]] ^
           kAes.td[2][kAes.sbox[(x >> 16) & 0xff]] ^ kAes.td[3][kAes.sbox[x >> 24]];
  }
}


void AESBlockE(const uint32_t* rk, uint64_t words, const uint8_t* in, uint8_t* out) {
  AES_DISPATCH(blockE(rk, words, in, out));
}

void AESBlockD(const uint32_t* rk, uint64_t words, const uint8_t* in, uint8_t* out) {
  AES_DISPATCH(blockD(rk, words, in, out));
}

void AESEcbE(const uint32_t* rk, uint64_t words, const uint8_t* in, uint8_t* out, uint64_t blocks) {
  AES_DISPATCH(ecbE(rk, words, in, out, blocks));
}

void AESEcbD(const uint32_t* rk, uint64_t words, const uint8_t* in, uint8_t* out, uint64_t blocks) {
  AES_DISPATCH(ecbD(rk, words, in, out, blocks));
}

void AESCbcE(const uint32_t* rk, uint64_t words, uint8_t* chain, const uint8_t* in, uint8_t* out,
             uint64_t blocks) {
  AES_DISPATCH(cbcE(rk, words, chain, in, out, blocks));
}

void AESCbcD(const uint32_t* rk, uint64_t words, uint8_t* chain, const uint8_t* in, uint8_t* out,
             uint64_t blocks) {
  AES_DISPATCH(cbcD(rk, words, chain, in, out, blocks));
}
