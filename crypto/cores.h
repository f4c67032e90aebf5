// SPDX-License-Identifier: Apache-2.0
// cores.h -- the cipher cores under the engine: plain functions over a key
// schedule (the keySchedule field of SK_CipherContext). Table-driven: AES with
// 256-entry 32-bit round tables and byte S-boxes for both directions, DES with
// eight combined S-and-P tables and bit tables for the key schedule.
//
// None of them checks its arguments; the engine (cipher.h) does. Blocks may
// be processed in place (input == output).
#ifndef KESTROVAN_CRYPTO_CORES_H
#define KESTROVAN_CRYPTO_CORES_H

#include <cstddef>
#include <cstdint>

// XORs n bytes of src into dst.
void memxor(uint8_t* dst, const uint8_t* src, size_t n);

// RC4. The state is 258 bytes: the permutation, then i and j.
void RC4Key(uint8_t* state, const uint8_t* key, uint64_t keyLength);
void RC4Stream(uint8_t* state, const uint8_t* input, uint8_t* output, uint64_t length);

// DES. A schedule is 32 words for one 8-byte key (parity bits ignored).
void DESEKey(uint32_t* schedule, const uint8_t* key);
void DESDKey(uint32_t* schedule, const uint8_t* key);
void DESBlock(const uint32_t* schedule, const uint8_t* input, uint8_t* output);
// Single DES (scheduleSize 32) or triple DES EDE with two (64) or three (96)
// schedules as DESEKey/DESDKey laid them out for the direction.
void DESBlockE(const uint32_t* schedules, uint64_t scheduleSize, const uint8_t* input, uint8_t* output);
void DESBlockD(const uint32_t* schedules, uint64_t scheduleSize, const uint8_t* input, uint8_t* output);
// CBC over whole 8-byte blocks; chain holds the chaining value in and out.
void DESCbcE(const uint32_t* schedules, uint64_t scheduleSize, uint8_t* chain, const uint8_t* input,
             uint8_t* output, uint64_t blocks);
void DESCbcD(const uint32_t* schedules, uint64_t scheduleSize, uint8_t* chain, const uint8_t* input,
             uint8_t* output, uint64_t blocks);

// AES. keyLength is 16, 24 or 32; the schedule gets keyLength + 28 words.
void AESKeyE(uint32_t* schedule, const uint8_t* key, uint64_t keyLength);
// Turns an encryption schedule into that of the equivalent inverse cipher.
void AESRev(uint32_t* schedule, uint64_t words);
void AESBlockE(const uint32_t* schedule, uint64_t words, const uint8_t* input, uint8_t* output);
void AESBlockD(const uint32_t* schedule, uint64_t words, const uint8_t* input, uint8_t* output);
// Whole 16-byte blocks: ECB in both directions, CBC encryption, and CBC
// decryption with independent blocks interleaved.
void AESEcbE(const uint32_t* schedule, uint64_t words, const uint8_t* input, uint8_t* output, uint64_t blocks);
void AESEcbD(const uint32_t* schedule, uint64_t words, const uint8_t* input, uint8_t* output, uint64_t blocks);
void AESCbcE(const uint32_t* schedule, uint64_t words, uint8_t* chain, const uint8_t* input, uint8_t* output,
             uint64_t blocks);
void AESCbcD(const uint32_t* schedule, uint64_t words, uint8_t* chain, const uint8_t* input, uint8_t* output,
             uint64_t blocks);

#endif
