// SPDX-License-Identifier: Apache-2.0
// open.cpp -- decrypting sealed blocks without a word on the console: the
// decryption both openers share and the strict AES256_Open_CBC that the
// adapter SDK links. Failures come back as results; the service's opener
// (seal.cpp) prints them.
#include "crypto/open.h"

#include <cstdlib>
#include <cstring>

#include "crypto/cipher.h"
#include "support/memory.h"

static const uint64_t kMarkerLength = KESTROVAN_SEAL_MARKER_LENGTH;
static const uint64_t kKeyLength = KESTROVAN_SEAL_KEY_SIZE;
static const uint64_t kIvLength = KESTROVAN_SEAL_IV_SIZE;

// Opened plaintext is overwritten before it is freed: random bytes, or
// zeros when no randomness can be had.
void KestrovanSeal_discard(unsigned char* plain, uint64_t length) {
  if (fillRandom(plain, length) != 0) secureWipe(plain, length);
  free(plain);
}

// A failed engine step: its code and the line of the step.
static bool stepOk(int code, int line, KestrovanSealFailure* failure) {
  if (code == SK_CKR_OK) return true;
  failure->code = code;
  failure->line = line;
  return false;
}

unsigned char* KestrovanSeal_decrypt(const unsigned char* sealed, unsigned long sealedLength,
                                     const unsigned char* key, const unsigned char* iv, uint64_t* produced,
                                     KestrovanSealFailure* failure) {
  *failure = KestrovanSealFailure();
  // The bound refuses 2 GiB and more, which also keeps the count within an int.
  const uint64_t room = static_cast<uint64_t>(sealedLength) + 1;
  unsigned char* plain = static_cast<unsigned char*>(allocateZeroed(room));
  if (!plain) {
    failure->memory = true;
    failure->line = __LINE__;
    return nullptr;
  }

  SK_CipherContext ctx;
  memset(&ctx, 0, sizeof(ctx));
  uint64_t done = 0, n = 0;
  bool ok = stepOk(SK_DecryptInit(&ctx, SK_CKM_AES_CBC_PAD, key, kKeyLength), __LINE__, failure);
  if (ok) {
    memcpy(ctx.chain, iv, kIvLength);
    n = room;
    ok = stepOk(SK_DecryptUpdate(&ctx, sealed, sealedLength, plain, &n), __LINE__, failure);
  }
  if (ok) {
    done = n;
    n = room - done;
    ok = stepOk(SK_DecryptFinal(&ctx, plain + done, &n), __LINE__, failure);
  }
  secureWipe(&ctx, sizeof(ctx));
  if (!ok) {
    KestrovanSeal_discard(plain, room);
    return nullptr;
  }
  *produced = done + n;
  return plain;
}

unsigned char* AES256_Open_CBC(const unsigned char* sealed, unsigned long sealedLength, const unsigned char* key,
                               const unsigned char* iv, size_t* textLength) {
  if (!sealed || !key || !iv) return nullptr;
  uint64_t produced = 0;
  KestrovanSealFailure failure;
  unsigned char* plain = KestrovanSeal_decrypt(sealed, sealedLength, key, iv, &produced, &failure);
  if (!plain) return nullptr;
  // Exactly what sealing makes: the marker, a text and its zero byte last.
  const char* textStart = reinterpret_cast<const char*>(plain) + kMarkerLength;
  bool sealedForm = produced > kMarkerLength && memcmp(plain, KESTROVAN_SEAL_MARKER, kMarkerLength) == 0 &&
                    strlen(textStart) == produced - kMarkerLength - 1;
  unsigned char* copy = nullptr;
  if (sealedForm) {
    const size_t length = strlen(textStart);
    copy = static_cast<unsigned char*>(allocateZeroed(length + 1));
    if (copy) {
      memcpy(copy, textStart, length);
      if (textLength) *textLength = length;
    }
  }
  KestrovanSeal_discard(plain, sealedLength + 1);
  return copy;
}
