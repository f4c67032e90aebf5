// SPDX-License-Identifier: Apache-2.0
// flags.cpp -- the service's lenient reading of the decoding flags a page
// attaches to a parameter: which flag is on, and the value decoded by it
// (left as sent where it does not decode).
#include "params/params.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "crypto/crypto.h"
#include "sdk/sdk.h"
#include "support/support.h"

#define MODULE "Json"

// The service's maps are sorted: a flag's entry is found by the binary
// search and read where it lies, with no key put together and no copy
// (every typed read tries four suffixes).
static bool isFlagOn(const KestrovanJsonMap* map, const char* key, const char* suffix) {
  static_assert(KESTROVAN_JOINED_KEY_MAX == KESTROVAN_FLAG_KEY_SIZE - 1, "flag keys are cut where they always were");
  const KestrovanJsonUnit* unit = KestrovanJson_findJoined(map, key, suffix);
  if (unit == nullptr) {
    return false;
  }
  if (unit->value != nullptr) {
    return KestrovanParam_isOn(unit->value, strlen(unit->value));
  }
  return unit->data != nullptr && KestrovanParam_isOn((const char*)unit->data, (size_t)unit->dataLength);
}

// A value that cannot be decoded is handed on as sent, with the
// memory-failure lines the console has always shown for it, whatever the
// cause (a missing or short secret included).
static char* copyOrFail(const char* value, int line) {
  showMemoryFail(MODULE, line);
  return newMem(value);
}

// Opens a hex AES-256-CBC parameter with the page's shared secret. Any
// failure, a secret too short to be an AES-256 key included, leaves the value
// unchanged.
static char* decryptValue(KestrovanJsonMap* map, const char* value) {
  printfColorLine("find key: ", KESTROVAN_SHARE_SECRET_KEY);
  char* secret = KestrovanJson_search(map, KESTROVAN_SHARE_SECRET_KEY);
  if (secret == nullptr) {
    return copyOrFail(value, __LINE__);
  }
  if (strlen(secret) < KESTROVAN_SHARE_SECRET_MIN_LENGTH) {
    freeSecret(secret);
    return copyOrFail(value, __LINE__);
  }
  unsigned long cipherLength = (unsigned long)(strlen(value) / 2);
  unsigned char* cipher = cipherLength > 0 ? HexDecode(value) : nullptr;
  if (cipher == nullptr) {
    freeSecret(secret);
    return copyOrFail(value, __LINE__);
  }
  int openedLength = 0;
  char* plain = (char*)AES256_Decrypt_CBC(cipher, cipherLength, (const unsigned char*)secret,
                                          KestrovanJson_ShareIV, openedLength);
  secureWipe(cipher, cipherLength);
  free(cipher);
  freeSecret(secret);
  if (plain == nullptr) {
    return copyOrFail(value, __LINE__);
  }
  return plain;
}

int KestrovanJson_flagOf(const KestrovanJsonMap* map, const char* key) {
  // Every flag's key begins with "<key>_Kestrovan": when no entry's does
  // (nearly always), one lookup answers for all four.
  if (!KestrovanJson_anyJoined(map, key, "_Kestrovan")) {
    return KESTROVAN_FLAG_NONE;
  }
  int flag = KESTROVAN_FLAG_NONE;
  for (int i = KESTROVAN_FLAG_ENCRYPT; i < KESTROVAN_FLAG_NONE; i++) {
    if (isFlagOn(map, key, KestrovanParam_FlagSuffixes[i])) {
      flag = i;
      break;
    }
  }
  return flag;
}

char* KestrovanJson_decodeAs(KestrovanJsonMap* map, const char* value, int flag) {
  char* decoded = nullptr;
  switch (flag) {
    case KESTROVAN_FLAG_ENCRYPT:
      return decryptValue(map, value);
    case KESTROVAN_FLAG_STAR:
      decoded = replace(value, "*", "\\");
      break;
    case KESTROVAN_FLAG_SLASH:
      decoded = replace(value, "==KestrovanSlash==", "\\");
      break;
    case KESTROVAN_FLAG_BASE64:
      decoded = Base64Decode(value);
      break;
    default: {
      char* copy = newMem(value);
      if (copy == nullptr) {
        showMemoryFail(MODULE, __LINE__);
      }
      return copy;
    }
  }
  if (decoded == nullptr) {
    return copyOrFail(value, __LINE__);
  }
  return decoded;
}
