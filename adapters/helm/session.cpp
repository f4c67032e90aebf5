// SPDX-License-Identifier: Apache-2.0
// session.cpp -- what this copy of the adapter knows of its session: the
// origin it was unlocked for and the certificate the user chose there. The
// entry point sets them, the functions read them. Every loaded copy serves
// one session and is called from one thread at a time, so this state is
// per copy and needs no lock.
#include "helm.h"

static std::string helmOrigin;   // canonical; "" before the unlock
static std::string chosenId;     // "" until the user chose

const std::string& HelmSession_Origin() { return helmOrigin; }

void HelmSession_SetOrigin(const std::string& origin) { helmOrigin = origin; }

const std::string& HelmSelect_Chosen() { return chosenId; }

void HelmSelect_Choose(const std::string& id) { chosenId = id; }

void HelmSelect_Forget() { chosenId.clear(); }

int HelmSelect_CheckId(const std::string& id, std::string* message) {
  HelmSettings settings;
  HelmSettings_Load(&settings);
  if (HelmSettings_ListAllowed(&settings, helmOrigin.c_str())) return HELM_OK;
  if (!chosenId.empty() && id == chosenId) return HELM_OK;
  *message = "the user has not chosen this certificate for this site: ask with SelectCertificate";
  return HELM_E_NOT_CHOSEN;
}
