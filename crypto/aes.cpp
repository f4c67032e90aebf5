// aes.cpp -- AES (128, 192 and 256-bit keys) with 32-bit round tables.
//
// State words are little-endian columns: byte r of word c is row r of column
// c, so blocks load with plain moves on the machines we build for. The round
// tables, S-boxes and their inverses are computed by the compiler from the
// field arithmetic, so no hand-typed constant can be wrong; the known-answer
// tests pin the result.
#include "crypto/cores.h"

#include <cstring>

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

inline uint32_t load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

inline void store32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t subWord(uint32_t w) {
  return static_cast<uint32_t>(kAes.sbox[w & 0xff]) | static_cast<uint32_t>(kAes.sbox[(w >> 8) & 0xff]) << 8 |
         static_cast<uint32_t>(kAes.sbox[(w >> 16) & 0xff]) << 16 |
         static_cast<uint32_t>(kAes.sbox[w >> 24]) << 24;
}

#define B0(x) ((x) & 0xff)
#define B1(x) (((x) >> 8) & 0xff)
#define B2(x) (((x) >> 16) & 0xff)
#define B3(x) ((x) >> 24)

// One full encryption round: t = MixColumns(ShiftRows(SubBytes(s))) ^ rk.
#define AES_EROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk)                                                    \
  do {                                                                                                    \
    t0 = kAes.te[0][B0(s0)] ^ kAes.te[1][B1(s1)] ^ kAes.te[2][B2(s2)] ^ kAes.te[3][B3(s3)] ^ (rk)[0];     \
    t1 = kAes.te[0][B0(s1)] ^ kAes.te[1][B1(s2)] ^ kAes.te[2][B2(s3)] ^ kAes.te[3][B3(s0)] ^ (rk)[1];     \
    t2 = kAes.te[0][B0(s2)] ^ kAes.te[1][B1(s3)] ^ kAes.te[2][B2(s0)] ^ kAes.te[3][B3(s1)] ^ (rk)[2];     \
    t3 = kAes.te[0][B0(s3)] ^ kAes.te[1][B1(s0)] ^ kAes.te[2][B2(s1)] ^ kAes.te[3][B3(s2)] ^ (rk)[3];     \
  } while (0)

// One full round of the equivalent inverse cipher.
#define AES_DROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk)                                                    \
  do {                                                                                                    \
    t0 = kAes.td[0][B0(s0)] ^ kAes.td[1][B1(s3)] ^ kAes.td[2][B2(s2)] ^ kAes.td[3][B3(s1)] ^ (rk)[0];     \
    t1 = kAes.td[0][B0(s1)] ^ kAes.td[1][B1(s0)] ^ kAes.td[2][B2(s3)] ^ kAes.td[3][B3(s2)] ^ (rk)[1];     \
    t2 = kAes.td[0][B0(s2)] ^ kAes.td[1][B1(s1)] ^ kAes.td[2][B2(s0)] ^ kAes.td[3][B3(s3)] ^ (rk)[2];     \
    t3 = kAes.td[0][B0(s3)] ^ kAes.td[1][B1(s2)] ^ kAes.td[2][B2(s1)] ^ kAes.td[3][B3(s0)] ^ (rk)[3];     \
  } while (0)

#define SB(x) static_cast<uint32_t>(kAes.sbox[x])
#define ISB(x) static_cast<uint32_t>(kAes.isbox[x])

// Last encryption round: no MixColumns.
#define AES_ELAST(t0, t1, t2, t3, s0, s1, s2, s3, rk)                                                     \
  do {                                                                                                    \
    t0 = (SB(B0(s0)) | SB(B1(s1)) << 8 | SB(B2(s2)) << 16 | SB(B3(s3)) << 24) ^ (rk)[0];                  \
    t1 = (SB(B0(s1)) | SB(B1(s2)) << 8 | SB(B2(s3)) << 16 | SB(B3(s0)) << 24) ^ (rk)[1];                  \
    t2 = (SB(B0(s2)) | SB(B1(s3)) << 8 | SB(B2(s0)) << 16 | SB(B3(s1)) << 24) ^ (rk)[2];                  \
    t3 = (SB(B0(s3)) | SB(B1(s0)) << 8 | SB(B2(s1)) << 16 | SB(B3(s2)) << 24) ^ (rk)[3];                  \
  } while (0)

#define AES_DLAST(t0, t1, t2, t3, s0, s1, s2, s3, rk)                                                     \
  do {                                                                                                    \
    t0 = (ISB(B0(s0)) | ISB(B1(s3)) << 8 | ISB(B2(s2)) << 16 | ISB(B3(s1)) << 24) ^ (rk)[0];              \
    t1 = (ISB(B0(s1)) | ISB(B1(s0)) << 8 | ISB(B2(s3)) << 16 | ISB(B3(s2)) << 24) ^ (rk)[1];              \
    t2 = (ISB(B0(s2)) | ISB(B1(s1)) << 8 | ISB(B2(s0)) << 16 | ISB(B3(s3)) << 24) ^ (rk)[2];              \
    t3 = (ISB(B0(s3)) | ISB(B1(s2)) << 8 | ISB(B2(s1)) << 16 | ISB(B3(s0)) << 24) ^ (rk)[3];              \
  } while (0)

// Encrypts the state in s0..s3 (already XORed with nothing): adds the first
// round key, runs the rounds, leaves the ciphertext in s0..s3.
inline void encryptState(const uint32_t* rk, uint64_t words, uint32_t& s0, uint32_t& s1, uint32_t& s2,
                         uint32_t& s3) {
  uint32_t t0, t1, t2, t3;
  s0 ^= rk[0];
  s1 ^= rk[1];
  s2 ^= rk[2];
  s3 ^= rk[3];
  // rounds = words / 4 - 1 is even (10, 12, 14): two rounds per step.
  uint64_t steps = (words / 4 - 1) / 2;
  for (;;) {
    AES_EROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk + 4);
    rk += 8;
    if (--steps == 0) break;
    AES_EROUND(s0, s1, s2, s3, t0, t1, t2, t3, rk);
  }
  AES_ELAST(s0, s1, s2, s3, t0, t1, t2, t3, rk);
}

inline void decryptState(const uint32_t* rk, uint64_t words, uint32_t& s0, uint32_t& s1, uint32_t& s2,
                         uint32_t& s3) {
  uint32_t t0, t1, t2, t3;
  s0 ^= rk[0];
  s1 ^= rk[1];
  s2 ^= rk[2];
  s3 ^= rk[3];
  uint64_t steps = (words / 4 - 1) / 2;
  for (;;) {
    AES_DROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk + 4);
    rk += 8;
    if (--steps == 0) break;
    AES_DROUND(s0, s1, s2, s3, t0, t1, t2, t3, rk);
  }
  AES_DLAST(s0, s1, s2, s3, t0, t1, t2, t3, rk);
}

// Two independent blocks at once: CBC decryption does not chain the cipher,
// so the two dependency chains fill each other's load latency.
inline void decryptState2(const uint32_t* rk, uint64_t words, uint32_t& a0, uint32_t& a1, uint32_t& a2,
                          uint32_t& a3, uint32_t& b0, uint32_t& b1, uint32_t& b2, uint32_t& b3) {
  uint32_t u0, u1, u2, u3, v0, v1, v2, v3;
  a0 ^= rk[0];
  a1 ^= rk[1];
  a2 ^= rk[2];
  a3 ^= rk[3];
  b0 ^= rk[0];
  b1 ^= rk[1];
  b2 ^= rk[2];
  b3 ^= rk[3];
  uint64_t steps = (words / 4 - 1) / 2;
  for (;;) {
    AES_DROUND(u0, u1, u2, u3, a0, a1, a2, a3, rk + 4);
    AES_DROUND(v0, v1, v2, v3, b0, b1, b2, b3, rk + 4);
    rk += 8;
    if (--steps == 0) break;
    AES_DROUND(a0, a1, a2, a3, u0, u1, u2, u3, rk);
    AES_DROUND(b0, b1, b2, b3, v0, v1, v2, v3, rk);
  }
  AES_DLAST(a0, a1, a2, a3, u0, u1, u2, u3, rk);
  AES_DLAST(b0, b1, b2, b3, v0, v1, v2, v3, rk);
}

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
    w[i] = kAes.td[0][kAes.sbox[B0(x)]] ^ kAes.td[1][kAes.sbox[B1(x)]] ^ kAes.td[2][kAes.sbox[B2(x)]] ^
           kAes.td[3][kAes.sbox[B3(x)]];
  }
}

void AESBlockE(const uint32_t* rk, uint64_t words, const uint8_t* in, uint8_t* out) {
  uint32_t s0 = load32(in), s1 = load32(in + 4), s2 = load32(in + 8), s3 = load32(in + 12);
  encryptState(rk, words, s0, s1, s2, s3);
  store32(out, s0);
  store32(out + 4, s1);
  store32(out + 8, s2);
  store32(out + 12, s3);
}

void AESBlockD(const uint32_t* rk, uint64_t words, const uint8_t* in, uint8_t* out) {
  uint32_t s0 = load32(in), s1 = load32(in + 4), s2 = load32(in + 8), s3 = load32(in + 12);
  decryptState(rk, words, s0, s1, s2, s3);
  store32(out, s0);
  store32(out + 4, s1);
  store32(out + 8, s2);
  store32(out + 12, s3);
}

void AESEcbE(const uint32_t* rk, uint64_t words, const uint8_t* in, uint8_t* out, uint64_t blocks) {
  for (; blocks > 0; blocks--, in += 16, out += 16) AESBlockE(rk, words, in, out);
}

void AESEcbD(const uint32_t* rk, uint64_t words, const uint8_t* in, uint8_t* out, uint64_t blocks) {
  for (; blocks >= 2; blocks -= 2, in += 32, out += 32) {
    uint32_t a0 = load32(in), a1 = load32(in + 4), a2 = load32(in + 8), a3 = load32(in + 12);
    uint32_t b0 = load32(in + 16), b1 = load32(in + 20), b2 = load32(in + 24), b3 = load32(in + 28);
    decryptState2(rk, words, a0, a1, a2, a3, b0, b1, b2, b3);
    store32(out, a0);
    store32(out + 4, a1);
    store32(out + 8, a2);
    store32(out + 12, a3);
    store32(out + 16, b0);
    store32(out + 20, b1);
    store32(out + 24, b2);
    store32(out + 28, b3);
  }
  if (blocks) AESBlockD(rk, words, in, out);
}

void AESCbcE(const uint32_t* rk, uint64_t words, uint8_t* chain, const uint8_t* in, uint8_t* out,
             uint64_t blocks) {
  uint32_t s0 = load32(chain), s1 = load32(chain + 4), s2 = load32(chain + 8), s3 = load32(chain + 12);
  for (; blocks > 0; blocks--, in += 16, out += 16) {
    s0 ^= load32(in);
    s1 ^= load32(in + 4);
    s2 ^= load32(in + 8);
    s3 ^= load32(in + 12);
    encryptState(rk, words, s0, s1, s2, s3);
    store32(out, s0);
    store32(out + 4, s1);
    store32(out + 8, s2);
    store32(out + 12, s3);
  }
  store32(chain, s0);
  store32(chain + 4, s1);
  store32(chain + 8, s2);
  store32(chain + 12, s3);
}

void AESCbcD(const uint32_t* rk, uint64_t words, uint8_t* chain, const uint8_t* in, uint8_t* out,
             uint64_t blocks) {
  uint32_t p0 = load32(chain), p1 = load32(chain + 4), p2 = load32(chain + 8), p3 = load32(chain + 12);
  for (; blocks >= 2; blocks -= 2, in += 32, out += 32) {
    uint32_t a0 = load32(in), a1 = load32(in + 4), a2 = load32(in + 8), a3 = load32(in + 12);
    uint32_t b0 = load32(in + 16), b1 = load32(in + 20), b2 = load32(in + 24), b3 = load32(in + 28);
    decryptState2(rk, words, a0, a1, a2, a3, b0, b1, b2, b3);
    // Read both ciphertext blocks again before writing: in may equal out.
    uint32_t c0 = load32(in), c1 = load32(in + 4), c2 = load32(in + 8), c3 = load32(in + 12);
    uint32_t n0 = load32(in + 16), n1 = load32(in + 20), n2 = load32(in + 24), n3 = load32(in + 28);
    store32(out, a0 ^ p0);
    store32(out + 4, a1 ^ p1);
    store32(out + 8, a2 ^ p2);
    store32(out + 12, a3 ^ p3);
    store32(out + 16, b0 ^ c0);
    store32(out + 20, b1 ^ c1);
    store32(out + 24, b2 ^ c2);
    store32(out + 28, b3 ^ c3);
    p0 = n0;
    p1 = n1;
    p2 = n2;
    p3 = n3;
  }
  if (blocks) {
    uint32_t a0 = load32(in), a1 = load32(in + 4), a2 = load32(in + 8), a3 = load32(in + 12);
    uint32_t n0 = a0, n1 = a1, n2 = a2, n3 = a3;
    decryptState(rk, words, a0, a1, a2, a3);
    store32(out, a0 ^ p0);
    store32(out + 4, a1 ^ p1);
    store32(out + 8, a2 ^ p2);
    store32(out + 12, a3 ^ p3);
    p0 = n0;
    p1 = n1;
    p2 = n2;
    p3 = n3;
  }
  store32(chain, p0);
  store32(chain + 4, p1);
  store32(chain + 8, p2);
  store32(chain + 12, p3);
}
