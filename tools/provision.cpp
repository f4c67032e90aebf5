// SPDX-License-Identifier: Apache-2.0
// provision.cpp -- NORTAKestrovanProvision: gives the user a server key of
// their own and a certificate for it.
//
//   NORTAKestrovanProvision [--nss] [--force]
//
// Writes, in $HOME/NORTAKestrovan (a 0700 folder of the user's):
// key.pem, a fresh EC P-256 private key (mode 0600) that only this user can
// read; data.dat, the server certificate for that key (SANs 127.0.0.1, ::1
// and localhost); and ca.pem, the local CA that signed it. The CA is made
// fresh each time and its private key is destroyed right after signing, so
// it can never sign anything else; it is also name-constrained to the three
// loopback names. With --nss the CA is imported into every NSS database the
// user's browsers read (stores.h) with certutil, replacing earlier ones of
// ours; a database that cannot take it is reported and does not make the
// command fail.
//
// Safe to run again: a key file that can be trusted (the user's own, mode
// 0600, as the service checks it) is kept, and a certificate that is for it,
// covers the three names and is valid for at least 30 more days is left
// alone; any other certificate is renewed, signed by a new CA. A key file
// that is missing, unreadable or open to others is replaced by a new key.
// --force makes a new key, CA and certificate anyway. A certificate from an
// earlier installation, for the key built into the program, is always
// replaced. Exit status 0 on success, 1 on failure, 2 on a usage error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <arpa/inet.h>
#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include "service/key_file.h"
#include "service/key_material.h"
#include "support/text.h"
#include "support/write.h"
#include "tools/stores.h"

static const char* const kCaNickname = KestrovanStores_nickname;  // also the start of its name
static const long kValidDays = 397;       // what browsers accept for a server certificate
static const long kRenewBeforeDays = 30;

static void say(const char* format, const char* value = "") {
  printf("NORTAKestrovanProvision: ");
  printf(format, value);
  printf("\n");
  fflush(stdout);
}

static bool gnutlsOk(int rc, const char* what) {
  if (rc >= 0)
    return true;
  fprintf(stderr, "NORTAKestrovanProvision: %s: %s\n", what, gnutls_strerror(rc));
  return false;
}

static bool readText(const std::string& path, std::string& out) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr)
    return false;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
    out.append(buffer, n);
  fclose(file);
  return true;
}

static bool writeFile(const std::string& path, const std::string& text, mode_t mode) {
  char reason[1024];
  if (KestrovanFiles_writeWhole(path.c_str(), text.data(), text.size(), mode, reason, sizeof(reason)) ==
      KESTROVAN_WRITE_DONE)
    return true;
  fprintf(stderr, "NORTAKestrovanProvision: %s\n", reason);
  return false;
}

// The service's folder: created 0700; refused when it is a link, belongs to
// another user or can be written by others.
static bool privateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    fprintf(stderr, "NORTAKestrovanProvision: %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & 022) != 0) {
    fprintf(stderr, "NORTAKestrovanProvision: %s is not a private folder of this user\n", path.c_str());
    return false;
  }
  return true;
}

static bool samePublicKey(gnutls_pubkey_t a, gnutls_pubkey_t b) {
  gnutls_datum_t da = {nullptr, 0};
  gnutls_datum_t db = {nullptr, 0};
  bool same = gnutls_pubkey_export2(a, GNUTLS_X509_FMT_DER, &da) >= 0 &&
              gnutls_pubkey_export2(b, GNUTLS_X509_FMT_DER, &db) >= 0 && da.size == db.size &&
              memcmp(da.data, db.data, da.size) == 0;
  gnutls_free(da.data);
  gnutls_free(db.data);
  return same;
}

static bool hasNames(gnutls_x509_crt_t crt) {
  bool dns = false, v4 = false, v6 = false;
  unsigned char v4bytes[4] = {127, 0, 0, 1};
  unsigned char v6bytes[16] = {0};
  v6bytes[15] = 1;
  for (unsigned i = 0;; i++) {
    char name[256];
    size_t size = sizeof(name);
    int type = gnutls_x509_crt_get_subject_alt_name(crt, i, name, &size, nullptr);
    if (type == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE)
      break;
    if (type < 0)
      continue;
    if (type == GNUTLS_SAN_DNSNAME && size == 9 && memcmp(name, "localhost", 9) == 0)
      dns = true;
    if (type == GNUTLS_SAN_IPADDRESS && size == 4 && memcmp(name, v4bytes, 4) == 0)
      v4 = true;
    if (type == GNUTLS_SAN_IPADDRESS && size == 16 && memcmp(name, v6bytes, 16) == 0)
      v6 = true;
  }
  return dns && v4 && v6;
}

// Why the certificate at path cannot stay with the user's own key, or ""
// when it can.
static std::string reasonToRenew(const std::string& path, gnutls_pubkey_t own, gnutls_pubkey_t builtIn) {
  std::string text;
  if (!readText(path, text))
    return "no certificate yet";
  std::string clean;
  for (char c : text)
    if (c != '\r')
      clean += c;
  gnutls_x509_crt_t crt = nullptr;
  gnutls_pubkey_t key = nullptr;
  std::string reason;
  gnutls_datum_t datum = {(unsigned char*)clean.data(), (unsigned)clean.size()};
  if (gnutls_x509_crt_init(&crt) < 0 || gnutls_x509_crt_import(crt, &datum, GNUTLS_X509_FMT_PEM) < 0)
    reason = "the file holds no readable certificate";
  else if (gnutls_pubkey_init(&key) < 0 || gnutls_pubkey_import_x509(key, crt, 0) < 0)
    reason = "the certificate's key cannot be read";
  else if (samePublicKey(key, builtIn))
    reason = "the certificate is for the key built into the program, which every installation of it shares";
  else if (!samePublicKey(key, own))
    reason = "the certificate is for another key";
  else if (!hasNames(crt))
    reason = "the certificate does not name 127.0.0.1, ::1 and localhost";
  else if (gnutls_x509_crt_get_expiration_time(crt) < time(nullptr) + kRenewBeforeDays * 86400)
    reason = "the certificate expires within 30 days";
  else if (gnutls_x509_crt_get_activation_time(crt) > time(nullptr))
    reason = "the certificate is not valid yet";
  if (key != nullptr)
    gnutls_pubkey_deinit(key);
  if (crt != nullptr)
    gnutls_x509_crt_deinit(crt);
  return reason;
}

static bool setSerial(gnutls_x509_crt_t crt) {
  unsigned char serial[16];
  if (!gnutlsOk(gnutls_rnd(GNUTLS_RND_NONCE, serial, sizeof(serial)), "gnutls_rnd"))
    return false;
  serial[0] = (unsigned char)((serial[0] & 0x7f) | 0x40);  // positive, full length
  return gnutlsOk(gnutls_x509_crt_set_serial(crt, serial, sizeof(serial)), "serial");
}

static bool setKeyIds(gnutls_x509_crt_t crt, gnutls_pubkey_t key, const unsigned char* authority,
                      size_t authoritySize, unsigned char* own, size_t* ownSize) {
  if (!gnutlsOk(gnutls_pubkey_get_key_id(key, 0, own, ownSize), "key id") ||
      !gnutlsOk(gnutls_x509_crt_set_subject_key_id(crt, own, *ownSize), "subject key id"))
    return false;
  if (authority != nullptr)
    return gnutlsOk(gnutls_x509_crt_set_authority_key_id(crt, authority, authoritySize), "authority key id");
  return true;
}

static bool exportPem(gnutls_x509_crt_t crt, std::string& out) {
  gnutls_datum_t pem = {nullptr, 0};
  if (!gnutlsOk(gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &pem), "export"))
    return false;
  out.assign((const char*)pem.data, pem.size);
  gnutls_free(pem.data);
  return true;
}

// The loopback names the CA may sign for and the server certificate names:
// localhost, 127.0.0.1 and ::1 (the addresses with their masks for the
// name constraints).
struct LoopbackNames {
  unsigned char v4[8] = {127, 0, 0, 1, 255, 255, 255, 255};
  unsigned char v6[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
                          0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                          0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
};

// A fresh CA key pair.
static bool newCaKey(gnutls_privkey_t* caKey, gnutls_pubkey_t* caPublic) {
  return gnutlsOk(gnutls_privkey_init(caKey), "CA key") &&
         gnutlsOk(gnutls_privkey_generate(*caKey, GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0),
                  "CA key") &&
         gnutlsOk(gnutls_pubkey_init(caPublic), "CA public key") &&
         gnutlsOk(gnutls_pubkey_import_privkey(*caPublic, *caKey, 0, 0), "CA public key");
}

// The CA's certificate, self-signed: it can sign only certificates for the
// three loopback names. Its key identifier goes to caId.
static bool makeCa(gnutls_x509_crt_t* ca, gnutls_x509_name_constraints_t* constraints, gnutls_privkey_t caKey,
                   gnutls_pubkey_t caPublic, time_t now, LoopbackNames& names, unsigned char* caId,
                   size_t* caIdSize) {
  unsigned char tag[4];
  if (!gnutlsOk(gnutls_rnd(GNUTLS_RND_NONCE, tag, sizeof(tag)), "gnutls_rnd"))
    return false;
  char caName[128];
  snprintf(caName, sizeof(caName), "CN=%s %02X%02X%02X%02X,O=NORTAKestrovan", kCaNickname, tag[0], tag[1], tag[2],
           tag[3]);
  gnutls_datum_t localhostName = {(unsigned char*)"localhost", 9};
  gnutls_datum_t v4 = {names.v4, 8};
  gnutls_datum_t v6 = {names.v6, 32};
  return gnutlsOk(gnutls_x509_crt_init(ca), "CA") && gnutlsOk(gnutls_x509_crt_set_version(*ca, 3), "CA") &&
         setSerial(*ca) && gnutlsOk(gnutls_x509_crt_set_dn(*ca, caName, nullptr), "CA name") &&
         gnutlsOk(gnutls_x509_crt_set_pubkey(*ca, caPublic), "CA key") &&
         gnutlsOk(gnutls_x509_crt_set_activation_time(*ca, now - 3600), "CA validity") &&
         gnutlsOk(gnutls_x509_crt_set_expiration_time(*ca, now + (kValidDays + 1) * 86400), "CA validity") &&
         gnutlsOk(gnutls_x509_crt_set_basic_constraints(*ca, 1, 0), "CA constraints") &&
         gnutlsOk(gnutls_x509_crt_set_key_usage(*ca, GNUTLS_KEY_KEY_CERT_SIGN | GNUTLS_KEY_CRL_SIGN), "CA usage") &&
         setKeyIds(*ca, caPublic, nullptr, 0, caId, caIdSize) &&
         gnutlsOk(gnutls_x509_name_constraints_init(constraints), "name constraints") &&
         gnutlsOk(gnutls_x509_name_constraints_add_permitted(*constraints, GNUTLS_SAN_DNSNAME, &localhostName),
                  "name constraints") &&
         gnutlsOk(gnutls_x509_name_constraints_add_permitted(*constraints, GNUTLS_SAN_IPADDRESS, &v4),
                  "name constraints") &&
         gnutlsOk(gnutls_x509_name_constraints_add_permitted(*constraints, GNUTLS_SAN_IPADDRESS, &v6),
                  "name constraints") &&
         gnutlsOk(gnutls_x509_crt_set_name_constraints(*ca, *constraints, 1), "name constraints") &&
         gnutlsOk(gnutls_x509_crt_privkey_sign(*ca, *ca, caKey, GNUTLS_DIG_SHA256, 0), "signing the CA");
}

// The server certificate for the user's key, signed by the CA.
static bool makeServer(gnutls_x509_crt_t* server, gnutls_pubkey_t own, gnutls_x509_crt_t ca, gnutls_privkey_t caKey,
                       time_t now, LoopbackNames& names, const unsigned char* caId, size_t caIdSize) {
  unsigned char serverId[64];
  size_t serverIdSize = sizeof(serverId);
  return gnutlsOk(gnutls_x509_crt_init(server), "certificate") &&
         gnutlsOk(gnutls_x509_crt_set_version(*server, 3), "certificate") && setSerial(*server) &&
         gnutlsOk(gnutls_x509_crt_set_dn(*server, "CN=localhost,O=NORTAKestrovan", nullptr), "name") &&
         gnutlsOk(gnutls_x509_crt_set_pubkey(*server, own), "key") &&
         gnutlsOk(gnutls_x509_crt_set_activation_time(*server, now - 3600), "validity") &&
         gnutlsOk(gnutls_x509_crt_set_expiration_time(*server, now + kValidDays * 86400), "validity") &&
         gnutlsOk(gnutls_x509_crt_set_subject_alt_name(*server, GNUTLS_SAN_DNSNAME, "localhost", 9, GNUTLS_FSAN_APPEND),
                  "names") &&
         gnutlsOk(gnutls_x509_crt_set_subject_alt_name(*server, GNUTLS_SAN_IPADDRESS, names.v4, 4, GNUTLS_FSAN_APPEND),
                  "names") &&
         gnutlsOk(gnutls_x509_crt_set_subject_alt_name(*server, GNUTLS_SAN_IPADDRESS, names.v6, 16, GNUTLS_FSAN_APPEND),
                  "names") &&
         gnutlsOk(gnutls_x509_crt_set_basic_constraints(*server, 0, -1), "constraints") &&
         gnutlsOk(gnutls_x509_crt_set_key_usage(*server, GNUTLS_KEY_DIGITAL_SIGNATURE), "usage") &&
         gnutlsOk(gnutls_x509_crt_set_key_purpose_oid(*server, GNUTLS_KP_TLS_WWW_SERVER, 0), "purpose") &&
         setKeyIds(*server, own, caId, caIdSize, serverId, &serverIdSize) &&
         gnutlsOk(gnutls_x509_crt_privkey_sign(*server, ca, caKey, GNUTLS_DIG_SHA256, 0), "signing the certificate");
}

// Makes a fresh CA, signs the server certificate for the user's key with it,
// and destroys the CA's private key before returning, whatever happened.
static bool makeCertificates(gnutls_pubkey_t own, std::string& serverPem, std::string& caPem) {
  gnutls_privkey_t caKey = nullptr;
  gnutls_pubkey_t caPublic = nullptr;
  gnutls_x509_crt_t ca = nullptr;
  gnutls_x509_crt_t server = nullptr;
  gnutls_x509_name_constraints_t constraints = nullptr;
  time_t now = time(nullptr);
  unsigned char caId[64];
  size_t caIdSize = sizeof(caId);
  LoopbackNames names;

  bool ok = newCaKey(&caKey, &caPublic) && makeCa(&ca, &constraints, caKey, caPublic, now, names, caId, &caIdSize) &&
            makeServer(&server, own, ca, caKey, now, names, caId, caIdSize) && exportPem(server, serverPem) &&
            exportPem(ca, caPem);

  // GnuTLS clears the key's numbers as it releases them.
  if (caKey != nullptr) {
    gnutls_privkey_deinit(caKey);
    say("the local CA's private key is destroyed%s", "");
  }
  if (constraints != nullptr)
    gnutls_x509_name_constraints_deinit(constraints);
  if (server != nullptr)
    gnutls_x509_crt_deinit(server);
  if (ca != nullptr)
    gnutls_x509_crt_deinit(ca);
  if (caPublic != nullptr)
    gnutls_pubkey_deinit(caPublic);
  return ok;
}

static bool isFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Trusts the CA in every NSS database the user's browsers read (stores.h).
// A store that cannot take it is reported; the others still get it.
static void importNss(const std::string& home, const std::string& caPath) {
  if (!KestrovanStores_HaveCertutil()) {
    fprintf(stderr,
            "NORTAKestrovanProvision: certutil not found (Debian package libnss3-tools); "
            "browsers will not trust the service until %s is imported\n",
            caPath.c_str());
    return;
  }
  std::vector<std::string> notes;
  for (const KestrovanStore& store : KestrovanStores_Find(home, &notes)) {
    std::string failure = KestrovanStores_Trust(store, caPath);
    if (failure.empty())
      printf("NORTAKestrovanProvision: the local CA is trusted in %s (%s)\n", store.folder.c_str(),
             store.reader.c_str());
    else
      fprintf(stderr, "NORTAKestrovanProvision: could not trust the local CA in %s (%s): %s\n",
              store.folder.c_str(), store.reader.c_str(), failure.c_str());
  }
  for (const std::string& note : notes)
    fprintf(stderr, "NORTAKestrovanProvision: %s\n", note.c_str());
  // For an administrator's Firefox policy that installs the CA by file name.
  std::string failure = KestrovanStores_KeepFirefoxCopy(home, caPath);
  if (!failure.empty())
    fprintf(stderr, "NORTAKestrovanProvision: no copy of the CA for Firefox's policies: %s\n", failure.c_str());
  fflush(stdout);
}

// A fresh EC P-256 private key as PEM (PKCS #8) text.
static bool newKey(std::string& pem) {
  gnutls_x509_privkey_t key = nullptr;
  gnutls_datum_t out = {nullptr, 0};
  bool ok = gnutlsOk(gnutls_x509_privkey_init(&key), "key") &&
            gnutlsOk(gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA,
                                                  GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0),
                     "making the key") &&
            gnutlsOk(gnutls_x509_privkey_export2_pkcs8(key, GNUTLS_X509_FMT_PEM, nullptr, GNUTLS_PKCS_PLAIN, &out),
                     "the key's text");
  if (ok)
    pem.assign((const char*)out.data, out.size);
  if (out.data != nullptr) {
    secureWipe(out.data, out.size);
    gnutls_free(out.data);
  }
  if (key != nullptr)
    gnutls_x509_privkey_deinit(key);
  return ok;
}

// The user's key as PEM text: the key file when the service would trust it
// and no new key is asked for; else a new key, written to the file (0600,
// through a temporary file renamed into place). The caller wipes pem.
static bool userKey(const std::string& path, bool force, std::string& pem) {
  char reason[1024] = "a new key asked for";
  struct stat info;
  if (!force && lstat(path.c_str(), &info) != 0 && errno == ENOENT) {
    snprintf(reason, sizeof(reason), "no key yet");
  } else if (!force) {
    char* text = KestrovanKeyFile_read(path.c_str(), reason, sizeof(reason));
    std::string der;
    bool usable = text != nullptr && KestrovanKeyFile_publicKey(text, strlen(text), &der);
    if (usable)
      pem = text;
    else if (text != nullptr)
      snprintf(reason, sizeof(reason), "%s holds no private key", path.c_str());
    freeSecret(text);
    if (usable)
      return true;
  }
  say("making a key of this user's own: %s", reason);
  if (!newKey(pem) || !writeFile(path, pem, 0600))
    return false;
  say("wrote %s (the private key; only this user may read it)", path.c_str());
  return true;
}

static bool importPublic(const std::string& keyPem, gnutls_pubkey_t own) {
  gnutls_privkey_t secret = nullptr;
  gnutls_datum_t text = {(unsigned char*)keyPem.data(), (unsigned)keyPem.size()};
  bool ok = gnutlsOk(gnutls_privkey_init(&secret), "key") &&
            gnutlsOk(gnutls_privkey_import_x509_raw(secret, &text, GNUTLS_X509_FMT_PEM, nullptr, 0), "the key") &&
            gnutlsOk(gnutls_pubkey_import_privkey(own, secret, 0, 0), "the key's public key");
  if (secret != nullptr)
    gnutls_privkey_deinit(secret);
  return ok;
}

int main(int argc, char** argv) {
  bool nss = false;
  bool force = false;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--nss") == 0) {
      nss = true;
    } else if (strcmp(argv[i], "--force") == 0) {
      force = true;
    } else {
      fprintf(stderr, "usage: NORTAKestrovanProvision [--nss] [--force]\n");
      return 2;
    }
  }
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    fprintf(stderr, "NORTAKestrovanProvision: HOME is not set to an absolute path\n");
    return 1;
  }
  std::string folder = std::string(home) + "/" KESTROVAN_USER_FOLDER_NAME;
  std::string certPath = folder + "/" KESTROVAN_CERT_FILE_NAME;
  std::string caPath = folder + "/" KESTROVAN_CA_FILE_NAME;
  std::string keyPath = folder + "/" KESTROVAN_KEY_FILE_NAME;
  if (!privateFolder(folder))
    return 1;
  if (!gnutlsOk(gnutls_global_init(), "gnutls_global_init"))
    return 1;

  int status = 1;
  std::string keyPem;
  gnutls_pubkey_t own = nullptr;
  gnutls_pubkey_t builtIn = nullptr;
  gnutls_datum_t builtInPem = {(unsigned char*)KestrovanKeyMaterial_publicKey,
                               (unsigned)strlen(KestrovanKeyMaterial_publicKey)};
  if (gnutlsOk(gnutls_pubkey_init(&builtIn), "public key") &&
      gnutlsOk(gnutls_pubkey_import(builtIn, &builtInPem, GNUTLS_X509_FMT_PEM), "the built-in public key") &&
      userKey(keyPath, force, keyPem) && gnutlsOk(gnutls_pubkey_init(&own), "public key") &&
      importPublic(keyPem, own)) {
    std::string reason = reasonToRenew(certPath, own, builtIn);
    if (reason.empty() && !force) {
      say("%s already holds a valid certificate for this user's key; left as it is", certPath.c_str());
      status = 0;
    } else {
      say("making a certificate: %s", reason.empty() ? "renewal asked for" : reason.c_str());
      std::string serverPem;
      std::string caPem;
      if (makeCertificates(own, serverPem, caPem) && writeFile(caPath, caPem, 0644) &&
          writeFile(certPath, serverPem, 0600)) {
        say("wrote %s", certPath.c_str());
        say("wrote %s (the CA a client trusts, e.g. curl --cacert)", caPath.c_str());
        status = 0;
      }
    }
    if (status == 0 && nss) {
      if (isFile(caPath))
        importNss(home, caPath);
      else
        fprintf(stderr, "NORTAKestrovanProvision: %s is missing; run with --force to make a new CA\n",
                caPath.c_str());
    }
  }
  if (!keyPem.empty())
    secureWipe(&keyPem[0], keyPem.size());
  if (own != nullptr)
    gnutls_pubkey_deinit(own);
  if (builtIn != nullptr)
    gnutls_pubkey_deinit(builtIn);
  gnutls_global_deinit();
  return status;
}
