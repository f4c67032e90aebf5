// consent.cpp -- which sites may use the user's certificates: the allow-list
// first, and for a site not on it, the user's own answer in a dialog at the
// unlock that opens the site's session.
//
// "Allow once" unlocks this session's copy only. "Always allow" is the
// dialog's third button, which is also what a pinentry that showed nothing
// answers, so it needs an OK of its own in a second dialog before the site
// goes on the list. Deny, cancel, a closed window, a timeout and a dialog
// that cannot be shown all refuse.
#include "helm.h"

#include <cstring>

static const char kTitle[] = "Kestrovan: site access";
static const char kAlwaysTitle[] = "Kestrovan: always allow";

static int refuse(std::string* message, const std::string& why) {
  *message = "origin not allowed: " + why;
  return HELM_E_ORIGIN_REFUSED;
}

static std::string refusalFor(HelmDialogAnswer answer, const HelmDialog* dialog) {
  switch (answer) {
    case HELM_DIALOG_TIMEOUT: return "the user did not answer in time";
    case HELM_DIALOG_UNAVAILABLE: return "no dialog could be shown to ask the user (" + HelmDialog_Failure(dialog) + ")";
    default: return "the user denied it";
  }
}

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
  std::string why;
  HelmDialog* dialog = HelmDialog_Open(&settings, &code, &why);
  if (dialog == nullptr) return refuse(message, "no dialog could be shown to ask the user (" + why + ")");
  std::string site = HelmDialog_Site(*canonical, HELM_DIALOG_SITE_BYTES);
  std::string question = "Allow " + site + " to use your certificates?\n\n" +
                         "The site will see your certificates and may ask you to sign or to log in with them; "
                         "every use asks for your PIN.\n\n" +
                         "Allow once: for this visit only. Always allow: the site is not asked about again.";
  HelmDialogAnswer answer = HelmDialog_Confirm(dialog, kTitle, question, "_Allow once", "Al_ways allow", "_Deny");
  if (answer == HELM_DIALOG_OK) {
    HelmDialog_Close(dialog);
    return HELM_OK;
  }
  if (answer != HELM_DIALOG_NOT_OK) {
    std::string reason = refusalFor(answer, dialog);
    HelmDialog_Close(dialog);
    return refuse(message, reason);
  }
  std::string confirmation = "Always allow " + site + " to use your certificates?\n\n" +
                             "It will not be asked about again. To take it back: kestrovan-helm-sites revoke " + site;
  answer = HelmDialog_Confirm(dialog, kAlwaysTitle, confirmation, "Al_ways allow", nullptr, "_Cancel");
  std::string reason = answer == HELM_DIALOG_CANCELLED || answer == HELM_DIALOG_NOT_OK
                           ? "the user did not confirm \"Always allow\""
                           : refusalFor(answer, dialog);
  HelmDialog_Close(dialog);
  if (answer != HELM_DIALOG_OK) return refuse(message, reason);
  bool changed = false;
  std::string ignored;
  // The user allowed it: a list that cannot be written leaves it allowed
  // for this visit.
  HelmOrigins_Add(canonical->c_str(), &changed, &ignored);
  return HELM_OK;
}
