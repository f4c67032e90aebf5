// SPDX-License-Identifier: Apache-2.0
// functions.cpp -- the page functions: listing, one certificate, CMS and raw
// signing, hashing, and the adapter's own facts (CMS verification is in
// verify.cpp). Each returns the JSON answer; a failure is
// {"code":<code>,"message":"..."}.
#include "helm.h"

#include <cstring>
#include <ctime>
#include <strings.h>

namespace {

// Wipes a secret text on every way out of a function.
struct WipeOnExit {
  std::string* text;
  ~WipeOnExit() { Helm_WipeString(text); }
};

struct KeyCloser {
  HelmKey* key;
  ~KeyCloser() { HelmKey_Close(key); }
};

}  // namespace

static std::string ok(const std::string& members) {
  return members.empty() ? std::string("{\"code\":0}") : "{\"code\":0," + members + "}";
}

static void appendLocation(std::string* out, const HelmCertificate& c) {
  std::string location;
  if (c.kind == HELM_LOCATION_PKCS11) {
    HelmJson_Member(&location, "type", "pkcs11");
    HelmJson_Member(&location, "token", c.tokenLabel);
    HelmJson_Member(&location, "tokenUrl", c.tokenUrl);
    HelmJson_Member(&location, "label", c.objectLabel);
  } else {
    HelmJson_Member(&location, "type", "pkcs12");
    size_t slash = c.file.rfind('/');
    HelmJson_Member(&location, "file", slash == std::string::npos ? c.file : c.file.substr(slash + 1));
  }
  HelmJson_MemberRaw(out, "location", "{" + location + "}");
}

// "sha256" (the default when absent), "sha384", "sha512"; hashing also
// accepts "sha1" and "sha224".
static int readDigest(const KestrovanJsonMap* map, const char* key, bool hashingOnly,
                      gnutls_digest_algorithm_t* digest, std::string* name, std::string* message) {
  std::string text;
  bool present = false;
  int code = HelmParams_Text(map, key, 16, &text, &present, message);
  if (code != HELM_OK) return code;
  if (!present || text.empty()) text = "sha256";
  static const struct {
    const char* name;
    gnutls_digest_algorithm_t digest;
    bool signing;
  } kDigests[] = {
      {"sha256", GNUTLS_DIG_SHA256, true}, {"sha384", GNUTLS_DIG_SHA384, true}, {"sha512", GNUTLS_DIG_SHA512, true},
      {"sha224", GNUTLS_DIG_SHA224, false}, {"sha1", GNUTLS_DIG_SHA1, false},
  };
  for (const auto& d : kDigests) {
    if (strcasecmp(text.c_str(), d.name) == 0 && (d.signing || hashingOnly)) {
      *digest = d.digest;
      *name = d.name;
      return HELM_OK;
    }
  }
  *message = std::string(key) + ": unsupported digest " + text;
  return HELM_E_UNSUPPORTED;
}

// Reads "id" and finds its certificate.
static int findCertificate(const KestrovanJsonMap* map, HelmCertificate* certificate, std::string* id,
                           std::string* message) {
  bool present = false;
  int code = HelmParams_Text(map, "id", HELM_MAX_ID_BYTES, id, &present, message);
  if (code != HELM_OK) return code;
  // Without an id: the certificate the user chose for this site.
  if (!present || id->empty()) *id = HelmSelect_Chosen();
  if (id->empty()) {
    *message = "id is required";
    return HELM_E_BAD_PARAMETER;
  }
  code = HelmSelect_CheckId(*id, message);
  if (code != HELM_OK) return code;
  code = HelmStore_Find(*id, certificate);
  if (code != HELM_OK) *message = "no certificate with id " + *id;
  return code;
}

// The first bytes of a digest as the dialogs show them: "3a7b d3e2 ... …".
static std::string digestPrefix(const unsigned char* digest, size_t length) {
  std::string hex = HelmJson_Hex(digest, length < 12 ? length : 12, false);
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 4) {
    if (!out.empty()) out.push_back(' ');
    out += hex.substr(i, 4);
  }
  if (length > 12) out += " \xe2\x80\xa6";
  return out;
}

// The page's own words about what is signed, if it gave any.
static int readDescription(const KestrovanJsonMap* map, std::string* description, std::string* message) {
  bool present = false;
  return HelmParams_Text(map, "description", HELM_MAX_DESCRIPTION_BYTES, description, &present, message);
}

// Reads "id", the page's "pin" (only where the settings let this origin send
// one; without it the user types it in a dialog) and "description", and
// opens the key for purpose. shownDigest is what the dialog shows of the input.
static int openKey(const KestrovanJsonMap* map, HelmPurpose purpose, const HelmSettings* settings,
                   const std::string& digestLabel, const unsigned char* shownDigest, size_t shownLength, HelmKey* key,
                   std::string* id, std::string* message) {
  std::string pin;
  WipeOnExit wipePin = {&pin};
  bool pinPresent = false;
  int code = HelmParams_Text(map, "pin", HELM_MAX_PIN_BYTES, &pin, &pinPresent, message);
  if (code != HELM_OK) return code;
  if (pinPresent && !HelmSettings_PagePinAllowed(settings, HelmSession_Origin().c_str())) {
    *message = "this site may not send the PIN: leave it out and the user types it in a dialog "
               "(page-pin-origins in the settings allows it for kiosks)";
    return HELM_E_PAGE_PIN_REFUSED;
  }
  HelmPinSource source;
  source.pagePin = pinPresent ? pin.c_str() : nullptr;
  source.settings = settings;
  source.purpose = purpose;
  source.site = HelmSession_Origin();
  code = readDescription(map, &source.description, message);
  if (code != HELM_OK) return code;
  source.digestLabel = digestLabel;
  source.digestHex = digestPrefix(shownDigest, shownLength);
  HelmCertificate certificate;
  code = findCertificate(map, &certificate, id, message);
  if (code != HELM_OK) return code;
  return HelmKey_Open(&certificate, &source, key, message);
}

std::string HelmFunction_ListCertificates(const KestrovanJsonMap* map) {
  std::string message;
  bool all = false;
  int code = HelmParams_Bool(map, "all", false, &all, &message);
  if (code != HELM_OK) return HelmJson_Error(code, message);
  HelmSettings settings;
  HelmSettings_Load(&settings);
  // Every other site has the user choose the one certificate it gets.
  if (!HelmSettings_ListAllowed(&settings, HelmSession_Origin().c_str())) {
    return HelmJson_Error(HELM_E_USE_SELECT_CERTIFICATE,
                          "this site may not list the certificates: ask the user to choose one with SelectCertificate");
  }
  std::vector<HelmCertificate> certificates;
  std::vector<HelmProblem> problems;
  code = HelmStore_List(&certificates, &problems);
  if (code != HELM_OK) return HelmJson_Error(code, "listing failed");
  time_t now = time(nullptr);
  std::string list;
  for (const HelmCertificate& c : certificates) {
    gnutls_x509_crt_t crt = nullptr;
    if (gnutls_x509_crt_init(&crt) < 0) return HelmJson_Error(HELM_E_INTERNAL, "out of memory");
    gnutls_datum_t d = HelmStore_Datum(c.der);
    if (gnutls_x509_crt_import(crt, &d, GNUTLS_X509_FMT_DER) < 0) {
      gnutls_x509_crt_deinit(crt);
      continue;
    }
    std::string why;
    bool usable = HelmCertificate_CheckSigning(crt, now, &why) == HELM_OK;
    if (usable || all) {
      if (!list.empty()) list.push_back(',');
      std::string entry;
      HelmJson_Member(&entry, "id", c.id);
      entry.push_back(',');
      HelmCertificate_AppendDetails(&entry, crt, now);
      HelmJson_Member(&entry, "role", HelmKeyRole_Name(HelmCertificate_Role(crt, &settings)));
      appendLocation(&entry, c);
      list += "{" + entry + "}";
    }
    gnutls_x509_crt_deinit(crt);
  }
  std::string problemList;
  for (const HelmProblem& p : problems) {
    if (!problemList.empty()) problemList.push_back(',');
    std::string entry;
    HelmJson_Member(&entry, "location", p.location);
    HelmJson_MemberRaw(&entry, "code", std::to_string(p.code));
    HelmJson_Member(&entry, "message", p.message);
    problemList += "{" + entry + "}";
  }
  std::string out;
  HelmJson_MemberRaw(&out, "certificates", "[" + list + "]");
  HelmJson_MemberRaw(&out, "problems", "[" + problemList + "]");
  return ok(out);
}

std::string HelmFunction_GetCertificate(const KestrovanJsonMap* map) {
  std::string message, id;
  HelmCertificate certificate;
  int code = findCertificate(map, &certificate, &id, &message);
  if (code != HELM_OK) return HelmJson_Error(code, message);
  return HelmFunction_CertificateAnswer(certificate);
}

std::string HelmFunction_CertificateAnswer(const HelmCertificate& certificate) {
  std::string pem;
  if (HelmCertificate_Pem(certificate.der, &pem) != HELM_OK) return HelmJson_Error(HELM_E_INTERNAL, "PEM encoding failed");
  gnutls_x509_crt_t crt = nullptr;
  if (gnutls_x509_crt_init(&crt) < 0) return HelmJson_Error(HELM_E_INTERNAL, "out of memory");
  gnutls_datum_t d = HelmStore_Datum(certificate.der);
  if (gnutls_x509_crt_import(crt, &d, GNUTLS_X509_FMT_DER) < 0) {
    gnutls_x509_crt_deinit(crt);
    return HelmJson_Error(HELM_E_UNKNOWN_CERTIFICATE, "the certificate cannot be parsed");
  }
  std::string out;
  HelmJson_Member(&out, "id", certificate.id);
  HelmJson_Member(&out, "pem", pem);
  out.push_back(',');
  HelmCertificate_AppendDetails(&out, crt, time(nullptr));
  HelmSettings settings;
  HelmSettings_Load(&settings);
  HelmJson_Member(&out, "role", HelmKeyRole_Name(HelmCertificate_Role(crt, &settings)));
  appendLocation(&out, certificate);
  gnutls_x509_crt_deinit(crt);
  return ok(out);
}

// Reads "level": B-B (the default), B-T, B-LT or B-LTA.
static int readLevel(const KestrovanJsonMap* map, HelmLevel* level, std::string* message) {
  std::string text;
  bool present = false;
  int code = HelmParams_Text(map, "level", 16, &text, &present, message);
  if (code != HELM_OK) return code;
  *level = HELM_LEVEL_B_B;
  if (present && !text.empty() && !HelmLevel_Parse(text, level)) {
    *message = "level must be B-B, B-T, B-LT or B-LTA";
    return HELM_E_BAD_PARAMETER;
  }
  return HELM_OK;
}

std::string HelmFunction_SignCms(const KestrovanJsonMap* map) {
  std::string message, id, digestName;
  gnutls_digest_algorithm_t digest;
  HelmLevel level = HELM_LEVEL_B_B;
  // Every level carries the signing time: "includeTime" is still read (a
  // malformed one is refused) and no longer leaves it out.
  bool attached = false, includeTime = true, present = false;
  std::vector<unsigned char> data;
  int code = HelmParams_Bytes(map, "data", HELM_MAX_DATA_BYTES, &data, &present, &message);
  if (code == HELM_OK && !present) {
    message = "data is required";
    code = HELM_E_BAD_PARAMETER;
  }
  if (code == HELM_OK && data.empty()) {
    message = "data is empty: there is nothing to sign";
    code = HELM_E_BAD_PARAMETER;
  }
  if (code == HELM_OK) code = HelmParams_Bool(map, "attached", false, &attached, &message);
  if (code == HELM_OK) code = HelmParams_Bool(map, "includeTime", true, &includeTime, &message);
  if (code == HELM_OK) code = readDigest(map, "digest", false, &digest, &digestName, &message);
  if (code == HELM_OK) code = readLevel(map, &level, &message);
  if (code != HELM_OK) return HelmJson_Error(code, message);

  HelmSettings settings;
  HelmSettings_Load(&settings);
  // Levels that need an authority are refused before the PIN is spent.
  if (level >= HELM_LEVEL_B_T && settings.tsaUrls.empty()) {
    return HelmJson_Error(HELM_E_TSA_NOT_CONFIGURED, std::string("level ") + HelmLevel_Name(level) +
                                                         " needs a timestamp and no authority is set "
                                                         "(tsa-urls in the settings)");
  }
  unsigned char shown[32];
  if (gnutls_hash_fast(GNUTLS_DIG_SHA256, data.data(), data.size(), shown) < 0) {
    return HelmJson_Error(HELM_E_INTERNAL, "hashing failed");
  }
  HelmKey key;
  HelmKey_Init(&key);
  KeyCloser closer = {&key};
  code = openKey(map, HELM_PURPOSE_SIGN_CMS, &settings, "SHA-256 of the data", shown, sizeof shown, &key, &id,
                 &message);
  if (code != HELM_OK) return HelmJson_Error(code, message);

  std::vector<unsigned char> der;
  HelmTimestampInfo stamp = {(time_t)-1, std::string(), std::string()};
  code = HelmCades_Sign(&key, data, attached, digest, level, &settings, &der, &stamp, &message);
  if (code != HELM_OK) return HelmJson_Error(code, message);
  std::string out;
  HelmJson_Member(&out, "id", id);
  HelmJson_Member(&out, "cms", HelmJson_Base64(der.data(), der.size()));
  HelmJson_MemberRaw(&out, "attached", attached ? "true" : "false");
  HelmJson_Member(&out, "digest", digestName);
  HelmJson_Member(&out, "level", HelmLevel_Name(level));
  if (level >= HELM_LEVEL_B_T) {
    HelmJson_Member(&out, "timestampTime", HelmJson_Time(stamp.when));
    HelmJson_Member(&out, "timestampAuthority", stamp.authority);
    HelmJson_Member(&out, "timestampUrl", stamp.url);
  }
  return ok(out);
}

// Raises a signature to a higher level: no key, no PIN; the authorities
// and revocation services as for signing.
std::string HelmFunction_ExtendCms(const KestrovanJsonMap* map) {
  std::string message;
  std::vector<unsigned char> cms;
  bool present = false;
  HelmLevel level = HELM_LEVEL_B_T;
  int code = HelmParams_Bytes(map, "cms", HELM_MAX_CMS_BYTES, &cms, &present, &message);
  if (code == HELM_OK && !present) {
    message = "cms is required";
    code = HELM_E_BAD_PARAMETER;
  }
  if (code == HELM_OK) code = readLevel(map, &level, &message);
  if (code == HELM_OK && HelmParams_Find(map, "level") == nullptr) level = HELM_LEVEL_B_T;
  if (code != HELM_OK) return HelmJson_Error(code, message);
  HelmSettings settings;
  HelmSettings_Load(&settings);
  std::vector<unsigned char> der;
  HelmTimestampInfo stamp = {(time_t)-1, std::string(), std::string()};
  bool stamped = false;
  code = HelmCades_Extend(cms, level, &settings, &der, &stamp, &stamped, &message);
  if (code != HELM_OK) return HelmJson_Error(code, message);
  std::string out;
  HelmJson_Member(&out, "cms", HelmJson_Base64(der.data(), der.size()));
  HelmJson_Member(&out, "level", HelmLevel_Name(level));
  HelmJson_MemberRaw(&out, "timestampAdded", stamped ? "true" : "false");
  if (stamped) {
    HelmJson_Member(&out, "timestampTime", HelmJson_Time(stamp.when));
    HelmJson_Member(&out, "timestampAuthority", stamp.authority);
    HelmJson_Member(&out, "timestampUrl", stamp.url);
  }
  return ok(out);
}

int HelmCms_Sign(HelmKey* key, const std::vector<unsigned char>& data, bool attached, bool includeTime,
                 gnutls_digest_algorithm_t digest, std::vector<unsigned char>* cms, std::string* message) {
  (void)includeTime;  // every level carries the signing time
  HelmSettings settings;
  HelmSettings_Load(&settings);
  HelmTimestampInfo stamp = {(time_t)-1, std::string(), std::string()};
  return HelmCades_Sign(key, data, attached, digest, HELM_LEVEL_B_B, &settings, cms, &stamp, message);
}

static gnutls_sign_algorithm_t signAlgorithm(int pk, gnutls_digest_algorithm_t digest, bool pss) {
  if (pk == GNUTLS_PK_RSA && pss) {
    switch (digest) {
      case GNUTLS_DIG_SHA256: return GNUTLS_SIGN_RSA_PSS_RSAE_SHA256;
      case GNUTLS_DIG_SHA384: return GNUTLS_SIGN_RSA_PSS_RSAE_SHA384;
      case GNUTLS_DIG_SHA512: return GNUTLS_SIGN_RSA_PSS_RSAE_SHA512;
      default: return GNUTLS_SIGN_UNKNOWN;
    }
  }
  if (pss && pk != GNUTLS_PK_RSA_PSS) return GNUTLS_SIGN_UNKNOWN;
  return gnutls_pk_to_sign((gnutls_pk_algorithm_t)pk, digest);
}

std::string HelmFunction_SignRaw(const KestrovanJsonMap* map) {
  std::string message, id, digestName, scheme;
  gnutls_digest_algorithm_t digest;
  bool hashed = false, present = false;
  std::vector<unsigned char> data;
  int code = HelmParams_Bytes(map, "data", HELM_MAX_DATA_BYTES, &data, &present, &message);
  if (code == HELM_OK && !present) {
    message = "data is required";
    code = HELM_E_BAD_PARAMETER;
  }
  if (code == HELM_OK) code = HelmParams_Bool(map, "hashed", false, &hashed, &message);
  if (code == HELM_OK) code = readDigest(map, "digest", false, &digest, &digestName, &message);
  if (code == HELM_OK) code = HelmParams_Text(map, "scheme", 16, &scheme, &present, &message);
  if (code != HELM_OK) return HelmJson_Error(code, message);
  bool pss = strcasecmp(scheme.c_str(), "pss") == 0;
  if (!scheme.empty() && !pss && strcasecmp(scheme.c_str(), "pkcs1") != 0) {
    return HelmJson_Error(HELM_E_UNSUPPORTED, "scheme must be pkcs1 or pss");
  }
  if (hashed && data.size() != gnutls_hash_get_len(digest)) {
    return HelmJson_Error(HELM_E_BAD_PARAMETER, "a hashed input must be one " + digestName + " digest long");
  }
  // What Authenticate signs is never signed raw on a page's behalf. (A
  // digest cannot be recognised: that a signing key never authenticates,
  // and an authentication key never signs here, is what keeps it apart.)
  if (!hashed && data.size() >= sizeof HELM_AUTH_FORMAT - 1 &&
      memcmp(data.data(), HELM_AUTH_FORMAT, sizeof HELM_AUTH_FORMAT - 1) == 0) {
    return HelmJson_Error(HELM_E_BAD_PARAMETER, "data in the form of an authentication is not signed raw");
  }

  HelmSettings settings;
  HelmSettings_Load(&settings);
  unsigned char shown[32];
  if (!hashed && gnutls_hash_fast(GNUTLS_DIG_SHA256, data.data(), data.size(), shown) < 0) {
    return HelmJson_Error(HELM_E_INTERNAL, "hashing failed");
  }
  HelmKey key;
  HelmKey_Init(&key);
  KeyCloser closer = {&key};
  code = hashed ? openKey(map, HELM_PURPOSE_SIGN_RAW, &settings, "Digest given by the site", data.data(), data.size(),
                          &key, &id, &message)
                : openKey(map, HELM_PURPOSE_SIGN_RAW, &settings, "SHA-256 of the data", shown, sizeof shown, &key,
                          &id, &message);
  if (code != HELM_OK) return HelmJson_Error(code, message);

  int pk = gnutls_privkey_get_pk_algorithm(key.key, nullptr);
  gnutls_sign_algorithm_t algorithm = signAlgorithm(pk, digest, pss);
  if (algorithm == GNUTLS_SIGN_UNKNOWN) return HelmJson_Error(HELM_E_UNSUPPORTED, "the key cannot sign this way");
  gnutls_datum_t input = HelmStore_Datum(data);
  gnutls_datum_t signature = {nullptr, 0};
  int ret = hashed ? gnutls_privkey_sign_hash2(key.key, algorithm, 0, &input, &signature)
                   : gnutls_privkey_sign_data2(key.key, algorithm, 0, &input, &signature);
  if (ret < 0) return HelmJson_Error(HELM_E_SIGNING_FAILED, std::string("signing failed: ") + gnutls_strerror(ret));

  gnutls_pubkey_t publicKey = nullptr;
  bool verified = gnutls_pubkey_init(&publicKey) >= 0 && gnutls_pubkey_import_x509(publicKey, key.certificate, 0) >= 0 &&
                  (hashed ? gnutls_pubkey_verify_hash2(publicKey, algorithm, 0, &input, &signature)
                          : gnutls_pubkey_verify_data2(publicKey, algorithm, 0, &input, &signature)) >= 0;
  if (publicKey != nullptr) gnutls_pubkey_deinit(publicKey);
  if (!verified) {
    gnutls_free(signature.data);
    return HelmJson_Error(HELM_E_SIGNING_FAILED, "the signature does not verify with the certificate: "
                                                 "the key does not belong to it");
  }
  std::string out;
  HelmJson_Member(&out, "id", id);
  HelmJson_Member(&out, "signature", HelmJson_Base64(signature.data, signature.size));
  const char* algorithmName = gnutls_sign_get_name(algorithm);
  HelmJson_Member(&out, "algorithm", algorithmName != nullptr ? algorithmName : "");
  gnutls_free(signature.data);
  return ok(out);
}

bool HelmAuth_SignedBytes(const std::string& origin, const unsigned char* challenge, size_t challengeLength,
                          unsigned char out[HELM_AUTH_SIGNED_BYTES]) {
  static const char kFormat[] = HELM_AUTH_FORMAT;
  static_assert(sizeof kFormat - 1 == 17, "the format name is 17 bytes");
  memcpy(out, kFormat, 17);
  out[17] = 0;
  return gnutls_hash_fast(GNUTLS_DIG_SHA256, origin.data(), origin.size(), out + 18) >= 0 &&
         gnutls_hash_fast(GNUTLS_DIG_SHA256, challenge, challengeLength, out + 50) >= 0;
}

std::string HelmFunction_Authenticate(const KestrovanJsonMap* map) {
  std::string message, id;
  std::vector<unsigned char> challenge;
  bool present = false;
  int code = HelmParams_Bytes(map, "challenge", HELM_MAX_CHALLENGE_BYTES, &challenge, &present, &message);
  if (code == HELM_OK && (!present || challenge.size() < HELM_MIN_CHALLENGE_BYTES)) {
    message = "challenge is required: at least " + std::to_string(HELM_MIN_CHALLENGE_BYTES) +
              " random bytes from the site's server (Base64 with its Base64 flag)";
    code = HELM_E_BAD_PARAMETER;
  }
  if (code != HELM_OK) return HelmJson_Error(code, message);
  const std::string& origin = HelmSession_Origin();
  if (origin.empty()) return HelmJson_Error(HELM_E_ORIGIN_REFUSED, "origin not allowed");
  unsigned char signedBytes[HELM_AUTH_SIGNED_BYTES];
  if (!HelmAuth_SignedBytes(origin, challenge.data(), challenge.size(), signedBytes)) {
    return HelmJson_Error(HELM_E_INTERNAL, "hashing failed");
  }

  HelmSettings settings;
  HelmSettings_Load(&settings);
  HelmKey key;
  HelmKey_Init(&key);
  KeyCloser closer = {&key};
  code = openKey(map, HELM_PURPOSE_AUTHENTICATE, &settings, "SHA-256 of the site's challenge", signedBytes + 50, 32,
                 &key, &id, &message);
  if (code != HELM_OK) return HelmJson_Error(code, message);

  int pk = gnutls_privkey_get_pk_algorithm(key.key, nullptr);
  gnutls_sign_algorithm_t algorithm = GNUTLS_SIGN_UNKNOWN;
  if (pk == GNUTLS_PK_RSA) algorithm = GNUTLS_SIGN_RSA_SHA256;
  if (pk == GNUTLS_PK_ECDSA) algorithm = GNUTLS_SIGN_ECDSA_SHA256;
  if (algorithm == GNUTLS_SIGN_UNKNOWN) {
    return HelmJson_Error(HELM_E_UNSUPPORTED, "authentication needs an RSA or EC key");
  }
  gnutls_datum_t input = {signedBytes, HELM_AUTH_SIGNED_BYTES};
  gnutls_datum_t signature = {nullptr, 0};
  int ret = gnutls_privkey_sign_data2(key.key, algorithm, 0, &input, &signature);
  if (ret < 0) return HelmJson_Error(HELM_E_SIGNING_FAILED, std::string("signing failed: ") + gnutls_strerror(ret));
  gnutls_pubkey_t publicKey = nullptr;
  bool verified = gnutls_pubkey_init(&publicKey) >= 0 && gnutls_pubkey_import_x509(publicKey, key.certificate, 0) >= 0 &&
                  gnutls_pubkey_verify_data2(publicKey, algorithm, 0, &input, &signature) >= 0;
  if (publicKey != nullptr) gnutls_pubkey_deinit(publicKey);
  std::string pem;
  gnutls_datum_t certificate = {nullptr, 0};
  if (verified && gnutls_x509_crt_export2(key.certificate, GNUTLS_X509_FMT_PEM, &certificate) >= 0) {
    pem.assign(reinterpret_cast<const char*>(certificate.data), certificate.size);
    gnutls_free(certificate.data);
  }
  if (!verified || pem.empty()) {
    gnutls_free(signature.data);
    return HelmJson_Error(HELM_E_SIGNING_FAILED, "the signature does not verify with the certificate: "
                                                 "the key does not belong to it");
  }
  std::string out;
  HelmJson_Member(&out, "id", id);
  HelmJson_Member(&out, "format", HELM_AUTH_FORMAT);
  HelmJson_MemberRaw(&out, "version", std::to_string(HELM_AUTH_VERSION));
  HelmJson_Member(&out, "origin", origin);
  HelmJson_Member(&out, "algorithm", gnutls_sign_get_name(algorithm));
  HelmJson_Member(&out, "signature", HelmJson_Base64(signature.data, signature.size));
  HelmJson_Member(&out, "certificate", pem);
  gnutls_free(signature.data);
  return ok(out);
}

std::string HelmFunction_Hash(const KestrovanJsonMap* map) {
  std::string message, digestName;
  gnutls_digest_algorithm_t digest;
  std::vector<unsigned char> data;
  bool present = false;
  int code = HelmParams_Bytes(map, "data", HELM_MAX_DATA_BYTES, &data, &present, &message);
  if (code == HELM_OK && !present) {
    message = "data is required";
    code = HELM_E_BAD_PARAMETER;
  }
  if (code == HELM_OK) code = readDigest(map, "algorithm", true, &digest, &digestName, &message);
  if (code != HELM_OK) return HelmJson_Error(code, message);
  unsigned char value[64];
  if (gnutls_hash_fast(digest, data.data(), data.size(), value) < 0) {
    return HelmJson_Error(HELM_E_INTERNAL, "hashing failed");
  }
  size_t length = gnutls_hash_get_len(digest);
  std::string out;
  HelmJson_Member(&out, "algorithm", digestName);
  HelmJson_Member(&out, "hash", HelmJson_Base64(value, length));
  HelmJson_Member(&out, "hex", HelmJson_Hex(value, length, false));
  return ok(out);
}

std::string HelmFunction_GetInfo(const KestrovanJsonMap* map) {
  (void)map;
  HelmSettings settings;
  HelmSettings_Load(&settings);
  std::string out;
  HelmJson_Member(&out, "version", HELM_VERSION);
  HelmJson_Member(&out, "keyFolder", HelmPaths_KeyFolder());
  HelmJson_Member(&out, "allowList", HelmPaths_AllowListFile());
  HelmJson_Member(&out, "settings", HelmPaths_SettingsFile());
  HelmJson_MemberRaw(&out, "dialogTimeout", std::to_string(settings.dialogSeconds));
  HelmJson_MemberRaw(&out, "pagePinAllowed",
            HelmSettings_PagePinAllowed(&settings, HelmSession_Origin().c_str()) ? "true" : "false");
  HelmJson_Member(&out, "authenticationFormat", HELM_AUTH_FORMAT);
  HelmJson_Member(&out, "dualUseKeyRole", settings.dualUseForAuthentication ? "authentication" : "signing");
  HelmJson_MemberRaw(&out, "listAllowed", HelmSettings_ListAllowed(&settings, HelmSession_Origin().c_str()) ? "true" : "false");
  HelmJson_MemberRaw(&out, "maxBatchDocuments", std::to_string(HELM_MAX_BATCH_DOCUMENTS));
  HelmJson_MemberRaw(&out, "functions",
            "[\"ListCertificates\",\"GetCertificate\",\"SignCms\",\"SignRaw\",\"Authenticate\",\"VerifyCms\","
            "\"Hash\",\"GetInfo\",\"SelectCertificate\",\"SignCmsBatch\",\"ExtendCms\"]");
  return ok(out);
}
