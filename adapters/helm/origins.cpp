// SPDX-License-Identifier: Apache-2.0
// origins.cpp -- the origin allow-list that decides which pages may unlock
// the adapter: reading it (only when it is the user's alone), and the user's
// changes to it. The grammar of origins, patterns and lists is the SDK's
// (kestrovan/adapter_origins.h), which the doctor reads the list with too.
#include "helm.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

bool HelmOrigins_Parse(const char* origin, HelmOrigin* out) { return KestrovanOrigin_Parse(origin, out) != 0; }

bool HelmOrigins_PatternAdmits(const char* pattern, size_t length, const HelmOrigin* origin) {
  return KestrovanOrigin_PatternAdmits(pattern, length, origin) != 0;
}

bool HelmOrigins_ListAdmits(const char* listText, size_t length, const char* origin) {
  return KestrovanOriginList_Admits(listText, length, origin) != 0;
}

int HelmOrigins_ReadList(const std::string& path, std::string* text, bool* exists, std::string* message) {
  text->clear();
  *exists = false;
  if (path.empty()) {
    *message = "origin not allowed: no home folder";
    return HELM_E_ORIGIN_REFUSED;
  }
  std::string problem;
  // No list yet admits nobody.
  if (HelmFiles_ReadOwn(path, geteuid(), HELM_MAX_ALLOWLIST_BYTES, text, exists, &problem)) return HELM_OK;
  *message = "origin not allowed: the allow-list " + problem;
  return HELM_E_ORIGIN_REFUSED;
}

std::string HelmOrigins_Canonical(const HelmOrigin* origin) {
  char text[300];
  KestrovanOrigin_Canonical(origin, text, sizeof text);
  return text;
}

// ---- changing the list ---------------------------------------------------------

// Whether a pattern admits one origin only and that is origin: no "*", no
// leading or trailing dot, and it admits it.
static bool exactEntryFor(const std::string& pattern, const HelmOrigin* origin) {
  if (pattern.empty() || pattern.find('*') != std::string::npos) return false;
  std::string host = pattern;
  size_t scheme = host.find("://");
  if (scheme != std::string::npos) host = host.substr(scheme + 3);
  if (!host.empty() && host.back() == '/') host.pop_back();
  if (host.empty() || host.front() == '.' || host.back() == '.') return false;
  return HelmOrigins_PatternAdmits(pattern.data(), pattern.size(), origin);
}

// Writes text as the new list, whole or not at all (the SDK's private write).
static int replaceList(const std::string& path, const std::string& text, std::string* message) {
  int error = 0;
  int step = KestrovanFile_WritePrivate(path.c_str(), text.data(), text.size(), &error);
  if (step == KESTROVAN_WRITE_DONE) return HELM_OK;
  *message = std::string("cannot write the allow-list (") + KestrovanFile_WriteStepName(step) + "): " + strerror(error);
  // A folder not flushed still holds the new list.
  return step == KESTROVAN_WRITE_SYNC_FOLDER ? HELM_OK : HELM_E_INTERNAL;
}

// The steps Add and Remove share: the origin parsed, the lock taken, the
// current list read (refused when it is not the user's alone).
static int beginChange(const char* origin, HelmOrigin* parsed, int* lock, std::string* text, std::string* message) {
  if (origin == nullptr || !HelmOrigins_Parse(origin, parsed)) {
    *message = "not an origin: write it as https://host or https://host:port";
    return HELM_E_BAD_PARAMETER;
  }
  *lock = HelmLock_Take("allowed-origins.lock", 10000);
  if (*lock < 0) {
    *message = "the allow-list is being changed by someone else; try again";
    return HELM_E_INTERNAL;
  }
  bool exists = false;
  int code = HelmOrigins_ReadList(HelmPaths_AllowListFile(), text, &exists, message);
  if (code != HELM_OK) {
    HelmLock_Release(*lock);
    *lock = -1;
    return HELM_E_INTERNAL;
  }
  return HELM_OK;
}

int HelmOrigins_Add(const char* origin, bool* changed, std::string* message) {
  *changed = false;
  HelmOrigin parsed;
  int lock = -1;
  std::string text;
  int code = beginChange(origin, &parsed, &lock, &text, message);
  if (code != HELM_OK) return code;
  size_t at = 0, start = 0, length = 0;
  bool present = false;
  while (!present && KestrovanOriginList_Next(text.data(), text.size(), &at, &start, &length))
    present = exactEntryFor(text.substr(start, length), &parsed);
  if (!present) {
    if (!text.empty() && text.back() != '\n') text.push_back('\n');
    text += HelmOrigins_Canonical(&parsed) + "\n";
    code = replaceList(HelmPaths_AllowListFile(), text, message);
    *changed = code == HELM_OK;
  }
  HelmLock_Release(lock);
  return code;
}

int HelmOrigins_Remove(const char* origin, bool* changed, bool* stillAdmitted, std::string* message) {
  *changed = false;
  *stillAdmitted = false;
  HelmOrigin parsed;
  int lock = -1;
  std::string text;
  int code = beginChange(origin, &parsed, &lock, &text, message);
  if (code != HELM_OK) return code;
  std::string kept, line, comment;
  size_t at = 0;
  while (HelmFiles_NextLine(text, &at, &line, &comment)) {
    std::string patterns;
    bool removed = false;
    size_t inLine = 0, start = 0, length = 0;
    while (KestrovanOriginList_Next(line.data(), line.size(), &inLine, &start, &length)) {
      std::string pattern = line.substr(start, length);
      if (exactEntryFor(pattern, &parsed)) {
        removed = true;
        continue;
      }
      if (!patterns.empty()) patterns += "; ";
      patterns += pattern;
    }
    if (!removed) {
      kept += line + comment + "\n";
      continue;
    }
    *changed = true;
    std::string rebuilt = patterns;
    if (!comment.empty()) rebuilt += (rebuilt.empty() ? "" : " ") + comment;
    if (!rebuilt.empty()) kept += rebuilt + "\n";  // else the line held only this origin
  }
  if (*changed) code = replaceList(HelmPaths_AllowListFile(), kept, message);
  *stillAdmitted = HelmOrigins_ListAdmits(kept.data(), kept.size(), origin);
  HelmLock_Release(lock);
  if (code != HELM_OK) *changed = false;
  return code;
}
