// SPDX-License-Identifier: Apache-2.0
// seal_for_page.h -- a parameter sealed the way a page seals it for the
// "<key>_KestrovanEncryptFlag" flag: AES256_Encrypt_CBC under the first 32
// bytes of the shared secret and the fixed IV, written as hex text.
#ifndef KESTROVAN_TESTS_COMMON_SEAL_FOR_PAGE_H
#define KESTROVAN_TESTS_COMMON_SEAL_FOR_PAGE_H

#include <cstdio>
#include <cstdlib>
#include <string>

#include "crypto/crypto.h"
#include "params/params.h"

// Hex text of text sealed with secret; empty when sealing fails.
inline std::string sealForPage(const char* text, const char* secret) {
  unsigned long length = 0;
  unsigned char* sealed =
      AES256_Encrypt_CBC((const unsigned char*)text, (const unsigned char*)secret, KestrovanJson_ShareIV, &length);
  std::string hex;
  char pair[3];
  for (unsigned long i = 0; sealed != nullptr && i < length; i++) {
    snprintf(pair, sizeof(pair), "%02x", sealed[i]);
    hex += pair;
  }
  free(sealed);
  return hex;
}

#endif
