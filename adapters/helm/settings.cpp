// SPDX-License-Identifier: Apache-2.0
// settings.cpp -- the adapter's settings: which pinentry program shows the
// dialogs and for how long, how long a denied site is not asked again, how
// often a wrong PIN is asked again, which origins may send a PIN themselves
// (kiosks, tests), which origins may list every certificate instead of
// having the user choose one, which program shows the adapter's own lists,
// and which role keys certified for both signing and
// authentication serve.
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
