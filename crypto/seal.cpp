// seal.cpp -- AES-256-CBC sealing and opening of texts on the cipher engine.
#include "crypto/seal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crypto/cipher.h"
#include "support/files.h"
#include "support/text.h"
#include "support/trace.h"

static const char kModule[] = "AES";
static const uint64_t kMarkerLength = sizeof(KESTROVAN_SEAL_MARKER) - 1;
static const uint64_t kKeyLength = 32;
static const uint64_t kIvLength = 16;

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

// Opened plaintext is overwritten before it is freed: random bytes, or
// zeros when no randomness can be had.
static void discardPlain(unsigned char* plain, uint64_t length) {
  if (!getSecureRandom(plain, static_cast<int>(length))) secureWipe(plain, length);
  free(plain);
}

// Decrypts sealedLength bytes into a fresh block one byte longer, which ends
// in a zero byte; *produced is the number of bytes decryption gave. Null on
// bad padding, a partial block or no memory.
static unsigned char* decryptWhole(const unsigned char* sealed, unsigned long sealedLength, const unsigned char* key,
                                   const unsigned char* iv, uint64_t* produced) {
  // newMemSize refuses 2 GiB and more, which also keeps the count within an int.
  const uint64_t room = static_cast<uint64_t>(sealedLength) + 1;
  unsigned char* plain = static_cast<unsigned char*>(newMemSize(room));
  if (!plain) {
    showMemoryFail(kModule, __LINE__);
    return nullptr;
  }

  SK_CipherContext ctx;
  memset(&ctx, 0, sizeof(ctx));
  uint64_t done = 0, n = 0;
  bool ok = engineOk(SK_DecryptInit(&ctx, SK_CKM_AES_CBC_PAD, key, kKeyLength), __LINE__);
  if (ok) {
    memcpy(ctx.chain, iv, kIvLength);
    n = room;
    ok = engineOk(SK_DecryptUpdate(&ctx, sealed, sealedLength, plain, &n), __LINE__);
  }
  if (ok) {
    done = n;
    n = room - done;
    ok = engineOk(SK_DecryptFinal(&ctx, plain + done, &n), __LINE__);
  }
  secureWipe(&ctx, sizeof(ctx));
  if (!ok) {
    discardPlain(plain, room);
    return nullptr;
  }
  *produced = done + n;
  return plain;
}

unsigned char* AES256_Decrypt_CBC(const unsigned char* sealed, unsigned long sealedLength,
                                  const unsigned char* key, const unsigned char* iv, int& openedLength) {
  if (!checkArguments(sealed, key, iv)) return nullptr;
  uint64_t produced = 0;
  unsigned char* plain = decryptWhole(sealed, sealedLength, key, iv, &produced);
  if (!plain) return nullptr;
  openedLength = static_cast<int>(produced);

  if (produced < kMarkerLength || memcmp(plain, KESTROVAN_SEAL_MARKER, kMarkerLength) != 0) return plain;
  printfColorLine("AES: ", "Remove prefix");
  const char* textStart = reinterpret_cast<const char*>(plain) + kMarkerLength;
  const size_t textLength = strlen(textStart);  // plain ends in a zero byte
  unsigned char* copy = static_cast<unsigned char*>(newMemSize(textLength + 1));
  if (!copy) {
    showMemoryFail(kModule, __LINE__);
    discardPlain(plain, sealedLength + 1);
    return nullptr;
  }
  memcpy(copy, textStart, textLength);
  discardPlain(plain, sealedLength + 1);
  return copy;
}

unsigned char* AES256_Open_CBC(const unsigned char* sealed, unsigned long sealedLength, const unsigned char* key,
                               const unsigned char* iv, size_t* textLength) {
  if (!checkArguments(sealed, key, iv)) return nullptr;
  uint64_t produced = 0;
  unsigned char* plain = decryptWhole(sealed, sealedLength, key, iv, &produced);
  if (!plain) return nullptr;
  // Exactly what sealing makes: the marker, a text and its zero byte last.
  const char* textStart = reinterpret_cast<const char*>(plain) + kMarkerLength;
  bool sealedForm = produced > kMarkerLength && memcmp(plain, KESTROVAN_SEAL_MARKER, kMarkerLength) == 0 &&
                    strlen(textStart) == produced - kMarkerLength - 1;
  unsigned char* copy = nullptr;
  if (sealedForm) {
    const size_t length = strlen(textStart);
    copy = static_cast<unsigned char*>(newMemSize(length + 1));
    if (copy) {
      memcpy(copy, textStart, length);
      if (textLength) *textLength = length;
    } else {
      showMemoryFail(kModule, __LINE__);
    }
  }
  discardPlain(plain, sealedLength + 1);
  return copy;
}
