// SPDX-License-Identifier: Apache-2.0
// certificate.cpp -- what a certificate says (the details a listing shows)
// and whether it may serve: validity, key usage, the key's role.
#include "helm.h"
#include "store.h"

#include <cstring>
#include <ctime>

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
  gnutls_datum_t in = HelmStore_Datum(der);
  gnutls_datum_t out = {nullptr, 0};
  if (gnutls_pem_base64_encode2("CERTIFICATE", &in, &out) < 0) return HELM_E_INTERNAL;
  pem->assign(reinterpret_cast<const char*>(out.data), out.size);
  gnutls_free(out.data);
  return HELM_OK;
}
