// SPDX-License-Identifier: Apache-2.0
// rc4.cpp -- RC4 key scheduling and key stream. The 258-byte state is the
// permutation followed by the indices i and j.
#include "crypto/cores.h"

#include <cstring>

#include "support/memory.h"

void RC4Key(uint8_t* state, const uint8_t* key, uint64_t keyLength) {
  for (unsigned n = 0; n < 256; n++) state[n] = static_cast<uint8_t>(n);
  unsigned j = 0;
  uint64_t k = 0;
  for (unsigned n = 0; n < 256; n++) {
    uint8_t s = state[n];
    j = (j + s + key[k]) & 0xff;
    state[n] = state[j];
    state[j] = s;
    if (++k == keyLength) k = 0;
  }
  state[256] = 0;
  state[257] = 0;
}

void RC4Stream(uint8_t* state, const uint8_t* input, uint8_t* output, uint64_t length) {
  // The state never overlaps the data (input and output may be one
  // buffer), which lets the compiler keep the loop in registers. Key stream
  // is made a chunk at a time and XORed in eight bytes at a time.
  uint8_t* __restrict s = state;
  uint8_t i = s[256], j = s[257];
  uint8_t stream[64];
  while (length > 0) {
    const size_t m = length < sizeof(stream) ? static_cast<size_t>(length) : sizeof(stream);
    size_t k = 0;
    // Two bytes a step: the second step's S[i] is read before the first
    // step's swap is known, and corrected when the first swap touched it.
    for (; k + 2 <= m; k += 2) {
      const uint8_t i1 = static_cast<uint8_t>(i + 1), i2 = static_cast<uint8_t>(i + 2);
      const uint8_t si1 = s[i1];
      uint8_t si2 = s[i2];
      const uint8_t j1 = static_cast<uint8_t>(j + si1);
      const uint8_t sj1 = s[j1];
      s[i1] = sj1;
      s[j1] = si1;
      stream[k] = s[static_cast<uint8_t>(si1 + sj1)];
      if (j1 == i2) si2 = si1;
      const uint8_t j2 = static_cast<uint8_t>(j1 + si2);
      const uint8_t sj2 = s[j2];
      s[i2] = sj2;
      s[j2] = si2;
      stream[k + 1] = s[static_cast<uint8_t>(si2 + sj2)];
      i = i2;
      j = j2;
    }
    for (; k < m; k++) {
      i = static_cast<uint8_t>(i + 1);
      const uint8_t si = s[i];
      j = static_cast<uint8_t>(j + si);
      const uint8_t sj = s[j];
      s[i] = sj;
      s[j] = si;
      stream[k] = s[static_cast<uint8_t>(si + sj)];
    }
    for (k = 0; k + 8 <= m; k += 8) {
      uint64_t a, b;
      memcpy(&a, input + k, 8);
      memcpy(&b, stream + k, 8);
      a ^= b;
      memcpy(output + k, &a, 8);
    }
    for (; k < m; k++) output[k] = static_cast<uint8_t>(input[k] ^ stream[k]);
    input += m;
    output += m;
    length -= m;
  }
  secureWipe(stream, sizeof(stream));
  s[256] = i;
  s[257] = j;
}
