// SPDX-License-Identifier: Apache-2.0
// des.cpp -- DES and triple DES (EDE) with combined S-and-P tables.
//
// The halves are kept rotated left by one bit after the initial permutation,
// so each round's expansion is a plain 4-bit rotation and every S-box input
// is a 6-bit field; the eight tables map that field straight to the permuted
// (and likewise rotated) round output. Subkeys are stored "cooked": the
// 6-bit groups of S-boxes 1, 3, 5, 7 in one word and of 2, 4, 6, 8 in the
// other, at the positions the round reads them from. Triple DES runs the
// three passes between one initial and one final permutation.
//
// All tables are computed by the compiler from the standard S-boxes and
// permutations; the known-answer tests pin the result.
#include "crypto/cores.h"

#include <string.h>

namespace {

// The eight S-boxes, row-major (row = outer bits, column = inner four bits).
constexpr uint8_t kSbox[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6, 2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3, 4,  9,  7, 2,  13, 12, 0,  5,  10, 3,  13, 4, 7,  15, 2,
     8,  14, 12, 0,  1,  10, 6, 9,  11, 5, 0,  14, 7,  11, 10, 4,  13, 1,  5, 8,  12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7,  0,  9,  3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0,  11, 1,  2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8,  5,  11, 12, 4,  15, 13, 8,  11, 5, 6,  15,
     0,  3,  4,  7, 2,  12, 1,  10, 14, 9, 10, 6,  9,  0,  12, 11, 7,  13, 15, 1, 3,  14,
     5,  2,  8,  4, 3,  15, 0,  6,  10, 1, 13, 8,  9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6, 8,  5,  3,  15, 13, 0, 14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5,  0,  15, 10, 3,  9, 8,  6,  4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0,  14, 11, 8,  12, 7, 1,  14, 2,  13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11, 10, 15, 4,  2,  7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3,  8,  9,  14, 15, 5,  2,  8,  12, 3,  7,  0,  4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9,  5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9, 7,  5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1,  10, 14, 3,  5,  12, 2, 15, 8,  6,  1, 4,  11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0,  5,  9,  2,  6,  11, 13, 8, 1,  4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4,  6,  15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8,  10, 3,
     7,  4,  12, 5,  6,  11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6,  10, 13,
     15, 3,  5,  8,  2,  1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11},
};

// The round's permutation P: output bit i (1 = most significant) is input
// bit kP[i - 1].
constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

// Key schedule: permuted choice 1 (64 key bits -> 56, 1-based key bit
// numbers), the left shifts per round, permuted choice 2 (56 -> 48).
constexpr uint8_t kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
                              35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
                              46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
constexpr uint8_t kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                              26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                              51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint32_t rotl1(uint32_t x) { return (x << 1) | (x >> 31); }

struct DesTables {
  uint32_t sp[8][64];  // S-box k then P, rotated left by one bit
  // For round r and cooked word w (0 or 1), bit b (0 = least significant)
  // comes from key bit keyBit[r][w][b] (0-based, 0 = most significant of
  // byte 0), or from nowhere when it is 0xff.
  uint8_t keyBit[16][2][32];
};

constexpr DesTables makeDesTables() {
  DesTables t{};
  for (unsigned k = 0; k < 8; k++) {
    for (unsigned v = 0; v < 64; v++) {
      unsigned row = ((v >> 4) & 2) | (v & 1);
      unsigned col = (v >> 1) & 0xf;
      uint32_t s = static_cast<uint32_t>(kSbox[k][row * 16 + col]) << (28 - 4 * k);
      uint32_t p = 0;
      for (unsigned i = 0; i < 32; i++) {
        if (s & (0x80000000u >> (kP[i] - 1))) p |= 0x80000000u >> i;
      }
      t.sp[k][v] = rotl1(p);
    }
  }
  for (unsigned r = 0; r < 16; r++)
    for (unsigned w = 0; w < 2; w++)
      for (unsigned b = 0; b < 32; b++) t.keyBit[r][w][b] = 0xff;
  unsigned shift = 0;
  for (unsigned r = 0; r < 16; r++) {
    shift += kShifts[r];
    for (unsigned j = 0; j < 48; j++) {
      // Subkey bit j (0-based) is CD bit kPC2[j]; C and D rotate separately.
      unsigned cd = kPC2[j] - 1u;
      unsigned half = cd / 28, pos = (cd % 28 + shift) % 28;
      unsigned keyBit = kPC1[half * 28 + pos] - 1u;
      // Subkey bit j feeds S-box j / 6, bit 5 - j % 6 of its 6-bit field.
      unsigned box = j / 6, bit = 5 - j % 6;
      unsigned word = box & 1;                     // S1,S3,S5,S7 -> 0; S2,S4,S6,S8 -> 1
      unsigned base = 24 - 8 * (box / 2);          // fields at 24, 16, 8, 0
      t.keyBit[r][word][base + bit] = static_cast<uint8_t>(keyBit);
    }
  }
  return t;
}

alignas(64) constexpr DesTables kDes = makeDesTables();

inline uint32_t load32be(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

inline void store32be(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Initial permutation as a network of bit swaps, leaving both halves
// rotated left by one bit.
inline void initialPermutation(uint32_t& l, uint32_t& r) {
  uint32_t w;
  w = ((l >> 4) ^ r) & 0x0f0f0f0fu; r ^= w; l ^= w << 4;
  w = ((l >> 16) ^ r) & 0x0000ffffu; r ^= w; l ^= w << 16;
  w = ((r >> 2) ^ l) & 0x33333333u; l ^= w; r ^= w << 2;
  w = ((r >> 8) ^ l) & 0x00ff00ffu; l ^= w; r ^= w << 8;
  r = rotl1(r);
  w = (l ^ r) & 0xaaaaaaaau; l ^= w; r ^= w;
  l = rotl1(l);
}

// Final permutation, the inverse of the above; the halves come out swapped
// (right, left), as DES's last round leaves them.
inline void finalPermutation(uint32_t& l, uint32_t& r) {
  uint32_t w;
  r = (r << 31) | (r >> 1);
  w = (l ^ r) & 0xaaaaaaaau; l ^= w; r ^= w;
  l = (l << 31) | (l >> 1);
  w = ((l >> 8) ^ r) & 0x00ff00ffu; r ^= w; l ^= w << 8;
  w = ((l >> 2) ^ r) & 0x33333333u; r ^= w; l ^= w << 2;
  w = ((r >> 16) ^ l) & 0x0000ffffu; l ^= w; r ^= w << 16;
  w = ((r >> 4) ^ l) & 0x0f0f0f0fu; l ^= w; r ^= w << 4;
}

#define DES_HALF(l, r, k)                                                                             \
  do {                                                                                                \
    uint32_t w_ = ((r) << 28 | (r) >> 4) ^ (k)[0];                                                    \
    uint32_t f_ = kDes.sp[6][w_ & 0x3f] ^ kDes.sp[4][(w_ >> 8) & 0x3f] ^ kDes.sp[2][(w_ >> 16) & 0x3f] ^ \
                  kDes.sp[0][(w_ >> 24) & 0x3f];                                                      \
    w_ = (r) ^ (k)[1];                                                                                \
    f_ ^= kDes.sp[7][w_ & 0x3f] ^ kDes.sp[5][(w_ >> 8) & 0x3f] ^ kDes.sp[3][(w_ >> 16) & 0x3f] ^      \
          kDes.sp[1][(w_ >> 24) & 0x3f];                                                              \
    (l) ^= f_;                                                                                        \
  } while (0)

// Sixteen rounds with one cooked schedule.
inline void desRounds(uint32_t& l, uint32_t& r, const uint32_t* k) {
  for (int i = 0; i < 8; i++, k += 4) {
    DES_HALF(l, r, k);
    DES_HALF(r, l, k + 2);
  }
}

inline void swap32(uint32_t& a, uint32_t& b) {
  uint32_t t = a;
  a = b;
  b = t;
}

// One to three passes between one IP and one FP. Between passes the halves
// swap, which is what FP followed by IP would leave.
inline void desPasses(const uint32_t* s0, const uint32_t* s1, const uint32_t* s2, uint32_t& l, uint32_t& r) {
  initialPermutation(l, r);
  desRounds(l, r, s0);
  if (s1) {
    swap32(l, r);
    desRounds(l, r, s1);
    swap32(l, r);
    desRounds(l, r, s2);
  }
  finalPermutation(l, r);
}

// Two independent blocks at once: a DES round is one long dependency
// chain, so a second block fills the waits for its table loads.
inline void desRounds2(uint32_t& l1, uint32_t& r1, uint32_t& l2, uint32_t& r2, const uint32_t* k) {
  for (int i = 0; i < 8; i++, k += 4) {
    DES_HALF(l1, r1, k);
    DES_HALF(l2, r2, k);
    DES_HALF(r1, l1, k + 2);
    DES_HALF(r2, l2, k + 2);
  }
}

inline void desPasses2(const uint32_t* s0, const uint32_t* s1, const uint32_t* s2, uint32_t& l1, uint32_t& r1,
                       uint32_t& l2, uint32_t& r2) {
  initialPermutation(l1, r1);
  initialPermutation(l2, r2);
  desRounds2(l1, r1, l2, r2, s0);
  if (s1) {
    swap32(l1, r1);
    swap32(l2, r2);
    desRounds2(l1, r1, l2, r2, s1);
    swap32(l1, r1);
    swap32(l2, r2);
    desRounds2(l1, r1, l2, r2, s2);
  }
  finalPermutation(l1, r1);
  finalPermutation(l2, r2);
}

// Picks the schedules for the direction: encryption K1, K2, K3 (K3 = K1 for
// two keys); decryption K3, K2, K1.
inline void pickSchedules(const uint32_t* s, uint64_t size, bool decrypt, const uint32_t** a, const uint32_t** b,
                          const uint32_t** c) {
  if (size <= 32) {
    *a = s;
    *b = *c = nullptr;
    return;
  }
  const uint32_t* k3 = size >= 96 ? s + 64 : s;
  *a = decrypt ? k3 : s;
  *b = s + 32;
  *c = decrypt ? s : k3;
}

void desKey(uint32_t* schedule, const uint8_t* key, bool decrypt) {
  for (unsigned r = 0; r < 16; r++) {
    // Decryption uses the subkeys in reverse order.
    uint32_t* out = schedule + 2 * (decrypt ? 15 - r : r);
    for (unsigned w = 0; w < 2; w++) {
      uint32_t v = 0;
      for (unsigned b = 0; b < 32; b++) {
        unsigned kb = kDes.keyBit[r][w][b];
        if (kb != 0xff) v |= static_cast<uint32_t>((key[kb >> 3] >> (7 - (kb & 7))) & 1) << b;
      }
      out[w] = v;
    }
  }
}

}  // namespace

void DESEKey(uint32_t* schedule, const uint8_t* key) { desKey(schedule, key, false); }

void DESDKey(uint32_t* schedule, const uint8_t* key) { desKey(schedule, key, true); }

void DESBlock(const uint32_t* schedule, const uint8_t* in, uint8_t* out) {
  uint32_t l = load32be(in), r = load32be(in + 4);
  desPasses(schedule, nullptr, nullptr, l, r);
  store32be(out, r);
  store32be(out + 4, l);
}

void DESBlockE(const uint32_t* s, uint64_t size, const uint8_t* in, uint8_t* out) {
  const uint32_t *a, *b, *c;
  pickSchedules(s, size, false, &a, &b, &c);
  uint32_t l = load32be(in), r = load32be(in + 4);
  desPasses(a, b, c, l, r);
  store32be(out, r);
  store32be(out + 4, l);
}

void DESBlockD(const uint32_t* s, uint64_t size, const uint8_t* in, uint8_t* out) {
  const uint32_t *a, *b, *c;
  pickSchedules(s, size, true, &a, &b, &c);
  uint32_t l = load32be(in), r = load32be(in + 4);
  desPasses(a, b, c, l, r);
  store32be(out, r);
  store32be(out + 4, l);
}

void DESCbcE(const uint32_t* s, uint64_t size, uint8_t* chain, const uint8_t* in, uint8_t* out,
             uint64_t blocks) {
  const uint32_t *a, *b, *c;
  pickSchedules(s, size, false, &a, &b, &c);
  uint32_t cl = load32be(chain), cr = load32be(chain + 4);
  for (; blocks > 0; blocks--, in += 8, out += 8) {
    uint32_t l = load32be(in) ^ cl, r = load32be(in + 4) ^ cr;
    desPasses(a, b, c, l, r);
    cl = r;
    cr = l;
    store32be(out, cl);
    store32be(out + 4, cr);
  }
  store32be(chain, cl);
  store32be(chain + 4, cr);
}

void DESCbcD(const uint32_t* s, uint64_t size, uint8_t* chain, const uint8_t* in, uint8_t* out,
             uint64_t blocks) {
  const uint32_t *a, *b, *c;
  pickSchedules(s, size, true, &a, &b, &c);
  uint32_t cl = load32be(chain), cr = load32be(chain + 4);
  for (; blocks >= 2; blocks -= 2, in += 16, out += 16) {
    // Both ciphertext blocks are read before anything is written: in may
    // equal out.
    const uint32_t nl1 = load32be(in), nr1 = load32be(in + 4), nl2 = load32be(in + 8), nr2 = load32be(in + 12);
    uint32_t l1 = nl1, r1 = nr1, l2 = nl2, r2 = nr2;
    desPasses2(a, b, c, l1, r1, l2, r2);
    store32be(out, r1 ^ cl);
    store32be(out + 4, l1 ^ cr);
    store32be(out + 8, r2 ^ nl1);
    store32be(out + 12, l2 ^ nr1);
    cl = nl2;
    cr = nr2;
  }
  for (; blocks > 0; blocks--, in += 8, out += 8) {
    uint32_t nl = load32be(in), nr = load32be(in + 4);
    uint32_t l = nl, r = nr;
    desPasses(a, b, c, l, r);
    store32be(out, r ^ cl);
    store32be(out + 4, l ^ cr);
    cl = nl;
    cr = nr;
  }
  store32be(chain, cl);
  store32be(chain + 4, cr);
}
