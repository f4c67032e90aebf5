// SPDX-License-Identifier: Apache-2.0
// x509.cpp -- the small GnuTLS and file helpers the certificate store's
// files share: they call nothing of the store, so every file of it can.
#include "helm.h"
#include "store.h"

#include <cerrno>
#include <cstring>

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
