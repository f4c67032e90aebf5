// base64.h -- Base64 (RFC 4648 alphabet) with the browser-form percent-escape
// fix-up on decoding, and the undoing of a fixed set of JSON string escapes.
#ifndef KESTROVAN_SUPPORT_BASE64_H
#define KESTROVAN_SUPPORT_BASE64_H

#include <cstddef>

char* Base64Encode(const char* text);          // heap text, or null
char* Base64Decode(const char* text);          // heap bytes + terminating zero, or null
char* Base64DecodeFix(const char* text);       // JSON escapes undone, or null
// Buffer sizes (terminator included) for encoding length bytes and for
// decoding a text; -1 for a negative length, a null text, or a size that
// does not fit an int.
int Base64encode_len(int length);
int Base64decode_len(const char* encoded);
int _Base64encode(char* encoded, const char* input, int length);
int _Base64decode(char* plain, const char* encoded);

#endif
