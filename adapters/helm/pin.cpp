// SPDX-License-Identifier: Apache-2.0
// pin.cpp -- the PIN from the user: a dialog naming the site, asked again
// after a wrong PIN up to the setting, or a reader's keypad while a message
// says so.
#include "helm.h"
#include "store.h"

#include <gnutls/pkcs11.h>

#include <cstring>

static const char* purposeText(HelmPurpose purpose) {
  switch (purpose) {
    case HELM_PURPOSE_SIGN_CMS: return "sign a document (CMS signature)";
    case HELM_PURPOSE_SIGN_RAW: return "sign data (raw signature)";
    default: return "log you in (authentication)";
  }
}

static std::string line(const std::string& text, size_t maxBytes) {
  return HelmDialog_Line(text.data(), text.size(), maxBytes);
}

// What a PIN dialog says: who asks for what, with which certificate, and
// the token's warning when it has one. The site's own words come last and
// are marked as such; every outside text is one line, cut.
static std::string describe(const HelmCertificate* c, gnutls_x509_crt_t crt, const HelmPinSource* source,
                            unsigned flags, bool warn) {
  std::string text = HelmDialog_Site(source->site, HELM_DIALOG_SITE_BYTES) + " asks to " + purposeText(source->purpose) +
                     " with your certificate.\n";
  if (warn && (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_FINAL_TRY)) {
    text += "Warning: last try. One more wrong PIN locks the token.\n";
  } else if (warn && (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_COUNT_LOW)) {
    text += "Warning: few tries are left before the token locks.\n";
  }
  text += "\nCertificate: " + line(HelmCertificate_Name(crt, false), 120) + "\n";
  text += "Issued by: " + line(HelmCertificate_Name(crt, true), 120) + "\n";
  if (c->kind == HELM_LOCATION_PKCS11) text += "On token: " + line(c->tokenLabel, 64) + "\n";
  else text += "In file: " + line(HelmStore_BaseName(c->file), 64) + "\n";
  if (!source->digestHex.empty()) text += source->digestLabel + ": " + source->digestHex + "\n";
  if (!source->description.empty()) {
    text += "The site says (its own words): " +
            HelmDialog_Quoted(source->description.data(), source->description.size(), 160) + "\n";
  }
  return text;
}

static std::string wrongPinText(bool token, unsigned flags) {
  if (!token) return "Wrong password. Try again.";
  if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_FINAL_TRY) return "Wrong PIN. One try is left: another wrong PIN locks the token.";
  if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_COUNT_LOW) return "Wrong PIN. Few tries are left before the token locks.";
  return "Wrong PIN. Try again.";
}

// The PIN from the user: a dialog naming the site (again after a wrong PIN,
// up to the setting), or a reader's keypad while a message says so.
int HelmPin_OpenWithDialog(const HelmCertificate* c, gnutls_x509_crt_t crt, const HelmPinSource* source, HelmKey* out,
                          std::string* message) {
  bool token = c->kind == HELM_LOCATION_PKCS11;
  unsigned flags = 0;
  if (token) {
    if (!HelmToken_Flags(c, &flags)) {
      *message = "token " + c->tokenLabel + " is not available";
      return HELM_E_TOKEN;
    }
    if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_LOCKED) {
      *message = "the PIN of token " + c->tokenLabel + " is locked";
      return HELM_E_TOKEN_LOCKED;
    }
  }
  int code = HELM_OK;
  std::string why;
  HelmDialog* dialog = HelmDialog_Open(source->settings, &code, &why);
  if (dialog == nullptr) {
    if (code == HELM_E_CANCELLED) {
      *message = "no PIN dialog was shown: " + why;
      return HELM_E_CANCELLED;
    }
    *message = "no dialog could be shown to ask for the PIN: " + why;
    return HELM_E_NO_DIALOG;
  }
  HelmDialogGuard guard = {dialog};
  if (token && (flags & GNUTLS_PKCS11_TOKEN_PROTECTED_AUTHENTICATION_PATH)) {
    std::string text = describe(c, crt, source, flags, true) + "\nEnter your PIN on the reader's keypad now.";
    if (!HelmDialog_ShowMessage(dialog, "Kestrovan: PIN pad", text)) {
      *message = "no dialog could be shown to ask for the PIN on the reader";
      return HELM_E_NO_DIALOG;
    }
    code = HelmKey_OpenOnce(c, "", out, message);
    return code;
  }
  std::string error;
  code = HELM_E_WRONG_PIN;
  *message = token ? "wrong PIN" : "wrong password";
  for (unsigned attempt = 0; attempt < source->settings->pinAttempts; attempt++) {
    char pin[HELM_MAX_PIN_BYTES + 1];
    bool tooLong = false;
    HelmDialogAnswer answer = HelmDialog_GetPin(dialog, token ? "Kestrovan: PIN" : "Kestrovan: password",
                                                describe(c, crt, source, flags, error.empty()),
                                                token ? "PIN:" : "Password:", error, pin, sizeof pin, &tooLong);
    if (answer != HELM_DIALOG_OK) {
      Helm_Wipe(pin, sizeof pin);
      if (answer == HELM_DIALOG_UNAVAILABLE) {
        *message = "the PIN dialog could not be shown (" + HelmDialog_Failure(dialog) + ")";
        return HELM_E_NO_DIALOG;
      }
      *message = answer == HELM_DIALOG_TIMEOUT     ? "the PIN dialog timed out"
                 : answer == HELM_DIALOG_ABANDONED ? "the PIN dialog was closed: the page that asked went away"
                                                   : "the user cancelled the PIN dialog";
      return HELM_E_CANCELLED;
    }
    if (tooLong || pin[0] == '\0') {
      // Nothing the token could take: not a try of its own.
      error = tooLong ? "The PIN is too long." : "No PIN was entered.";
      Helm_Wipe(pin, sizeof pin);
      continue;
    }
    code = HelmKey_OpenOnce(c, pin, out, message);
    Helm_Wipe(pin, sizeof pin);
    if (code != HELM_E_WRONG_PIN) break;
    if (token) {
      if (!HelmToken_Flags(c, &flags)) flags = 0;
      if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_LOCKED) {
        *message = "the PIN of token " + c->tokenLabel + " is locked";
        code = HELM_E_TOKEN_LOCKED;
        break;
      }
    }
    error = wrongPinText(token, flags);
  }
  return code;
}
