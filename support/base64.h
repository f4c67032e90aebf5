// SPDX-License-Identifier: Apache-2.0
// base64.h -- Base64 (RFC 4648 alphabet) with the browser-form percent-escape
// fix-up on decoding, and the undoing of a fixed set of JSON string escapes.
#ifndef KESTROVAN_SUPPORT_BASE64_H
#define KESTROVAN_SUPPORT_BASE64_H

#include <cstddef>

char* Base64Encode(const char* text);          // heap text, or null
char* Base64Decode(const char* text);          // heap bytes + terminating zero, or null
// Decodes text where it lies, as Base64Decode would, wiping what is left of
// the encoded text; returns the bytes decoded (a zero byte follows them).
size_t Base64DecodeInPlace(char* text);
char* Base64DecodeFix(const char* text);       // JSON escapes undone, or null
// Base64 of length bytes of text written at encoded, as Base64Encode
// writes it, with a terminator; returns the characters written without it.
// Base64EncodedLength tells how many that is.
size_t Base64EncodeInto(char* encoded, const char* text, size_t length);
size_t Base64EncodedLength(size_t length);
// Buffer sizes (terminator included) for encoding length bytes and for
// decoding a text; -1 for a negative length, a null text, or a size that
// does not fit an int.
int Base64encode_len(int length);
int Base64decode_len(const char* encoded);
int _Base64encode(char* encoded, const char* input, int length);
int _Base64decode(char* plain, const char* encoded);

#endif
