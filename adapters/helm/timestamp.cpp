// SPDX-License-Identifier: Apache-2.0
// timestamp.cpp -- RFC 3161 timestamps from the authorities the settings
// name (never one a page names): a query over SHA-256 of what is stamped
// with a fresh nonce, POSTed over http(s) (http.cpp) within the settings'
// time and a bounded answer size; each authority in turn until one gives a
// token that passes every check: status granted, the imprint of what was
// stamped, the nonce echoed, the token's signature, the TSA certificate's
// chain to the "tsa-trust" roots and its critical timeStamping EKU.
#include "helm.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>

namespace {

struct TimestampState {
  TS_REQ* request = nullptr;
  TS_RESP* response = nullptr;
  TS_VERIFY_CTX* verify = nullptr;
  STACK_OF(X509)* signers = nullptr;
  ~TimestampState() {
    TS_REQ_free(request);
    TS_RESP_free(response);
    TS_VERIFY_CTX_free(verify);
    sk_X509_free(signers);
  }
};

}  // namespace

static std::string opensslError() {
  unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  if (e == 0) return "unknown error";
  const char* reason = ERR_reason_error_string(e);
  return reason != nullptr ? reason : "unknown error";
}

// The query: SHA-256 imprint, a 64-bit random nonce, the TSA's certificate
// asked for, the settings' policy if any.
static int makeQuery(const HelmSettings* settings, const unsigned char* stamped, size_t length, TS_REQ** out,
                     std::vector<unsigned char>* der, std::string* message) {
  unsigned char digest[32];
  unsigned char nonceBytes[8];
  if (EVP_Digest(stamped, length, digest, nullptr, EVP_sha256(), nullptr) != 1 ||
      gnutls_rnd(GNUTLS_RND_NONCE, nonceBytes, sizeof nonceBytes) < 0) {
    *message = "hashing failed";
    return HELM_E_INTERNAL;
  }
  nonceBytes[0] |= 0x40;  // a full 63 bits, never a short number
  nonceBytes[0] &= 0x7f;
  TS_REQ* request = TS_REQ_new();
  TS_MSG_IMPRINT* imprint = TS_MSG_IMPRINT_new();
  X509_ALGOR* algorithm = X509_ALGOR_new();
  BIGNUM* number = BN_bin2bn(nonceBytes, sizeof nonceBytes, nullptr);
  ASN1_INTEGER* nonce = number != nullptr ? BN_to_ASN1_INTEGER(number, nullptr) : nullptr;
  ASN1_OBJECT* policy = settings->tsaPolicy.empty() ? nullptr : OBJ_txt2obj(settings->tsaPolicy.c_str(), 1);
  bool good = request != nullptr && imprint != nullptr && algorithm != nullptr && nonce != nullptr &&
              (settings->tsaPolicy.empty() || policy != nullptr) && TS_REQ_set_version(request, 1) == 1 &&
              X509_ALGOR_set0(algorithm, OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) == 1 &&
              TS_MSG_IMPRINT_set_algo(imprint, algorithm) == 1 &&
              TS_MSG_IMPRINT_set_msg(imprint, digest, sizeof digest) == 1 &&
              TS_REQ_set_msg_imprint(request, imprint) == 1 && TS_REQ_set_nonce(request, nonce) == 1 &&
              TS_REQ_set_cert_req(request, 1) == 1 && (policy == nullptr || TS_REQ_set_policy_id(request, policy) == 1);
  unsigned char* bytes = nullptr;
  int size = good ? i2d_TS_REQ(request, &bytes) : -1;
  TS_MSG_IMPRINT_free(imprint);
  X509_ALGOR_free(algorithm);
  BN_free(number);
  ASN1_INTEGER_free(nonce);
  ASN1_OBJECT_free(policy);
  if (size <= 0) {
    TS_REQ_free(request);
    *message = "building the timestamp query failed: " + opensslError();
    return HELM_E_INTERNAL;
  }
  der->assign(bytes, bytes + size);
  OPENSSL_free(bytes);
  *out = request;
  return HELM_OK;
}

// Whether the TSA certificate marks timeStamping as its extended key usage,
// and that extension critical.
static bool timestampingCertificate(X509* certificate) {
  int at = X509_get_ext_by_NID(certificate, NID_ext_key_usage, -1);
  return at >= 0 && X509_EXTENSION_get_critical(X509_get_ext(certificate, at)) == 1 &&
         (X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) != 0 &&
         (X509_get_extended_key_usage(certificate) & XKU_TIMESTAMP) != 0;
}

static std::string nameOf(X509_NAME* name) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return std::string();
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* text = nullptr;
  long length = BIO_get_mem_data(bio, &text);
  std::string out(text != nullptr && length > 0 ? text : "", text != nullptr && length > 0 ? (size_t)length : 0);
  BIO_free(bio);
  return out;
}

// Checks one authority's answer to the query.
static int checkAnswer(const HelmSettings* settings, TimestampState* state, const std::string& reply,
                       std::vector<unsigned char>* token, HelmTimestampInfo* info, std::string* message) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(reply.data());
  state->response = d2i_TS_RESP(nullptr, &p, (long)reply.size());
  if (state->response == nullptr) {
    ERR_clear_error();
    *message = "its answer is not a timestamp response";
    return HELM_E_TSA_INVALID;
  }
  long status = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(state->response)));
  if (status != 0 && status != 1) {
    *message = "it refused the timestamp (status " + std::to_string(status) + ")";
    return HELM_E_TSA_REJECTED;
  }
  PKCS7* signedToken = TS_RESP_get_token(state->response);
  state->signers = signedToken != nullptr ? PKCS7_get0_signers(signedToken, nullptr, 0) : nullptr;
  if (state->signers == nullptr || sk_X509_num(state->signers) != 1) {
    ERR_clear_error();
    *message = "its token does not carry the authority's certificate";
    return HELM_E_TSA_INVALID;
  }
  X509* tsa = sk_X509_value(state->signers, 0);
  if (!timestampingCertificate(tsa)) {
    *message = "its certificate lacks the critical timeStamping extended key usage";
    return HELM_E_TSA_INVALID;
  }
  state->verify = TS_REQ_to_TS_VERIFY_CTX(state->request, nullptr);
  X509_STORE* store = X509_STORE_new();
  if (state->verify == nullptr || store == nullptr) {
    X509_STORE_free(store);
    *message = "out of memory";
    return HELM_E_INTERNAL;
  }
  if (X509_STORE_load_file(store, settings->tsaTrust.c_str()) != 1) {
    X509_STORE_free(store);
    ERR_clear_error();
    *message = "its chain cannot be checked: tsa-trust " + settings->tsaTrust + " cannot be read";
    return HELM_E_TSA_INVALID;
  }
  TS_VERIFY_CTX_set_store(state->verify, store);  // the context owns it from here
  // The query gives imprint, nonce and policy; the signature and its chain
  // are checked too.
  TS_VERIFY_CTX_add_flags(state->verify, TS_VFY_SIGNATURE);
  if (TS_RESP_verify_response(state->verify, state->response) != 1) {
    *message = "its token fails a check: " + opensslError();
    return HELM_E_TSA_INVALID;
  }
  unsigned char* bytes = nullptr;
  int size = i2d_PKCS7(signedToken, &bytes);
  if (size <= 0) {
    *message = "encoding the token failed";
    return HELM_E_INTERNAL;
  }
  token->assign(bytes, bytes + size);
  OPENSSL_free(bytes);
  struct tm when;
  memset(&when, 0, sizeof when);
  const ASN1_GENERALIZEDTIME* genTime = TS_TST_INFO_get_time(TS_RESP_get_tst_info(state->response));
  info->when = genTime != nullptr && ASN1_TIME_to_tm(genTime, &when) == 1 ? timegm(&when) : (time_t)-1;
  info->authority = nameOf(X509_get_subject_name(tsa));
  return HELM_OK;
}

int HelmTimestamp_Get(const HelmSettings* settings, const unsigned char* stamped, size_t length,
                      std::vector<unsigned char>* token, HelmTimestampInfo* info, std::string* message) {
  if (settings->tsaUrls.empty()) {
    *message = "a timestamp is needed and no authority is set (tsa-urls in the settings)";
    return HELM_E_TSA_NOT_CONFIGURED;
  }
  int code = HELM_E_TSA_UNREACHABLE;
  std::string reasons;
  for (const std::string& url : settings->tsaUrls) {
    TimestampState state;
    std::vector<unsigned char> query;
    std::string why;
    code = makeQuery(settings, stamped, length, &state.request, &query, &why);
    if (code == HELM_E_INTERNAL) {
      *message = why;
      return code;
    }
    std::string reply;
    code = HelmHttp_Fetch(HELM_HTTP_FROM_SETTINGS, url, "application/timestamp-query", &query, settings->tsaSeconds, HELM_MAX_TSA_REPLY_BYTES,
                          &reply, &why)
               ? HELM_OK
               : HELM_E_TSA_UNREACHABLE;
    if (code == HELM_OK) code = checkAnswer(settings, &state, reply, token, info, &why);
    if (code == HELM_OK) {
      info->url = url;
      return HELM_OK;
    }
    if (code == HELM_E_INTERNAL) {
      *message = why;
      return code;
    }
    if (!reasons.empty()) reasons += "; ";
    reasons += url + ": " + why;
  }
  *message = "no timestamp authority gave a usable timestamp: " + reasons;
  return code;
}
