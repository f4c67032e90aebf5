// SPDX-License-Identifier: Apache-2.0
// seal.h -- one-call sealing of texts with AES-256-CBC and block padding,
// over the quiet opening of open.h
// (the engine's SK_CKM_AES_CBC_PAD). Sealing encrypts the marker
// "KestrovanAESCBC", the text and the text's terminating zero byte; opening
// decrypts and removes the marker when it is there.
//
// Key: 32 bytes; IV: 16 bytes; only that many bytes are read. Results are
// fresh heap blocks the caller frees with free() (wiping first when the
// content is secret). AES256_Encrypt_CBC and AES256_Decrypt_CBC print a
// warning line on failure and return null; AES256_Open_CBC and
// KestrovanSeal_decrypt print nothing (adapters link them through the adapter
// SDK, and an adapter's console is not the service's). All use only their
// arguments and stack, so they may run on several threads at once.
#ifndef KESTROVAN_CRYPTO_SEAL_H
#define KESTROVAN_CRYPTO_SEAL_H

#include <cstddef>
#include <cstdint>

#include "crypto/open.h"
#include "crypto/seal_format.h"


// Seals the zero-terminated text. The sealed length is
// 16 * ((L + 1) / 16 + 1) for L = 15 + strlen(text); it is stored in
// *sealedLength when that is not null.
unsigned char* AES256_Encrypt_CBC(const unsigned char* text, const unsigned char* key, const unsigned char* iv,
                                  unsigned long* sealedLength);

// Opens sealedLength bytes. On success openedLength is the number of bytes
// decryption produced (marker, text and its zero byte: the text length + 16
// for what AES256_Encrypt_CBC sealed) and the result is the text after the
// marker, zero-terminated; data without the marker comes back whole, with a
// zero byte after it. Bad padding (a wrong key or IV, damaged data) and a
// length that is not a whole number of blocks give null.
unsigned char* AES256_Decrypt_CBC(const unsigned char* sealed, unsigned long sealedLength,
                                  const unsigned char* key, const unsigned char* iv, int& openedLength);

#endif
