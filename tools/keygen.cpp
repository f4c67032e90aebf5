// SPDX-License-Identifier: Apache-2.0
// keygen.cpp -- makes this build tree's server key pair, once.
//
//   kestrovan_keygen OUTPUT_FOLDER
//
// Writes OUTPUT_FOLDER/key_material.cpp (the private key's PEM text sealed
// with AES256_Encrypt_CBC, the IV, and the scattered shares the opening key
// is rebuilt from at run time; the opening key itself is never written) and
// OUTPUT_FOLDER/public_key.cpp (the public key). When both files exist it
// leaves them alone: a build tree keeps its key across rebuilds. Users get
// keys of their own from provisioning; this one serves only a certificate an
// earlier installation made for it (service/key.h).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include "crypto/crypto.h"
#include "service/key_material.h"
#include "support/text.h"
#include "support/write.h"

// The sealed form of a text of 288 to 303 characters is exactly the 320
// bytes the service carries; the PEM text is padded with line ends to 288.
static const size_t kPaddedKeyLength = 288;
static const size_t kLongestKeyLength = 303;

static bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

static void fail(const char* what, int code) {
  fprintf(stderr, "kestrovan_keygen: %s: %s\n", what, code != 0 ? gnutls_strerror(code) : strerror(errno));
  exit(1);
}

static void appendBytes(std::string& out, const unsigned char* bytes, size_t count) {
  char item[8];
  for (size_t i = 0; i < count; i++) {
    snprintf(item, sizeof(item), "0x%02x,", bytes[i]);
    out += (i % 12 == 0) ? "\n  " : " ";
    out += item;
  }
  out += "\n";
}

// Written whole or not at all (support/write.h), so that a half-written
// file never looks like a key.
static void writePrivate(const std::string& path, const std::string& text) {
  char reason[1024];
  if (KestrovanFiles_writeWhole(path.c_str(), text.data(), text.size(), 0600, reason, sizeof(reason)) !=
      KESTROVAN_WRITE_DONE) {
    fprintf(stderr, "kestrovan_keygen: %s\n", reason);
    exit(1);
  }
}

// A fresh P-256 key (*x509) and its PKCS #8 PEM text in padded, padded with
// line ends to kPaddedKeyLength.
static void newKey(gnutls_x509_privkey_t* x509, char (&padded)[kLongestKeyLength + 1]) {
  int rc;
  if ((rc = gnutls_x509_privkey_init(x509)) < 0)
    fail("gnutls_x509_privkey_init", rc);
  if ((rc = gnutls_x509_privkey_generate(*x509, GNUTLS_PK_ECDSA,
                                         GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0)) < 0)
    fail("gnutls_x509_privkey_generate", rc);
  gnutls_datum_t pem = {nullptr, 0};
  if ((rc = gnutls_x509_privkey_export2_pkcs8(*x509, GNUTLS_X509_FMT_PEM, nullptr, GNUTLS_PKCS_PLAIN, &pem)) < 0)
    fail("gnutls_x509_privkey_export2_pkcs8", rc);
  if (pem.size > kLongestKeyLength)
    fail("private key text longer than the sealed block allows", GNUTLS_E_SHORT_MEMORY_BUFFER);
  memset(padded, '\n', kPaddedKeyLength);
  memcpy(padded, pem.data, pem.size);
  size_t paddedLength = pem.size > kPaddedKeyLength ? pem.size : kPaddedKeyLength;
  padded[paddedLength] = '\0';
  secureWipe(pem.data, pem.size);
  gnutls_free(pem.data);
}

// The source of key_material.cpp: padded sealed with a fresh opening key
// (proved to open again before anything is written), its IV and the table
// of scattered shares the opening key is rebuilt from.
static std::string sealedMaterial(const char* padded) {
  unsigned char opening[KESTROVAN_OPENING_KEY_SIZE];
  unsigned char iv[KESTROVAN_KEY_IV_SIZE];
  unsigned char shares[2][KESTROVAN_OPENING_KEY_SIZE];
  int rc;
  if ((rc = gnutls_rnd(GNUTLS_RND_KEY, opening, sizeof(opening))) < 0 ||
      (rc = gnutls_rnd(GNUTLS_RND_NONCE, iv, sizeof(iv))) < 0 ||
      (rc = gnutls_rnd(GNUTLS_RND_KEY, shares, sizeof(shares))) < 0)
    fail("gnutls_rnd", rc);

  unsigned long sealedLength = 0;
  unsigned char* sealed = (unsigned char*)AES256_Encrypt_CBC((const unsigned char*)padded, opening, iv, &sealedLength);
  if (sealed == nullptr || sealedLength != KESTROVAN_SEALED_KEY_SIZE)
    fail("sealing the private key", GNUTLS_E_ENCRYPTION_FAILED);

  int openedLength = 0;
  char* opened = (char*)AES256_Decrypt_CBC(sealed, sealedLength, opening, iv, openedLength);
  if (opened == nullptr || strcmp(opened, padded) != 0)
    fail("opening the sealed key again", GNUTLS_E_DECRYPTION_FAILED);
  freeSecret(opened);

  unsigned char table[KESTROVAN_KEY_TABLE_SIZE];
  for (size_t i = 0; i < KESTROVAN_OPENING_KEY_SIZE; i++) {
    unsigned char third = (unsigned char)(opening[i] ^ shares[0][i] ^ shares[1][i]);
    table[KestrovanKeyMaterial_slot(0, i)] = KestrovanKeyMaterial_rotate(shares[0][i], i);
    table[KestrovanKeyMaterial_slot(1, i)] = shares[1][i];
    table[KestrovanKeyMaterial_slot(2, i)] = third;
  }

  std::string material =
      "// Generated by kestrovan_keygen for this build tree only. Never commit.\n"
      "#include \"service/key_material.h\"\n\n"
      "const unsigned char KestrovanKeyMaterial_sealed[KESTROVAN_SEALED_KEY_SIZE] = {";
  appendBytes(material, sealed, sealedLength);
  material += "};\n\nconst unsigned char KestrovanKeyMaterial_iv[KESTROVAN_KEY_IV_SIZE] = {";
  appendBytes(material, iv, sizeof(iv));
  material += "};\n\nconst unsigned char KestrovanKeyMaterial_table[KESTROVAN_KEY_TABLE_SIZE] = {";
  appendBytes(material, table, sizeof(table));
  material += "};\n";

  secureWipe(opening, sizeof(opening));
  secureWipe(shares, sizeof(shares));
  secureWipe(table, sizeof(table));
  secureWipe(sealed, sealedLength);
  free(sealed);
  return material;
}

// The source of public_key.cpp: the key's public half as a PEM text.
static std::string publicKeySource(gnutls_x509_privkey_t x509) {
  gnutls_privkey_t privkey = nullptr;
  gnutls_pubkey_t pubkey = nullptr;
  gnutls_datum_t publicPem = {nullptr, 0};
  int rc;
  if ((rc = gnutls_privkey_init(&privkey)) < 0 ||
      (rc = gnutls_privkey_import_x509(privkey, x509, GNUTLS_PRIVKEY_IMPORT_COPY)) < 0 ||
      (rc = gnutls_pubkey_init(&pubkey)) < 0 ||
      (rc = gnutls_pubkey_import_privkey(pubkey, privkey, 0, 0)) < 0 ||
      (rc = gnutls_pubkey_export2(pubkey, GNUTLS_X509_FMT_PEM, &publicPem)) < 0)
    fail("exporting the public key", rc);
  std::string publicText =
      "// Generated by kestrovan_keygen for this build tree: the server's public key.\n"
      "#include \"service/key_material.h\"\n\n"
      "const char KestrovanKeyMaterial_publicKey[] =\n";
  std::string line;
  for (unsigned i = 0; i < publicPem.size; i++) {
    char c = (char)publicPem.data[i];
    if (c == '\n') {
      publicText += "    \"" + line + "\\n\"\n";
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty())
    publicText += "    \"" + line + "\"\n";
  publicText += "    ;\n";
  gnutls_free(publicPem.data);
  gnutls_pubkey_deinit(pubkey);
  gnutls_privkey_deinit(privkey);
  return publicText;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: kestrovan_keygen OUTPUT_FOLDER\n");
    return 2;
  }
  std::string folder = argv[1];
  std::string materialPath = folder + "/key_material.cpp";
  std::string publicPath = folder + "/public_key.cpp";
  if (exists(materialPath) && exists(publicPath)) {
    printf("kestrovan_keygen: this build tree already has its key\n");
    return 0;
  }
  std::string command = "mkdir -p '" + folder + "'";
  if (folder.find('\'') != std::string::npos || system(command.c_str()) != 0)
    fail(folder.c_str(), 0);
  chmod(folder.c_str(), 0700);

  int rc = gnutls_global_init();
  if (rc < 0)
    fail("gnutls_global_init", rc);

  gnutls_x509_privkey_t x509 = nullptr;
  char padded[kLongestKeyLength + 1];
  newKey(&x509, padded);
  std::string material = sealedMaterial(padded);
  std::string publicText = publicKeySource(x509);

  writePrivate(publicPath, publicText);
  writePrivate(materialPath, material);
  secureWipe(&material[0], material.size());

  gnutls_x509_privkey_deinit(x509);
  secureWipe(padded, sizeof(padded));
  gnutls_global_deinit();
  printf("kestrovan_keygen: made this build tree's key in %s\n", folder.c_str());
  return 0;
}
