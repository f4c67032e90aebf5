// SPDX-License-Identifier: Apache-2.0
// certify.cpp -- see certify.h.
#include "certify.h"

#include <cstring>
#include <ctime>
#include <unistd.h>

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include "harness.h"

namespace kt {

static std::string exportDer(gnutls_pubkey_t key) {
  gnutls_datum_t der = {nullptr, 0};
  std::string out;
  if (gnutls_pubkey_export2(key, GNUTLS_X509_FMT_DER, &der) >= 0)
    out.assign((const char*)der.data, der.size);
  gnutls_free(der.data);
  return out;
}

// Fills key from the first certificate, private key or public key in pem.
static bool importAny(const std::string& pem, gnutls_pubkey_t key) {
  gnutls_datum_t text = {(unsigned char*)pem.data(), (unsigned)pem.size()};
  bool found = false;
  gnutls_x509_crt_t crt = nullptr;
  if (pem.find("CERTIFICATE-----") != std::string::npos && gnutls_x509_crt_init(&crt) >= 0) {
    found = gnutls_x509_crt_import(crt, &text, GNUTLS_X509_FMT_PEM) >= 0 && gnutls_pubkey_import_x509(key, crt, 0) >= 0;
    gnutls_x509_crt_deinit(crt);
  }
  gnutls_privkey_t secret = nullptr;
  if (!found && pem.find("PRIVATE KEY-----") != std::string::npos && gnutls_privkey_init(&secret) >= 0) {
    found = gnutls_privkey_import_x509_raw(secret, &text, GNUTLS_X509_FMT_PEM, nullptr, 0) >= 0 &&
            gnutls_pubkey_import_privkey(key, secret, 0, 0) >= 0;
    gnutls_privkey_deinit(secret);
  }
  if (!found && pem.find("PUBLIC KEY-----") != std::string::npos)
    found = gnutls_pubkey_import(key, &text, GNUTLS_X509_FMT_PEM) >= 0;
  return found;
}

std::string publicKeyOf(const std::string& pem) {
  gnutls_pubkey_t key = nullptr;
  std::string out;
  if (gnutls_pubkey_init(&key) < 0)
    return out;
  if (importAny(pem, key))
    out = exportDer(key);
  gnutls_pubkey_deinit(key);
  return out;
}

static std::string exportPem(gnutls_x509_crt_t crt) {
  gnutls_datum_t pem = {nullptr, 0};
  std::string out;
  if (gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &pem) >= 0)
    out.assign((const char*)pem.data, pem.size);
  gnutls_free(pem.data);
  return out;
}

std::string certificateFor(const std::string& publicPem, long validDays, std::string* caPem) {
  std::string out;
  gnutls_pubkey_t subject = nullptr;
  gnutls_privkey_t caKey = nullptr;
  gnutls_x509_crt_t ca = nullptr;
  gnutls_x509_crt_t server = nullptr;
  time_t now = time(nullptr);
  unsigned char serial[8] = {0x42, 1, 2, 3, 4, 5, 6, 7};
  unsigned char v4[4] = {127, 0, 0, 1};
  unsigned char v6[16] = {0};
  v6[15] = 1;
  if (gnutls_pubkey_init(&subject) >= 0 && importAny(publicPem, subject) && gnutls_privkey_init(&caKey) >= 0 &&
      gnutls_privkey_generate(caKey, GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0) >= 0 &&
      gnutls_x509_crt_init(&ca) >= 0 && gnutls_x509_crt_set_version(ca, 3) >= 0 &&
      gnutls_x509_crt_set_serial(ca, serial, sizeof(serial)) >= 0 &&
      gnutls_x509_crt_set_dn(ca, "CN=Kestrovan test CA", nullptr) >= 0 &&
      gnutls_x509_crt_set_activation_time(ca, now - 3600) >= 0 &&
      gnutls_x509_crt_set_expiration_time(ca, now + 400 * 86400L) >= 0 &&
      gnutls_x509_crt_set_basic_constraints(ca, 1, 0) >= 0 &&
      gnutls_x509_crt_set_key_usage(ca, GNUTLS_KEY_KEY_CERT_SIGN) >= 0) {
    gnutls_pubkey_t caPublic = nullptr;
    bool caOk = gnutls_pubkey_init(&caPublic) >= 0 && gnutls_pubkey_import_privkey(caPublic, caKey, 0, 0) >= 0 &&
                gnutls_x509_crt_set_pubkey(ca, caPublic) >= 0 &&
                gnutls_x509_crt_privkey_sign(ca, ca, caKey, GNUTLS_DIG_SHA256, 0) >= 0;
    if (caPublic != nullptr)
      gnutls_pubkey_deinit(caPublic);
    serial[7] = 8;
    if (caOk && gnutls_x509_crt_init(&server) >= 0 && gnutls_x509_crt_set_version(server, 3) >= 0 &&
        gnutls_x509_crt_set_serial(server, serial, sizeof(serial)) >= 0 &&
        gnutls_x509_crt_set_dn(server, "CN=localhost", nullptr) >= 0 &&
        gnutls_x509_crt_set_pubkey(server, subject) >= 0 &&
        gnutls_x509_crt_set_activation_time(server, now - 3600) >= 0 &&
        gnutls_x509_crt_set_expiration_time(server, now + validDays * 86400L) >= 0 &&
        gnutls_x509_crt_set_subject_alt_name(server, GNUTLS_SAN_DNSNAME, "localhost", 9, GNUTLS_FSAN_APPEND) >= 0 &&
        gnutls_x509_crt_set_subject_alt_name(server, GNUTLS_SAN_IPADDRESS, v4, 4, GNUTLS_FSAN_APPEND) >= 0 &&
        gnutls_x509_crt_set_subject_alt_name(server, GNUTLS_SAN_IPADDRESS, v6, 16, GNUTLS_FSAN_APPEND) >= 0 &&
        gnutls_x509_crt_set_basic_constraints(server, 0, -1) >= 0 &&
        gnutls_x509_crt_set_key_usage(server, GNUTLS_KEY_DIGITAL_SIGNATURE) >= 0 &&
        gnutls_x509_crt_set_key_purpose_oid(server, GNUTLS_KP_TLS_WWW_SERVER, 0) >= 0 &&
        gnutls_x509_crt_privkey_sign(server, ca, caKey, GNUTLS_DIG_SHA256, 0) >= 0) {
      out = exportPem(server);
      if (caPem != nullptr)
        *caPem = exportPem(ca);
    }
  }
  if (server != nullptr)
    gnutls_x509_crt_deinit(server);
  if (ca != nullptr)
    gnutls_x509_crt_deinit(ca);
  if (caKey != nullptr)
    gnutls_privkey_deinit(caKey);
  if (subject != nullptr)
    gnutls_pubkey_deinit(subject);
  return out;
}

std::string servedCertificate(unsigned short port, bool ipv6) {
  int fd = connectLoopback(ipv6, port);
  if (fd < 0)
    return "";
  int rc;
  std::string out;
  gnutls_certificate_credentials_t credentials = nullptr;
  gnutls_session_t session = nullptr;
  if (gnutls_certificate_allocate_credentials(&credentials) >= 0 &&
      gnutls_init(&session, GNUTLS_CLIENT) >= 0 && gnutls_set_default_priority(session) >= 0 &&
      gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials) >= 0) {
    gnutls_transport_set_int(session, fd);
    gnutls_handshake_set_timeout(session, 20000);
    do
      rc = gnutls_handshake(session);
    while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
    unsigned count = 0;
    const gnutls_datum_t* chain = rc == 0 ? gnutls_certificate_get_peers(session, &count) : nullptr;
    gnutls_x509_crt_t crt = nullptr;
    if (chain != nullptr && count > 0 && gnutls_x509_crt_init(&crt) >= 0 &&
        gnutls_x509_crt_import(crt, &chain[0], GNUTLS_X509_FMT_DER) >= 0)
      out = exportPem(crt);
    if (crt != nullptr)
      gnutls_x509_crt_deinit(crt);
    if (rc == 0)
      gnutls_bye(session, GNUTLS_SHUT_WR);
  }
  if (session != nullptr)
    gnutls_deinit(session);
  if (credentials != nullptr)
    gnutls_certificate_free_credentials(credentials);
  close(fd);
  return out;
}

std::string privateScalarOf(const std::string& pem) {
  gnutls_x509_privkey_t key = nullptr;
  std::string out;
  gnutls_datum_t text = {(unsigned char*)pem.data(), (unsigned)pem.size()};
  if (gnutls_x509_privkey_init(&key) < 0)
    return out;
  gnutls_ecc_curve_t curve;
  gnutls_datum_t x{}, y{}, k{};
  if (gnutls_x509_privkey_import(key, &text, GNUTLS_X509_FMT_PEM) == 0 &&
      gnutls_x509_privkey_export_ecc_raw(key, &curve, &x, &y, &k) == 0 && curve == GNUTLS_ECC_CURVE_SECP256R1) {
    // Leading zero bytes are padding, not key.
    size_t skip = 0;
    while (skip < k.size && k.data[skip] == 0)
      skip++;
    out.assign((const char*)k.data + skip, k.size - skip);
  }
  gnutls_free(x.data);
  gnutls_free(y.data);
  gnutls_free(k.data);
  gnutls_x509_privkey_deinit(key);
  return out;
}

}  // namespace kt
