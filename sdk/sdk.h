// SPDX-License-Identifier: Apache-2.0
// sdk.h -- the adapter SDK: the strict parameter reads every adapter links
// (KestrovanParam_Read and KestrovanParam_Free, declared for adapters in
// include/kestrovan/adapter_params.h), and the decoding flags a page attaches
// to a parameter, whose names and shared-secret rules the service's lenient
// reads in params/ use too.
//
// Links the cipher engine's quiet opening (crypto/open.cpp) and
// support/memory, nothing else of ours: no map parser, no trace, no log. A
// read prints nothing; its result code tells the adapter what went wrong,
// and the adapter decides what to show. No process-wide state.
#ifndef KESTROVAN_SDK_SDK_H
#define KESTROVAN_SDK_SDK_H

#include <cstddef>

#include "include/kestrovan/adapter.h"
#include "include/kestrovan/adapter_params.h"

// The 16-byte initialisation vector of parameters a page sends sealed with
// "<key>_KestrovanEncryptFlag"; pages use the same bytes.
extern const unsigned char KestrovanJson_ShareIV[16];

// The request's key for the page's shared secret, and the length a secret
// needs to be an AES-256 key (its first 32 bytes are used).
#define KESTROVAN_SHARE_SECRET_KEY "Kestrovan_share_secret"
#define KESTROVAN_SHARE_SECRET_MIN_LENGTH 32

// Flag keys are formed in a buffer of this size (a longer key is cut).
#define KESTROVAN_FLAG_KEY_SIZE 512

// The decoding flags in the order they are tried: the first that is on
// decides.
enum KestrovanDecodingFlag {
  KESTROVAN_FLAG_ENCRYPT,  // "<key>_KestrovanEncryptFlag": hex AES-256-CBC text
  KESTROVAN_FLAG_STAR,     // "<key>_KestrovanFlag": every "*" stands for a backslash
  KESTROVAN_FLAG_SLASH,    // "<key>_KestrovanSlashFlag": every "==KestrovanSlash==" does
  KESTROVAN_FLAG_BASE64,   // "<key>_KestrovanBase64Flag": Base64 text
  KESTROVAN_FLAG_NONE,
};
extern const char* const KestrovanParam_FlagSuffixes[KESTROVAN_FLAG_NONE];

// Writes key and suffix into flagKey, cut at the buffer's end as snprintf
// would.
void KestrovanParam_flagKey(char (&flagKey)[KESTROVAN_FLAG_KEY_SIZE], const char* key, const char* suffix);
// Whether a flag's value is on: its first characters (up to length bytes
// and the first zero byte) read "true", ignoring case. Only "true" and a
// terminator's worth take part, so a longer value is never on.
bool KestrovanParam_isOn(const char* value, size_t length);

#endif
