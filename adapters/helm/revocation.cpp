// SPDX-License-Identifier: Apache-2.0
// revocation.cpp -- whether a certificate of a signer's chain was revoked,
// and when: from a CRL the signature carries, else the certificate's own
// OCSP responder (authorityInfoAccess), else its CRL (crlDistributionPoints). The URLs come only from the
// certificate; each request has the settings' deadline and a bounded
// answer. An OCSP response counts only when it answers this certificate,
// echoes the nonce, is signed by the issuer or a responder the issuer
// delegated to, and is current; a CRL only when the issuer signed it and it
// is current.
#include "helm.h"

#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>

static const size_t kMaxRevocationBytes = 1024u * 1024u;
static const long kClockSkewSeconds = 300;

static time_t timeOf(const ASN1_TIME* t) {
  struct tm when;
  memset(&when, 0, sizeof when);
  return t != nullptr && ASN1_TIME_to_tm(t, &when) == 1 ? timegm(&when) : (time_t)-1;
}

static std::string opensslReason() {
  unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
  return reason != nullptr ? reason : "unknown error";
}

// One OCSP responder's word on the certificate: true when it gave one.
static bool askOcsp(const std::string& url, X509* certificate, X509* issuer, X509_STORE* roots,
                    STACK_OF(X509)* untrusted, unsigned seconds, HelmRevocation* out, std::string* problem) {
  OCSP_REQUEST* request = OCSP_REQUEST_new();
  OCSP_CERTID* id = OCSP_cert_to_id(EVP_sha1(), certificate, issuer);
  OCSP_CERTID* mine = id != nullptr ? OCSP_CERTID_dup(id) : nullptr;
  bool built = request != nullptr && id != nullptr && mine != nullptr && OCSP_request_add0_id(request, id) != nullptr;
  if (built) id = nullptr;  // the request owns it
  built = built && OCSP_request_add1_nonce(request, nullptr, -1) == 1;
  unsigned char* der = nullptr;
  int length = built ? i2d_OCSP_REQUEST(request, &der) : -1;
  std::vector<unsigned char> body;
  if (length > 0) body.assign(der, der + length);
  OPENSSL_free(der);
  OCSP_CERTID_free(id);
  bool answered = false;
  std::string reply;
  OCSP_RESPONSE* response = nullptr;
  OCSP_BASICRESP* basic = nullptr;
  if (body.empty()) {
    *problem = "building the OCSP request failed";
  } else if (HelmHttp_Fetch(HELM_HTTP_FROM_CERTIFICATE, url, "application/ocsp-request", &body, seconds, kMaxRevocationBytes, &reply, problem)) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(reply.data());
    response = d2i_OCSP_RESPONSE(nullptr, &p, (long)reply.size());
    basic = response != nullptr && OCSP_response_status(response) == OCSP_RESPONSE_STATUS_SUCCESSFUL
                ? OCSP_response_get1_basic(response)
                : nullptr;
    int status = -1, reason = -1;
    ASN1_GENERALIZEDTIME *revoked = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
    if (basic == nullptr) {
      *problem = response == nullptr ? "not an OCSP response" : "the responder did not answer successfully";
    } else if (OCSP_check_nonce(request, basic) != 1) {
      *problem = "the OCSP response does not echo the nonce";
    } else if (OCSP_basic_verify(basic, untrusted, roots, 0) != 1) {
      *problem = "the OCSP response's signature fails: " + opensslReason();
    } else if (OCSP_resp_find_status(basic, mine, &status, &reason, &revoked, &thisUpdate, &nextUpdate) != 1) {
      *problem = "the OCSP response does not speak of this certificate";
    } else if (OCSP_check_validity(thisUpdate, nextUpdate, kClockSkewSeconds, -1) != 1) {
      *problem = "the OCSP response is not current";
    } else if (status == V_OCSP_CERTSTATUS_UNKNOWN) {
      *problem = "the OCSP responder does not know the certificate";
    } else {
      out->status = status == V_OCSP_CERTSTATUS_REVOKED ? "revoked" : "good";
      out->revokedAt = status == V_OCSP_CERTSTATUS_REVOKED ? timeOf(revoked) : (time_t)-1;
      out->source = "ocsp";
      out->url = url;
      answered = true;
    }
  }
  ERR_clear_error();
  OCSP_BASICRESP_free(basic);
  OCSP_RESPONSE_free(response);
  OCSP_CERTID_free(mine);
  OCSP_REQUEST_free(request);
  return answered;
}

// A CRL's word on the certificate: true when the issuer signed it (and,
// unless it was carried in the signature, it is current).
static bool judgeCrl(X509_CRL* crl, X509* certificate, X509* issuer, bool mustBeCurrent, HelmRevocation* out,
                     std::string* problem) {
  time_t now = time(nullptr);
  X509_REVOKED* entry = nullptr;
  if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_subject_name(issuer)) != 0 ||
      X509_CRL_verify(crl, X509_get0_pubkey(issuer)) != 1) {
    ERR_clear_error();
    *problem = "the CRL is not signed by the certificate's issuer";
    return false;
  }
  if (mustBeCurrent && (timeOf(X509_CRL_get0_lastUpdate(crl)) > now + kClockSkewSeconds ||
                        (X509_CRL_get0_nextUpdate(crl) != nullptr && timeOf(X509_CRL_get0_nextUpdate(crl)) < now))) {
    *problem = "the CRL is not current";
    return false;
  }
  bool revoked = X509_CRL_get0_by_cert(crl, &entry, certificate) == 1;
  out->status = revoked ? "revoked" : "good";
  out->revokedAt = revoked ? timeOf(X509_REVOKED_get0_revocationDate(entry)) : (time_t)-1;
  return true;
}

// One CRL distribution point's word on the certificate: true when it gave
// one; its DER in out->crl.
static bool readCrl(const std::string& url, X509* certificate, X509* issuer, unsigned seconds, HelmRevocation* out,
                    std::string* problem) {
  std::string bytes;
  if (!HelmHttp_Fetch(HELM_HTTP_FROM_CERTIFICATE, url, nullptr, nullptr, seconds, kMaxRevocationBytes, &bytes, problem)) return false;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  X509_CRL* crl = d2i_X509_CRL(nullptr, &p, (long)bytes.size());
  ERR_clear_error();
  if (crl == nullptr) {
    *problem = "not a DER CRL";
    return false;
  }
  bool answered = judgeCrl(crl, certificate, issuer, true, out, problem);
  X509_CRL_free(crl);
  if (answered) {
    out->source = "crl";
    out->url = url;
    out->crl = bytes;
  }
  return answered;
}

// The http(s) URIs of the certificate's CRL distribution points.
static std::vector<std::string> crlUrls(X509* certificate) {
  std::vector<std::string> urls;
  STACK_OF(DIST_POINT)* points =
      static_cast<STACK_OF(DIST_POINT)*>(X509_get_ext_d2i(certificate, NID_crl_distribution_points, nullptr, nullptr));
  for (int i = 0; points != nullptr && i < sk_DIST_POINT_num(points) && urls.size() < 4; i++) {
    DIST_POINT* point = sk_DIST_POINT_value(points, i);
    if (point->distpoint == nullptr || point->distpoint->type != 0) continue;
    GENERAL_NAMES* names = point->distpoint->name.fullname;
    for (int j = 0; j < sk_GENERAL_NAME_num(names); j++) {
      GENERAL_NAME* name = sk_GENERAL_NAME_value(names, j);
      if (name->type != GEN_URI) continue;
      const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
      urls.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)), (size_t)ASN1_STRING_length(uri));
    }
  }
  sk_DIST_POINT_pop_free(points, DIST_POINT_free);
  ERR_clear_error();
  return urls;
}

bool HelmRevocation_HasServices(X509* certificate, bool* ocsp, bool* crl) {
  STACK_OF(OPENSSL_STRING)* listed = X509_get1_ocsp(certificate);
  *ocsp = listed != nullptr && sk_OPENSSL_STRING_num(listed) > 0;
  X509_email_free(listed);
  *crl = !crlUrls(certificate).empty();
  return *ocsp || *crl;
}

bool HelmRevocation_FetchCrl(X509* certificate, X509* issuer, unsigned seconds, HelmRevocation* out) {
  out->status = "unknown";
  out->source = "none";
  out->revokedAt = (time_t)-1;
  out->problem.clear();
  std::string problem;
  for (const std::string& url : crlUrls(certificate)) {
    if (readCrl(url, certificate, issuer, seconds, out, &problem)) return true;
    out->problem += (out->problem.empty() ? "" : "; ") + url + ": " + problem;
  }
  return false;
}

void HelmRevocation_Check(X509* certificate, X509* issuer, X509_STORE* roots, STACK_OF(X509)* untrusted,
                          STACK_OF(X509_CRL)* embedded, unsigned seconds, time_t deadline, HelmRevocation* out) {
  out->status = "unchecked";
  out->source = "none";
  out->revokedAt = (time_t)-1;
  out->url.clear();
  out->problem.clear();
  out->crl.clear();
  // What the signature carries comes first: it was gathered when the
  // signature was made, and needs no service that may be gone since.
  std::string ignored;
  for (int i = 0; embedded != nullptr && i < sk_X509_CRL_num(embedded); i++) {
    if (judgeCrl(sk_X509_CRL_value(embedded, i), certificate, issuer, false, out, &ignored)) {
      out->source = "embedded";
      return;
    }
  }
  std::vector<std::string> ocsp;
  STACK_OF(OPENSSL_STRING)* listed = X509_get1_ocsp(certificate);
  for (int i = 0; listed != nullptr && i < sk_OPENSSL_STRING_num(listed) && ocsp.size() < 4; i++) {
    ocsp.emplace_back(sk_OPENSSL_STRING_value(listed, i));
  }
  X509_email_free(listed);
  std::vector<std::string> crls = crlUrls(certificate);
  if (ocsp.empty() && crls.empty()) return;  // nowhere to ask: it stays unchecked
  std::string problem;
  // Every request within what is left of the call's time.
  auto left = [&]() -> unsigned {
    time_t now = time(nullptr);
    return now >= deadline ? 0u : (unsigned)(deadline - now < (time_t)seconds ? deadline - now : (time_t)seconds);
  };
  for (const std::string& url : ocsp) {
    if (left() == 0) break;
    if (askOcsp(url, certificate, issuer, roots, untrusted, left(), out, &problem)) return;
    out->problem += (out->problem.empty() ? "" : "; ") + url + ": " + problem;
  }
  for (const std::string& url : crls) {
    if (left() == 0) break;
    if (readCrl(url, certificate, issuer, left(), out, &problem)) return;
    out->problem += (out->problem.empty() ? "" : "; ") + url + ": " + problem;
  }
  if (left() == 0) {
    out->problem += (out->problem.empty() ? "" : "; ") + std::string("the time for revocation checks ran out");
  }
  out->status = "unknown";
}
