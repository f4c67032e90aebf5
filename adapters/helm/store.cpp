// SPDX-License-Identifier: Apache-2.0
// store.cpp -- where the user's signing certificates and keys live, and the
// opening of one key for one operation: the helpers the store's files share,
// listing and finding, and the key's opening and closing. The tokens are in
// pkcs11.cpp, the files in pkcs12.cpp, certificate details in
// certificate.cpp, and the PIN dialog's loop in pin.cpp.
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

// ---- small GnuTLS helpers ----------------------------------------------------

gnutls_datum_t HelmStore_Datum(const std::vector<unsigned char>& bytes) {
  gnutls_datum_t d;
  d.data = const_cast<unsigned char*>(bytes.data());
  d.size = (unsigned)bytes.size();
  return d;
}

std::string HelmStore_Fingerprint(const std::vector<unsigned char>& der) {
  unsigned char digest[32];
  if (gnutls_hash_fast(GNUTLS_DIG_SHA256, der.data(), der.size(), digest) < 0) return std::string();
  return HelmJson_Hex(digest, sizeof digest, false);
}

bool HelmStore_ImportCertificate(const std::vector<unsigned char>& der, gnutls_x509_crt_t* out) {
  if (gnutls_x509_crt_init(out) < 0) return false;
  gnutls_datum_t d = HelmStore_Datum(der);
  if (gnutls_x509_crt_import(*out, &d, GNUTLS_X509_FMT_DER) < 0) {
    gnutls_x509_crt_deinit(*out);
    *out = nullptr;
    return false;
  }
  return true;
}

bool HelmStore_IsCa(gnutls_x509_crt_t crt) {
  unsigned critical = 0, ca = 0;
  int pathLength = 0;
  int ret = gnutls_x509_crt_get_basic_constraints(crt, &critical, &ca, &pathLength);
  return ret >= 0 && ca != 0;
}

bool HelmStore_ExportDer(gnutls_x509_crt_t crt, std::vector<unsigned char>* der) {
  gnutls_datum_t d = {nullptr, 0};
  if (gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_DER, &d) < 0) return false;
  der->assign(d.data, d.data + d.size);
  gnutls_free(d.data);
  return true;
}

// Reads a whole regular file of at most max bytes; *message says why not.
int HelmStore_ReadFile(const std::string& path, size_t max, std::vector<unsigned char>* out, std::string* message) {
  out->clear();
  std::string bytes;
  int error = 0;
  switch (HelmFiles_Read(path, max, nullptr, &bytes, &error)) {
    case HELM_FILE_READ:
      out->assign(bytes.begin(), bytes.end());
      return HELM_OK;
    case HELM_FILE_CANNOT_OPEN:
      *message = std::string("cannot open: ") + strerror(error);
      break;
    case HELM_FILE_TOO_LARGE:
      *message = "larger than " + std::to_string(max) + " bytes";
      break;
    case HELM_FILE_CANNOT_READ:
      *message = std::string("cannot read: ") + strerror(error);
      break;
    default:
      *message = "not a regular file";
      break;
  }
  return HELM_E_PKCS12_UNREADABLE;
}

std::string HelmStore_BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

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

void HelmKey_Init(HelmKey* key) {
  key->key = nullptr;
  key->certificate = nullptr;
  key->lock = -1;
  key->pinCalls = 0;
  Helm_Wipe(key->pin, sizeof key->pin);
}

// One try with one PIN: validity and the purpose were checked by the caller.
int HelmKey_OpenOnce(const HelmCertificate* c, const char* pin, HelmKey* out, std::string* message) {
  HelmKey_Init(out);
  size_t pinLength = strlen(pin);
  if (pinLength > HELM_MAX_PIN_BYTES) {
    *message = "the PIN is too long";
    return HELM_E_BAD_PARAMETER;
  }
  gnutls_x509_crt_t crt = nullptr;
  if (!HelmStore_ImportCertificate(c->der, &crt)) {
    *message = "the certificate cannot be parsed";
    return HELM_E_UNKNOWN_CERTIFICATE;
  }
  if (c->kind == HELM_LOCATION_PKCS11) {
    memcpy(out->pin, pin, pinLength + 1);
    // Held until the key is closed: the token stays logged in that long.
    out->lock = HelmToken_Lock();
    int code = HelmToken_OpenKey(c, out, message);
    if (code != HELM_OK) {
      gnutls_x509_crt_deinit(crt);
      HelmKey_Close(out);
      return code;
    }
    out->certificate = crt;
    return HELM_OK;
  }
  gnutls_x509_crt_t matched = nullptr;
  int code = HelmPkcs12_OpenKey(c, pin, &out->key, &matched, message);
  gnutls_x509_crt_deinit(crt);
  if (code != HELM_OK) return code;
  out->certificate = matched;
  return HELM_OK;
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

void HelmKey_Close(HelmKey* key) {
  if (key->key != nullptr) gnutls_privkey_deinit(key->key);  // ends the token session and its login
  if (key->certificate != nullptr) gnutls_x509_crt_deinit(key->certificate);
  key->key = nullptr;
  key->certificate = nullptr;
  HelmToken_Unlock(key->lock);
  key->lock = -1;
  Helm_Wipe(key->pin, sizeof key->pin);
}
