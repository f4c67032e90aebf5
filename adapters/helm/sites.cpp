// SPDX-License-Identifier: Apache-2.0
// sites.cpp -- kestrovan-helm-sites, the user's command for the PKI
// adapter's allow-list: which sites may use the user's certificates without
// asking, and taking a site's "Always allow" back.
//
//   kestrovan-helm-sites list             the patterns on the list, one a line
//   kestrovan-helm-sites allow ORIGIN     adds https://host[:port] (as "Always allow" does)
//   kestrovan-helm-sites revoke ORIGIN    removes its exact entries
//   kestrovan-helm-sites denials          sites denied while the service runs, and when
//                                         they are asked again; sites being asked now
//   kestrovan-helm-sites clear-denials [ORIGIN]
//                                         forgets the denials (of one site), so the next
//                                         visit asks again at once
//
// Exit status 0 on success; 1 when the list cannot be read or written, or a
// revoked site stays allowed by a wildcard pattern; 2 for a wrong command line.
#include "helm.h"

#include <cstdio>
#include <cstring>

static int usage() {
  fprintf(stderr,
          "usage: kestrovan-helm-sites list\n"
          "       kestrovan-helm-sites allow ORIGIN\n"
          "       kestrovan-helm-sites revoke ORIGIN\n"
          "       kestrovan-helm-sites denials\n"
          "       kestrovan-helm-sites clear-denials [ORIGIN]\n"
          "ORIGIN: https://host or https://host:port (http:// for plain http)\n");
  return 2;
}

static int list() {
  std::string path = HelmPaths_AllowListFile();
  std::string text, message;
  bool exists = false;
  if (HelmOrigins_ReadList(path, &text, &exists, &message) != HELM_OK) {
    fprintf(stderr, "kestrovan-helm-sites: %s (%s)\n", message.c_str(), path.c_str());
    return 1;
  }
  size_t at = 0, start = 0, length = 0;
  while (KestrovanOriginList_Next(text.data(), text.size(), &at, &start, &length))
    printf("%s\n", text.substr(start, length).c_str());
  return 0;
}

// "https://shop.example denied 2 times, asked again in 58 s", one a site;
// "https://shop.example is being asked now" for a site whose dialog is up.
static int denials() {
  std::vector<HelmDenial> entries;
  long long now = 0;
  if (!HelmDenials_List(&entries, &now)) {
    fprintf(stderr, "kestrovan-helm-sites: the denied sites cannot be read (%s)\n", HelmPaths_ConfigFolder().c_str());
    return 1;
  }
  for (const HelmDenial& d : entries) {
    if (d.denials > 0) {
      long long left = d.untilMs > now ? (d.untilMs - now + 999) / 1000 : 0;
      printf("%s denied %u time%s, %s", d.origin.c_str(), d.denials, d.denials == 1 ? "" : "s",
             left > 0 ? "asked again in " : "asked again at its next visit");
      if (left > 0) printf("%lld s", left);
      printf("%s\n", d.pending ? "; is being asked now" : "");
    } else if (d.pending) {
      printf("%s is being asked now\n", d.origin.c_str());
    }
  }
  return 0;
}

static int clearDenials(const char* origin) {
  std::string canonical;
  if (origin != nullptr) {
    HelmOrigin parsed;
    if (!HelmOrigins_Parse(origin, &parsed)) {
      fprintf(stderr, "kestrovan-helm-sites: not an origin: %s\n", origin);
      return 2;
    }
    canonical = HelmOrigins_Canonical(&parsed);
  }
  unsigned cleared = 0;
  if (!HelmDenials_Clear(canonical, &cleared)) {
    fprintf(stderr, "kestrovan-helm-sites: the denied sites cannot be changed (%s)\n",
            HelmPaths_ConfigFolder().c_str());
    return 1;
  }
  if (origin != nullptr) {
    printf("%s %s\n", canonical.c_str(), cleared > 0 ? "is asked again at its next visit" : "was not denied");
  } else {
    printf("%u denied site%s forgotten\n", cleared, cleared == 1 ? "" : "s");
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "list") == 0) return list();
  if (argc == 2 && strcmp(argv[1], "denials") == 0) return denials();
  if ((argc == 2 || argc == 3) && strcmp(argv[1], "clear-denials") == 0) return clearDenials(argc == 3 ? argv[2] : nullptr);
  if (argc != 3) return usage();
  bool changed = false;
  std::string message;
  if (strcmp(argv[1], "allow") == 0) {
    int code = HelmOrigins_Add(argv[2], &changed, &message);
    if (code != HELM_OK) {
      fprintf(stderr, "kestrovan-helm-sites: %s\n", message.c_str());
      return code == HELM_E_BAD_PARAMETER ? 2 : 1;
    }
    printf("%s %s\n", argv[2], changed ? "is allowed now" : "was allowed already");
    return 0;
  }
  if (strcmp(argv[1], "revoke") == 0) {
    bool stillAdmitted = false;
    int code = HelmOrigins_Remove(argv[2], &changed, &stillAdmitted, &message);
    if (code != HELM_OK) {
      fprintf(stderr, "kestrovan-helm-sites: %s\n", message.c_str());
      return code == HELM_E_BAD_PARAMETER ? 2 : 1;
    }
    if (stillAdmitted) {
      printf("%s is still allowed by a wildcard pattern: edit %s\n", argv[2], HelmPaths_AllowListFile().c_str());
      return 1;
    }
    printf("%s %s\n", argv[2], changed ? "is revoked: the site will be asked again" : "was not on the list");
    return 0;
  }
  return usage();
}
