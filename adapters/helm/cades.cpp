// SPDX-License-Identifier: Apache-2.0
// cades.cpp -- CMS SignedData at the baseline levels. OpenSSL's CMS code
// builds the structure and its signed attributes (content type, message
// digest, signing time, and with CMS_CADES the signer certificate's hash as
// ESS signing-certificate-v2); the key the adapter opened -- on a token or
// from a file, through GnuTLS -- signs the DER of those attributes, and the
// signature is put in place. B-T adds a timestamp over the signature value
// (timestamp.cpp) as the unsigned signature-time-stamp attribute; B-LT the
// chains of the signer and of the authority with their CRLs.
#include "helm.h"

#include <openssl/pem.h>  // before cms.h, which declares its PEM reader only then
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstring>
#include <strings.h>

namespace {

struct CmsFree {
  CMS_ContentInfo* cms = nullptr;
  X509* certificate = nullptr;
  ~CmsFree() {
    CMS_ContentInfo_free(cms);
    X509_free(certificate);
  }
};

}  // namespace

bool HelmLevel_Parse(const std::string& text, HelmLevel* out) {
  static const HelmLevel kLevels[] = {HELM_LEVEL_B_B, HELM_LEVEL_B_T, HELM_LEVEL_B_LT, HELM_LEVEL_B_LTA};
  for (HelmLevel level : kLevels) {
    if (strcasecmp(text.c_str(), HelmLevel_Name(level)) == 0) {
      *out = level;
      return true;
    }
  }
  return false;
}

const char* HelmLevel_Name(HelmLevel level) {
  switch (level) {
    case HELM_LEVEL_B_B: return "B-B";
    case HELM_LEVEL_B_T: return "B-T";
    case HELM_LEVEL_B_LT: return "B-LT";
    case HELM_LEVEL_B_LTA: return "B-LTA";
    default: return "none";
  }
}

static const EVP_MD* digestOf(gnutls_digest_algorithm_t digest) {
  switch (digest) {
    case GNUTLS_DIG_SHA256: return EVP_sha256();
    case GNUTLS_DIG_SHA384: return EVP_sha384();
    case GNUTLS_DIG_SHA512: return EVP_sha512();
    default: return nullptr;
  }
}

// OpenSSL's last error as text, for messages.
static std::string opensslError() {
  unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  if (e == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

// The DER of the signer's signed attributes as they are signed: a SET OF
// (tag 0x31), sorted as DER sorts it -- the same bytes OpenSSL writes, under
// the [0] tag, into the SignerInfo.
static bool signedAttributesDer(CMS_SignerInfo* si, std::vector<unsigned char>* out) {
  ASN1_SEQUENCE_ANY* set = sk_ASN1_TYPE_new_null();
  if (set == nullptr) return false;
  bool good = true;
  int count = CMS_signed_get_attr_count(si);
  for (int i = 0; good && i < count; i++) {
    unsigned char* der = nullptr;
    int length = i2d_X509_ATTRIBUTE(CMS_signed_get_attr(si, i), &der);
    const unsigned char* p = der;
    ASN1_TYPE* any = length > 0 ? d2i_ASN1_TYPE(nullptr, &p, length) : nullptr;
    OPENSSL_free(der);
    good = any != nullptr && sk_ASN1_TYPE_push(set, any) > 0;
    if (!good) ASN1_TYPE_free(any);
  }
  unsigned char* der = nullptr;
  int length = good ? i2d_ASN1_SET_ANY(set, &der) : -1;
  sk_ASN1_TYPE_pop_free(set, ASN1_TYPE_free);
  if (length <= 0) return false;
  out->assign(der, der + length);
  OPENSSL_free(der);
  return true;
}

// The signer info's signed attributes and its signature by the key.
static int signSignerInfo(const HelmKey* key, CMS_SignerInfo* si, const EVP_MD* md,
                          gnutls_digest_algorithm_t digest, const std::vector<unsigned char>& data,
                          std::string* message) {
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned valueLength = 0;
  if (EVP_Digest(data.data(), data.size(), value, &valueLength, md, nullptr) != 1 ||
      CMS_signed_add1_attr_by_NID(si, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, value, (int)valueLength) != 1 ||
      CMS_signed_add1_attr_by_NID(si, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data), -1) != 1) {
    *message = "building the signed attributes failed: " + opensslError();
    return HELM_E_INTERNAL;
  }
  ASN1_TIME* now = X509_gmtime_adj(nullptr, 0);
  bool timed = now != nullptr &&
               CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime, now->type, now, -1) == 1;
  ASN1_TIME_free(now);
  if (!timed) {
    *message = "adding the signing time failed: " + opensslError();
    return HELM_E_INTERNAL;
  }
  std::vector<unsigned char> attributes;
  if (!signedAttributesDer(si, &attributes)) {
    *message = "encoding the signed attributes failed: " + opensslError();
    return HELM_E_INTERNAL;
  }
  int pk = gnutls_privkey_get_pk_algorithm(key->key, nullptr);
  gnutls_sign_algorithm_t algorithm = gnutls_pk_to_sign((gnutls_pk_algorithm_t)pk, digest);
  if (pk != GNUTLS_PK_RSA && pk != GNUTLS_PK_ECDSA) algorithm = GNUTLS_SIGN_UNKNOWN;
  if (algorithm == GNUTLS_SIGN_UNKNOWN) {
    *message = "this key's algorithm is not supported for CMS signatures";
    return HELM_E_UNSUPPORTED;
  }
  gnutls_datum_t input = {attributes.data(), (unsigned)attributes.size()};
  gnutls_datum_t signature = {nullptr, 0};
  int ret = gnutls_privkey_sign_data2(key->key, algorithm, 0, &input, &signature);
  if (ret < 0) {
    *message = std::string("signing failed: ") + gnutls_strerror(ret);
    return HELM_E_SIGNING_FAILED;
  }
  bool set = ASN1_STRING_set(CMS_SignerInfo_get0_signature(si), signature.data, (int)signature.size) == 1;
  gnutls_free(signature.data);
  if (!set) {
    *message = "out of memory";
    return HELM_E_INTERNAL;
  }
  return HELM_OK;
}

// The signature as it will be handed out (DER), read back and checked with
// the certificate: a key that does not belong to its certificate would give
// a signature no one can verify; catch it here rather than hand it out.
static int encodeAndCheck(CMS_ContentInfo* cms, X509* certificate, std::vector<unsigned char>* der,
                          std::string* message) {
  unsigned char* out = nullptr;
  int length = i2d_CMS_ContentInfo(cms, &out);
  if (length <= 0) {
    *message = "encoding the signature failed: " + opensslError();
    return HELM_E_INTERNAL;
  }
  der->assign(out, out + length);
  OPENSSL_free(out);
  const unsigned char* p = der->data();
  CMS_ContentInfo* again = d2i_CMS_ContentInfo(nullptr, &p, (long)der->size());
  CMS_SignerInfo* si = again != nullptr ? sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(again), 0) : nullptr;
  bool good = false;
  if (si != nullptr) {
    CMS_SignerInfo_set1_signer_cert(si, certificate);
    good = CMS_SignerInfo_verify(si) == 1;
  }
  CMS_ContentInfo_free(again);
  ERR_clear_error();
  if (!good) {
    *message = "the signature does not verify with the certificate: the key does not belong to it";
    return HELM_E_SIGNING_FAILED;
  }
  return HELM_OK;
}

// B-T: a timestamp over the signature value, as an unsigned attribute.
static int addSignatureTimestamp(CMS_SignerInfo* si, const HelmSettings* settings, HelmTimestampInfo* stamp,
                                 std::vector<unsigned char>* token, std::string* message) {
  ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(si);
  int code = HelmTimestamp_Get(settings, ASN1_STRING_get0_data(value), (size_t)ASN1_STRING_length(value), token,
                               stamp, message);
  if (code != HELM_OK) return code;
  if (CMS_unsigned_add1_attr_by_NID(si, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE, token->data(),
                                    (int)token->size()) != 1) {
    *message = "adding the timestamp failed: " + opensslError();
    return HELM_E_INTERNAL;
  }
  return HELM_OK;
}

namespace {

struct ValidationState {
  X509_STORE* store = nullptr;
  STACK_OF(X509)* untrusted = nullptr;
  PKCS7* token = nullptr;
  ~ValidationState() {
    X509_STORE_free(store);
    sk_X509_pop_free(untrusted, X509_free);
    PKCS7_free(token);
  }
};

}  // namespace

// One chain (the signer's or the authority's) into the signature: its
// certificates, and for every certificate below the root that names a CRL
// distribution point a current CRL of its issuer's. OCSP responses cannot
// be carried (OpenSSL's CMS code has no way in for them), so a certificate
// that names only an OCSP responder cannot reach B-LT.
static int addChain(CMS_ContentInfo* cms, X509* leaf, const char* what, ValidationState* state,
                    const HelmSettings* settings, std::string* message) {
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  STACK_OF(X509)* chain = nullptr;
  if (context != nullptr && X509_STORE_CTX_init(context, state->store, leaf, state->untrusted) == 1 &&
      X509_verify_cert(context) == 1) {
    chain = X509_STORE_CTX_get1_chain(context);
  }
  std::string why = context != nullptr ? X509_verify_cert_error_string(X509_STORE_CTX_get_error(context)) : "";
  X509_STORE_CTX_free(context);
  ERR_clear_error();
  if (chain == nullptr) {
    *message = std::string("level B-LT needs ") + what + "'s chain, and it cannot be completed from " +
               "chain-certificates " + settings->chainCertificates + ": " + why;
    return HELM_E_LEVEL_NOT_REACHED;
  }
  int code = HELM_OK;
  for (int i = 0; code == HELM_OK && i < sk_X509_num(chain); i++) {
    X509* certificate = sk_X509_value(chain, i);
    CMS_add1_cert(cms, certificate);  // one already there is left as it is
    ERR_clear_error();
    if (i + 1 == sk_X509_num(chain)) break;
    bool ocsp = false, crl = false;
    if (!HelmRevocation_HasServices(certificate, &ocsp, &crl)) continue;
    char name[256];
    X509_NAME_oneline(X509_get_subject_name(certificate), name, sizeof name);
    HelmRevocation revocation;
    if (!crl) {
      *message = std::string("level B-LT needs revocation data for ") + name +
                 ", which names only an OCSP responder: OCSP responses cannot be carried yet";
      code = HELM_E_LEVEL_NOT_REACHED;
    } else if (!HelmRevocation_FetchCrl(certificate, sk_X509_value(chain, i + 1), settings->revocationSeconds,
                                        &revocation)) {
      *message = std::string("level B-LT needs a CRL for ") + name + ": " + revocation.problem;
      code = HELM_E_LEVEL_NOT_REACHED;
    } else if (strcmp(revocation.status, "revoked") == 0) {
      *message = std::string("level B-LT: ") + name + " is revoked (" + revocation.url + ")";
      code = HELM_E_LEVEL_NOT_REACHED;
    } else {
      const unsigned char* p = reinterpret_cast<const unsigned char*>(revocation.crl.data());
      X509_CRL* list = d2i_X509_CRL(nullptr, &p, (long)revocation.crl.size());
      if (list == nullptr || CMS_add1_crl(cms, list) != 1) {
        *message = "adding a CRL failed: " + opensslError();
        code = HELM_E_INTERNAL;
      }
      X509_CRL_free(list);
    }
  }
  sk_X509_pop_free(chain, X509_free);
  return code;
}

// B-LT: the signer's chain and the timestamp authority's, with their CRLs.
static int addValidationData(CMS_ContentInfo* cms, X509* signer, const std::vector<unsigned char>& token,
                             const HelmSettings* settings, std::string* message) {
  ValidationState state;
  state.store = X509_STORE_new();
  state.untrusted = sk_X509_new_null();
  const unsigned char* p = token.data();
  state.token = d2i_PKCS7(nullptr, &p, (long)token.size());
  if (state.store == nullptr || state.untrusted == nullptr || state.token == nullptr ||
      !PKCS7_type_is_signed(state.token)) {
    *message = "reading the timestamp token failed";
    return HELM_E_INTERNAL;
  }
  X509_STORE_load_file(state.store, settings->chainCertificates.c_str());
  X509_STORE_load_file(state.store, settings->tsaTrust.c_str());
  ERR_clear_error();
  STACK_OF(X509)* carried = state.token->d.sign->cert;
  for (int i = 0; carried != nullptr && i < sk_X509_num(carried); i++) {
    X509* c = sk_X509_value(carried, i);
    if (X509_up_ref(c) == 1 && sk_X509_push(state.untrusted, c) <= 0) X509_free(c);
  }
  STACK_OF(X509)* signers = PKCS7_get0_signers(state.token, nullptr, 0);
  X509* authority = signers != nullptr && sk_X509_num(signers) == 1 ? sk_X509_value(signers, 0) : nullptr;
  int code = addChain(cms, signer, "the signer", &state, settings, message);
  if (code == HELM_OK && authority != nullptr) code = addChain(cms, authority, "the timestamp authority", &state,
                                                               settings, message);
  sk_X509_free(signers);
  ERR_clear_error();
  return code;
}

int HelmCades_Sign(const HelmKey* key, const std::vector<unsigned char>& data, bool attached,
                   gnutls_digest_algorithm_t digest, HelmLevel level, const HelmSettings* settings,
                   std::vector<unsigned char>* der, HelmTimestampInfo* stamp, std::string* message) {
  if (level == HELM_LEVEL_B_LTA) {
    *message = "level B-LTA needs an archive timestamp, which this adapter does not make yet";
    return HELM_E_LEVEL_NOT_REACHED;
  }
  const EVP_MD* md = digestOf(digest);
  if (md == nullptr) {
    *message = "unsupported digest";
    return HELM_E_UNSUPPORTED;
  }
  CmsFree owned;
  gnutls_datum_t certificateDer = {nullptr, 0};
  if (gnutls_x509_crt_export2(key->certificate, GNUTLS_X509_FMT_DER, &certificateDer) < 0) {
    *message = "the certificate cannot be encoded";
    return HELM_E_INTERNAL;
  }
  const unsigned char* p = certificateDer.data;
  owned.certificate = d2i_X509(nullptr, &p, certificateDer.size);
  gnutls_free(certificateDer.data);
  if (owned.certificate == nullptr) {
    *message = "the certificate cannot be read: " + opensslError();
    return HELM_E_INTERNAL;
  }
  // The signer's public key stands in for the private one: OpenSSL only
  // matches it with the certificate and names the algorithms by it; the
  // signature itself is made below, by the key.
  EVP_PKEY* publicKey = X509_get0_pubkey(owned.certificate);
  unsigned flags = CMS_PARTIAL | CMS_BINARY | (attached ? 0u : (unsigned)CMS_DETACHED);
  owned.cms = publicKey != nullptr ? CMS_sign(nullptr, nullptr, nullptr, nullptr, flags) : nullptr;
  CMS_SignerInfo* si = owned.cms != nullptr ? CMS_add1_signer(owned.cms, owned.certificate, publicKey, md,
                                                               CMS_PARTIAL | CMS_BINARY | CMS_NOSMIMECAP | CMS_CADES)
                                            : nullptr;
  if (si == nullptr) {
    *message = "building the signature failed: " + opensslError();
    return HELM_E_INTERNAL;
  }
  if (attached) {
    ASN1_OCTET_STRING** content = CMS_get0_content(owned.cms);
    if (content == nullptr) {
      *message = "building the signature failed: no content field";
      return HELM_E_INTERNAL;
    }
    if (*content == nullptr) *content = ASN1_OCTET_STRING_new();
    if (*content == nullptr || ASN1_OCTET_STRING_set(*content, data.data(), (int)data.size()) != 1) {
      *message = "out of memory";
      return HELM_E_INTERNAL;
    }
    (*content)->flags &= ~ASN1_STRING_FLAG_CONT;  // the content is here, not streamed in later
  }
  int code = signSignerInfo(key, si, md, digest, data, message);
  if (code == HELM_OK) code = encodeAndCheck(owned.cms, owned.certificate, der, message);
  std::vector<unsigned char> token;
  if (code == HELM_OK && level >= HELM_LEVEL_B_T) code = addSignatureTimestamp(si, settings, stamp, &token, message);
  if (code == HELM_OK && level >= HELM_LEVEL_B_LT) {
    code = addValidationData(owned.cms, owned.certificate, token, settings, message);
  }
  if (code == HELM_OK && level >= HELM_LEVEL_B_T) code = encodeAndCheck(owned.cms, owned.certificate, der, message);
  if (code != HELM_OK) der->clear();
  return code;
}

int HelmCades_Extend(const std::vector<unsigned char>& cms, HelmLevel level, const HelmSettings* settings,
                     std::vector<unsigned char>* der, HelmTimestampInfo* stamp, bool* stamped, std::string* message) {
  *stamped = false;
  if (level == HELM_LEVEL_B_LTA) {
    *message = "level B-LTA needs an archive timestamp, which this adapter does not make yet";
    return HELM_E_LEVEL_NOT_REACHED;
  }
  if (level < HELM_LEVEL_B_T) {
    *message = "a signature is extended to B-T or B-LT";
    return HELM_E_BAD_PARAMETER;
  }
  CmsFree owned;
  const unsigned char* p = cms.data();
  owned.cms = d2i_CMS_ContentInfo(nullptr, &p, (long)cms.size());
  if (owned.cms == nullptr) {
    BIO* bio = BIO_new_mem_buf(cms.data(), (int)cms.size());
    if (bio != nullptr) owned.cms = PEM_read_bio_CMS(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
  }
  ERR_clear_error();
  STACK_OF(CMS_SignerInfo)* signers = owned.cms != nullptr ? CMS_get0_SignerInfos(owned.cms) : nullptr;
  if (signers == nullptr) {
    *message = "cms is not a CMS SignedData structure";
    return HELM_E_CMS_MALFORMED;
  }
  if (sk_CMS_SignerInfo_num(signers) != 1) {
    *message = "only a signature with one signer is extended";
    return HELM_E_UNSUPPORTED;
  }
  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(signers, 0);
  // The signer's certificate from the signature's own certificates.
  CMS_set1_signers_certs(owned.cms, nullptr, 0);
  ERR_clear_error();
  X509* signer = nullptr;
  CMS_SignerInfo_get0_algs(si, nullptr, &signer, nullptr, nullptr);
  if (signer == nullptr) {
    *message = "the signer's certificate is not in the signature: it cannot be extended";
    return HELM_E_LEVEL_NOT_REACHED;
  }
  owned.certificate = X509_dup(signer);
  if (CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1) < 0 ||
      (CMS_signed_get_attr_by_NID(si, NID_id_smime_aa_signingCertificateV2, -1) < 0 &&
       CMS_signed_get_attr_by_NID(si, NID_id_smime_aa_signingCertificate, -1) < 0)) {
    *message = "the signature is not B-B (no signing time or no ESS signing certificate): it cannot be extended";
    return HELM_E_LEVEL_NOT_REACHED;
  }
  // Its signature must hold before anything is added to it.
  int code = encodeAndCheck(owned.cms, owned.certificate, der, message);
  if (code == HELM_E_SIGNING_FAILED) {
    *message = "the signature does not verify with its signer's certificate: it is not extended";
    return HELM_E_SIGNATURE_INVALID;
  }
  std::vector<unsigned char> token;
  int at = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1);
  if (code == HELM_OK && at >= 0) {
    ASN1_TYPE* any = X509_ATTRIBUTE_get0_type(CMS_unsigned_get_attr(si, at), 0);
    if (any != nullptr && any->type == V_ASN1_SEQUENCE) {
      token.assign(any->value.sequence->data, any->value.sequence->data + any->value.sequence->length);
    }
  }
  if (code == HELM_OK && token.empty()) {
    code = addSignatureTimestamp(si, settings, stamp, &token, message);
    *stamped = code == HELM_OK;
  }
  if (code == HELM_OK && level >= HELM_LEVEL_B_LT) {
    code = addValidationData(owned.cms, owned.certificate, token, settings, message);
  }
  if (code == HELM_OK) code = encodeAndCheck(owned.cms, owned.certificate, der, message);
  if (code != HELM_OK) der->clear();
  return code;
}
