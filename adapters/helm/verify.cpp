// SPDX-License-Identifier: Apache-2.0
// verify.cpp -- VerifyCms: whether a CMS signature holds, judged as a
// validator judges it. GnuTLS checks each signature over its content and the
// signer's chain to the page's trust anchors (the answer's long-standing
// members); OpenSSL's CMS and timestamp code reads what makes a signature
// last: its level (the B-B attributes, the ESS certificate hash, a
// timestamp over the signature value that verifies), the time the timestamp
// proves, and from these the indication and sub-indication of ETSI
// validation: TOTAL_PASSED, TOTAL_FAILED (HASH_FAILURE, SIG_CRYPTO_FAILURE,
// FORMAT_FAILURE) or INDETERMINATE (NO_CERTIFICATE_CHAIN_FOUND,
// OUT_OF_BOUNDS_NO_POE, REVOKED_NO_POE, TRY_LATER, ...), with each chain
// certificate's revocation as its OCSP responder or CRL tells it
// (revocation.cpp). A failing signature still answers its error code, now
// with the indication beside it.
#include "helm.h"

#include <gnutls/pkcs7.h>
#include <openssl/bio.h>
#include <openssl/pem.h>  // before cms.h, which declares its PEM reader only then
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/ess.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <cstring>
#include <ctime>

// Whether crt is the signer that info names (issuer and serial, or key id).
static bool isSigner(gnutls_x509_crt_t crt, const gnutls_pkcs7_signature_info_st* info) {
  if (info->issuer_keyid.size > 0) {
    unsigned char keyId[128];
    size_t size = sizeof keyId;
    unsigned critical = 0;
    return gnutls_x509_crt_get_subject_key_id(crt, keyId, &size, &critical) >= 0 && size == info->issuer_keyid.size &&
           memcmp(keyId, info->issuer_keyid.data, size) == 0;
  }
  gnutls_datum_t issuer = {nullptr, 0};
  if (gnutls_x509_crt_get_raw_issuer_dn(crt, &issuer) < 0) return false;
  bool sameIssuer = issuer.size == info->issuer_dn.size && memcmp(issuer.data, info->issuer_dn.data, issuer.size) == 0;
  gnutls_free(issuer.data);
  unsigned char serial[128];
  size_t size = sizeof serial;
  return sameIssuer && gnutls_x509_crt_get_serial(crt, serial, &size) >= 0 && size == info->signer_serial.size &&
         memcmp(serial, info->signer_serial.data, size) == 0;
}

namespace {

// The certificates a verification looks at, released together.
struct CertificateSet {
  std::vector<gnutls_x509_crt_t> list;
  ~CertificateSet() {
    for (gnutls_x509_crt_t c : list) gnutls_x509_crt_deinit(c);
  }
};

// A parsed signature and the content it carries, released together.
struct SignedData {
  gnutls_pkcs7_t pkcs7 = nullptr;
  gnutls_datum_t embedded = {nullptr, 0};
  bool attached = false;
  ~SignedData() {
    gnutls_free(embedded.data);
    if (pkcs7 != nullptr) gnutls_pkcs7_deinit(pkcs7);
  }
};

struct TrustList {
  gnutls_x509_trust_list_t list = nullptr;
  ~TrustList() {
    if (list != nullptr) gnutls_x509_trust_list_deinit(list, 1);  // 1: the anchors it took too
  }
};

// What a verification is asked: the signature, the content when it is
// detached, and the PEM certificates to trust.
struct VerifyRequest {
  std::vector<unsigned char> cms;
  std::vector<unsigned char> data;
  bool dataPresent = false;
  std::string anchors;
};

}  // namespace

static int readVerifyRequest(const KestrovanJsonMap* map, VerifyRequest* request, std::string* message) {
  bool cmsPresent = false, anchorsPresent = false;
  int code = HelmParams_Bytes(map, "cms", HELM_MAX_CMS_BYTES, &request->cms, &cmsPresent, message);
  if (code == HELM_OK)
    code = HelmParams_Bytes(map, "data", HELM_MAX_DATA_BYTES, &request->data, &request->dataPresent, message);
  if (code == HELM_OK)
    code = HelmParams_Text(map, "trustAnchors", HELM_MAX_TEXT_BYTES, &request->anchors, &anchorsPresent, message);
  if (code == HELM_OK && !cmsPresent) {
    *message = "cms is required";
    code = HELM_E_BAD_PARAMETER;
  }
  if (code == HELM_OK && (!anchorsPresent || request->anchors.empty())) {
    *message = "trustAnchors (PEM certificates) is required";
    code = HELM_E_BAD_PARAMETER;
  }
  return code;
}

// The trust anchors as certificates a signer may be found among.
static int loadAnchors(std::string& anchors, CertificateSet* set, std::string* message) {
  gnutls_datum_t d = {reinterpret_cast<unsigned char*>(&anchors[0]), (unsigned)anchors.size()};
  gnutls_x509_crt_t* list = nullptr;
  unsigned count = 0;
  if (gnutls_x509_crt_list_import2(&list, &count, &d, GNUTLS_X509_FMT_PEM, 0) < 0 || count == 0) {
    *message = "trustAnchors holds no PEM certificate";
    return HELM_E_BAD_PARAMETER;
  }
  set->list.assign(list, list + count);
  gnutls_free(list);
  return HELM_OK;
}

// The trust anchors as the list that signers' chains are verified against.
static int makeTrustList(std::string& anchors, TrustList* trust, std::string* message) {
  gnutls_datum_t d = {reinterpret_cast<unsigned char*>(&anchors[0]), (unsigned)anchors.size()};
  if (gnutls_x509_trust_list_init(&trust->list, 0) < 0) {
    *message = "out of memory";
    return HELM_E_INTERNAL;
  }
  if (gnutls_x509_trust_list_add_trust_mem(trust->list, &d, nullptr, GNUTLS_X509_FMT_PEM, 0, 0) <= 0) {
    *message = "trustAnchors holds no usable certificate";
    return HELM_E_BAD_PARAMETER;
  }
  return HELM_OK;
}

// Parses the signature (DER, else PEM) and checks its content against data.
static int importSignedData(const VerifyRequest& request, SignedData* signedData, int* signatures,
                            std::string* message) {
  if (gnutls_pkcs7_init(&signedData->pkcs7) < 0) {
    *message = "out of memory";
    return HELM_E_INTERNAL;
  }
  gnutls_datum_t cms = HelmStore_Datum(request.cms);
  if (gnutls_pkcs7_import(signedData->pkcs7, &cms, GNUTLS_X509_FMT_DER) < 0 &&
      gnutls_pkcs7_import(signedData->pkcs7, &cms, GNUTLS_X509_FMT_PEM) < 0) {
    *message = "cms is not a CMS SignedData structure";
    return HELM_E_CMS_MALFORMED;
  }
  *signatures = gnutls_pkcs7_get_signature_count(signedData->pkcs7);
  if (*signatures <= 0) {
    *message = "cms holds no signature";
    return HELM_E_CMS_MALFORMED;
  }
  if (*signatures > 16) {
    *message = "cms holds more than 16 signatures";
    return HELM_E_TOO_LARGE;
  }
  signedData->attached = gnutls_pkcs7_get_embedded_data(signedData->pkcs7, 0, &signedData->embedded) >= 0;
  const gnutls_datum_t& embedded = signedData->embedded;
  const std::vector<unsigned char>& data = request.data;
  if (!signedData->attached && !request.dataPresent) {
    *message = "data is required for a detached signature";
    return HELM_E_BAD_PARAMETER;
  }
  if (signedData->attached && request.dataPresent &&
      (embedded.size != data.size() || (data.size() > 0 && memcmp(embedded.data, data.data(), data.size()) != 0))) {
    *message = "the signed content differs from data";
    return HELM_E_SIGNATURE_INVALID;
  }
  return HELM_OK;
}

// The certificates carried in the signature (at most 64; ones that do not
// parse are left out).
static void carriedCertificates(gnutls_pkcs7_t pkcs7, CertificateSet* carried) {
  for (unsigned i = 0; i < 64; i++) {
    gnutls_datum_t raw = {nullptr, 0};
    if (gnutls_pkcs7_get_crt_raw2(pkcs7, i, &raw) < 0) break;
    gnutls_x509_crt_t crt = nullptr;
    if (gnutls_x509_crt_init(&crt) >= 0) {
      if (gnutls_x509_crt_import(crt, &raw, GNUTLS_X509_FMT_DER) >= 0) carried->list.push_back(crt);
      else gnutls_x509_crt_deinit(crt);
    }
    gnutls_free(raw.data);
  }
}


namespace {

// A validator's verdict on one signature.
struct Judgement {
  const char* indication = "TOTAL_PASSED";
  const char* subIndication = "";
  void set(const char* i, const char* s) {
    indication = i;
    subIndication = s;
  }
};

// What OpenSSL reads of one signer: its level and its timestamp.
struct Lasting {
  HelmLevel level = HELM_LEVEL_NONE;
  bool essPresent = false;
  bool essMatches = false;
  int timestamps = 0;          // signature-time-stamp attributes found
  bool stamped = false;        // one of them verified
  time_t stampTime = (time_t)-1;
  std::string stampAuthority;
  std::string stampProblem;    // why the last one that failed failed
};

struct OpensslCms {
  CMS_ContentInfo* cms = nullptr;
  ~OpensslCms() { CMS_ContentInfo_free(cms); }
};

}  // namespace

static std::string opensslReason() {
  unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
  return reason != nullptr ? reason : "unknown error";
}

static X509* toOpenssl(gnutls_x509_crt_t crt) {
  gnutls_datum_t der = {nullptr, 0};
  if (gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_DER, &der) < 0) return nullptr;
  const unsigned char* p = der.data;
  X509* out = d2i_X509(nullptr, &p, der.size);
  gnutls_free(der.data);
  return out;
}

// The roots a timestamp authority may chain to: the page's anchors and the
// settings' "tsa-trust" file.
static X509_STORE* timestampRoots(const std::string& anchors, const HelmSettings* settings) {
  X509_STORE* store = X509_STORE_new();
  if (store == nullptr) return nullptr;
  BIO* bio = BIO_new_mem_buf(anchors.data(), (int)anchors.size());
  X509* c = nullptr;
  while (bio != nullptr && (c = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) != nullptr) {
    X509_STORE_add_cert(store, c);
    X509_free(c);
  }
  BIO_free(bio);
  X509_STORE_load_file(store, settings->tsaTrust.c_str());
  ERR_clear_error();
  return store;
}

// Checks one signature-time-stamp token over the signature value.
static bool checkTimestamp(const ASN1_STRING* sequence, const ASN1_OCTET_STRING* signatureValue,
                           const std::string& anchors, const HelmSettings* settings, Lasting* out) {
  const unsigned char* p = ASN1_STRING_get0_data(sequence);
  PKCS7* token = d2i_PKCS7(nullptr, &p, ASN1_STRING_length(sequence));
  if (token == nullptr) {
    ERR_clear_error();
    out->stampProblem = "the timestamp is not a signed token";
    return false;
  }
  TS_VERIFY_CTX* context = TS_VERIFY_CTX_new();
  X509_STORE* store = timestampRoots(anchors, settings);
  BIO* data = BIO_new_mem_buf(ASN1_STRING_get0_data(signatureValue), ASN1_STRING_length(signatureValue));
  bool good = false;
  if (context != nullptr && store != nullptr && data != nullptr) {
    TS_VERIFY_CTX_set_flags(context, TS_VFY_VERSION | TS_VFY_SIGNATURE | TS_VFY_DATA);
    TS_VERIFY_CTX_set_store(context, store);  // owned by the context from here
    TS_VERIFY_CTX_set_data(context, data);
    store = nullptr;
    data = nullptr;
    good = TS_RESP_verify_token(context, token) == 1;
    if (!good) out->stampProblem = "the timestamp fails a check: " + opensslReason();
  }
  X509_STORE_free(store);
  BIO_free(data);
  TS_VERIFY_CTX_free(context);
  if (good) {
    TS_TST_INFO* info = PKCS7_to_TS_TST_INFO(token);
    struct tm when;
    memset(&when, 0, sizeof when);
    const ASN1_GENERALIZEDTIME* genTime = info != nullptr ? TS_TST_INFO_get_time(info) : nullptr;
    out->stampTime = genTime != nullptr && ASN1_TIME_to_tm(genTime, &when) == 1 ? timegm(&when) : (time_t)-1;
    TS_TST_INFO_free(info);
    STACK_OF(X509)* signers = PKCS7_get0_signers(token, nullptr, 0);
    if (signers != nullptr && sk_X509_num(signers) == 1) {
      char name[512];
      X509_NAME_oneline(X509_get_subject_name(sk_X509_value(signers, 0)), name, sizeof name);
      out->stampAuthority = name;
    }
    sk_X509_free(signers);
    ERR_clear_error();
  }
  PKCS7_free(token);
  return good;
}

// The signer's level as OpenSSL reads it: B-B needs the signing time and an
// ESS signing certificate that names the signer; B-T a timestamp over the
// signature value that verifies.
static void readLasting(CMS_SignerInfo* si, X509* signer, const std::string& anchors, const HelmSettings* settings,
                        Lasting* out) {
  bool timed = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1) >= 0;
  ESS_SIGNING_CERT* v1 = nullptr;
  ESS_SIGNING_CERT_V2* v2 = nullptr;
  int at = CMS_signed_get_attr_by_NID(si, NID_id_smime_aa_signingCertificateV2, -1);
  ASN1_TYPE* any = at >= 0 ? X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(si, at), 0) : nullptr;
  if (any != nullptr && any->type == V_ASN1_SEQUENCE) {
    const unsigned char* p = any->value.sequence->data;
    v2 = d2i_ESS_SIGNING_CERT_V2(nullptr, &p, any->value.sequence->length);
  }
  at = CMS_signed_get_attr_by_NID(si, NID_id_smime_aa_signingCertificate, -1);
  any = at >= 0 ? X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(si, at), 0) : nullptr;
  if (any != nullptr && any->type == V_ASN1_SEQUENCE) {
    const unsigned char* p = any->value.sequence->data;
    v1 = d2i_ESS_SIGNING_CERT(nullptr, &p, any->value.sequence->length);
  }
  out->essPresent = v1 != nullptr || v2 != nullptr;
  STACK_OF(X509)* chain = sk_X509_new_null();
  if (out->essPresent && chain != nullptr && sk_X509_push(chain, signer) > 0) {
    out->essMatches = OSSL_ESS_check_signing_certs(v1, v2, chain, 1) == 1;
  }
  sk_X509_free(chain);
  ESS_SIGNING_CERT_free(v1);
  ESS_SIGNING_CERT_V2_free(v2);
  ERR_clear_error();
  if (!timed || !out->essMatches) return;
  out->level = HELM_LEVEL_B_B;
  at = -1;
  while ((at = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, at)) >= 0 && out->timestamps < 8) {
    out->timestamps++;
    any = X509_ATTRIBUTE_get0_type(CMS_unsigned_get_attr(si, at), 0);
    if (any == nullptr || any->type != V_ASN1_SEQUENCE) {
      out->stampProblem = "a timestamp attribute holds no token";
      continue;
    }
    Lasting one;
    if (checkTimestamp(any->value.sequence, CMS_SignerInfo_get0_signature(si), anchors, settings, &one)) {
      // The earliest proven time is the one that counts.
      if (!out->stamped || one.stampTime < out->stampTime) {
        out->stampTime = one.stampTime;
        out->stampAuthority = one.stampAuthority;
      }
      out->stamped = true;
    } else {
      out->stampProblem = one.stampProblem;
    }
  }
  if (out->stamped) out->level = HELM_LEVEL_B_T;
}

// The page's anchors as an OpenSSL store.
static X509_STORE* anchorStore(const std::string& anchors) {
  X509_STORE* store = X509_STORE_new();
  BIO* bio = store != nullptr ? BIO_new_mem_buf(anchors.data(), (int)anchors.size()) : nullptr;
  X509* c = nullptr;
  while (bio != nullptr && (c = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) != nullptr) {
    X509_STORE_add_cert(store, c);
    X509_free(c);
  }
  BIO_free(bio);
  ERR_clear_error();
  return store;
}

// One certificate of the signer's chain and what its revocation services say.
struct ChainEntry {
  std::string subject;
  HelmRevocation revocation;
};

// The signer's chain as OpenSSL builds it to the anchors (the time already
// judged), and for each certificate below the anchor its revocation.
static void chainRevocation(X509* signer, const CertificateSet& carried, const std::string& anchors,
                            CMS_ContentInfo* cms, const HelmSettings* settings, time_t deadline,
                            std::vector<ChainEntry>* out) {
  STACK_OF(X509_CRL)* embedded = cms != nullptr ? CMS_get1_crls(cms) : nullptr;
  X509_STORE* store = anchorStore(anchors);
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  for (gnutls_x509_crt_t c : carried.list) {
    X509* x = toOpenssl(c);
    if (x != nullptr && (untrusted == nullptr || sk_X509_push(untrusted, x) <= 0)) X509_free(x);
  }
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  STACK_OF(X509)* chain = nullptr;
  if (store != nullptr && untrusted != nullptr && context != nullptr &&
      X509_STORE_CTX_init(context, store, signer, untrusted) == 1) {
    X509_STORE_CTX_set_flags(context, X509_V_FLAG_NO_CHECK_TIME | X509_V_FLAG_PARTIAL_CHAIN);
    if (X509_verify_cert(context) == 1) chain = X509_STORE_CTX_get1_chain(context);
  }
  for (int i = 0; chain != nullptr && i + 1 < sk_X509_num(chain) && i < 8; i++) {
    ChainEntry entry;
    char name[512];
    X509_NAME_oneline(X509_get_subject_name(sk_X509_value(chain, i)), name, sizeof name);
    entry.subject = name;
    HelmRevocation_Check(sk_X509_value(chain, i), sk_X509_value(chain, i + 1), store, untrusted, embedded,
                         settings->revocationSeconds, deadline, &entry.revocation);
    out->push_back(entry);
  }
  sk_X509_pop_free(chain, X509_free);
  sk_X509_CRL_pop_free(embedded, X509_CRL_free);
  X509_STORE_CTX_free(context);
  sk_X509_pop_free(untrusted, X509_free);
  X509_STORE_free(store);
  ERR_clear_error();
}

// The signature over the signed attributes alone (without the content): a
// failure here is the key's, not the content's.
static bool signatureOverAttributes(CMS_SignerInfo* si, X509* signer) {
  if (si == nullptr || signer == nullptr || CMS_signed_get_attr_count(si) < 0) return false;
  CMS_SignerInfo_set1_signer_cert(si, signer);
  bool good = CMS_SignerInfo_verify(si) == 1;
  ERR_clear_error();
  return good;
}

// Verifies signature `index`: its signer found among the carried
// certificates or the anchors, the signature over the content, and the
// signer's chain to the anchors (at the time a timestamp proves, when the
// signer's certificate has since expired). The signer's JSON members go to
// *entry, the verdict to *judgement.
static int verifySignature(const SignedData& signedData, unsigned index, const VerifyRequest& request,
                           const CertificateSet& carried, const CertificateSet& anchors, const TrustList& trust,
                           CMS_ContentInfo* cms, const HelmSettings* settings, time_t deadline, std::string* entry,
                           Judgement* judgement, HelmLevel* level, std::string* message) {
  gnutls_pkcs7_signature_info_st info;
  memset(&info, 0, sizeof info);
  if (gnutls_pkcs7_get_signature_info(signedData.pkcs7, index, &info) < 0) {
    judgement->set("TOTAL_FAILED", "FORMAT_FAILURE");
    *message = "a signer's information cannot be read";
    return HELM_E_CMS_MALFORMED;
  }
  gnutls_x509_crt_t signer = nullptr;
  for (gnutls_x509_crt_t c : carried.list) {
    if (signer == nullptr && isSigner(c, &info)) signer = c;
  }
  for (gnutls_x509_crt_t c : anchors.list) {
    if (signer == nullptr && isSigner(c, &info)) signer = c;
  }
  time_t signingTime = info.signing_time;
  gnutls_sign_algorithm_t algorithm = info.algo;
  gnutls_pkcs7_signature_info_deinit(&info);
  if (signer == nullptr) {
    judgement->set("INDETERMINATE", "NO_SIGNING_CERTIFICATE_FOUND");
    *message = "the signer's certificate is neither in the signature nor among the trust anchors";
    return HELM_E_SIGNER_UNTRUSTED;
  }
  CMS_SignerInfo* si = nullptr;
  if (cms != nullptr && (int)index < sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms))) {
    si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), (int)index);
  }
  X509* signerX509 = toOpenssl(signer);
  Lasting lasting;
  if (si != nullptr && signerX509 != nullptr) readLasting(si, signerX509, request.anchors, settings, &lasting);
  gnutls_datum_t content = HelmStore_Datum(request.data);
  // The signer certificate's validity is judged with the chain below, where
  // a timestamp may prove the signature older than its expiry.
  const unsigned kNoTime = GNUTLS_VERIFY_DISABLE_TIME_CHECKS | GNUTLS_VERIFY_DISABLE_TRUSTED_TIME_CHECKS;
  int ret = gnutls_pkcs7_verify_direct(signedData.pkcs7, signer, index, signedData.attached ? nullptr : &content,
                                       kNoTime);
  if (ret < 0) {
    // The key's signature over the signed attributes holds: the content is
    // what changed.
    bool attributesHold = signatureOverAttributes(si, signerX509);
    X509_free(signerX509);
    judgement->set("TOTAL_FAILED", attributesHold ? "HASH_FAILURE" : "SIG_CRYPTO_FAILURE");
    *message = std::string("the signature does not match the data: ") + gnutls_strerror(ret);
    return HELM_E_SIGNATURE_INVALID;
  }
  // The signer's chain to the anchors, helped by the certificates carried.
  std::vector<gnutls_x509_crt_t> chain;
  chain.push_back(signer);
  for (gnutls_x509_crt_t c : carried.list) {
    if (c != signer) chain.push_back(c);
  }
  unsigned status = 0;
  ret = gnutls_x509_trust_list_verify_crt2(trust.list, chain.data(), (unsigned)chain.size(), nullptr, 0, 0, &status,
                                           nullptr);
  const unsigned kTimeBits = GNUTLS_CERT_EXPIRED | GNUTLS_CERT_NOT_ACTIVATED;
  bool outOfBounds = false;
  if (ret >= 0 && status != 0 && (status & ~(kTimeBits | GNUTLS_CERT_INVALID)) == 0) {
    // Only time is wrong. A timestamp that proves the signature existed
    // while the signer's certificate was valid makes it good; without one
    // it cannot be decided.
    unsigned untimed = 0;
    int again = gnutls_x509_trust_list_verify_crt2(trust.list, chain.data(), (unsigned)chain.size(), nullptr, 0,
                                                   GNUTLS_VERIFY_DISABLE_TIME_CHECKS, &untimed, nullptr);
    time_t from = gnutls_x509_crt_get_activation_time(signer), until = gnutls_x509_crt_get_expiration_time(signer);
    if (again >= 0 && untimed == 0) {
      if (lasting.stamped && lasting.stampTime >= from && lasting.stampTime <= until) status = 0;
      else outOfBounds = true;
    }
  }
  if (ret < 0 || status != 0) {
    std::string reason = ret < 0 ? gnutls_strerror(ret) : "";
    gnutls_datum_t text = {nullptr, 0};
    if (ret >= 0 && gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) >= 0) {
      reason.assign(reinterpret_cast<const char*>(text.data), text.size);
      gnutls_free(text.data);
    }
    if (outOfBounds) judgement->set("INDETERMINATE", "OUT_OF_BOUNDS_NO_POE");
    else judgement->set("INDETERMINATE", "NO_CERTIFICATE_CHAIN_FOUND");
    *message = "the signer is not trusted: " + reason;
    X509_free(signerX509);
    return HELM_E_SIGNER_UNTRUSTED;
  }
  // Revocation: a certificate revoked after a timestamp proves the
  // signature existed is no reason to doubt it; revoked before (or with
  // nothing proving when the signature was made) it is; no answer from
  // services a certificate names leaves it undecided.
  std::vector<ChainEntry> entries;
  if (signerX509 != nullptr) {
    chainRevocation(signerX509, carried, request.anchors, cms, settings, deadline, &entries);
  }
  X509_free(signerX509);
  std::string certificates;
  int revocationCode = HELM_OK;
  for (size_t i = 0; i < entries.size(); i++) {
    const HelmRevocation& r = entries[i].revocation;
    std::string item;
    HelmJson_Member(&item, "subject", entries[i].subject);
    HelmJson_Member(&item, "revocation", r.status);
    HelmJson_Member(&item, "revocationSource", r.source);
    if (!r.url.empty()) HelmJson_Member(&item, "revocationUrl", r.url);
    if (r.revokedAt != (time_t)-1) HelmJson_Member(&item, "revokedAt", HelmJson_Time(r.revokedAt));
    if (!r.problem.empty()) HelmJson_Member(&item, "revocationProblem", r.problem);
    if (!certificates.empty()) certificates.push_back(',');
    certificates += "{" + item + "}";
    if (revocationCode != HELM_OK) continue;
    bool proven = lasting.stamped && r.revokedAt != (time_t)-1 && lasting.stampTime < r.revokedAt;
    if (strcmp(r.status, "revoked") == 0 && !proven) {
      judgement->set("INDETERMINATE", i == 0 ? "REVOKED_NO_POE" : "REVOKED_CA_NO_POE");
      *message = entries[i].subject + " was revoked " +
                 (r.revokedAt != (time_t)-1 ? "at " + HelmJson_Time(r.revokedAt) : std::string("")) +
                 (lasting.stamped ? ", before the signature's timestamp"
                                  : ", and no timestamp proves the signature older") +
                 " (" + r.source + ")";
      revocationCode = HELM_E_SIGNER_REVOKED;
    } else if (strcmp(r.status, "unknown") == 0) {
      judgement->set("INDETERMINATE", "TRY_LATER");
      *message = "the revocation of " + entries[i].subject + " cannot be learnt now: " + r.problem;
      revocationCode = HELM_E_REVOCATION_UNKNOWN;
    }
  }
  if (revocationCode != HELM_OK) return revocationCode;
  // B-LT: the signature carries the revocation data of every certificate
  // that names a service.
  bool carriesAll = false;
  for (const ChainEntry& e : entries) {
    if (strcmp(e.revocation.source, "embedded") == 0) carriesAll = true;
  }
  for (const ChainEntry& e : entries) {
    if (strcmp(e.revocation.source, "embedded") != 0 && strcmp(e.revocation.status, "unchecked") != 0) {
      carriesAll = false;
    }
  }
  if (lasting.level == HELM_LEVEL_B_T && carriesAll) lasting.level = HELM_LEVEL_B_LT;
  if (lasting.essPresent && !lasting.essMatches) {
    // The signed certificate reference names another certificate.
    judgement->set("INDETERMINATE", "NO_SIGNING_CERTIFICATE_FOUND");
  }
  gnutls_datum_t signerDer = {nullptr, 0};
  std::string pem;
  if (gnutls_x509_crt_export2(signer, GNUTLS_X509_FMT_PEM, &signerDer) >= 0) {
    pem.assign(reinterpret_cast<const char*>(signerDer.data), signerDer.size);
    gnutls_free(signerDer.data);
  }
  HelmCertificate_AppendDetails(entry, signer, time(nullptr));
  HelmJson_Member(entry, "signingTime", HelmJson_Time(signingTime));
  const char* algorithmName = gnutls_sign_get_name(algorithm);
  HelmJson_Member(entry, "algorithm", algorithmName != nullptr ? algorithmName : "");
  HelmJson_Member(entry, "certificate", pem);
  HelmJson_Member(entry, "indication", judgement->indication);
  HelmJson_Member(entry, "subIndication", judgement->subIndication);
  HelmJson_Member(entry, "level", HelmLevel_Name(lasting.level));
  HelmJson_Member(entry, "claimedSigningTime", HelmJson_Time(signingTime));
  HelmJson_MemberRaw(entry, "essCertificateMatch", lasting.essMatches ? "true" : "false");
  HelmJson_MemberRaw(entry, "timestamps", std::to_string(lasting.timestamps));
  if (lasting.stamped) {
    HelmJson_Member(entry, "timestampTime", HelmJson_Time(lasting.stampTime));
    HelmJson_Member(entry, "timestampAuthority", lasting.stampAuthority);
  }
  if (!lasting.stampProblem.empty()) HelmJson_Member(entry, "timestampProblem", lasting.stampProblem);
  HelmJson_MemberRaw(entry, "chain", "[" + certificates + "]");
  *level = lasting.level;
  return HELM_OK;
}

// The signature again, as OpenSSL reads it (DER, else PEM); null when it
// cannot, and then no level is found.
static CMS_ContentInfo* readWithOpenssl(const std::vector<unsigned char>& bytes) {
  const unsigned char* p = bytes.data();
  CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, (long)bytes.size());
  if (cms == nullptr) {
    BIO* bio = BIO_new_mem_buf(bytes.data(), (int)bytes.size());
    if (bio != nullptr) cms = PEM_read_bio_CMS(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
  }
  ERR_clear_error();
  return cms;
}

// An error answer with the verdict beside its code.
static std::string judgedError(int code, const std::string& message, const Judgement& judgement) {
  std::string out = HelmJson_Error(code, message);
  out.pop_back();  // the closing brace
  std::string more;
  HelmJson_Member(&more, "indication", judgement.indication);
  HelmJson_Member(&more, "subIndication", judgement.subIndication);
  return out + "," + more + "}";
}

std::string HelmFunction_VerifyCms(const KestrovanJsonMap* map) {
  std::string message;
  VerifyRequest request;
  CertificateSet anchorSet, carried;
  TrustList trust;
  SignedData signedData;
  int signatures = 0;
  int code = readVerifyRequest(map, &request, &message);
  if (code == HELM_OK) code = loadAnchors(request.anchors, &anchorSet, &message);
  if (code == HELM_OK) code = importSignedData(request, &signedData, &signatures, &message);
  if (code == HELM_OK) carriedCertificates(signedData.pkcs7, &carried);
  if (code == HELM_OK) code = makeTrustList(request.anchors, &trust, &message);
  if (code != HELM_OK) {
    Judgement judgement;
    if (code == HELM_E_CMS_MALFORMED) judgement.set("TOTAL_FAILED", "FORMAT_FAILURE");
    else if (code == HELM_E_SIGNATURE_INVALID) judgement.set("TOTAL_FAILED", "HASH_FAILURE");
    else return HelmJson_Error(code, message);
    return judgedError(code, message, judgement);
  }
  HelmSettings settings;
  HelmSettings_Load(&settings);
  OpensslCms openssl;
  openssl.cms = readWithOpenssl(request.cms);
  // However many signers and certificates, the revocation services get
  // twice one service's time in all: a page cannot hold the call longer.
  time_t deadline = time(nullptr) + 2 * (time_t)settings.revocationSeconds;

  std::string signers;
  Judgement overall;
  HelmLevel lowest = HELM_LEVEL_B_LTA;
  for (int i = 0; i < signatures; i++) {
    std::string entry;
    Judgement judgement;
    HelmLevel level = HELM_LEVEL_NONE;
    code = verifySignature(signedData, (unsigned)i, request, carried, anchorSet, trust, openssl.cms, &settings,
                           deadline, &entry, &judgement, &level, &message);
    if (code != HELM_OK) return judgedError(code, message, judgement);
    if (strcmp(judgement.indication, "TOTAL_PASSED") != 0 && strcmp(overall.indication, "TOTAL_PASSED") == 0) {
      overall = judgement;
    }
    if (level < lowest) lowest = level;
    if (!signers.empty()) signers.push_back(',');
    signers += "{" + entry + "}";
  }
  std::string out;
  HelmJson_MemberRaw(&out, "signers", "[" + signers + "]");
  HelmJson_MemberRaw(&out, "attached", signedData.attached ? "true" : "false");
  if (signedData.attached) HelmJson_Member(&out, "content", HelmJson_Base64(signedData.embedded.data, signedData.embedded.size));
  HelmJson_Member(&out, "indication", overall.indication);
  HelmJson_Member(&out, "subIndication", overall.subIndication);
  HelmJson_Member(&out, "level", HelmLevel_Name(lowest));
  return "{\"code\":0," + out + "}";
}
