// SPDX-License-Identifier: Apache-2.0
// select.cpp -- SelectCertificate: the user, not the page, chooses which
// certificate a site gets. The page may narrow the list (purpose, issuer,
// policy, key usage, validity); the user picks one in the adapter's own
// dialog, which names the site; the page receives that one certificate, or
// nothing when the user cancels. A site learns nothing of the others, not
// even whether there are any: a list with no fitting certificate is shown
// all the same and answers as a cancel does.
//
// The choice holds for the session until the page asks again: the other
// functions take only the chosen certificate's id from a site that
// "list-origins" does not name.
#include "helm.h"

#include <cstring>
#include <ctime>
#include <strings.h>

static std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One attribute of a PKCS #11 URL ("model", "serial", ...), percent-decoded.
static std::string urlAttribute(const std::string& url, const char* name) {
  std::string key = std::string(name) + "=";
  size_t at = 0;
  while ((at = url.find(key, at)) != std::string::npos) {
    if (at == 0 || url[at - 1] == ':' || url[at - 1] == ';') break;
    at += key.size();
  }
  if (at == std::string::npos) return std::string();
  size_t start = at + key.size();
  size_t end = url.find_first_of(";?", start);
  std::string raw = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  std::string out;
  for (size_t i = 0; i < raw.size(); i++) {
    if (raw[i] == '%' && i + 2 < raw.size() && isxdigit((unsigned char)raw[i + 1]) && isxdigit((unsigned char)raw[i + 2])) {
      char hex[3] = {raw[i + 1], raw[i + 2], 0};
      out.push_back((char)strtol(hex, nullptr, 16));
      i += 2;
    } else {
      out.push_back(raw[i]);
    }
  }
  return out;
}

std::string HelmSelect_Where(const HelmCertificate& c) {
  if (c.kind == HELM_LOCATION_PKCS11) {
    // Two cards of one kind often carry the same label: the reader's model
    // and the card's serial tell them apart.
    std::string model = HelmFiles_Trim(urlAttribute(c.tokenUrl, "model"));
    std::string serial = HelmFiles_Trim(urlAttribute(c.tokenUrl, "serial"));
    std::string token = HelmDialog_Line(c.tokenLabel.data(), c.tokenLabel.size(), 64);
    if (!model.empty() || !serial.empty()) {
      std::string detail = HelmDialog_Line(model.data(), model.size(), 48);
      if (!serial.empty())
        detail += (detail.empty() ? "" : ", ") +
                  HelmText_Fill(HelmText_Translate("serial {serial}"), {{"serial", HelmDialog_Line(serial.data(), serial.size(), 40)}});
      token += " (" + detail + ")";
    }
    return HelmText_Fill(HelmText_Translate("On token: {token}"), {{"token", token}});
  }
  std::string name = baseName(c.file);
  return HelmText_Fill(HelmText_Translate("In file: {file}"), {{"file", HelmDialog_Line(name.data(), name.size(), 64)}});
}

namespace {

// What the page asks for; an absent filter admits everything.
struct Filters {
  bool byPurpose = false;
  HelmKeyRole purpose = HELM_ROLE_NONE;
  std::string issuer;           // a part of the issuer's name, any case
  std::string policy;           // a certificate policy OID
  unsigned keyUsage = 0;        // GNUTLS_KEY_* bits that must all be set
  bool validNow = true;
};

struct Usage {
  const char* name;
  unsigned bit;
};
const Usage kUsages[] = {
    {"digitalSignature", GNUTLS_KEY_DIGITAL_SIGNATURE}, {"nonRepudiation", GNUTLS_KEY_NON_REPUDIATION},
    {"keyEncipherment", GNUTLS_KEY_KEY_ENCIPHERMENT},   {"dataEncipherment", GNUTLS_KEY_DATA_ENCIPHERMENT},
    {"keyAgreement", GNUTLS_KEY_KEY_AGREEMENT},
};

struct CertificateHolder {
  gnutls_x509_crt_t crt = nullptr;
  ~CertificateHolder() {
    if (crt != nullptr) gnutls_x509_crt_deinit(crt);
  }
};

}  // namespace

static int readFilters(const KestrovanJsonMap* map, Filters* filters, std::string* message) {
  std::string purpose, usage;
  bool present = false;
  int code = HelmParams_Text(map, "purpose", 32, &purpose, &present, message);
  if (code == HELM_OK && present && !purpose.empty()) {
    filters->byPurpose = true;
    if (strcasecmp(purpose.c_str(), "signing") == 0) filters->purpose = HELM_ROLE_SIGNING;
    else if (strcasecmp(purpose.c_str(), "authentication") == 0) filters->purpose = HELM_ROLE_AUTHENTICATION;
    else {
      *message = "purpose must be signing or authentication";
      return HELM_E_BAD_PARAMETER;
    }
  }
  if (code == HELM_OK) code = HelmParams_Text(map, "issuer", 256, &filters->issuer, &present, message);
  if (code == HELM_OK) code = HelmParams_Text(map, "policy", 128, &filters->policy, &present, message);
  if (code == HELM_OK && !filters->policy.empty()) {
    for (char c : filters->policy) {
      if ((c < '0' || c > '9') && c != '.') {
        *message = "policy must be an OID in dotted form";
        return HELM_E_BAD_PARAMETER;
      }
    }
  }
  if (code == HELM_OK) code = HelmParams_Text(map, "keyUsage", 256, &usage, &present, message);
  if (code == HELM_OK && !usage.empty()) {
    size_t at = 0;
    while (at <= usage.size()) {
      size_t comma = usage.find(',', at);
      std::string name = HelmFiles_Trim(usage.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
      bool known = false;
      for (const Usage& u : kUsages) {
        if (strcasecmp(name.c_str(), u.name) == 0) {
          filters->keyUsage |= u.bit;
          known = true;
        }
      }
      if (!known) {
        *message = "keyUsage: unknown usage " + name.substr(0, 40);
        return HELM_E_BAD_PARAMETER;
      }
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
  }
  if (code == HELM_OK) code = HelmParams_Bool(map, "validNow", true, &filters->validNow, message);
  return code;
}

static bool hasPolicy(gnutls_x509_crt_t crt, const std::string& oid) {
  for (unsigned i = 0; i < 64; i++) {
    struct gnutls_x509_policy_st policy;
    unsigned critical = 0;
    if (gnutls_x509_crt_get_policy(crt, i, &policy, &critical) < 0) return false;
    bool same = policy.oid != nullptr && oid == policy.oid;
    gnutls_x509_policy_release(&policy);
    if (same) return true;
  }
  return false;
}

static bool containsIgnoringCase(const std::string& text, const std::string& part) {
  if (part.empty()) return true;
  for (size_t i = 0; i + part.size() <= text.size(); i++) {
    if (strncasecmp(text.c_str() + i, part.c_str(), part.size()) == 0) return true;
  }
  return false;
}

static bool admits(const Filters& f, gnutls_x509_crt_t crt, const HelmSettings* settings, time_t now) {
  if (f.validNow && (gnutls_x509_crt_get_activation_time(crt) > now || gnutls_x509_crt_get_expiration_time(crt) < now))
    return false;
  if (f.byPurpose) {
    HelmKeyRole role = HelmCertificate_Role(crt, settings);
    if (role != f.purpose) return false;
    // A key certified for authentication too signs nothing a site chooses.
    if (role == HELM_ROLE_SIGNING && HelmStore_KeyServesAuthentication(crt, settings)) return false;
  }
  if (!containsIgnoringCase(HelmCertificate_Name(crt, true), f.issuer)) return false;
  if (!f.policy.empty() && !hasPolicy(crt, f.policy)) return false;
  if (f.keyUsage != 0) {
    unsigned usage = 0, critical = 0;
    if (gnutls_x509_crt_get_key_usage(crt, &usage, &critical) < 0 || (usage & f.keyUsage) != f.keyUsage) return false;
  }
  return true;
}

static std::string roleText(HelmKeyRole role) {
  switch (role) {
    case HELM_ROLE_SIGNING: return HelmText_Translate("signing");
    case HELM_ROLE_AUTHENTICATION: return HelmText_Translate("authentication");
    default: return HelmText_Translate("none");
  }
}

static std::string day(time_t when) {
  std::string full = HelmJson_Time(when);
  return full.size() >= 10 ? full.substr(0, 10) : full;
}

// The common name when there is one, else the whole subject.
static std::string shownName(gnutls_x509_crt_t crt) {
  char cn[256];
  size_t size = sizeof cn;
  if (gnutls_x509_crt_get_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, 0, cn, &size) >= 0 && size > 0)
    return std::string(cn, size);
  return HelmCertificate_Name(crt, false);
}

// One row: headline, then its lines; every outside text made one line.
static std::string rowFor(const HelmCertificate& c, gnutls_x509_crt_t crt, const HelmSettings* settings) {
  std::string subject = shownName(crt), issuer = HelmCertificate_Name(crt, true);
  std::string fields[] = {
      HelmDialog_Line(subject.data(), subject.size(), 120),
      HelmText_Fill(HelmText_Translate("Issued by: {issuer}"), {{"issuer", HelmDialog_Line(issuer.data(), issuer.size(), 120)}}),
      HelmText_Fill(HelmText_Translate("Valid from {from} to {to}"),
                    {{"from", day(gnutls_x509_crt_get_activation_time(crt))},
                     {"to", day(gnutls_x509_crt_get_expiration_time(crt))}}),
      HelmText_Fill(HelmText_Translate("Purpose: {purpose}"), {{"purpose", roleText(HelmCertificate_Role(crt, settings))}}),
      HelmSelect_Where(c),
  };
  std::string row = "row ";
  for (size_t i = 0; i < sizeof fields / sizeof fields[0]; i++) {
    if (i > 0) row.push_back('\t');
    row += HelmProgram_Escape(fields[i]);
  }
  return row + "\n";
}

static std::string field(const char* key, const std::string& value) {
  return std::string(key) + " " + HelmProgram_Escape(value) + "\n";
}

std::string HelmFunction_SelectCertificate(const KestrovanJsonMap* map) {
  // Asking again drops the earlier choice, whatever the user answers now.
  HelmSelect_Forget();
  std::string message, description;
  Filters filters;
  int code = readFilters(map, &filters, &message);
  bool present = false;
  if (code == HELM_OK) code = HelmParams_Text(map, "description", HELM_MAX_DESCRIPTION_BYTES, &description, &present, &message);
  if (code != HELM_OK) return HelmJson_Error(code, message);

  std::vector<HelmCertificate> certificates;
  std::vector<HelmProblem> problems;
  if (HelmStore_List(&certificates, &problems) != HELM_OK) return HelmJson_Error(HELM_E_INTERNAL, "listing failed");
  HelmSettings settings;
  HelmSettings_Load(&settings);
  time_t now = time(nullptr);
  std::vector<const HelmCertificate*> shown;
  std::string rows;
  for (const HelmCertificate& c : certificates) {
    CertificateHolder holder;
    if (gnutls_x509_crt_init(&holder.crt) < 0) return HelmJson_Error(HELM_E_INTERNAL, "out of memory");
    gnutls_datum_t d = {const_cast<unsigned char*>(c.der.data()), (unsigned)c.der.size()};
    if (gnutls_x509_crt_import(holder.crt, &d, GNUTLS_X509_FMT_DER) < 0) continue;
    if (!admits(filters, holder.crt, &settings, now)) continue;
    shown.push_back(&c);
    rows += rowFor(c, holder.crt, &settings);
  }

  std::string site = HelmDialog_Site(HelmSession_Origin(), HELM_DIALOG_SITE_BYTES);
  std::string request =
      field("title", HelmText_Translate("Kestrovan: choose a certificate")) + field("site", site) +
      field("heading", HelmText_Fill(HelmText_Translate("{site} asks for one of your certificates. Choose the one to "
                                                        "give it; the site sees only that one. Cancel gives it none."),
                                     {{"site", site}})) +
      field("empty", HelmText_Translate("None of your certificates fits what the site asks for.")) +
      field("ok", HelmText_Translate("_Give this certificate")) + field("cancel", HelmText_Translate("_Cancel")) +
      field("timeout", std::to_string(settings.dialogSeconds));
  if (!description.empty()) {
    request += field("note", HelmText_Fill(HelmText_Translate("The site says (its own words): {words}"),
                                           {{"words", HelmDialog_Quoted(description.data(), description.size(), 160)}}));
  }
  request += rows + "show\n";
  std::string why;
  HelmProgram* program = HelmProgram_Start(&settings, request, &code, &why);
  if (program == nullptr) {
    return HelmJson_Error(code, code == HELM_E_CANCELLED ? why : "no dialog could be shown to choose a certificate: " + why);
  }
  std::string line;
  HelmProgramRead read =
      HelmProgram_ReadLine(program, (int)(settings.dialogSeconds + 2) * 1000, &line);
  HelmProgram_End(program);
  if (read == HELM_PROGRAM_LINE && line.compare(0, 7, "CHOSEN ") == 0) {
    char* end = nullptr;
    unsigned long index = strtoul(line.c_str() + 7, &end, 10);
    if (end != line.c_str() + 7 && *end == '\0' && index < shown.size()) {
      HelmSelect_Choose(shown[index]->id);
      return HelmFunction_CertificateAnswer(*shown[index]);
    }
    return HelmJson_Error(HELM_E_NO_DIALOG, "the certificate dialog answered what it was not asked");
  }
  if (read == HELM_PROGRAM_LINE && line == "NODISPLAY")
    return HelmJson_Error(HELM_E_NO_DIALOG, "no dialog could be shown to choose a certificate");
  if (read == HELM_PROGRAM_ABANDONED)
    return HelmJson_Error(HELM_E_CANCELLED, "the certificate dialog was closed: the page that asked went away");
  if (read == HELM_PROGRAM_TIMEOUT || (read == HELM_PROGRAM_LINE && line == "TIMEOUT"))
    return HelmJson_Error(HELM_E_CANCELLED, "the certificate dialog timed out");
  return HelmJson_Error(HELM_E_CANCELLED, "the user chose no certificate");
}
