// SPDX-License-Identifier: Apache-2.0
// key.cpp -- reading the certificate file, choosing the server key for it
// (the user's key file, or the sealed built-in key for an older
// certificate) and opening the sealed key.
#include "service/key.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <time.h>

#include "crypto/crypto.h"
#include "service/key_file.h"
#include "service/key_material.h"
#include "support/support.h"

int KestrovanReadFile(const char* path, std::string& out) {
  if (path == nullptr)
    return -1;
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file.good())
    return -1;
  std::string piece;
  while (std::getline(file, piece, '\r'))
    out += piece;
  return 0;
}

std::optional<std::string> KestrovanParseCert(const char* path) {
  std::string cert;
  if (KestrovanReadFile(path, cert) != 0)
    return std::nullopt;
  printfColorLine("KestrovanParseCert cert: ", cert.c_str());
  return cert;
}

static double monotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

// Rebuilding takes microseconds; a rebuild that took longer than this was
// paused (a debugger, a stop signal) and its result is not handed out.
static const double kLongestRebuildSeconds = 2.0;

char* KestrovanKeyGuard_openingKey() {
  static const char digits[] = "0123456789abcdef";
  for (int attempt = 0; attempt < 3; attempt++) {
    char* hex = (char*)newMemSize(2 * KESTROVAN_OPENING_KEY_SIZE + 1);
    if (hex == nullptr)
      return nullptr;
    double started = monotonicSeconds();
    for (size_t i = 0; i < KESTROVAN_OPENING_KEY_SIZE; i++) {
      unsigned char byte =
          (unsigned char)(KestrovanKeyMaterial_unrotate(KestrovanKeyMaterial_table[KestrovanKeyMaterial_slot(0, i)], i) ^
                          KestrovanKeyMaterial_table[KestrovanKeyMaterial_slot(1, i)] ^
                          KestrovanKeyMaterial_table[KestrovanKeyMaterial_slot(2, i)]);
      hex[2 * i] = digits[byte >> 4];
      hex[2 * i + 1] = digits[byte & 15];
      secureWipe(&byte, sizeof(byte));
    }
    if (monotonicSeconds() - started <= kLongestRebuildSeconds)
      return hex;
    freeSecret(hex);
  }
  printfColorWarningLine("Key protection: ", "Paused while opening the key");
  return nullptr;
}

char* KestrovanKey_openBuiltIn() {
  char* hex = KestrovanKeyGuard_openingKey();
  if (hex == nullptr) {
    showMemoryFail("Key", __LINE__);
    return nullptr;
  }
  size_t keyLength = strlen(hex) / 2;
  unsigned char* opening = HexDecode(hex);
  freeSecret(hex);
  if (opening == nullptr) {
    showMemoryFail("Key", __LINE__);
    return nullptr;
  }
  int openedLength = 0;
  char* text = (char*)AES256_Decrypt_CBC(KestrovanKeyMaterial_sealed, KESTROVAN_SEALED_KEY_SIZE, opening,
                                         KestrovanKeyMaterial_iv, openedLength);
  secureWipe(opening, keyLength);
  free(opening);
  if (text == nullptr) {
    showMemoryFail("Key", __LINE__);
    return nullptr;
  }
  // A wrong opening key can still yield valid padding: hand out only what is
  // a private key in PEM form.
  if (strncmp(text, "-----BEGIN ", 11) != 0 || strstr(text, "PRIVATE KEY-----") == nullptr) {
    freeSecret(text);
    showMemoryFail("Key", __LINE__);
    return nullptr;
  }
  return text;
}

char* getKey(const char* folder, const std::string& cert) {
  if (folder == nullptr) {
    showNullParameter("inputFolder", "Key", __LINE__);
    return nullptr;
  }
  std::string certified;
  if (KestrovanKeyFile_choose(cert, KestrovanKeyMaterial_publicKey, &certified) == KESTROVAN_KEY_BUILT_IN) {
    printfColorWarningLine("Server key: ",
                           "data.dat certifies the key built into the program, which every installation of it "
                           "shares; run NORTAKestrovanProvision --force to make a key of your own");
    return KestrovanKey_openBuiltIn();
  }

  std::string path = std::string(folder) + "/" KESTROVAN_KEY_FILE_NAME;
  printfColorLine("Key filepath: ", path.c_str());
  char reason[1024];
  char* key = KestrovanKeyFile_read(path.c_str(), reason, sizeof(reason));
  if (key == nullptr) {
    printfColorErrorLine("Server key refused: ", reason);
    return nullptr;
  }
  std::string own;
  if (!KestrovanKeyFile_publicKey(key, strlen(key), &own)) {
    freeSecret(key);
    printfColorErrorLine("Server key refused: ", (path + " holds no private key").c_str());
    return nullptr;
  }
  if (!certified.empty() && own != certified) {
    std::string warning = "data.dat is no certificate for " + path + "; run NORTAKestrovanProvision --force";
    printfColorWarningLine("Server key: ", warning.c_str());
  }
  return key;
}

void freeKey(char* key) {
  freeSecret(key);
}
