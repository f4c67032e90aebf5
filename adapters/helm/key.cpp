// SPDX-License-Identifier: Apache-2.0
// key.cpp -- one key's life for one operation: made empty, opened with one
// PIN on its token or from its file, closed (the PIN wiped, the token's
// lock given back). The PIN loop (pin.cpp) and the page's PIN (store.cpp)
// both come here to try a PIN.
#include "helm.h"
#include "store.h"

#include <gnutls/pkcs11.h>

#include <cstring>

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

void HelmKey_Close(HelmKey* key) {
  if (key->key != nullptr) gnutls_privkey_deinit(key->key);  // ends the token session and its login
  if (key->certificate != nullptr) gnutls_x509_crt_deinit(key->certificate);
  key->key = nullptr;
  key->certificate = nullptr;
  HelmToken_Unlock(key->lock);
  key->lock = -1;
  Helm_Wipe(key->pin, sizeof key->pin);
}
