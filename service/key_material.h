// SPDX-License-Identifier: Apache-2.0
// key_material.h -- what the build's key generator (tools/keygen) writes into
// a source file of the build tree: the server's private key sealed with
// AES256_Encrypt_CBC, its IV, the obfuscated table the opening key is rebuilt
// from, and the public key (to recognise a certificate an earlier
// installation made for it: the only case the service uses this key in, see
// key.h). No key is in the repository; each build tree makes its own once.
#ifndef KESTROVAN_SERVICE_KEY_MATERIAL_H
#define KESTROVAN_SERVICE_KEY_MATERIAL_H

#include <cstddef>

#define KESTROVAN_SEALED_KEY_SIZE 320
#define KESTROVAN_KEY_IV_SIZE 16
#define KESTROVAN_OPENING_KEY_SIZE 32
// Three shares of the opening key, stored scattered (see keyguard.cpp).
#define KESTROVAN_KEY_TABLE_SIZE (3 * KESTROVAN_OPENING_KEY_SIZE)

extern const unsigned char KestrovanKeyMaterial_sealed[KESTROVAN_SEALED_KEY_SIZE];
extern const unsigned char KestrovanKeyMaterial_iv[KESTROVAN_KEY_IV_SIZE];
extern const unsigned char KestrovanKeyMaterial_table[KESTROVAN_KEY_TABLE_SIZE];

// The public key, PEM (SubjectPublicKeyInfo). Not secret.
extern const char KestrovanKeyMaterial_publicKey[];

// Where share s, byte i of the opening key sits in the table, and how it is
// stored there. Used by the generator and by the rebuild, so both agree.
inline size_t KestrovanKeyMaterial_slot(size_t share, size_t index) {
  // 37 is coprime with 96: a permutation of the table.
  return (share * KESTROVAN_OPENING_KEY_SIZE + index) * 37 % KESTROVAN_KEY_TABLE_SIZE;
}
inline unsigned char KestrovanKeyMaterial_rotate(unsigned char value, size_t index) {
  unsigned shift = (unsigned)(index % 7) + 1;
  return (unsigned char)((value << shift) | (value >> (8 - shift)));
}
inline unsigned char KestrovanKeyMaterial_unrotate(unsigned char value, size_t index) {
  unsigned shift = (unsigned)(index % 7) + 1;
  return (unsigned char)((value >> shift) | (value << (8 - shift)));
}

#endif
