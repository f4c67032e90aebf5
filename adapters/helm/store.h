// SPDX-License-Identifier: Apache-2.0
// store.h -- what the certificate store's files (store.cpp, certificate.cpp,
// pkcs11.cpp, pkcs12.cpp, pin.cpp) share among themselves; the rest of the
// adapter uses the store through helm.h.
#ifndef KESTROVAN_ADAPTERS_HELM_STORE_H
#define KESTROVAN_ADAPTERS_HELM_STORE_H

#include "helm.h"

// ---- shared helpers (store.cpp) ----------------------------------------------

// The certificate's SHA-256, hex; "" on failure.
std::string HelmStore_Fingerprint(const std::vector<unsigned char>& der);
// A parsed DER certificate the caller deinits; false when it does not parse.
bool HelmStore_ImportCertificate(const std::vector<unsigned char>& der, gnutls_x509_crt_t* out);
bool HelmStore_IsCa(gnutls_x509_crt_t crt);
bool HelmStore_ExportDer(gnutls_x509_crt_t crt, std::vector<unsigned char>* der);
// A whole regular file of at most max bytes: HELM_OK, or
// HELM_E_PKCS12_UNREADABLE with *message saying why.
int HelmStore_ReadFile(const std::string& path, size_t max, std::vector<unsigned char>* out, std::string* message);
std::string HelmStore_BaseName(const std::string& path);
// One try with one PIN (validity and purpose checked by the caller).
int HelmKey_OpenOnce(const HelmCertificate* c, const char* pin, HelmKey* out, std::string* message);

// ---- PKCS #11 tokens (pkcs11.cpp) ------------------------------------------------

// The per-user "token.lock", taken by every use of the tokens (listing as
// well as signing); the descriptor, released with HelmToken_Unlock.
int HelmToken_Lock();
void HelmToken_Unlock(int fd);
// Appends the end-entity certificates of every initialized token that is
// not a trust module (the caller holds the token lock).
void HelmToken_List(std::vector<HelmCertificate>* certificates, std::vector<HelmProblem>* problems);
// Logs in with out->pin and opens the certificate's key on its token (the
// caller holds the token lock in out->lock).
int HelmToken_OpenKey(const HelmCertificate* c, HelmKey* out, std::string* message);
// The token's flags, read under the token lock; false when it cannot be reached.
bool HelmToken_Flags(const HelmCertificate* c, unsigned* flags);

// ---- PKCS #12 files (pkcs12.cpp) ---------------------------------------------

void HelmPkcs12_List(std::vector<HelmCertificate>* certificates, std::vector<HelmProblem>* problems);
// Decrypts the file's key with pin; *matched is its certificate (checked to
// be the listed one). The caller deinits both.
int HelmPkcs12_OpenKey(const HelmCertificate* c, const char* pin, gnutls_privkey_t* key, gnutls_x509_crt_t* matched,
                       std::string* message);

// ---- the PIN dialog's loop (pin.cpp) -----------------------------------------------

int HelmPin_OpenWithDialog(const HelmCertificate* c, gnutls_x509_crt_t crt, const HelmPinSource* source,
                           HelmKey* out, std::string* message);

#endif
