// SPDX-License-Identifier: Apache-2.0
// pkcs12.cpp -- PKCS #12 files ("*.p12", "*.pfx") in the per-user key
// folder (HelmPaths_KeyFolder), read when a listing or a key needs them.
// Listing needs the certificate without the password: it is taken from the
// file when stored unencrypted, else from a certificate file next to it with
// the same stem (".crt", ".pem" or ".cer"). The key is decrypted in memory
// for one operation only; GnuTLS wipes it on release.
#include "helm.h"
#include "store.h"

#include <gnutls/pkcs12.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <strings.h>

// ---- PKCS #12 files ----------------------------------------------------------

static bool hasSuffix(const std::string& name, const char* suffix) {
  size_t n = strlen(suffix);
  return name.size() > n && strcasecmp(name.c_str() + name.size() - n, suffix) == 0;
}

static bool importPkcs12(const std::vector<unsigned char>& file, gnutls_pkcs12_t* out) {
  if (gnutls_pkcs12_init(out) < 0) return false;
  gnutls_datum_t d = HelmStore_Datum(file);
  if (gnutls_pkcs12_import(*out, &d, GNUTLS_X509_FMT_DER, 0) >= 0) return true;
  if (gnutls_pkcs12_import(*out, &d, GNUTLS_X509_FMT_PEM, 0) >= 0) return true;
  gnutls_pkcs12_deinit(*out);
  *out = nullptr;
  return false;
}

// The end-entity certificate stored unencrypted in the file, preferring the
// one whose local key id is the key's. False when every certificate is
// encrypted.
static bool plainCertificate(gnutls_pkcs12_t p12, std::vector<unsigned char>* der) {
  std::vector<unsigned char> keyId;
  std::vector<std::pair<std::vector<unsigned char>, std::vector<unsigned char>>> certs;  // (key id, der)
  for (int i = 0; i < 64; i++) {
    gnutls_pkcs12_bag_t bag;
    if (gnutls_pkcs12_bag_init(&bag) < 0) break;
    int ret = gnutls_pkcs12_get_bag(p12, i, bag);
    if (ret < 0) {
      gnutls_pkcs12_bag_deinit(bag);
      break;
    }
    int count = gnutls_pkcs12_bag_get_count(bag);
    for (int j = 0; j < count && j < 64; j++) {
      int type = gnutls_pkcs12_bag_get_type(bag, (unsigned)j);
      gnutls_datum_t id = {nullptr, 0};
      bool hasId = gnutls_pkcs12_bag_get_key_id(bag, (unsigned)j, &id) >= 0 && id.data != nullptr;
      std::vector<unsigned char> idBytes;
      if (hasId) idBytes.assign(id.data, id.data + id.size);
      if (type == GNUTLS_BAG_PKCS8_ENCRYPTED_KEY || type == GNUTLS_BAG_PKCS8_KEY) {
        if (keyId.empty()) keyId = idBytes;
      } else if (type == GNUTLS_BAG_CERTIFICATE) {
        gnutls_datum_t data = {nullptr, 0};
        if (gnutls_pkcs12_bag_get_data(bag, (unsigned)j, &data) >= 0) {
          certs.emplace_back(idBytes, std::vector<unsigned char>(data.data, data.data + data.size));
        }
      }
    }
    gnutls_pkcs12_bag_deinit(bag);
  }
  const std::vector<unsigned char>* chosen = nullptr;
  for (const auto& c : certs) {
    gnutls_x509_crt_t crt = nullptr;
    if (!HelmStore_ImportCertificate(c.second, &crt)) continue;
    bool endEntity = !HelmStore_IsCa(crt);
    gnutls_x509_crt_deinit(crt);
    if (!keyId.empty() && c.first == keyId) {
      chosen = &c.second;
      break;
    }
    if (endEntity && chosen == nullptr) chosen = &c.second;
  }
  if (chosen == nullptr) return false;
  *der = *chosen;
  return true;
}

// The first end-entity certificate of "<stem>.crt", ".pem" or ".cer".
static bool sidecarCertificate(const std::string& pkcs12Path, std::vector<unsigned char>* der) {
  size_t dot = pkcs12Path.rfind('.');
  std::string stem = pkcs12Path.substr(0, dot);
  static const char* const kSuffixes[] = {".crt", ".pem", ".cer"};
  for (const char* suffix : kSuffixes) {
    std::vector<unsigned char> file;
    std::string ignored;
    if (HelmStore_ReadFile(stem + suffix, HELM_MAX_PKCS12_BYTES, &file, &ignored) != HELM_OK) continue;
    gnutls_datum_t d = HelmStore_Datum(file);
    gnutls_x509_crt_t* list = nullptr;
    unsigned count = 0;
    int ret = gnutls_x509_crt_list_import2(&list, &count, &d, GNUTLS_X509_FMT_PEM, 0);
    if (ret < 0) ret = gnutls_x509_crt_list_import2(&list, &count, &d, GNUTLS_X509_FMT_DER, 0);
    if (ret < 0) continue;
    bool found = false;
    for (unsigned i = 0; i < count; i++) {
      if (!found && !HelmStore_IsCa(list[i])) found = HelmStore_ExportDer(list[i], der);
      gnutls_x509_crt_deinit(list[i]);
    }
    gnutls_free(list);
    if (found) return true;
  }
  return false;
}

void HelmPkcs12_List(std::vector<HelmCertificate>* certificates, std::vector<HelmProblem>* problems) {
  std::string folder = HelmPaths_KeyFolder();
  if (folder.empty()) return;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;  // no key folder: no software keys
  std::vector<std::string> names;
  while (struct dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name[0] == '.') continue;
    if (hasSuffix(name, ".p12") || hasSuffix(name, ".pfx")) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  if (names.size() > HELM_MAX_PKCS12_FILES) {
    problems->push_back({folder, HELM_E_PKCS12_UNREADABLE,
                         "more than " + std::to_string(HELM_MAX_PKCS12_FILES) + " files; the rest are ignored"});
    names.resize(HELM_MAX_PKCS12_FILES);
  }
  for (const std::string& name : names) {
    std::string path = folder + "/" + name;
    std::vector<unsigned char> file;
    std::string message;
    if (HelmStore_ReadFile(path, HELM_MAX_PKCS12_BYTES, &file, &message) != HELM_OK) {
      problems->push_back({name, HELM_E_PKCS12_UNREADABLE, message});
      continue;
    }
    gnutls_pkcs12_t p12 = nullptr;
    if (!importPkcs12(file, &p12)) {
      problems->push_back({name, HELM_E_PKCS12_UNREADABLE, "not a PKCS #12 file"});
      continue;
    }
    HelmCertificate entry;
    entry.kind = HELM_LOCATION_PKCS12;
    entry.file = path;
    bool found = plainCertificate(p12, &entry.der) || sidecarCertificate(path, &entry.der);
    gnutls_pkcs12_deinit(p12);
    if (!found) {
      problems->push_back({name, HELM_E_PKCS12_UNREADABLE,
                           "its certificate is encrypted: place the certificate next to it as " +
                               name.substr(0, name.rfind('.')) + ".crt"});
      continue;
    }
    gnutls_x509_crt_t crt = nullptr;
    if (!HelmStore_ImportCertificate(entry.der, &crt)) {
      problems->push_back({name, HELM_E_PKCS12_UNREADABLE, "its certificate cannot be parsed"});
      continue;
    }
    gnutls_x509_crt_deinit(crt);
    entry.id = "p12-" + HelmStore_Fingerprint(entry.der);
    certificates->push_back(std::move(entry));
  }
}

int HelmPkcs12_OpenKey(const HelmCertificate* c, const char* pin, gnutls_privkey_t* key,
                         gnutls_x509_crt_t* matched, std::string* message) {
  std::vector<unsigned char> file;
  std::string why;
  std::string name = HelmStore_BaseName(c->file);
  if (HelmStore_ReadFile(c->file, HELM_MAX_PKCS12_BYTES, &file, &why) != HELM_OK) {
    *message = name + ": " + why;
    return HELM_E_PKCS12_UNREADABLE;
  }
  gnutls_pkcs12_t p12 = nullptr;
  if (!importPkcs12(file, &p12)) {
    *message = name + ": not a PKCS #12 file";
    return HELM_E_PKCS12_UNREADABLE;
  }
  int ret = gnutls_pkcs12_verify_mac(p12, pin);
  if (ret == GNUTLS_E_MAC_VERIFY_FAILED) {
    gnutls_pkcs12_deinit(p12);
    *message = "wrong password for " + name;
    return HELM_E_WRONG_PIN;
  }
  gnutls_x509_privkey_t privateKey = nullptr;
  gnutls_x509_crt_t* chain = nullptr;
  unsigned chainLength = 0;
  ret = gnutls_pkcs12_simple_parse(p12, pin, &privateKey, &chain, &chainLength, nullptr, nullptr, nullptr, 0);
  gnutls_pkcs12_deinit(p12);
  if (ret < 0) {
    if (ret == GNUTLS_E_DECRYPTION_FAILED || ret == GNUTLS_E_MAC_VERIFY_FAILED) {
      *message = "wrong password for " + name;
      return HELM_E_WRONG_PIN;
    }
    *message = name + ": " + gnutls_strerror(ret);
    return HELM_E_PKCS12_UNREADABLE;
  }
  int code = HELM_OK;
  std::vector<unsigned char> der;
  if (chainLength == 0 || privateKey == nullptr || !HelmStore_ExportDer(chain[0], &der)) {
    *message = name + " holds no certificate for its key";
    code = HELM_E_KEY_NOT_FOUND;
  } else if (der != c->der) {
    *message = "the certificate listed for " + name + " does not belong to its key";
    code = HELM_E_UNKNOWN_CERTIFICATE;
  }
  for (unsigned i = 0; i < chainLength; i++) {
    if (i == 0 && code == HELM_OK) {
      *matched = chain[0];
    } else {
      gnutls_x509_crt_deinit(chain[i]);
    }
  }
  gnutls_free(chain);
  if (code == HELM_OK && (gnutls_privkey_init(key) < 0 ||
                          gnutls_privkey_import_x509(*key, privateKey, GNUTLS_PRIVKEY_IMPORT_AUTO_RELEASE) < 0)) {
    if (*key != nullptr) gnutls_privkey_deinit(*key);
    *key = nullptr;
    code = HELM_E_INTERNAL;
  }
  if (code != HELM_OK) {
    if (privateKey != nullptr) gnutls_x509_privkey_deinit(privateKey);  // wipes the key material
    if (*matched != nullptr) {
      gnutls_x509_crt_deinit(*matched);
      *matched = nullptr;
    }
  }
  return code;
}
