// SPDX-License-Identifier: Apache-2.0
// cipher.h -- the multi-part symmetric cipher engine: RC4, DES, two- and
// three-key triple DES (EDE) and AES-128/192/256 in ECB, CBC and CBC with
// block padding, called the PKCS #11 way (init, any number of updates, one
// final) with PKCS #11 mechanism numbers and return codes.
//
// Calling order: zero an SK_CipherContext, init, write the initialisation
// vector into `chain` for CBC mechanisms, update as often as needed, final.
// The engine works on the caller's buffers and never allocates. A context
// belongs to one caller and one thread; the tables behind it are constant.
//
// Counts: `outputLength` points to the room at `output` on entry and holds the
// number of bytes produced (or needed) on return. A null `output` in an
// update, or in the final of a padded mechanism, asks for the size only and
// consumes nothing (returns SK_CKR_OK); too little room returns
// SK_CKR_BUFFER_TOO_SMALL with the size needed and also consumes nothing.
// `output` may be the same buffer as `input` when nothing is buffered in the
// context (whole-block updates); otherwise the buffers must not overlap.
//
// A context initialised for one direction is used only with that direction's
// update and final (the schedules differ).
//
// A successful final wipes the whole context, key schedule included, which
// leaves it uninitialised; a failed final (33, 64, 65) leaves it as it was.
// Callers that abandon an operation before its final wipe the context
// themselves (secureWipe).
#ifndef KESTROVAN_CRYPTO_CIPHER_H
#define KESTROVAN_CRYPTO_CIPHER_H

#include <cstddef>
#include <cstdint>

// Mechanism numbers (PKCS #11).
enum : uint64_t {
  SK_CKM_RC4 = 0x111,
  SK_CKM_DES_ECB = 0x121,
  SK_CKM_DES_CBC = 0x122,
  SK_CKM_DES_CBC_PAD = 0x125,
  SK_CKM_DES3_ECB = 0x132,
  SK_CKM_DES3_CBC = 0x133,
  SK_CKM_DES3_CBC_PAD = 0x136,
  SK_CKM_AES_ECB = 0x1081,
  SK_CKM_AES_CBC = 0x1082,
  SK_CKM_AES_CBC_PAD = 0x1085,
};

// Return codes (PKCS #11 values).
enum : int {
  SK_CKR_OK = 0,
  SK_CKR_ARGUMENTS_BAD = 7,
  SK_CKR_DATA_INVALID = 32,
  SK_CKR_DATA_LEN_RANGE = 33,
  SK_CKR_ENCRYPTED_DATA_INVALID = 64,
  SK_CKR_ENCRYPTED_DATA_LEN_RANGE = 65,
  SK_CKR_KEY_SIZE_RANGE = 98,
  SK_CKR_MECHANISM_INVALID = 112,
  SK_CKR_OPERATION_NOT_INITIALIZED = 145,
  SK_CKR_BUFFER_TOO_SMALL = 336,
};

// Largest block of any cipher here (AES).
#define SK_MAX_BLOCK 16

// One type for both directions. Zeroed by the caller before init.
struct SK_CipherContext {
  uint64_t mechanism;       // mechanism given at init; 0 after a rejected init
  // RC4: 256-byte state, then the indices i and j as one byte each.
  // DES: up to three schedules of 32 words (one per 8-byte key).
  // AES: the round-key words.
  alignas(16) uint32_t keySchedule[96];
  uint64_t scheduleSize;    // DES: key length x 4; AES: round-key words (44, 52, 60)
  uint8_t block[SK_MAX_BLOCK];  // bytes of an incomplete block
  uint64_t blockSize;       // 1 RC4, 8 DES family, 16 AES; 0 = not initialised
  uint64_t buffered;        // bytes waiting in `block`
  uint64_t holdBack;        // decryption: 1 for the padded mechanisms, else 0
  uint8_t chain[SK_MAX_BLOCK];  // CBC chaining value; the IV goes here after init
};

// Init: 0; 7 for a null context, or a null key with a non-zero length;
// 112 for an unknown mechanism; 98 for a key length the cipher does not
// define (RC4: 1 byte or more; DES family: 8, 16 or 24; AES: 16, 24 or 32).
// Any rejection leaves the context uninitialised with mechanism 0.
int SK_EncryptInit(SK_CipherContext* context, uint64_t mechanism, const uint8_t* key, uint64_t keyLength);
int SK_DecryptInit(SK_CipherContext* context, uint64_t mechanism, const uint8_t* key, uint64_t keyLength);

// Update: 0; 7 for a null context or count; 32 for a null input with a
// non-zero length; 145 when not initialised; 336 when the room is short.
// An input length of 0 sets the count to 0 and returns 0. Decryption with a
// padded mechanism keeps the last whole block back for the final.
int SK_EncryptUpdate(SK_CipherContext* context, const uint8_t* input, uint64_t inputLength,
                     uint8_t* output, uint64_t* outputLength);
int SK_DecryptUpdate(SK_CipherContext* context, const uint8_t* input, uint64_t inputLength,
                     uint8_t* output, uint64_t* outputLength);

// Final: 0; 7 for a null context or count; 145 when not initialised; 336 when
// the room is short (padded mechanisms, one block needed); 33 when bytes of
// an incomplete block are left (unpadded mechanisms); for padded decryption
// 65 when the data was not a whole number of blocks and 64 when the padding
// is not valid (the output block is then wiped and the count is 0).
int SK_EncryptFinal(SK_CipherContext* context, uint8_t* output, uint64_t* outputLength);
int SK_DecryptFinal(SK_CipherContext* context, uint8_t* output, uint64_t* outputLength);

// Per-block dispatchers over an initialised context: one block of the
// context's cipher and mode (CBC chaining included), or, for RC4, `length`
// bytes of key stream XORed from input into output.
void SK_EncryptBlock(SK_CipherContext* context, const uint8_t* input, uint8_t* output);
void SK_DecryptBlock(SK_CipherContext* context, const uint8_t* input, uint8_t* output);
void SK_EncryptStream(SK_CipherContext* context, const uint8_t* input, uint8_t* output, uint64_t length);

#endif
