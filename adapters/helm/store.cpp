// SPDX-License-Identifier: Apache-2.0
// store.cpp -- where the user's signing certificates and keys live, and the
// opening of one key for one operation: listing and finding, and where a
// key's PIN comes from. The tokens are in pkcs11.cpp, the files in
// pkcs12.cpp, certificate details in certificate.cpp, the PIN dialog's loop
// in pin.cpp, one try at opening a key in key.cpp, and the helpers the
// store's files share in x509.cpp.
//
// Nothing is read at unlock: the PKCS #11 modules and the key folder are
// first reached by the call that needs them.
#include "helm.h"
#include "store.h"

#include <gnutls/pkcs11.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <strings.h>

// ---- listing and finding ----------------------------------------------------

static void removeDuplicates(std::vector<HelmCertificate>* certificates) {
  std::vector<HelmCertificate> unique;
  for (auto& c : *certificates) {
    bool seen = false;
    for (const auto& u : unique) seen = seen || u.id == c.id;
    if (!seen) unique.push_back(std::move(c));
  }
  certificates->swap(unique);
}

int HelmStore_List(std::vector<HelmCertificate>* certificates, std::vector<HelmProblem>* problems) {
  certificates->clear();
  problems->clear();
  int lock = HelmToken_Lock();
  HelmToken_List(certificates, problems);
  HelmToken_Unlock(lock);
  HelmPkcs12_List(certificates, problems);
  removeDuplicates(certificates);
  return HELM_OK;
}

// The SHA-256 key id of a certificate's public key; false when unreadable.
static bool publicKeyId(gnutls_x509_crt_t crt, std::vector<unsigned char>* id) {
  unsigned char buffer[64];
  size_t size = sizeof buffer;
  if (gnutls_x509_crt_get_key_id(crt, GNUTLS_KEYID_USE_SHA256, buffer, &size) < 0) return false;
  id->assign(buffer, buffer + size);
  return true;
}

bool HelmStore_KeyServesAuthentication(gnutls_x509_crt_t crt, const HelmSettings* settings) {
  std::vector<unsigned char> mine;
  if (!publicKeyId(crt, &mine)) return true;  // cannot tell: the safe answer
  std::vector<HelmCertificate> certificates;
  std::vector<HelmProblem> problems;
  HelmStore_List(&certificates, &problems);
  for (const HelmCertificate& c : certificates) {
    gnutls_x509_crt_t other = nullptr;
    if (!HelmStore_ImportCertificate(c.der, &other)) continue;
    std::vector<unsigned char> id;
    bool twin = publicKeyId(other, &id) && id == mine &&
                HelmCertificate_Role(other, settings) == HELM_ROLE_AUTHENTICATION;
    gnutls_x509_crt_deinit(other);
    if (twin) return true;
  }
  return false;
}

int HelmStore_Find(const std::string& id, HelmCertificate* out) {
  std::vector<HelmCertificate> certificates;
  std::vector<HelmProblem> problems;
  if (id.compare(0, 4, "tok-") == 0) {
    int lock = HelmToken_Lock();
    HelmToken_List(&certificates, &problems);
    HelmToken_Unlock(lock);
  } else if (id.compare(0, 4, "p12-") == 0) {
    HelmPkcs12_List(&certificates, &problems);
  }
  for (auto& c : certificates) {
    if (strcasecmp(c.id.c_str(), id.c_str()) == 0) {
      *out = std::move(c);
      return HELM_OK;
    }
  }
  return HELM_E_UNKNOWN_CERTIFICATE;
}

int HelmKey_Open(const HelmCertificate* c, const HelmPinSource* source, HelmKey* out, std::string* message) {
  HelmKey_Init(out);
  if (source->pagePin != nullptr && strlen(source->pagePin) > HELM_MAX_PIN_BYTES) {
    *message = "the PIN is too long";
    return HELM_E_BAD_PARAMETER;
  }
  gnutls_x509_crt_t crt = nullptr;
  if (!HelmStore_ImportCertificate(c->der, &crt)) {
    *message = "the certificate cannot be parsed";
    return HELM_E_UNKNOWN_CERTIFICATE;
  }
  // No PIN is spent, and no dialog shown, for a certificate that cannot serve.
  int code = HelmCertificate_CheckSigning(crt, time(nullptr), message);
  if (code == HELM_OK) code = HelmCertificate_CheckPurpose(crt, source->purpose, source->settings, message);
  if (code == HELM_OK && source->purpose != HELM_PURPOSE_AUTHENTICATE &&
      HelmStore_KeyServesAuthentication(crt, source->settings)) {
    *message = "another certificate of this key is for authentication: the key signs nothing a site chooses";
    code = HELM_E_NOT_FOR_SIGNING;
  }
  if (code == HELM_OK) {
    code = source->pagePin != nullptr ? HelmKey_OpenOnce(c, source->pagePin, out, message)
                                      : HelmPin_OpenWithDialog(c, crt, source, out, message);
  }
  gnutls_x509_crt_deinit(crt);
  return code;
}

