// SPDX-License-Identifier: Apache-2.0
// batch.cpp -- SignCmsBatch: several documents signed with one certificate
// and one PIN. One dialog (the adapter's own program) names the site and the
// certificate and lists every document (its name, size and the first bytes
// of its SHA-256); the user types the PIN there once, watches the signing go
// on and may stop it, which leaves the rest unsigned ("cancelled"). Every
// document is signed as SignCms signs one (HelmCms_Sign).
//
// "documents" is one text: entries separated by ",", each "<name>:<data>",
// both standard Base64 (a name may hold any character; Base64 and these two
// separators need no escaping on the way through the service).
//
// A key that wants its PIN before every signature (CKA_ALWAYS_AUTHENTICATE)
// would otherwise sign the whole batch on one PIN: after its first signature
// the rest are refused with HELM_E_PIN_PER_SIGNATURE.
#include "helm.h"

#include <cstring>
#include <ctime>
#include <strings.h>

namespace {

struct Document {
  std::string name;
  std::vector<unsigned char> data;
  unsigned char sha256[32];
};

struct Result {
  int code = HELM_E_CANCELLED;
  std::string message = "cancelled before it was signed";
  std::vector<unsigned char> cms;
};

struct KeyCloser {
  HelmKey* key;
  ~KeyCloser() { HelmKey_Close(key); }
};

struct WipeOnExit {
  std::string* text;
  ~WipeOnExit() { Helm_WipeString(text); }
};

struct ProgramEnder {
  HelmProgram* program;
  ~ProgramEnder() { HelmProgram_End(program); }
};

}  // namespace

static bool decodeBase64(const std::string& text, std::vector<unsigned char>* out) {
  if (text.empty()) {
    out->clear();
    return true;
  }
  gnutls_datum_t in = {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())), (unsigned)text.size()};
  gnutls_datum_t decoded = {nullptr, 0};
  if (gnutls_base64_decode2(&in, &decoded) < 0) return false;
  out->assign(decoded.data, decoded.data + decoded.size);
  gnutls_free(decoded.data);
  return true;
}

static int readDocuments(const KestrovanJsonMap* map, std::vector<Document>* documents, std::string* message) {
  std::string text;
  bool present = false;
  int code = HelmParams_Text(map, "documents", HELM_MAX_BATCH_BYTES / 3 * 4 + HELM_MAX_BATCH_DOCUMENTS * 400, &text,
                             &present, message);
  if (code == HELM_E_TOO_LARGE) return HELM_E_BATCH_TOO_LARGE;
  if (code != HELM_OK) return code;
  if (!present || text.empty()) {
    *message = "documents is required";
    return HELM_E_BAD_PARAMETER;
  }
  size_t total = 0;
  size_t at = 0;
  while (at <= text.size()) {
    size_t comma = text.find(',', at);
    std::string entry = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (documents->size() == HELM_MAX_BATCH_DOCUMENTS) {
      *message = "a batch holds at most " + std::to_string(HELM_MAX_BATCH_DOCUMENTS) + " documents";
      return HELM_E_BATCH_TOO_LARGE;
    }
    size_t colon = entry.find(':');
    Document document;
    std::vector<unsigned char> name;
    std::string where = "document " + std::to_string(documents->size() + 1);
    if (colon == std::string::npos || !decodeBase64(entry.substr(0, colon), &name) ||
        !decodeBase64(entry.substr(colon + 1), &document.data)) {
      *message = where + " is not <name in Base64>:<data in Base64>";
      return HELM_E_BAD_PARAMETER;
    }
    if (name.empty() || name.size() > HELM_MAX_DOCUMENT_NAME_BYTES || memchr(name.data(), 0, name.size()) != nullptr) {
      *message = where + ": its name must be 1 to " + std::to_string(HELM_MAX_DOCUMENT_NAME_BYTES) +
                 " bytes without a zero byte";
      return HELM_E_BAD_PARAMETER;
    }
    if (document.data.empty()) {
      *message = where + " is empty: there is nothing to sign";
      return HELM_E_BAD_PARAMETER;
    }
    total += document.data.size();
    if (total > HELM_MAX_BATCH_BYTES) {
      *message = "the documents of a batch hold at most " + std::to_string(HELM_MAX_BATCH_BYTES) + " bytes together";
      return HELM_E_BATCH_TOO_LARGE;
    }
    document.name.assign(name.begin(), name.end());
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, document.data.data(), document.data.size(), document.sha256) < 0) {
      *message = "hashing failed";
      return HELM_E_INTERNAL;
    }
    documents->push_back(std::move(document));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return HELM_OK;
}

static std::string prefix(const unsigned char* digest) {
  std::string hex = HelmJson_Hex(digest, 8, false);
  return hex.substr(0, 4) + " " + hex.substr(4, 4) + " " + hex.substr(8, 4) + " " + hex.substr(12, 4) + " \xe2\x80\xa6";
}

static std::string field(const char* key, const std::string& value) {
  return std::string(key) + " " + HelmProgram_Escape(value) + "\n";
}

static std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit((unsigned char)text[i + 1]) &&
        isxdigit((unsigned char)text[i + 2])) {
      char hex[3] = {text[i + 1], text[i + 2], 0};
      out.push_back((char)strtol(hex, nullptr, 16));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The certificate: "id", or the one the user chose for this site.
static int findCertificate(const KestrovanJsonMap* map, HelmCertificate* certificate, std::string* message) {
  std::string id;
  bool present = false;
  int code = HelmParams_Text(map, "id", HELM_MAX_ID_BYTES, &id, &present, message);
  if (code != HELM_OK) return code;
  if (id.empty()) id = HelmSelect_Chosen();
  if (id.empty()) {
    *message = "id is required (or a certificate the user chose with SelectCertificate)";
    return HELM_E_BAD_PARAMETER;
  }
  code = HelmSelect_CheckId(id, message);
  if (code != HELM_OK) return code;
  code = HelmStore_Find(id, certificate);
  if (code != HELM_OK) *message = "no certificate with id " + id;
  return code;
}

// Whether the certificate may sign now, before any dialog is shown.
static int checkCertificate(const HelmCertificate& c, const HelmSettings* settings, std::string* subject,
                            std::string* issuer, std::string* message) {
  gnutls_x509_crt_t crt = nullptr;
  if (gnutls_x509_crt_init(&crt) < 0) return HELM_E_INTERNAL;
  gnutls_datum_t d = {const_cast<unsigned char*>(c.der.data()), (unsigned)c.der.size()};
  int code = HELM_OK;
  if (gnutls_x509_crt_import(crt, &d, GNUTLS_X509_FMT_DER) < 0) {
    *message = "the certificate cannot be parsed";
    code = HELM_E_UNKNOWN_CERTIFICATE;
  }
  if (code == HELM_OK) code = HelmCertificate_CheckSigning(crt, time(nullptr), message);
  if (code == HELM_OK) code = HelmCertificate_CheckPurpose(crt, HELM_PURPOSE_SIGN_CMS, settings, message);
  if (code == HELM_OK && HelmStore_KeyServesAuthentication(crt, settings)) {
    *message = "another certificate of this key is for authentication: the key signs nothing a site chooses";
    code = HELM_E_NOT_FOR_SIGNING;
  }
  *subject = HelmCertificate_Name(crt, false);
  *issuer = HelmCertificate_Name(crt, true);
  gnutls_x509_crt_deinit(crt);
  return code;
}

// Signs the documents in order with the opened key, telling the dialog (when
// there is one) how far it got and stopping when the user cancels there.
static void signAll(HelmKey* key, const std::vector<Document>& documents, bool attached, bool includeTime,
                    gnutls_digest_algorithm_t digest, HelmProgram* program, std::vector<Result>* results,
                    bool* cancelled) {
  *cancelled = false;
  unsigned callsBefore = key->pinCalls;
  for (size_t i = 0; i < documents.size(); i++) {
    Result& result = (*results)[i];
    if (program != nullptr) {
      std::string line;
      HelmProgramRead read = HelmProgram_ReadLine(program, 0, &line);
      if (read == HELM_PROGRAM_ABANDONED || read == HELM_PROGRAM_ENDED ||
          (read == HELM_PROGRAM_LINE && line == "CANCELLED")) {
        *cancelled = true;
        return;   // this one and the rest stay "cancelled"
      }
      HelmProgram_Send(program, field("progress", HelmText_Fill(HelmText_Translate("Signing {number} of {count}"),
                                                                {{"number", std::to_string(i + 1)},
                                                                 {"count", std::to_string(documents.size())}}) +
                                                      "\xe2\x80\xa6"));
    }
    if (i > 0 && key->pinCalls != callsBefore) {
      result.code = HELM_E_PIN_PER_SIGNATURE;
      result.message = "this key asks for its PIN before every signature: sign this document on its own";
      continue;
    }
    result.code = HelmCms_Sign(key, documents[i].data, attached, includeTime, digest, &result.cms, &result.message);
    if (result.code == HELM_OK) result.message.clear();
  }
}

static std::string answer(const std::string& id, const std::vector<Document>& documents,
                          const std::vector<Result>& results, bool cancelled) {
  std::string out = "{\"code\":0,\"id\":";
  HelmJson_AppendString(&out, id);
  out += ",\"cancelled\":";
  out += cancelled ? "true" : "false";
  out += ",\"results\":[";
  for (size_t i = 0; i < results.size(); i++) {
    if (i > 0) out.push_back(',');
    out += "{\"name\":";
    HelmJson_AppendString(&out, documents[i].name);
    out += ",\"code\":" + std::to_string(results[i].code);
    if (results[i].code == HELM_OK) {
      out += ",\"cms\":";
      HelmJson_AppendString(&out, HelmJson_Base64(results[i].cms.data(), results[i].cms.size()));
    } else {
      out += ",\"message\":";
      HelmJson_AppendString(&out, results[i].message);
    }
    out += "}";
  }
  return out + "]}";
}

static int readDigest(const KestrovanJsonMap* map, gnutls_digest_algorithm_t* digest, std::string* message) {
  std::string text;
  bool present = false;
  int code = HelmParams_Text(map, "digest", 16, &text, &present, message);
  if (code != HELM_OK) return code;
  if (text.empty() || strcasecmp(text.c_str(), "sha256") == 0) *digest = GNUTLS_DIG_SHA256;
  else if (strcasecmp(text.c_str(), "sha384") == 0) *digest = GNUTLS_DIG_SHA384;
  else if (strcasecmp(text.c_str(), "sha512") == 0) *digest = GNUTLS_DIG_SHA512;
  else {
    *message = "digest: unsupported digest " + text;
    return HELM_E_UNSUPPORTED;
  }
  return HELM_OK;
}

std::string HelmFunction_SignCmsBatch(const KestrovanJsonMap* map) {
  std::string message, description, pagePin;
  WipeOnExit wipePin = {&pagePin};
  std::vector<Document> documents;
  bool attached = false, includeTime = true, present = false, pinPresent = false;
  gnutls_digest_algorithm_t digest = GNUTLS_DIG_SHA256;
  int code = readDocuments(map, &documents, &message);
  if (code == HELM_OK) code = HelmParams_Bool(map, "attached", false, &attached, &message);
  if (code == HELM_OK) code = HelmParams_Bool(map, "includeTime", true, &includeTime, &message);
  if (code == HELM_OK) code = readDigest(map, &digest, &message);
  if (code == HELM_OK)
    code = HelmParams_Text(map, "description", HELM_MAX_DESCRIPTION_BYTES, &description, &present, &message);
  if (code == HELM_OK) code = HelmParams_Text(map, "pin", HELM_MAX_PIN_BYTES, &pagePin, &pinPresent, &message);
  if (code != HELM_OK) return HelmJson_Error(code, message);
  HelmSettings settings;
  HelmSettings_Load(&settings);
  if (pinPresent && !HelmSettings_PagePinAllowed(&settings, HelmSession_Origin().c_str())) {
    return HelmJson_Error(HELM_E_PAGE_PIN_REFUSED,
                          "this site may not send the PIN: leave it out and the user types it in a dialog "
                          "(page-pin-origins in the settings allows it for kiosks)");
  }
  HelmCertificate certificate;
  code = findCertificate(map, &certificate, &message);
  std::string subject, issuer;
  if (code == HELM_OK) code = checkCertificate(certificate, &settings, &subject, &issuer, &message);
  if (code != HELM_OK) return HelmJson_Error(code, message);

  std::vector<Result> results(documents.size());
  HelmKey key;
  HelmKey_Init(&key);
  KeyCloser closer = {&key};
  HelmPinSource source;
  source.settings = &settings;
  source.purpose = HELM_PURPOSE_SIGN_CMS;
  source.site = HelmSession_Origin();
  source.description = description;
  source.digestLabel = "Documents";
  source.digestHex = std::to_string(documents.size());
  bool cancelled = false;
  if (pinPresent) {
    // A kiosk's page gives the PIN itself: no dialog.
    source.pagePin = pagePin.c_str();
    code = HelmKey_Open(&certificate, &source, &key, &message);
    if (code != HELM_OK) return HelmJson_Error(code, message);
    signAll(&key, documents, attached, includeTime, digest, nullptr, &results, &cancelled);
    return answer(certificate.id, documents, results, cancelled);
  }

  bool token = certificate.kind == HELM_LOCATION_PKCS11;
  std::string site = HelmDialog_Site(HelmSession_Origin(), HELM_DIALOG_SITE_BYTES);
  std::string heading = HelmText_Fill(
      documents.size() == 1 ? HelmText_Translate("{site} asks to sign this document with your certificate:")
                            : HelmText_Translate("{site} asks to sign these {count} documents with your certificate:"),
      {{"site", site}, {"count", std::to_string(documents.size())}});
  heading += "\n" + HelmDialog_Line(subject.data(), subject.size(), 120) + "\n" +
             HelmText_Fill(HelmText_Translate("Issued by: {issuer}"),
                           {{"issuer", HelmDialog_Line(issuer.data(), issuer.size(), 120)}}) +
             "\n" + HelmSelect_Where(certificate);
  std::string request = field("title", HelmText_Translate("Kestrovan: sign documents")) + field("site", site) +
                        field("heading", heading) + field("ok", HelmText_Translate("_Sign")) +
                        field("cancel", HelmText_Translate("_Cancel")) +
                        field("pin", token ? HelmText_Translate("_PIN:") : HelmText_Translate("_Password:")) +
                        field("timeout", std::to_string(settings.dialogSeconds));
  if (!description.empty()) {
    request += field("note", HelmText_Fill(HelmText_Translate("The site says (its own words): {words}"),
                                           {{"words", HelmDialog_Quoted(description.data(), description.size(), 160)}}));
  }
  for (const Document& d : documents) {
    request += "row " + HelmProgram_Escape(HelmDialog_Line(d.name.data(), d.name.size(), 120)) + "\t" +
               HelmProgram_Escape(HelmText_Fill(HelmText_Translate("{size} bytes, SHA-256 {digest}"),
                                                {{"size", std::to_string(d.data.size())}, {"digest", prefix(d.sha256)}})) +
               "\n";
  }
  request += "show\n";
  std::string why;
  HelmProgram* program = HelmProgram_Start(&settings, request, &code, &why);
  if (program == nullptr) {
    return HelmJson_Error(code, code == HELM_E_CANCELLED ? why : "no dialog could be shown to sign the documents: " + why);
  }
  ProgramEnder ender = {program};
  for (unsigned attempt = 0;; attempt++) {
    std::string line;
    HelmProgramRead read = HelmProgram_ReadLine(program, (int)(settings.dialogSeconds + 2) * 1000, &line);
    WipeOnExit wipeLine = {&line};
    if (read == HELM_PROGRAM_ABANDONED)
      return HelmJson_Error(HELM_E_CANCELLED, "the signing dialog was closed: the page that asked went away");
    if (read == HELM_PROGRAM_LINE && line == "NODISPLAY")
      return HelmJson_Error(HELM_E_NO_DIALOG, "no dialog could be shown to sign the documents");
    if (read != HELM_PROGRAM_LINE || line.compare(0, 4, "PIN ") != 0)
      return HelmJson_Error(HELM_E_CANCELLED, read == HELM_PROGRAM_TIMEOUT || line == "TIMEOUT"
                                                  ? "the signing dialog timed out"
                                                  : "the user cancelled the signing");
    std::string pin = unescape(line.substr(4));
    WipeOnExit wipeTyped = {&pin};
    if (pin.empty() || pin.size() > HELM_MAX_PIN_BYTES || pin.find('\0') != std::string::npos) {
      HelmProgram_Send(program, field("error", pin.empty() ? HelmText_Translate("No PIN was entered.")
                                                           : HelmText_Translate("The PIN is too long.")));
      continue;   // not a try the token counts
    }
    source.pagePin = pin.c_str();
    code = HelmKey_Open(&certificate, &source, &key, &message);
    if (code == HELM_OK) break;
    if (code != HELM_E_WRONG_PIN || attempt + 1 >= settings.pinAttempts) {
      HelmProgram_Send(program, "done");
      return HelmJson_Error(code, message);
    }
    HelmProgram_Send(program, field("error", token ? HelmText_Translate("Wrong PIN. Try again.")
                                                   : HelmText_Translate("Wrong password. Try again.")));
  }
  signAll(&key, documents, attached, includeTime, digest, program, &results, &cancelled);
  if (!cancelled) HelmProgram_Send(program, "done");
  return answer(certificate.id, documents, results, cancelled);
}
