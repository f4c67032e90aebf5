// SPDX-License-Identifier: Apache-2.0
// policies.cpp -- NORTAKestrovanPolicies: writes the browser policies an
// administrator installs so that the listed sites reach the service without
// asking each user, into a folder the administrator names.
//
//   NORTAKestrovanPolicies --out DIR SITE...
//
// SITE is https://host, https://[*.]host (the host and its subdomains), or
// the same without "https://". DIR gets, laid out as the files go on a
// machine (so that `cp -r DIR/etc /` installs them, and
// `NORTAKestrovanDoctor --root DIR` reads them):
//   etc/chromium/policies/managed/kestrovan.json   Chromium
//   etc/opt/chrome/policies/managed/kestrovan.json Chrome
//   etc/opt/edge/policies/managed/kestrovan.json   Edge
//     LocalNetworkAccessAllowedForUrls and LoopbackNetworkAllowedForUrls
//   etc/firefox/policies/policies.json             Firefox (Debian's ESR reads it)
//     LocalNetworkAccess.SkipDomains, and Certificates.Install of
//     "NORTAKestrovan-local-ca.pem", the copy of each user's local CA that
//     provisioning keeps in ~/.mozilla/certificates (Firefox looks for a
//     bare file name there).
// It never writes outside DIR. Exit status 0 when written, 1 when a file
// could not be, 2 on a usage error (a site it cannot express).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "tools/stores.h"

struct Site {
  std::string host;  // "bank.example"
  bool subdomains;   // and every name below it
};

static bool hostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Reads one SITE argument; false (with why) when it is not a form both
// browsers' policies can say.
static bool parseSite(const char* text, Site* site, std::string* why) {
  std::string rest = text;
  if (rest.compare(0, 8, "https://") == 0)
    rest = rest.substr(8);
  else if (rest.find("://") != std::string::npos) {
    *why = "only https sites can be allowed (browsers let only secure pages reach this computer)";
    return false;
  }
  if (!rest.empty() && rest.back() == '/')
    rest.pop_back();
  site->subdomains = false;
  if (rest.compare(0, 4, "[*.]") == 0 || rest.compare(0, 2, "*.") == 0) {
    site->subdomains = true;
    rest = rest.substr(rest[0] == '[' ? 4 : 2);
  }
  for (char& c : rest)
    if (c >= 'A' && c <= 'Z')
      c = (char)(c - 'A' + 'a');
  bool valid = !rest.empty() && rest.size() <= 253 && rest.front() != '.' && rest.back() != '.' &&
               rest.find("..") == std::string::npos && rest.find('.') != std::string::npos;
  for (char c : rest)
    valid = valid && hostCharacter(c);
  if (!valid) {
    *why = "not a host name (a site is https://host or https://[*.]host, without a port or a path)";
    return false;
  }
  site->host = rest;
  return true;
}

static std::string jsonList(const std::vector<std::string>& items, const char* indent) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); i++)
    out += std::string(i == 0 ? "\n" : ",\n") + indent + "  \"" + items[i] + "\"";
  return out + "\n" + indent + "]";
}

// Makes every folder of path below base (base exists).
static bool makeFolders(const std::string& base, const std::string& relative) {
  std::string path = base;
  size_t at = 0;
  while (at < relative.size()) {
    size_t end = relative.find('/', at);
    if (end == std::string::npos)
      break;
    path += "/" + relative.substr(at, end - at);
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
      fprintf(stderr, "NORTAKestrovanPolicies: %s: %s\n", path.c_str(), strerror(errno));
      return false;
    }
    at = end + 1;
  }
  return true;
}

static bool writeTo(const std::string& base, const std::string& relative, const std::string& text) {
  if (!makeFolders(base, relative))
    return false;
  std::string path = base + "/" + relative;
  FILE* file = fopen(path.c_str(), "we");
  if (file == nullptr) {
    fprintf(stderr, "NORTAKestrovanPolicies: %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = fclose(file) == 0 && ok;
  if (!ok)
    fprintf(stderr, "NORTAKestrovanPolicies: %s: %s\n", path.c_str(), strerror(errno));
  else
    printf("NORTAKestrovanPolicies: wrote %s\n", path.c_str());
  return ok;
}

int main(int argc, char** argv) {
  std::string out;
  std::vector<Site> sites;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
      out = argv[++i];
      continue;
    }
    Site site;
    std::string why;
    if (argv[i][0] == '-' || !parseSite(argv[i], &site, &why)) {
      if (!why.empty())
        fprintf(stderr, "NORTAKestrovanPolicies: %s: %s\n", argv[i], why.c_str());
      fprintf(stderr, "usage: NORTAKestrovanPolicies --out DIR SITE...  (SITE: https://host or https://[*.]host)\n");
      return 2;
    }
    sites.push_back(site);
  }
  if (out.empty() || sites.empty()) {
    fprintf(stderr, "usage: NORTAKestrovanPolicies --out DIR SITE...  (SITE: https://host or https://[*.]host)\n");
    return 2;
  }
  while (out.size() > 1 && out.back() == '/')
    out.pop_back();
  if (mkdir(out.c_str(), 0755) != 0 && errno != EEXIST) {
    fprintf(stderr, "NORTAKestrovanPolicies: %s: %s\n", out.c_str(), strerror(errno));
    return 1;
  }

  std::vector<std::string> chromiumPatterns;
  std::vector<std::string> firefoxDomains;
  for (const Site& site : sites) {
    chromiumPatterns.push_back("https://" + std::string(site.subdomains ? "[*.]" : "") + site.host);
    firefoxDomains.push_back(site.host);
    if (site.subdomains)
      firefoxDomains.push_back("*." + site.host);
  }
  std::string list = jsonList(chromiumPatterns, "  ");
  std::string chromium = "{\n  \"LocalNetworkAccessAllowedForUrls\": " + list + ",\n  \"LoopbackNetworkAllowedForUrls\": " +
                         list + "\n}\n";
  std::string firefox = "{\n  \"policies\": {\n    \"LocalNetworkAccess\": {\n      \"SkipDomains\": " +
                        jsonList(firefoxDomains, "      ") + "\n    },\n    \"Certificates\": {\n      \"Install\": [\"" +
                        KestrovanStores_firefoxCaFile + "\"]\n    }\n  }\n}\n";
  bool ok = writeTo(out, "etc/chromium/policies/managed/kestrovan.json", chromium);
  ok = writeTo(out, "etc/opt/chrome/policies/managed/kestrovan.json", chromium) && ok;
  ok = writeTo(out, "etc/opt/edge/policies/managed/kestrovan.json", chromium) && ok;
  ok = writeTo(out, "etc/firefox/policies/policies.json", firefox) && ok;
  if (ok)
    printf("NORTAKestrovanPolicies: install them with: cp -r %s/etc /   (as root)\n", out.c_str());
  return ok ? 0 : 1;
}
