// SPDX-License-Identifier: Apache-2.0
// settings.cpp -- the adapter's settings: which pinentry program shows the
// dialogs and for how long, how long a denied site is not asked again, how
// often a wrong PIN is asked again, which origins may send a PIN themselves
// (kiosks, tests), which origins may list every certificate instead of
// having the user choose one, which program shows the adapter's own lists,
// which role keys certified for both signing and authentication serve, and
// which timestamp authorities signatures use.
//
// Two files of "key = value" lines ("#" starts a comment): the
// administrator's, then the user's. Each is read only when nobody but its
// owner (root for the administrator's, the user for the user's) may write
// it; anything else is ignored as if absent, so a file another account could
// plant never widens what a page may do.
#include "helm.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

std::string HelmPaths_SettingsFile() {
  std::string folder = HelmPaths_ConfigFolder();
  return folder.empty() ? folder : folder + "/helm.conf";
}

// A whole decimal number within [low, high]; false otherwise.
static bool readNumber(const std::string& text, unsigned low, unsigned high, unsigned* out) {
  if (text.empty() || text.size() > 6) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (unsigned)(c - '0');
  }
  if (value < low || value > high) return false;
  *out = value;
  return true;
}

// A dotted object identifier ("1.2.3.4"), nothing else.
static bool readOid(const std::string& text) {
  if (text.empty() || text.size() > 128 || text.front() == '.' || text.back() == '.') return false;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '.' ? text[i + 1] == '.' : (text[i] < '0' || text[i] > '9')) return false;
  }
  return text.find('.') != std::string::npos;
}

// Blank- or comma-separated http(s) URLs; a later line of the key replaces
// the list, so the user's file can name other authorities than the
// administrator's. Anything else in the list is left out.
static void readUrls(const std::string& text, std::vector<std::string>* out) {
  out->clear();
  size_t at = 0;
  while (at < text.size() && out->size() < HELM_MAX_TSA_URLS) {
    size_t end = text.find_first_of(" \t,", at);
    if (end == std::string::npos) end = text.size();
    std::string url = text.substr(at, end - at);
    at = end + 1;
    if (url.size() > 1024) continue;
    if (url.compare(0, 7, "http://") == 0 || url.compare(0, 8, "https://") == 0) out->push_back(url);
  }
}

static void apply(const std::string& text, HelmSettings* settings) {
  size_t at = 0;
  std::string line, comment;
  while (HelmFiles_NextLine(text, &at, &line, &comment)) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = HelmFiles_Trim(line.substr(0, equals));
    std::string value = HelmFiles_Trim(line.substr(equals + 1));
    if (strcasecmp(key.c_str(), "pinentry") == 0) {
      if (!value.empty()) settings->pinentry = value;
    } else if (strcasecmp(key.c_str(), "dialog-timeout") == 0) {
      readNumber(value, 5, 600, &settings->dialogSeconds);
    } else if (strcasecmp(key.c_str(), "denial-backoff") == 0) {
      readNumber(value, 1, HELM_MAX_DENIAL_BACKOFF_SECONDS, &settings->denialBackoffSeconds);
    } else if (strcasecmp(key.c_str(), "pin-attempts") == 0) {
      readNumber(value, 1, 10, &settings->pinAttempts);
    } else if (strcasecmp(key.c_str(), "page-pin-origins") == 0) {
      if (!settings->pagePinOrigins.empty()) settings->pagePinOrigins += ";";
      settings->pagePinOrigins += value;
    } else if (strcasecmp(key.c_str(), "list-origins") == 0) {
      if (!settings->listOrigins.empty()) settings->listOrigins += ";";
      settings->listOrigins += value;
    } else if (strcasecmp(key.c_str(), "chooser") == 0) {
      if (!value.empty()) settings->chooser = value;
    } else if (strcasecmp(key.c_str(), "tsa-urls") == 0) {
      readUrls(value, &settings->tsaUrls);
    } else if (strcasecmp(key.c_str(), "tsa-timeout") == 0) {
      readNumber(value, 1, 120, &settings->tsaSeconds);
    } else if (strcasecmp(key.c_str(), "chain-certificates") == 0) {
      if (!value.empty() && value[0] == '/') settings->chainCertificates = value;
    } else if (strcasecmp(key.c_str(), "revocation-timeout") == 0) {
      readNumber(value, 1, 120, &settings->revocationSeconds);
    } else if (strcasecmp(key.c_str(), "revocation-private-networks") == 0) {
      if (strcasecmp(value.c_str(), "allow") == 0) settings->revocationPrivateNetworks = true;
      if (strcasecmp(value.c_str(), "refuse") == 0) settings->revocationPrivateNetworks = false;
    } else if (strcasecmp(key.c_str(), "tsa-policy") == 0) {
      settings->tsaPolicy = readOid(value) ? value : std::string();
    } else if (strcasecmp(key.c_str(), "tsa-trust") == 0) {
      if (!value.empty() && value[0] == '/') settings->tsaTrust = value;
    } else if (strcasecmp(key.c_str(), "dual-use-key-role") == 0) {
      if (strcasecmp(value.c_str(), "authentication") == 0) settings->dualUseForAuthentication = true;
      if (strcasecmp(value.c_str(), "signing") == 0) settings->dualUseForAuthentication = false;
    }
    // "sign-without-non-repudiation" of earlier versions let authentication
    // keys sign; it is no longer read, so a key never serves both roles.
  }
}

void HelmSettings_Load(HelmSettings* out) {
  out->pinentry.clear();
  out->dialogSeconds = HELM_DEFAULT_DIALOG_SECONDS;
  out->pinAttempts = HELM_DEFAULT_PIN_ATTEMPTS;
  out->denialBackoffSeconds = HELM_DEFAULT_DENIAL_BACKOFF_SECONDS;
  out->pagePinOrigins.clear();
  out->dualUseForAuthentication = false;
  out->listOrigins.clear();
  out->chooser.clear();
  out->tsaUrls.clear();
  out->tsaSeconds = HELM_DEFAULT_TSA_SECONDS;
  out->tsaPolicy.clear();
  out->tsaTrust = HELM_DEFAULT_TSA_TRUST;
  out->revocationSeconds = HELM_DEFAULT_TSA_SECONDS;
  out->revocationPrivateNetworks = false;
  out->chainCertificates = HELM_DEFAULT_TSA_TRUST;
  std::string text, ignored;
  bool exists = false;
  if (HelmFiles_ReadOwn(HELM_SYSTEM_SETTINGS_FILE, 0, HELM_MAX_SETTINGS_BYTES, &text, &exists, &ignored)) {
    apply(text, out);
  }
  std::string user = HelmPaths_SettingsFile();
  if (!user.empty() && HelmFiles_ReadOwn(user, geteuid(), HELM_MAX_SETTINGS_BYTES, &text, &exists, &ignored)) {
    apply(text, out);
  }
  if (out->pinentry.empty()) {
    const char* fromEnvironment = getenv("KESTROVAN_PINENTRY");
    out->pinentry = fromEnvironment != nullptr && fromEnvironment[0] != '\0' ? fromEnvironment : HELM_DEFAULT_PINENTRY;
  }
  // The session's own environment may name list sites too (a kiosk's
  // service unit): it is the user's, as the user's file is.
  const char* listSites = getenv("KESTROVAN_HELM_LIST_ORIGINS");
  if (listSites != nullptr && listSites[0] != '\0') {
    if (!out->listOrigins.empty()) out->listOrigins += ";";
    out->listOrigins += listSites;
  }
  if (out->chooser.empty()) {
    const char* fromEnvironment = getenv("KESTROVAN_HELM_CHOOSER");
    if (fromEnvironment != nullptr) out->chooser = fromEnvironment;
  }
}

bool HelmSettings_PagePinAllowed(const HelmSettings* settings, const char* origin) {
  return !settings->pagePinOrigins.empty() &&
         HelmOrigins_ListAdmits(settings->pagePinOrigins.data(), settings->pagePinOrigins.size(), origin);
}

bool HelmSettings_ListAllowed(const HelmSettings* settings, const char* origin) {
  return !settings->listOrigins.empty() &&
         HelmOrigins_ListAdmits(settings->listOrigins.data(), settings->listOrigins.size(), origin);
}
