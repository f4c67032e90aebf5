// SPDX-License-Identifier: Apache-2.0
// seal_format.h -- the layout of a sealed text that sealing (seal.cpp) and
// the quiet opening (open.cpp) share: the marker before the text and the
// key and IV sizes.
#ifndef KESTROVAN_CRYPTO_SEAL_FORMAT_H
#define KESTROVAN_CRYPTO_SEAL_FORMAT_H

// The marker placed before the text; 15 characters.
#define KESTROVAN_SEAL_MARKER "KestrovanAESCBC"
#define KESTROVAN_SEAL_MARKER_LENGTH (sizeof(KESTROVAN_SEAL_MARKER) - 1)
#define KESTROVAN_SEAL_KEY_SIZE 32
#define KESTROVAN_SEAL_IV_SIZE 16

#endif
