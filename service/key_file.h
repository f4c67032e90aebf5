// key_file.h -- the user's own server key on disk: read only when the file
// can be trusted, and the public key of a PEM text, for telling which key a
// certificate is for. Shared by the service (which loads the key) and the
// provisioning command (which makes it); links support/ and GnuTLS only.
#ifndef KESTROVAN_SERVICE_KEY_FILE_H
#define KESTROVAN_SERVICE_KEY_FILE_H

#include <cstddef>
#include <string>

// The key file's name in the user's folder ($HOME/NORTAKestrovan).
#define KESTROVAN_KEY_FILE_NAME "key.pem"

// A P-256 key in PEM is about 250 bytes; anything much larger is no key file.
#define KESTROVAN_KEY_FILE_LONGEST 16384

// Reads the private key file at path, trusted the way OpenSSH trusts a key
// file: a regular file owned by this process's user that neither group nor
// others may read, write or run, in a folder (not a link) of this user's
// that neither group nor others may write. Returns the file's text (heap,
// release with freeSecret), or null with the reason, naming the path, in
// reason (always terminated; reasonSize > 0).
char* KestrovanKeyFile_read(const char* path, char* reason, size_t reasonSize);

// The public key of a PEM text, as DER SubjectPublicKeyInfo: of its private
// key when it holds one (and nothing else then), else of its first
// certificate, else of a public key. False when the text holds none of these.
bool KestrovanKeyFile_publicKey(const char* pem, size_t length, std::string* der);

#endif
