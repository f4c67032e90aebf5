// SPDX-License-Identifier: Apache-2.0
// store.cpp -- where the user's signing certificates and keys live, and the
// opening of one key for one operation.
//
// Tokens: every PKCS #11 module registered with p11-kit, reached through
// GnuTLS (trust modules, which hold CA certificates, are skipped). A token
// key is used on the token; it never leaves it. A login is made with the
// page's PIN for every operation and ends with it.
//
// Files: PKCS #12 files ("*.p12", "*.pfx") in the per-user key folder
// (HelmPaths_KeyFolder). Listing needs the certificate without the password:
// it is taken from the file when stored unencrypted, else from a certificate
// file next to it with the same stem (".crt", ".pem" or ".cer"). The key is
// decrypted in memory for one operation only; GnuTLS wipes it on release.
#include "helm.h"

#include <gnutls/pkcs11.h>
#include <gnutls/pkcs12.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// ---- small GnuTLS helpers ----------------------------------------------------

static gnutls_datum_t datumOf(const std::vector<unsigned char>& bytes) {
  gnutls_datum_t d;
  d.data = const_cast<unsigned char*>(bytes.data());
  d.size = (unsigned)bytes.size();
  return d;
}

static std::string fingerprintHex(const std::vector<unsigned char>& der) {
  unsigned char digest[32];
  if (gnutls_hash_fast(GNUTLS_DIG_SHA256, der.data(), der.size(), digest) < 0) return std::string();
  return HelmJson_Hex(digest, sizeof digest, false);
}

static bool importCertificate(const std::vector<unsigned char>& der, gnutls_x509_crt_t* out) {
  if (gnutls_x509_crt_init(out) < 0) return false;
  gnutls_datum_t d = datumOf(der);
  if (gnutls_x509_crt_import(*out, &d, GNUTLS_X509_FMT_DER) < 0) {
    gnutls_x509_crt_deinit(*out);
    *out = nullptr;
    return false;
  }
  return true;
}

static bool isCaCertificate(gnutls_x509_crt_t crt) {
  unsigned critical = 0, ca = 0;
  int pathLength = 0;
  int ret = gnutls_x509_crt_get_basic_constraints(crt, &critical, &ca, &pathLength);
  return ret >= 0 && ca != 0;
}

static bool exportDer(gnutls_x509_crt_t crt, std::vector<unsigned char>* der) {
  gnutls_datum_t d = {nullptr, 0};
  if (gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_DER, &d) < 0) return false;
  der->assign(d.data, d.data + d.size);
  gnutls_free(d.data);
  return true;
}

// Reads a whole regular file of at most max bytes; *message says why not.
static int readFile(const std::string& path, size_t max, std::vector<unsigned char>* out, std::string* message) {
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

static std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---- certificate details and checks -----------------------------------------

static void appendMemberString(std::string* out, const char* name, const std::string& value) {
  out->push_back('"');
  out->append(name);
  out->append("\":");
  HelmJson_AppendString(out, value);
}

static std::string distinguishedName(gnutls_x509_crt_t crt, bool issuer) {
  gnutls_datum_t d = {nullptr, 0};
  int ret = issuer ? gnutls_x509_crt_get_issuer_dn3(crt, &d, 0) : gnutls_x509_crt_get_dn3(crt, &d, 0);
  if (ret < 0) return std::string();
  std::string text(reinterpret_cast<const char*>(d.data), d.size);
  gnutls_free(d.data);
  return text;
}

static std::string commonName(gnutls_x509_crt_t crt) {
  char buffer[1024];
  size_t size = sizeof buffer;
  if (gnutls_x509_crt_get_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, 0, buffer, &size) < 0) return std::string();
  return std::string(buffer, strnlen(buffer, size));
}

static std::string serialHex(gnutls_x509_crt_t crt) {
  unsigned char serial[128];
  size_t size = sizeof serial;
  if (gnutls_x509_crt_get_serial(crt, serial, &size) < 0) return std::string();
  return HelmJson_Hex(serial, size, false);
}

// "RSA-2048", "EC-SECP256R1", or the algorithm's own name.
static std::string keyAlgorithm(gnutls_x509_crt_t crt) {
  unsigned bits = 0;
  int pk = gnutls_x509_crt_get_pk_algorithm(crt, &bits);
  if (pk < 0) return std::string();
  if (pk == GNUTLS_PK_RSA || pk == GNUTLS_PK_RSA_PSS) {
    return std::string(pk == GNUTLS_PK_RSA ? "RSA-" : "RSA-PSS-") + std::to_string(bits);
  }
  if (pk == GNUTLS_PK_ECDSA) {
    gnutls_ecc_curve_t curve = GNUTLS_ECC_CURVE_INVALID;
    gnutls_datum_t x = {nullptr, 0}, y = {nullptr, 0};
    std::string name = "EC";
    if (gnutls_x509_crt_get_pk_ecc_raw(crt, &curve, &x, &y) >= 0) {
      gnutls_free(x.data);
      gnutls_free(y.data);
      const char* curveName = gnutls_ecc_curve_get_name(curve);
      if (curveName != nullptr) name += std::string("-") + curveName;
    }
    return name;
  }
  const char* name = gnutls_pk_get_name((gnutls_pk_algorithm_t)pk);
  return name != nullptr ? name : "unknown";
}

void HelmCertificate_AppendDetails(std::string* out, gnutls_x509_crt_t crt, time_t now) {
  static const struct {
    unsigned bit;
    const char* name;
  } kUsages[] = {
      {GNUTLS_KEY_DIGITAL_SIGNATURE, "digitalSignature"}, {GNUTLS_KEY_NON_REPUDIATION, "nonRepudiation"},
      {GNUTLS_KEY_KEY_ENCIPHERMENT, "keyEncipherment"},   {GNUTLS_KEY_DATA_ENCIPHERMENT, "dataEncipherment"},
      {GNUTLS_KEY_KEY_AGREEMENT, "keyAgreement"},         {GNUTLS_KEY_KEY_CERT_SIGN, "keyCertSign"},
      {GNUTLS_KEY_CRL_SIGN, "cRLSign"},                   {GNUTLS_KEY_ENCIPHER_ONLY, "encipherOnly"},
      {GNUTLS_KEY_DECIPHER_ONLY, "decipherOnly"},
  };
  appendMemberString(out, "subject", distinguishedName(crt, false));
  out->push_back(',');
  appendMemberString(out, "commonName", commonName(crt));
  out->push_back(',');
  appendMemberString(out, "issuer", distinguishedName(crt, true));
  out->push_back(',');
  appendMemberString(out, "serial", serialHex(crt));
  out->push_back(',');
  time_t notBefore = gnutls_x509_crt_get_activation_time(crt);
  time_t notAfter = gnutls_x509_crt_get_expiration_time(crt);
  appendMemberString(out, "notBefore", HelmJson_Time(notBefore));
  out->push_back(',');
  appendMemberString(out, "notAfter", HelmJson_Time(notAfter));
  out->push_back(',');
  appendMemberString(out, "keyAlgorithm", keyAlgorithm(crt));
  out->append(",\"keyUsage\":");
  unsigned usage = 0, critical = 0;
  if (gnutls_x509_crt_get_key_usage(crt, &usage, &critical) < 0) {
    out->append("null");
  } else {
    out->push_back('[');
    bool first = true;
    for (const auto& u : kUsages) {
      if ((usage & u.bit) == 0) continue;
      if (!first) out->push_back(',');
      first = false;
      HelmJson_AppendString(out, u.name, strlen(u.name));
    }
    out->push_back(']');
  }
  std::string ignored;
  int check = HelmCertificate_CheckSigning(crt, now, &ignored);
  out->append(",\"expired\":");
  out->append(check == HELM_E_CERTIFICATE_EXPIRED ? "true" : "false");
  out->append(",\"notYetValid\":");
  out->append(check == HELM_E_CERTIFICATE_NOT_YET_VALID ? "true" : "false");
  out->append(",\"canSign\":");
  out->append(check == HELM_OK ? "true" : "false");
}

int HelmCertificate_CheckSigning(gnutls_x509_crt_t crt, time_t now, std::string* message) {
  time_t notBefore = gnutls_x509_crt_get_activation_time(crt);
  time_t notAfter = gnutls_x509_crt_get_expiration_time(crt);
  if (notAfter != (time_t)-1 && now > notAfter) {
    *message = "the certificate expired on " + HelmJson_Time(notAfter);
    return HELM_E_CERTIFICATE_EXPIRED;
  }
  if (notBefore != (time_t)-1 && now < notBefore) {
    *message = "the certificate is valid only from " + HelmJson_Time(notBefore);
    return HELM_E_CERTIFICATE_NOT_YET_VALID;
  }
  unsigned usage = 0, critical = 0;
  int ret = gnutls_x509_crt_get_key_usage(crt, &usage, &critical);
  if (ret >= 0 && (usage & (GNUTLS_KEY_DIGITAL_SIGNATURE | GNUTLS_KEY_NON_REPUDIATION)) == 0) {
    *message = "the certificate's key usage does not allow signing";
    return HELM_E_KEY_USAGE;
  }
  return HELM_OK;
}

HelmKeyRole HelmCertificate_Role(gnutls_x509_crt_t crt, const HelmSettings* settings) {
  HelmKeyRole dualUse = settings->dualUseForAuthentication ? HELM_ROLE_AUTHENTICATION : HELM_ROLE_SIGNING;
  unsigned usage = 0, critical = 0;
  if (gnutls_x509_crt_get_key_usage(crt, &usage, &critical) < 0) return dualUse;  // no extension
  bool digitalSignature = (usage & GNUTLS_KEY_DIGITAL_SIGNATURE) != 0;
  bool nonRepudiation = (usage & GNUTLS_KEY_NON_REPUDIATION) != 0;
  if (digitalSignature && nonRepudiation) return dualUse;
  if (digitalSignature) return HELM_ROLE_AUTHENTICATION;
  if (nonRepudiation) return HELM_ROLE_SIGNING;
  return HELM_ROLE_NONE;
}

const char* HelmKeyRole_Name(HelmKeyRole role) {
  switch (role) {
    case HELM_ROLE_AUTHENTICATION: return "authentication";
    case HELM_ROLE_SIGNING: return "signing";
    default: return "none";
  }
}

int HelmCertificate_CheckPurpose(gnutls_x509_crt_t crt, HelmPurpose purpose, const HelmSettings* settings,
                                 std::string* message) {
  HelmKeyRole role = HelmCertificate_Role(crt, settings);
  if (role == HELM_ROLE_NONE) {
    *message = "the certificate's key usage does not allow signing";
    return HELM_E_KEY_USAGE;
  }
  if (purpose == HELM_PURPOSE_AUTHENTICATE) {
    if (role != HELM_ROLE_AUTHENTICATION) {
      *message = "the certificate is for signing, not for logging in: a key that signs what sites choose never "
                 "authenticates (dual-use-key-role decides for keys certified for both)";
      return HELM_E_NOT_FOR_AUTHENTICATION;
    }
    return HELM_OK;
  }
  // What an authentication key signs must never be a site's choice: a raw
  // signature over a chosen digest would pass as a login elsewhere.
  if (role != HELM_ROLE_SIGNING) {
    *message = "the certificate is for authentication, not for signing: its key signs nothing a site chooses "
               "(dual-use-key-role decides for keys certified for both)";
    return HELM_E_NOT_FOR_SIGNING;
  }
  return HELM_OK;
}

std::string HelmCertificate_Name(gnutls_x509_crt_t crt, bool issuer) { return distinguishedName(crt, issuer); }

int HelmCertificate_Pem(const std::vector<unsigned char>& der, std::string* pem) {
  gnutls_datum_t in = datumOf(der);
  gnutls_datum_t out = {nullptr, 0};
  if (gnutls_pem_base64_encode2("CERTIFICATE", &in, &out) < 0) return HELM_E_INTERNAL;
  pem->assign(reinterpret_cast<const char*>(out.data), out.size);
  gnutls_free(out.data);
  return HELM_OK;
}

// Every use of the tokens by every loaded copy of this adapter (each session
// has its own, and they run on different threads) takes this per-user lock:
// listing as well as signing. A PKCS #11 login belongs to the whole process
// and lasts while any session with the token is open, so a session opened by
// another copy while a key is in use would keep that login alive after the
// key is closed, and the next page's PIN would never be checked. Under the
// lock a key's session is the only one, and closing it logs out.
static int takeTokenLock() { return HelmLock_Take("token.lock", -1); }

static void releaseTokenLock(int fd) { HelmLock_Release(fd); }

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
        if (importCertificate(entry.der, &crt)) {
          if (!isCaCertificate(crt)) {
            entry.id = "tok-" + fingerprintHex(entry.der);
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

static void listTokens(std::vector<HelmCertificate>* certificates, std::vector<HelmProblem>* problems) {
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

// ---- PKCS #12 files ----------------------------------------------------------

static bool hasSuffix(const std::string& name, const char* suffix) {
  size_t n = strlen(suffix);
  return name.size() > n && strcasecmp(name.c_str() + name.size() - n, suffix) == 0;
}

static bool importPkcs12(const std::vector<unsigned char>& file, gnutls_pkcs12_t* out) {
  if (gnutls_pkcs12_init(out) < 0) return false;
  gnutls_datum_t d = datumOf(file);
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
    if (!importCertificate(c.second, &crt)) continue;
    bool endEntity = !isCaCertificate(crt);
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
    if (readFile(stem + suffix, HELM_MAX_PKCS12_BYTES, &file, &ignored) != HELM_OK) continue;
    gnutls_datum_t d = datumOf(file);
    gnutls_x509_crt_t* list = nullptr;
    unsigned count = 0;
    int ret = gnutls_x509_crt_list_import2(&list, &count, &d, GNUTLS_X509_FMT_PEM, 0);
    if (ret < 0) ret = gnutls_x509_crt_list_import2(&list, &count, &d, GNUTLS_X509_FMT_DER, 0);
    if (ret < 0) continue;
    bool found = false;
    for (unsigned i = 0; i < count; i++) {
      if (!found && !isCaCertificate(list[i])) found = exportDer(list[i], der);
      gnutls_x509_crt_deinit(list[i]);
    }
    gnutls_free(list);
    if (found) return true;
  }
  return false;
}

static void listPkcs12Files(std::vector<HelmCertificate>* certificates, std::vector<HelmProblem>* problems) {
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
    if (readFile(path, HELM_MAX_PKCS12_BYTES, &file, &message) != HELM_OK) {
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
    if (!importCertificate(entry.der, &crt)) {
      problems->push_back({name, HELM_E_PKCS12_UNREADABLE, "its certificate cannot be parsed"});
      continue;
    }
    gnutls_x509_crt_deinit(crt);
    entry.id = "p12-" + fingerprintHex(entry.der);
    certificates->push_back(std::move(entry));
  }
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
  int lock = takeTokenLock();
  listTokens(certificates, problems);
  releaseTokenLock(lock);
  listPkcs12Files(certificates, problems);
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
    if (!importCertificate(c.der, &other)) continue;
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
    int lock = takeTokenLock();
    listTokens(&certificates, &problems);
    releaseTokenLock(lock);
  } else if (id.compare(0, 4, "p12-") == 0) {
    listPkcs12Files(&certificates, &problems);
  }
  for (auto& c : certificates) {
    if (strcasecmp(c.id.c_str(), id.c_str()) == 0) {
      *out = std::move(c);
      return HELM_OK;
    }
  }
  return HELM_E_UNKNOWN_CERTIFICATE;
}

// ---- opening a key -------------------------------------------------------------

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

static int openTokenKey(const HelmCertificate* c, HelmKey* out, std::string* message) {
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

static int openPkcs12Key(const HelmCertificate* c, const char* pin, gnutls_privkey_t* key,
                         gnutls_x509_crt_t* matched, std::string* message) {
  std::vector<unsigned char> file;
  std::string why;
  std::string name = baseName(c->file);
  if (readFile(c->file, HELM_MAX_PKCS12_BYTES, &file, &why) != HELM_OK) {
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
  if (chainLength == 0 || privateKey == nullptr || !exportDer(chain[0], &der)) {
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

void HelmKey_Init(HelmKey* key) {
  key->key = nullptr;
  key->certificate = nullptr;
  key->lock = -1;
  key->pinCalls = 0;
  Helm_Wipe(key->pin, sizeof key->pin);
}

// One try with one PIN: validity and the purpose were checked by the caller.
static int openOnce(const HelmCertificate* c, const char* pin, HelmKey* out, std::string* message) {
  HelmKey_Init(out);
  size_t pinLength = strlen(pin);
  if (pinLength > HELM_MAX_PIN_BYTES) {
    *message = "the PIN is too long";
    return HELM_E_BAD_PARAMETER;
  }
  gnutls_x509_crt_t crt = nullptr;
  if (!importCertificate(c->der, &crt)) {
    *message = "the certificate cannot be parsed";
    return HELM_E_UNKNOWN_CERTIFICATE;
  }
  if (c->kind == HELM_LOCATION_PKCS11) {
    memcpy(out->pin, pin, pinLength + 1);
    // Held until the key is closed: the token stays logged in that long.
    out->lock = takeTokenLock();
    int code = openTokenKey(c, out, message);
    if (code != HELM_OK) {
      gnutls_x509_crt_deinit(crt);
      HelmKey_Close(out);
      return code;
    }
    out->certificate = crt;
    return HELM_OK;
  }
  gnutls_x509_crt_t matched = nullptr;
  int code = openPkcs12Key(c, pin, &out->key, &matched, message);
  gnutls_x509_crt_deinit(crt);
  if (code != HELM_OK) return code;
  out->certificate = matched;
  return HELM_OK;
}

// The token's flags, read under the token lock; false when it cannot be reached.
static bool tokenFlags(const HelmCertificate* c, unsigned* flags) {
  int lock = takeTokenLock();
  bool ok = gnutls_pkcs11_token_get_flags(c->tokenUrl.c_str(), flags) >= 0;
  releaseTokenLock(lock);
  return ok;
}

static const char* purposeText(HelmPurpose purpose) {
  switch (purpose) {
    case HELM_PURPOSE_SIGN_CMS: return "sign a document (CMS signature)";
    case HELM_PURPOSE_SIGN_RAW: return "sign data (raw signature)";
    default: return "log you in (authentication)";
  }
}

static std::string line(const std::string& text, size_t maxBytes) {
  return HelmDialog_Line(text.data(), text.size(), maxBytes);
}

// What a PIN dialog says: who asks for what, with which certificate, and
// the token's warning when it has one. The site's own words come last and
// are marked as such; every outside text is one line, cut.
static std::string describe(const HelmCertificate* c, gnutls_x509_crt_t crt, const HelmPinSource* source,
                            unsigned flags, bool warn) {
  std::string text = HelmDialog_Site(source->site, HELM_DIALOG_SITE_BYTES) + " asks to " + purposeText(source->purpose) +
                     " with your certificate.\n";
  if (warn && (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_FINAL_TRY)) {
    text += "Warning: last try. One more wrong PIN locks the token.\n";
  } else if (warn && (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_COUNT_LOW)) {
    text += "Warning: few tries are left before the token locks.\n";
  }
  text += "\nCertificate: " + line(HelmCertificate_Name(crt, false), 120) + "\n";
  text += "Issued by: " + line(HelmCertificate_Name(crt, true), 120) + "\n";
  if (c->kind == HELM_LOCATION_PKCS11) text += "On token: " + line(c->tokenLabel, 64) + "\n";
  else text += "In file: " + line(baseName(c->file), 64) + "\n";
  if (!source->digestHex.empty()) text += source->digestLabel + ": " + source->digestHex + "\n";
  if (!source->description.empty()) {
    text += "The site says (its own words): " +
            HelmDialog_Quoted(source->description.data(), source->description.size(), 160) + "\n";
  }
  return text;
}

static std::string wrongPinText(bool token, unsigned flags) {
  if (!token) return "Wrong password. Try again.";
  if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_FINAL_TRY) return "Wrong PIN. One try is left: another wrong PIN locks the token.";
  if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_COUNT_LOW) return "Wrong PIN. Few tries are left before the token locks.";
  return "Wrong PIN. Try again.";
}

// The PIN from the user: a dialog naming the site (again after a wrong PIN,
// up to the setting), or a reader's keypad while a message says so.
static int openWithDialog(const HelmCertificate* c, gnutls_x509_crt_t crt, const HelmPinSource* source, HelmKey* out,
                          std::string* message) {
  bool token = c->kind == HELM_LOCATION_PKCS11;
  unsigned flags = 0;
  if (token) {
    if (!tokenFlags(c, &flags)) {
      *message = "token " + c->tokenLabel + " is not available";
      return HELM_E_TOKEN;
    }
    if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_LOCKED) {
      *message = "the PIN of token " + c->tokenLabel + " is locked";
      return HELM_E_TOKEN_LOCKED;
    }
  }
  int code = HELM_OK;
  std::string why;
  HelmDialog* dialog = HelmDialog_Open(source->settings, &code, &why);
  if (dialog == nullptr) {
    if (code == HELM_E_CANCELLED) {
      *message = "no PIN dialog was shown: " + why;
      return HELM_E_CANCELLED;
    }
    *message = "no dialog could be shown to ask for the PIN: " + why;
    return HELM_E_NO_DIALOG;
  }
  if (token && (flags & GNUTLS_PKCS11_TOKEN_PROTECTED_AUTHENTICATION_PATH)) {
    std::string text = describe(c, crt, source, flags, true) + "\nEnter your PIN on the reader's keypad now.";
    if (!HelmDialog_ShowMessage(dialog, "Kestrovan: PIN pad", text)) {
      HelmDialog_Close(dialog);
      *message = "no dialog could be shown to ask for the PIN on the reader";
      return HELM_E_NO_DIALOG;
    }
    code = openOnce(c, "", out, message);
    HelmDialog_Close(dialog);
    return code;
  }
  std::string error;
  code = HELM_E_WRONG_PIN;
  *message = token ? "wrong PIN" : "wrong password";
  for (unsigned attempt = 0; attempt < source->settings->pinAttempts; attempt++) {
    char pin[HELM_MAX_PIN_BYTES + 1];
    bool tooLong = false;
    HelmDialogAnswer answer = HelmDialog_GetPin(dialog, token ? "Kestrovan: PIN" : "Kestrovan: password",
                                                describe(c, crt, source, flags, error.empty()),
                                                token ? "PIN:" : "Password:", error, pin, sizeof pin, &tooLong);
    if (answer != HELM_DIALOG_OK) {
      Helm_Wipe(pin, sizeof pin);
      if (answer == HELM_DIALOG_UNAVAILABLE) {
        *message = "the PIN dialog could not be shown (" + HelmDialog_Failure(dialog) + ")";
        HelmDialog_Close(dialog);
        return HELM_E_NO_DIALOG;
      }
      HelmDialog_Close(dialog);
      *message = answer == HELM_DIALOG_TIMEOUT     ? "the PIN dialog timed out"
                 : answer == HELM_DIALOG_ABANDONED ? "the PIN dialog was closed: the page that asked went away"
                                                   : "the user cancelled the PIN dialog";
      return HELM_E_CANCELLED;
    }
    if (tooLong || pin[0] == '\0') {
      // Nothing the token could take: not a try of its own.
      error = tooLong ? "The PIN is too long." : "No PIN was entered.";
      Helm_Wipe(pin, sizeof pin);
      continue;
    }
    code = openOnce(c, pin, out, message);
    Helm_Wipe(pin, sizeof pin);
    if (code != HELM_E_WRONG_PIN) break;
    if (token) {
      if (!tokenFlags(c, &flags)) flags = 0;
      if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_LOCKED) {
        *message = "the PIN of token " + c->tokenLabel + " is locked";
        code = HELM_E_TOKEN_LOCKED;
        break;
      }
    }
    error = wrongPinText(token, flags);
  }
  HelmDialog_Close(dialog);
  return code;
}

int HelmKey_Open(const HelmCertificate* c, const HelmPinSource* source, HelmKey* out, std::string* message) {
  HelmKey_Init(out);
  if (source->pagePin != nullptr && strlen(source->pagePin) > HELM_MAX_PIN_BYTES) {
    *message = "the PIN is too long";
    return HELM_E_BAD_PARAMETER;
  }
  gnutls_x509_crt_t crt = nullptr;
  if (!importCertificate(c->der, &crt)) {
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
    code = source->pagePin != nullptr ? openOnce(c, source->pagePin, out, message)
                                      : openWithDialog(c, crt, source, out, message);
  }
  gnutls_x509_crt_deinit(crt);
  return code;
}

void HelmKey_Close(HelmKey* key) {
  if (key->key != nullptr) gnutls_privkey_deinit(key->key);  // ends the token session and its login
  if (key->certificate != nullptr) gnutls_x509_crt_deinit(key->certificate);
  key->key = nullptr;
  key->certificate = nullptr;
  releaseTokenLock(key->lock);
  key->lock = -1;
  Helm_Wipe(key->pin, sizeof key->pin);
}
