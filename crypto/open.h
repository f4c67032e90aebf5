// SPDX-License-Identifier: Apache-2.0
// open.h -- the quiet opening of sealed texts (open.cpp): prints nothing,
// links only the cipher engine and support/memory, so that the adapter SDK
// can carry it. Layout in seal_format.h; sealing and the loud opening in
// seal.h.
#ifndef KESTROVAN_CRYPTO_OPEN_H
#define KESTROVAN_CRYPTO_OPEN_H

#include <cstddef>
#include <cstdint>

#include "crypto/seal_format.h"

// Opens sealedLength bytes strictly: only what AES256_Encrypt_CBC makes (the
// marker, a text, its zero byte as the last byte) is accepted, so a wrong key
// whose output happens to end in valid padding is refused too. Returns the
// text, zero-terminated, in a block of exactly *textLength + 1 bytes, or null.
unsigned char* AES256_Open_CBC(const unsigned char* sealed, unsigned long sealedLength, const unsigned char* key,
                               const unsigned char* iv, size_t* textLength);

// Why KestrovanSeal_decrypt gave null: no memory, or the engine's code and
// the source line of the step that failed (bad padding, a partial block).
struct KestrovanSealFailure {
  bool memory = false;
  int code = 0;
  int line = 0;
};

// Decrypts sealedLength bytes into a fresh block one byte longer, which ends
// in a zero byte; *produced is the number of bytes decryption gave. Null on
// failure, with *failure saying why. Prints nothing.
unsigned char* KestrovanSeal_decrypt(const unsigned char* sealed, unsigned long sealedLength,
                                     const unsigned char* key, const unsigned char* iv, uint64_t* produced,
                                     KestrovanSealFailure* failure);
// Overwrites opened plaintext (random bytes, or zeros when no randomness can
// be had) and frees it.
void KestrovanSeal_discard(unsigned char* plain, uint64_t length);

#endif
