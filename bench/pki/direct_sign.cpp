// SPDX-License-Identifier: Apache-2.0
// direct_sign.cpp -- the signature the PKI adapter's SignCms makes, made
// directly with GnuTLS in one process: per signature the token key is opened
// with a login (the PIN given), the certificate read, a CMS SignedData made
// with the certificate and the signing time, and everything closed again,
// as the adapter does per call. Prints "direct_ms p50 p95 max".
//
//   pki_direct_sign KEY_URL CERT_URL PIN COUNT DATA_FILE
//
// Nothing here asserts a time.
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/pkcs11.h>
#include <gnutls/pkcs7.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const char* pinText = "";

int pinCallback(void*, int attempt, const char*, const char*, unsigned, char* pin, size_t pinMax) {
  if (attempt > 0 || strlen(pinText) + 1 > pinMax) return -1;
  memcpy(pin, pinText, strlen(pinText) + 1);
  return 0;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[(size_t)((double)(v.size() - 1) * p)];
}

bool signOnce(const char* keyUrl, const char* certUrl, const std::string& data) {
  gnutls_pkcs11_privkey_t tokenKey = nullptr;
  gnutls_privkey_t key = nullptr;
  gnutls_x509_crt_t crt = nullptr;
  gnutls_pkcs7_t pkcs7 = nullptr;
  bool ok = false;
  gnutls_datum_t content = {(unsigned char*)data.data(), (unsigned)data.size()};
  gnutls_datum_t out = {nullptr, 0};
  if (gnutls_pkcs11_privkey_init(&tokenKey) < 0) return false;
  gnutls_pkcs11_privkey_set_pin_function(tokenKey, pinCallback, nullptr);
  if (gnutls_pkcs11_privkey_import_url(tokenKey, keyUrl, GNUTLS_PKCS11_OBJ_FLAG_LOGIN) < 0 ||
      gnutls_privkey_init(&key) < 0 ||
      gnutls_privkey_import_pkcs11(key, tokenKey, GNUTLS_PRIVKEY_IMPORT_AUTO_RELEASE) < 0) {
    if (key == nullptr) gnutls_pkcs11_privkey_deinit(tokenKey);
    goto done;
  }
  tokenKey = nullptr;
  if (gnutls_x509_crt_init(&crt) < 0 || gnutls_x509_crt_import_url(crt, certUrl, 0) < 0) goto done;
  if (gnutls_pkcs7_init(&pkcs7) < 0) goto done;
  if (gnutls_pkcs7_sign(pkcs7, crt, key, &content, nullptr, nullptr, GNUTLS_DIG_SHA256,
                        GNUTLS_PKCS7_INCLUDE_CERT | GNUTLS_PKCS7_INCLUDE_TIME) < 0)
    goto done;
  ok = gnutls_pkcs7_export2(pkcs7, GNUTLS_X509_FMT_DER, &out) >= 0 && out.size > 0;
  gnutls_free(out.data);
done:
  if (pkcs7 != nullptr) gnutls_pkcs7_deinit(pkcs7);
  if (crt != nullptr) gnutls_x509_crt_deinit(crt);
  if (key != nullptr) gnutls_privkey_deinit(key);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: pki_direct_sign KEY_URL CERT_URL PIN COUNT DATA_FILE\n");
    return 2;
  }
  pinText = argv[3];
  int count = atoi(argv[4]);
  std::ifstream file(argv[5], std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  gnutls_global_init();
  std::vector<double> times;
  // The first one also loads the PKCS #11 modules: left out, as the
  // service's first call is.
  for (int i = 0; i <= count; i++) {
    auto start = std::chrono::steady_clock::now();
    if (!signOnce(argv[1], argv[2], data)) {
      fprintf(stderr, "pki_direct_sign: signing failed\n");
      return 1;
    }
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (i > 0) times.push_back(ms);
  }
  printf("direct_ms %.3f %.3f %.3f\n", percentile(times, 0.5), percentile(times, 0.95), percentile(times, 1.0));
  gnutls_global_deinit();
  return 0;
}
