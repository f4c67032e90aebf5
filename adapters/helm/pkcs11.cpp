// SPDX-License-Identifier: Apache-2.0
// pkcs11.cpp -- PKCS #11 tokens: every module registered with p11-kit,
// reached through GnuTLS (trust modules, which hold CA certificates, are
// skipped). GnuTLS loads the modules at the first call that needs them (a
// listing or a key), not at unlock. A token key is used on the token; it
// never leaves it. A login is made with the PIN for every operation and
// ends with it, under the per-user token lock.
#include "helm.h"
#include "store.h"

#include <gnutls/pkcs11.h>

#include <cstring>

// Every use of the tokens by every loaded copy of this adapter (each session
// has its own, and they run on different threads) takes this per-user lock:
// listing as well as signing. A PKCS #11 login belongs to the whole process
// and lasts while any session with the token is open, so a session opened by
// another copy while a key is in use would keep that login alive after the
// key is closed, and the next page's PIN would never be checked. Under the
// lock a key's session is the only one, and closing it logs out.
int HelmToken_Lock() { return HelmLock_Take("token.lock", -1); }

void HelmToken_Unlock(int fd) { HelmLock_Release(fd); }

// ---- PKCS #11 tokens ---------------------------------------------------------

static std::string tokenInfo(const char* url, gnutls_pkcs11_token_info_t what) {
  char buffer[256];
  size_t size = sizeof buffer;
  if (gnutls_pkcs11_token_get_info(url, what, buffer, &size) < 0) return std::string();
  return std::string(buffer, strnlen(buffer, sizeof buffer));
}

static std::vector<unsigned char> objectInfo(gnutls_pkcs11_obj_t obj, gnutls_pkcs11_obj_info_t what) {
  unsigned char buffer[1024];
  size_t size = sizeof buffer;
  if (gnutls_pkcs11_obj_get_info(obj, what, buffer, &size) < 0) return std::vector<unsigned char>();
  if (what == GNUTLS_PKCS11_OBJ_LABEL) size = strnlen(reinterpret_cast<char*>(buffer), size);
  return std::vector<unsigned char>(buffer, buffer + size);
}

static void listToken(const char* tokenUrl, std::vector<HelmCertificate>* certificates,
                      std::vector<HelmProblem>* problems) {
  gnutls_pkcs11_obj_t* objects = nullptr;
  unsigned count = 0;
  std::string label = tokenInfo(tokenUrl, GNUTLS_PKCS11_TOKEN_LABEL);
  int ret = gnutls_pkcs11_obj_list_import_url4(&objects, &count, tokenUrl, GNUTLS_PKCS11_OBJ_FLAG_CRT);
  if (ret < 0) {
    problems->push_back({"token " + label, HELM_E_TOKEN, std::string("cannot list: ") + gnutls_strerror(ret)});
    return;
  }
  for (unsigned i = 0; i < count; i++) {
    if (i < HELM_MAX_TOKEN_CERTIFICATES) {
      gnutls_datum_t d = {nullptr, 0};
      if (gnutls_pkcs11_obj_export2(objects[i], &d) >= 0) {
        HelmCertificate entry;
        entry.kind = HELM_LOCATION_PKCS11;
        entry.der.assign(d.data, d.data + d.size);
        gnutls_free(d.data);
        gnutls_x509_crt_t crt = nullptr;
        if (HelmStore_ImportCertificate(entry.der, &crt)) {
          if (!HelmStore_IsCa(crt)) {
            entry.id = "tok-" + HelmStore_Fingerprint(entry.der);
            entry.tokenUrl = tokenUrl;
            entry.tokenLabel = label;
            entry.objectId = objectInfo(objects[i], GNUTLS_PKCS11_OBJ_ID);
            std::vector<unsigned char> objectLabel = objectInfo(objects[i], GNUTLS_PKCS11_OBJ_LABEL);
            entry.objectLabel.assign(objectLabel.begin(), objectLabel.end());
            certificates->push_back(std::move(entry));
          }
          gnutls_x509_crt_deinit(crt);
        }
      }
    }
    gnutls_pkcs11_obj_deinit(objects[i]);
  }
  gnutls_free(objects);
}

void HelmToken_List(std::vector<HelmCertificate>* certificates, std::vector<HelmProblem>* problems) {
  for (unsigned seq = 0; seq < 256; seq++) {
    char* url = nullptr;
    int ret = gnutls_pkcs11_token_get_url(seq, GNUTLS_PKCS11_URL_GENERIC, &url);
    if (ret == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE) break;
    if (ret < 0) {
      problems->push_back({"PKCS #11", HELM_E_TOKEN, gnutls_strerror(ret)});
      break;
    }
    unsigned flags = 0;
    if (gnutls_pkcs11_token_get_flags(url, &flags) >= 0 && (flags & GNUTLS_PKCS11_TOKEN_TRUSTED) == 0 &&
        (flags & GNUTLS_PKCS11_TOKEN_INITIALIZED) != 0) {
      listToken(url, certificates, problems);
    }
    gnutls_free(url);
  }
}

// Gives the page's PIN once per use of the key. A repeated request within
// one login means the token refused it: answering again would only spend the
// token's remaining tries.
static int pinCallback(void* userdata, int attempt, const char* tokenUrl, const char* tokenLabel, unsigned flags,
                       char* pin, size_t pinMax) {
  (void)tokenUrl;
  (void)tokenLabel;
  HelmKey* key = static_cast<HelmKey*>(userdata);
  key->pinCalls++;
  if (attempt > 0 || (flags & (GNUTLS_PIN_WRONG | GNUTLS_PIN_SO)) != 0) return -1;
  size_t length = strnlen(key->pin, sizeof key->pin);
  if (length + 1 > pinMax) return -1;
  memcpy(pin, key->pin, length + 1);
  return 0;
}

static std::string percentEncode(const unsigned char* data, size_t length) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < length; i++) {
    out.push_back('%');
    out.push_back(kHex[data[i] >> 4]);
    out.push_back(kHex[data[i] & 15]);
  }
  return out;
}

int HelmToken_OpenKey(const HelmCertificate* c, HelmKey* out, std::string* message) {
  unsigned flags = 0;
  int ret = gnutls_pkcs11_token_get_flags(c->tokenUrl.c_str(), &flags);
  if (ret < 0) {
    *message = "token " + c->tokenLabel + " is not available";
    return HELM_E_TOKEN;
  }
  if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_LOCKED) {
    *message = "the PIN of token " + c->tokenLabel + " is locked";
    return HELM_E_TOKEN_LOCKED;
  }
  // A reader with its own keypad: the PIN is typed there, no PIN is asked.
  bool pinPad = (flags & GNUTLS_PKCS11_TOKEN_PROTECTED_AUTHENTICATION_PATH) != 0;
  std::string url = c->tokenUrl;
  if (!c->objectId.empty()) {
    url += ";id=" + percentEncode(c->objectId.data(), c->objectId.size());
  } else if (!c->objectLabel.empty()) {
    url += ";object=" + percentEncode(reinterpret_cast<const unsigned char*>(c->objectLabel.data()),
                                      c->objectLabel.size());
  } else {
    *message = "the certificate on token " + c->tokenLabel + " has no id to find its key by";
    return HELM_E_KEY_NOT_FOUND;
  }
  url += ";type=private";

  gnutls_pkcs11_privkey_t tokenKey = nullptr;
  if (gnutls_pkcs11_privkey_init(&tokenKey) < 0) return HELM_E_INTERNAL;
  gnutls_pkcs11_privkey_set_pin_function(tokenKey, pinCallback, out);
  // Log in even for a key the token would use without: every operation is
  // authorised by the PIN the page was given.
  ret = gnutls_pkcs11_privkey_import_url(tokenKey, url.c_str(), GNUTLS_PKCS11_OBJ_FLAG_LOGIN);
  if (ret >= 0 && out->pinCalls == 0 && !pinPad) {
    // Already logged in by someone else in this process: the PIN cannot be
    // checked, so nothing is signed. (A keypad login never asks us: there
    // the token lock, under which every session of ours was closed, is what
    // keeps an earlier login out.)
    gnutls_pkcs11_privkey_deinit(tokenKey);
    *message = "token " + c->tokenLabel + " is in use by another program in this process";
    return HELM_E_TOKEN;
  }
  if (ret < 0) {
    gnutls_pkcs11_privkey_deinit(tokenKey);
    unsigned after = 0;
    bool flagsKnown = gnutls_pkcs11_token_get_flags(c->tokenUrl.c_str(), &after) >= 0;
    if (ret == GNUTLS_E_PKCS11_PIN_LOCKED || (flagsKnown && (after & GNUTLS_PKCS11_TOKEN_USER_PIN_LOCKED))) {
      *message = "the PIN of token " + c->tokenLabel + " is locked";
      return HELM_E_TOKEN_LOCKED;
    }
    if (pinPad && ret == GNUTLS_E_PKCS11_ERROR) {
      // GnuTLS tells a keypad's refusal from its cancel by nothing.
      *message = "the reader did not accept a PIN (a wrong PIN, or the entry was cancelled on the reader)";
      return HELM_E_WRONG_PIN;
    }
    if (ret == GNUTLS_E_PKCS11_PIN_ERROR || ret == GNUTLS_E_PKCS11_PIN_EXPIRED) {
      *message = "wrong PIN";
      if (flagsKnown && (after & GNUTLS_PKCS11_TOKEN_USER_PIN_FINAL_TRY)) *message += "; one try left before the token locks";
      else if (flagsKnown && (after & GNUTLS_PKCS11_TOKEN_USER_PIN_COUNT_LOW)) *message += "; few tries left";
      return HELM_E_WRONG_PIN;
    }
    if (ret == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE || ret == GNUTLS_E_PKCS11_REQUESTED_OBJECT_NOT_AVAILBLE) {
      *message = "no private key for this certificate on token " + c->tokenLabel;
      return HELM_E_KEY_NOT_FOUND;
    }
    *message = std::string("token ") + c->tokenLabel + ": " + gnutls_strerror(ret);
    return HELM_E_TOKEN;
  }
  if (gnutls_privkey_init(&out->key) < 0) {
    gnutls_pkcs11_privkey_deinit(tokenKey);
    return HELM_E_INTERNAL;
  }
  ret = gnutls_privkey_import_pkcs11(out->key, tokenKey, GNUTLS_PRIVKEY_IMPORT_AUTO_RELEASE);
  if (ret < 0) {
    gnutls_pkcs11_privkey_deinit(tokenKey);
    gnutls_privkey_deinit(out->key);
    out->key = nullptr;
    *message = gnutls_strerror(ret);
    return HELM_E_TOKEN;
  }
  return HELM_OK;
}

// The token's flags, read under the token lock; false when it cannot be reached.
bool HelmToken_Flags(const HelmCertificate* c, unsigned* flags) {
  int lock = HelmToken_Lock();
  bool ok = gnutls_pkcs11_token_get_flags(c->tokenUrl.c_str(), flags) >= 0;
  HelmToken_Unlock(lock);
  return ok;
}
