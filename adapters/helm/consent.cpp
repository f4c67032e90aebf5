// SPDX-License-Identifier: Apache-2.0
// consent.cpp -- which sites may use the user's certificates: the allow-list
// first, and for a site not on it, the user's own answer in a dialog at the
// unlock that opens the site's session.
//
// "Allow once" unlocks this session's copy only. "Always allow" is the
// dialog's third button, which is also what a pinentry that showed nothing
// answers, so it needs an OK of its own in a second dialog before the site
// goes on the list. Deny, cancel, a closed window, a timeout and a dialog
// that cannot be shown all refuse.
//
// A page may open sessions as often as it likes; the user is not asked more
// often for it (denials.cpp): a site the user denied is refused at once,
// without a dialog, until its back-off passes, and a site that has a consent
// dialog open or waiting is refused at once too.
#include "helm.h"

#include <cstring>

static const char kTitle[] = HELM_N_("Kestrovan: site access");
static const char kAlwaysTitle[] = HELM_N_("Kestrovan: always allow");

static int refuse(std::string* message, const std::string& why) {
  *message = "origin not allowed: " + why;
  return HELM_E_ORIGIN_REFUSED;
}

static std::string refusalFor(HelmDialogAnswer answer, const HelmDialog* dialog) {
  switch (answer) {
    case HELM_DIALOG_TIMEOUT: return "the user did not answer in time";
    case HELM_DIALOG_ABANDONED: return "the page that asked went away, and its dialog was closed";
    case HELM_DIALOG_UNAVAILABLE: return "no dialog could be shown to ask the user (" + HelmDialog_Failure(dialog) + ")";
    default: return "the user denied it";
  }
}

// The consent dialog itself (the caller marked the site pending): HELM_OK
// or HELM_E_ORIGIN_REFUSED, with *outcome what the user did.
static int ask(const std::string& canonical, const HelmSettings* settings, HelmDenialOutcome* outcome,
               std::string* message);

int HelmConsent_Unlock(const char* origin, std::string* canonical, std::string* message) {
  HelmOrigin parsed;
  if (origin == nullptr || !HelmOrigins_Parse(origin, &parsed)) {
    *message = "origin not allowed";
    return HELM_E_ORIGIN_REFUSED;
  }
  *canonical = HelmOrigins_Canonical(&parsed);
  std::string list;
  bool exists = false;
  // A list another account could have written is not a list to add to
  // either: refuse as before, without asking.
  int code = HelmOrigins_ReadList(HelmPaths_AllowListFile(), &list, &exists, message);
  if (code != HELM_OK) return code;
  if (HelmOrigins_ListAdmits(list.data(), list.size(), origin)) return HELM_OK;

  HelmSettings settings;
  HelmSettings_Load(&settings);
  long long waitMs = 0;
  // Refused like any other refusal: the page is not told that the user
  // answered it before, nor that a dialog is on the screen.
  HelmDenialCheck check = HelmDenials_Begin(*canonical, &waitMs);
  if (check == HELM_DENIAL_BACKING_OFF)
    return refuse(message, "the user declined this site recently; it is not asked again for " +
                               std::to_string((waitMs + 999) / 1000) + " s");
  if (check == HELM_DENIAL_PENDING) return refuse(message, "a dialog already asks the user about this site");
  HelmDenialOutcome outcome = HELM_DENIAL_NEITHER;
  try {
    code = ask(*canonical, &settings, &outcome, message);
  } catch (...) {
    HelmDenials_End(*canonical, HELM_DENIAL_NEITHER, settings.denialBackoffSeconds);
    throw;
  }
  HelmDenials_End(*canonical, outcome, settings.denialBackoffSeconds);
  return code;
}

static int ask(const std::string& canonical, const HelmSettings* settings, HelmDenialOutcome* outcome,
               std::string* message) {
  *outcome = HELM_DENIAL_NEITHER;
  int code = HELM_OK;
  std::string why;
  HelmDialog* dialog = HelmDialog_Open(settings, &code, &why);
  if (dialog == nullptr) {
    return refuse(message, code == HELM_E_CANCELLED ? why : "no dialog could be shown to ask the user (" + why + ")");
  }
  HelmDialogGuard guard = {dialog};
  std::string site = HelmDialog_Site(canonical, HELM_DIALOG_SITE_BYTES);
  std::string question =
      HelmText_Fill(HelmText_Translate("Allow {site} to use your certificates?"), {{"site", site}}) + "\n\n" +
      HelmText_Translate("The site will see your certificates and may ask you to sign or to log in with them; "
                         "every use asks for your PIN.") +
      "\n\n" +
      HelmText_Translate("Allow once: for this visit only. Always allow: the site is not asked about again.");
  HelmDialogAnswer answer = HelmDialog_Confirm(dialog, HelmText_Translate(kTitle).c_str(), question,
                                               HelmText_Translate("_Allow once").c_str(),
                                               HelmText_Translate("Al_ways allow").c_str(),
                                               HelmText_Translate("_Deny").c_str());
  if (answer == HELM_DIALOG_OK) {
    guard.close();
    *outcome = HELM_DENIAL_GRANTED;
    return HELM_OK;
  }
  if (answer != HELM_DIALOG_NOT_OK) {
    // Deny, Escape or the window closed: the user's own no.
    if (answer == HELM_DIALOG_CANCELLED) *outcome = HELM_DENIAL_DENIED;
    std::string reason = refusalFor(answer, dialog);
    guard.close();
    return refuse(message, reason);
  }
  std::string confirmation =
      HelmText_Fill(HelmText_Translate("Always allow {site} to use your certificates?"), {{"site", site}}) +
      "\n\n" +
      HelmText_Fill(HelmText_Translate("It will not be asked about again. To take it back: "
                                       "kestrovan-helm-sites revoke {site}"),
                    {{"site", site}});
  answer = HelmDialog_Confirm(dialog, HelmText_Translate(kAlwaysTitle).c_str(), confirmation,
                              HelmText_Translate("Al_ways allow").c_str(), nullptr,
                              HelmText_Translate("_Cancel").c_str());
  std::string reason = answer == HELM_DIALOG_CANCELLED || answer == HELM_DIALOG_NOT_OK
                           ? "the user did not confirm \"Always allow\""
                           : refusalFor(answer, dialog);
  guard.close();
  if (answer != HELM_DIALOG_OK) return refuse(message, reason);
  *outcome = HELM_DENIAL_GRANTED;
  bool changed = false;
  std::string ignored;
  // The user allowed it: a list that cannot be written leaves it allowed
  // for this visit.
  HelmOrigins_Add(canonical.c_str(), &changed, &ignored);
  return HELM_OK;
}
