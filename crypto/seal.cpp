// SPDX-License-Identifier: Apache-2.0
// seal.cpp -- AES-256-CBC sealing and the lenient opening of texts, with the
// service's warning lines; the decryption itself is open.cpp's.
#include "crypto/seal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crypto/cipher.h"
#include "support/text.h"
#include "support/trace.h"

static const char kModule[] = "AES";
static const uint64_t kMarkerLength = KESTROVAN_SEAL_MARKER_LENGTH;
static const uint64_t kKeyLength = KESTROVAN_SEAL_KEY_SIZE;
static const uint64_t kIvLength = KESTROVAN_SEAL_IV_SIZE;

// True for an engine code of 0; otherwise prints the code and where it came.
static bool engineOk(int code, int line) {
  if (code == SK_CKR_OK) return true;
  char text[128];
  snprintf(text, sizeof(text), "Error code %d = 0x%X at %d line in %s", code, static_cast<unsigned>(code), line,
           kModule);
  printfColorWarningLine("", text);
  return false;
}

// Every operation names its three inputs the same way in its warnings.
static bool checkArguments(const unsigned char* text, const unsigned char* key, const unsigned char* iv) {
  if (!text) {
    showNullParameter("inputText", kModule, __LINE__);
    return false;
  }
  if (!key) {
    showNullParameter("inputKey", kModule, __LINE__);
    return false;
  }
  if (!iv) {
    showNullParameter("inputIV", kModule, __LINE__);
    return false;
  }
  return true;
}

unsigned char* AES256_Encrypt_CBC(const unsigned char* text, const unsigned char* key, const unsigned char* iv,
                                  unsigned long* sealedLength) {
  if (!checkArguments(text, key, iv)) return nullptr;
  // The text's zero byte is sealed too; the block padding adds 1 to 16.
  const uint64_t textLength = strlen(reinterpret_cast<const char*>(text)) + 1;
  const uint64_t plainLength = kMarkerLength + textLength;
  const uint64_t outLength = 16 * (plainLength / 16 + 1);
  unsigned char* out = static_cast<unsigned char*>(newMemSize(outLength));
  if (!out) {
    showMemoryFail(kModule, __LINE__);
    return nullptr;
  }

  // Marker and text go in as two updates: the same bytes as one update
  // over "KestrovanAESCBC<text>", without a heap copy of the text.
  SK_CipherContext ctx;
  memset(&ctx, 0, sizeof(ctx));
  uint64_t produced = 0, n = 0;
  bool ok = engineOk(SK_EncryptInit(&ctx, SK_CKM_AES_CBC_PAD, key, kKeyLength), __LINE__);
  if (ok) {
    memcpy(ctx.chain, iv, kIvLength);
    n = outLength;
    ok = engineOk(SK_EncryptUpdate(&ctx, reinterpret_cast<const uint8_t*>(KESTROVAN_SEAL_MARKER), kMarkerLength,
                                   out, &n),
                  __LINE__);
  }
  if (ok) {
    produced = n;
    n = outLength - produced;
    ok = engineOk(SK_EncryptUpdate(&ctx, text, textLength, out + produced, &n), __LINE__);
  }
  if (ok) {
    produced += n;
    n = outLength - produced;
    ok = engineOk(SK_EncryptFinal(&ctx, out + produced, &n), __LINE__);
  }
  secureWipe(&ctx, sizeof(ctx));
  if (!ok) {
    free(out);
    return nullptr;
  }
  if (sealedLength) *sealedLength = static_cast<unsigned long>(produced + n);
  return out;
}

unsigned char* AES256_Decrypt_CBC(const unsigned char* sealed, unsigned long sealedLength,
                                  const unsigned char* key, const unsigned char* iv, int& openedLength) {
  if (!checkArguments(sealed, key, iv)) return nullptr;
  uint64_t produced = 0;
  KestrovanSealFailure failure;
  unsigned char* plain = KestrovanSeal_decrypt(sealed, sealedLength, key, iv, &produced, &failure);
  if (!plain) {
    if (failure.memory)
      showMemoryFail(kModule, failure.line);
    else
      engineOk(failure.code, failure.line);
    return nullptr;
  }
  openedLength = static_cast<int>(produced);

  if (produced < kMarkerLength || memcmp(plain, KESTROVAN_SEAL_MARKER, kMarkerLength) != 0) return plain;
  printfColorLine("AES: ", "Remove prefix");
  const char* textStart = reinterpret_cast<const char*>(plain) + kMarkerLength;
  const size_t textLength = strlen(textStart);  // plain ends in a zero byte
  unsigned char* copy = static_cast<unsigned char*>(newMemSize(textLength + 1));
  if (!copy) {
    showMemoryFail(kModule, __LINE__);
    KestrovanSeal_discard(plain, sealedLength + 1);
    return nullptr;
  }
  memcpy(copy, textStart, textLength);
  KestrovanSeal_discard(plain, sealedLength + 1);
  return copy;
}
