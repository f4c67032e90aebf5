// seal.h -- one-call sealing of texts with AES-256-CBC and block padding
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

// The marker placed before the text; 15 characters.
#define KESTROVAN_SEAL_MARKER "KestrovanAESCBC"
#define KESTROVAN_SEAL_MARKER_LENGTH (sizeof(KESTROVAN_SEAL_MARKER) - 1)
#define KESTROVAN_SEAL_KEY_SIZE 32
#define KESTROVAN_SEAL_IV_SIZE 16

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
