// SPDX-License-Identifier: Apache-2.0
// host.cpp -- the adapter's way to the service's run-time hooks
// (include/kestrovan/host.h): looked up once in the process's global
// symbols, so an adapter links nothing of the service and runs in hosts
// without them.
#include "include/kestrovan/adapter_host.h"

#include <dlfcn.h>

#include <mutex>

#include "include/kestrovan/host.h"

static std::once_flag hostLookedUp;
static KestrovanHostCallTokenFunction hostCallToken;
static KestrovanHostCallAbandonedFunction hostCallAbandoned;
static KestrovanHostInstallFolderFunction hostInstallFolder;

static void lookUpHost() {
  hostCallToken = reinterpret_cast<KestrovanHostCallTokenFunction>(dlsym(RTLD_DEFAULT, KESTROVAN_HOST_CALL_TOKEN));
  hostCallAbandoned =
      reinterpret_cast<KestrovanHostCallAbandonedFunction>(dlsym(RTLD_DEFAULT, KESTROVAN_HOST_CALL_ABANDONED));
  hostInstallFolder =
      reinterpret_cast<KestrovanHostInstallFolderFunction>(dlsym(RTLD_DEFAULT, KESTROVAN_HOST_INSTALL_FOLDER));
}

extern "C" uint64_t KestrovanAdapter_callToken(void) {
  std::call_once(hostLookedUp, lookUpHost);
  return hostCallToken != nullptr ? hostCallToken() : 0;
}

extern "C" int KestrovanAdapter_callAbandoned(uint64_t token) {
  std::call_once(hostLookedUp, lookUpHost);
  if (token == 0 || hostCallAbandoned == nullptr) return 0;
  return hostCallAbandoned(token) == 1 ? 1 : 0;
}

extern "C" int KestrovanAdapter_hostInstallFolder(char* out, size_t size) {
  std::call_once(hostLookedUp, lookUpHost);
  if (out == nullptr || size == 0) return 0;
  out[0] = '\0';
  if (hostInstallFolder == nullptr || hostInstallFolder(out, size) != 1) {
    out[0] = '\0';
    return 0;
  }
  return 1;
}
