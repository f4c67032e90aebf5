// SPDX-License-Identifier: Apache-2.0
// paths.cpp -- where the adapter's per-user files live: its configuration
// folder (the SDK's, for the adapter "helm"), the allow-list and the key
// folder in it.
#include "helm.h"

std::string HelmPaths_ConfigFolder() {
  char folder[4096];
  if (KestrovanFile_ConfigFolder("helm", folder, sizeof folder) == 0) return std::string();
  return folder;
}

std::string HelmPaths_AllowListFile() {
  std::string folder = HelmPaths_ConfigFolder();
  return folder.empty() ? folder : folder + "/" KESTROVAN_ALLOW_LIST_FILE;
}

std::string HelmPaths_KeyFolder() {
  std::string folder = HelmPaths_ConfigFolder();
  return folder.empty() ? folder : folder + "/keys";
}
