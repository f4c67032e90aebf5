// rc4.cpp -- RC4 key scheduling and key stream. The 258-byte state is the
// permutation followed by the indices i and j.
#include "crypto/cores.h"

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
  unsigned i = state[256], j = state[257];
  for (uint64_t n = 0; n < length; n++) {
    i = (i + 1) & 0xff;
    uint8_t si = state[i];
    j = (j + si) & 0xff;
    uint8_t sj = state[j];
    state[i] = sj;
    state[j] = si;
    output[n] = input[n] ^ state[(si + sj) & 0xff];
  }
  state[256] = static_cast<uint8_t>(i);
  state[257] = static_cast<uint8_t>(j);
}
