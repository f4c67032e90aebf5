// SPDX-License-Identifier: Apache-2.0
// key_file.h -- the user's own server key on disk: read only when the file
// can be trusted, and the public key of a PEM text, for telling which key a
// certificate is for. Shared by the service (which loads the key) and the
// provisioning command (which makes it); links support/ and GnuTLS only.
#ifndef KESTROVAN_SERVICE_KEY_FILE_H
#define KESTROVAN_SERVICE_KEY_FILE_H

#include <cstddef>
#include <string>

#include "service/user_folder.h"

// A P-256 key in PEM is about 250 bytes; anything much larger is no key file.
#define KESTROVAN_KEY_FILE_LONGEST 16384

// Reads the private key file at path, trusted the way OpenSSH trusts a key
// file: a regular file owned by this process's user that neither group nor
// others may read, write or run, in a folder (not a link) of this user's
// that neither group nor others may write. Returns the file's text (heap,
// release with freeSecret), or null with the reason, naming the path, in
// reason (always terminated; reasonSize > 0).
char* KestrovanKeyFile_read(const char* path, char* reason, size_t reasonSize);

// Why KestrovanKeyFile_check refused a key file.
enum KestrovanKeyFileRefusal {
  KESTROVAN_KEY_FILE_TRUSTED = 0,
  KESTROVAN_KEY_FILE_FOLDER,       // its folder is a link, not the user's, or others may write it
  KESTROVAN_KEY_FILE_MISSING,      // it cannot be opened (no such file, no permission)
  KESTROVAN_KEY_FILE_NOT_REGULAR,
  KESTROVAN_KEY_FILE_NOT_OWN,      // owned by another user
  KESTROVAN_KEY_FILE_OPEN_MODE,    // group or others may use it
  KESTROVAN_KEY_FILE_SIZE,         // empty or too large
  KESTROVAN_KEY_FILE_UNREADABLE,   // no memory, a short read, or not text
};

// KestrovanKeyFile_read with the refusal's kind in *refusal (not null), and
// the file's mode and owner in *mode and *owner once it was opened (either
// may be null).
char* KestrovanKeyFile_check(const char* path, KestrovanKeyFileRefusal* refusal, unsigned* mode, unsigned* owner,
                             char* reason, size_t reasonSize);

// Which key the service serves the certificate text cert with: the key
// built into the program when cert certifies it (builtInPublicKeyPem is its
// public key), else the user's key file. *certified gets cert's public key
// (DER), empty when cert holds none.
enum KestrovanKeyChoice { KESTROVAN_KEY_BUILT_IN, KESTROVAN_KEY_USER_FILE };
KestrovanKeyChoice KestrovanKeyFile_choose(const std::string& cert, const char* builtInPublicKeyPem,
                                           std::string* certified);

// The public key of a PEM text, as DER SubjectPublicKeyInfo: of its private
// key when it holds one (and nothing else then), else of its first
// certificate, else of a public key. False when the text holds none of these.
bool KestrovanKeyFile_publicKey(const char* pem, size_t length, std::string* der);

#endif
