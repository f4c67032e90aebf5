// SPDX-License-Identifier: Apache-2.0
// entry.cpp -- the adapter's one entry point, callJsonMapMethod: the
// service's internal calls (unlock for the page's origin, version, release)
// and the dispatch of page functions by name.
//
// Every loaded copy serves one session and is called from one thread at a
// time, so the state below is per copy and needs no lock.
#include "helm.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>

static char* helmAnswer;          // the last answer, ours until the next call
static size_t helmAnswerSize;
static bool helmUnlocked;         // the service unlocked this copy for an allowed origin

static char kInternalError[] = "{\"code\":71019,\"message\":\"internal error\"}";
static char kZero[] = "0";
static char kVersion[] = HELM_VERSION;

static void dropAnswer() {
  if (helmAnswer != nullptr) {
    Helm_Wipe(helmAnswer, helmAnswerSize);
    free(helmAnswer);
    helmAnswer = nullptr;
    helmAnswerSize = 0;
  }
}

// The service unloads each copy after its release call; an answer still
// held (a copy unloaded without one) goes with it.
__attribute__((destructor)) static void unloadCopy() { dropAnswer(); }

// Keeps text as the current answer; the previous one is wiped and freed.
static char* keepAnswer(const std::string& text) {
  dropAnswer();
  char* copy = static_cast<char*>(malloc(text.size() + 1));
  if (copy == nullptr) return kInternalError;
  memcpy(copy, text.c_str(), text.size() + 1);
  helmAnswer = copy;
  helmAnswerSize = text.size() + 1;
  return copy;
}

typedef std::string (*HelmFunction)(const KestrovanJsonMap* map);

static const struct {
  const char* name;
  HelmFunction function;
} kFunctions[] = {
    {"ListCertificates", HelmFunction_ListCertificates},
    {"GetCertificate", HelmFunction_GetCertificate},
    {"SignCms", HelmFunction_SignCms},
    {"SignRaw", HelmFunction_SignRaw},
    {"Authenticate", HelmFunction_Authenticate},
    {"VerifyCms", HelmFunction_VerifyCms},
    {"ExtendCms", HelmFunction_ExtendCms},
    {"Hash", HelmFunction_Hash},
    {"GetInfo", HelmFunction_GetInfo},
    {"SelectCertificate", HelmFunction_SelectCertificate},
    {"SignCmsBatch", HelmFunction_SignCmsBatch},
};

static char* unlock(const KestrovanJsonMap* map) {
  const KestrovanJsonUnit* url = HelmParams_Find(map, KESTROVAN_UNLOCK_URL_KEY);
  std::string message, canonical;
  // May ask the user: a dialog for a site not yet on the allow-list.
  int code = HelmConsent_Unlock(url != nullptr ? url->value : nullptr, &canonical, &message);
  helmUnlocked = code == HELM_OK;
  HelmSelect_Forget();
  HelmSession_SetOrigin(helmUnlocked ? canonical : std::string());
  if (helmUnlocked) return kZero;
  // Why goes to the user's console, not to the page: a page told "the user
  // denied it" or "no dialog could be shown" learns whether the machine has
  // a display, and one told about the list learns the state of the user's
  // files. Every refusal reads the same to the page.
  fprintf(stderr, "HelmPKICryptAdapter: site refused: %s: %s\n",
          canonical.empty() ? "(not an origin)" : canonical.c_str(), message.c_str());
  return keepAnswer(HelmJson_Error(HELM_E_ORIGIN_REFUSED, "origin not allowed"));
}

static char* dispatch(KestrovanJsonMap* map, const char* functionName) {
  const char* name = functionName;
  if (name == nullptr) {
    const KestrovanJsonUnit* unit = HelmParams_Find(map, KESTROVAN_FUNCTION_NAME_KEY);
    if (unit == nullptr) unit = HelmParams_Find(map, "FunctionName");
    name = unit != nullptr ? unit->value : nullptr;
  }
  if (name == nullptr) return keepAnswer(HelmJson_Error(HELM_E_UNKNOWN_FUNCTION, "no function named"));
  if (strcmp(name, KESTROVAN_FUNCTION_UNLOCK) == 0) return unlock(map);
  if (strcmp(name, KESTROVAN_FUNCTION_GET_VERSION) == 0) return kVersion;
  if (strcmp(name, KESTROVAN_FUNCTION_RELEASE) == 0) {
    helmUnlocked = false;
    HelmSession_SetOrigin(std::string());
    HelmSelect_Forget();
    dropAnswer();
    return kZero;
  }
  if (!helmUnlocked) {
    return keepAnswer(HelmJson_Error(HELM_E_ORIGIN_REFUSED, "origin not allowed"));
  }
  if (map == nullptr) return keepAnswer(HelmJson_Error(HELM_E_BAD_PARAMETER, "no parameters"));
  for (const auto& f : kFunctions) {
    if (strcasecmp(name, f.name) == 0) return keepAnswer(f.function(map));
  }
  return keepAnswer(HelmJson_Error(HELM_E_UNKNOWN_FUNCTION, std::string("unknown function ") + std::string(name).substr(0, 64)));
}

extern "C" KESTROVAN_ADAPTER_EXPORT char* callJsonMapMethod(KestrovanJsonMap* map, const char* functionName) {
  // Nothing may unwind into the service: it is C on the other side.
  try {
    return dispatch(map, functionName);
  } catch (const std::bad_alloc&) {
    return kInternalError;
  } catch (...) {
    return kInternalError;
  }
}
