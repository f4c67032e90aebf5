// SPDX-License-Identifier: Apache-2.0
// crypto.h -- the cryptography folder: a PKCS #11-style multi-part symmetric
// cipher engine (RC4, DES, triple DES, AES in ECB, CBC and CBC with padding;
// cipher.h, over the table-driven cores of cores.h) and the one-call
// AES-256-CBC sealing of texts built on it (seal.h).
//
// Depends on support/ only, and the engine with the quiet opening
// (kestrovan_crypto_core: aes, des, rc4, cipher, open) on support/memory
// alone, so that the adapter SDK can link them. No process-wide state: the
// tables are constant and every operation works on its caller's context and
// buffers.
#ifndef KESTROVAN_CRYPTO_CRYPTO_H
#define KESTROVAN_CRYPTO_CRYPTO_H

#include "crypto/cipher.h"
#include "crypto/seal.h"

#endif
