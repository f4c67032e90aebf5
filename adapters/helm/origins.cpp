// origins.cpp -- the user's folders and the origin allow-list that decides
// which pages may unlock the adapter.
//
// The allow-list is a small text file, one pattern a line (or several
// separated by ";"), "#" starting a comment. A pattern is
//   [scheme://]host[:port][/]
// with "*" in the host matching any run of characters (dots included), a
// leading "." standing for "*." and a trailing "." for ".*", as in the value
// store's domain lists. Stricter than those lists, because a signing key is
// at stake: without a scheme a pattern admits https only ("http://" or "*://"
// must be written out), and without a port it admits only the scheme's
// default port (":*" admits any). Case is ignored.
//
// Matching is a plain glob walk over texts of at most 255 bytes (no regular
// expressions, no backtracking beyond the last star), so a hostile pattern or
// origin costs at most pattern length times host length steps.
#include "helm.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

std::string HelmPaths_ConfigFolder() {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/kestrovan/helm";
  const char* home = getenv("HOME");
  std::string base;
  if (home != nullptr && home[0] == '/') {
    base = home;
  } else {
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/') {
      base = found->pw_dir;
    }
  }
  if (base.empty()) return std::string();
  return base + "/.config/kestrovan/helm";
}

std::string HelmPaths_AllowListFile() {
  std::string folder = HelmPaths_ConfigFolder();
  return folder.empty() ? folder : folder + "/allowed-origins";
}

std::string HelmPaths_KeyFolder() {
  std::string folder = HelmPaths_ConfigFolder();
  return folder.empty() ? folder : folder + "/keys";
}

static char lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

static bool isAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

static bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Reads a port of 1..5 digits in 1..65535 from text[0..length).
static bool parsePort(const char* text, size_t length, unsigned* port) {
  if (length == 0 || length > 5) return false;
  unsigned value = 0;
  for (size_t i = 0; i < length; i++) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (unsigned)(text[i] - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = value;
  return true;
}

static bool validDnsName(const char* host, size_t length) {
  if (length == 0 || length > 253) return false;
  size_t labelStart = 0;
  for (size_t i = 0; i <= length; i++) {
    if (i == length || host[i] == '.') {
      size_t labelLength = i - labelStart;
      if (labelLength == 0 || labelLength > 63) return false;
      if (host[labelStart] == '-' || host[i - 1] == '-') return false;
      labelStart = i + 1;
    } else if (!isAlnum(host[i]) && host[i] != '-') {
      return false;
    }
  }
  return true;
}

static bool validBracketedAddress(const char* host, size_t length) {
  // "[" hex digits, colons, dots "]"
  if (length < 4 || host[0] != '[' || host[length - 1] != ']') return false;
  bool colon = false;
  for (size_t i = 1; i + 1 < length; i++) {
    char c = host[i];
    if (c == ':') colon = true;
    else if (!isHex(c) && c != '.') return false;
  }
  return colon;
}

bool HelmOrigins_Parse(const char* origin, HelmOrigin* out) {
  if (origin == nullptr || out == nullptr) return false;
  size_t length = strnlen(origin, 512);
  if (length >= 512) return false;
  const char* p = origin;
  if (strncasecmp(p, "https://", 8) == 0) {
    strcpy(out->scheme, "https");
    out->port = 443;
    p += 8;
  } else if (strncasecmp(p, "http://", 7) == 0) {
    strcpy(out->scheme, "http");
    out->port = 80;
    p += 7;
  } else {
    return false;
  }
  const char* end = origin + length;
  if (end > p && end[-1] == '/') end--;  // one trailing slash is tolerated
  const char* hostEnd;
  if (*p == '[') {
    const char* close = static_cast<const char*>(memchr(p, ']', (size_t)(end - p)));
    if (close == nullptr) return false;
    hostEnd = close + 1;
    if (!validBracketedAddress(p, (size_t)(hostEnd - p))) return false;
  } else {
    hostEnd = p;
    while (hostEnd < end && *hostEnd != ':') hostEnd++;
    if (!validDnsName(p, (size_t)(hostEnd - p))) return false;
  }
  size_t hostLength = (size_t)(hostEnd - p);
  if (hostLength >= sizeof out->host) return false;
  if (hostEnd < end) {
    if (*hostEnd != ':') return false;
    if (!parsePort(hostEnd + 1, (size_t)(end - hostEnd - 1), &out->port)) return false;
  }
  for (size_t i = 0; i < hostLength; i++) out->host[i] = lower(p[i]);
  out->host[hostLength] = '\0';
  return true;
}

// Whole-text glob: "*" matches any run of characters. Both texts lower-case.
static bool globMatch(const char* pattern, size_t patternLength, const char* text, size_t textLength) {
  size_t p = 0, t = 0;
  size_t starAt = (size_t)-1, resumeAt = 0;
  while (t < textLength) {
    if (p < patternLength && pattern[p] == '*') {
      starAt = p++;
      resumeAt = t;
    } else if (p < patternLength && pattern[p] == text[t]) {
      p++;
      t++;
    } else if (starAt != (size_t)-1) {
      p = starAt + 1;
      t = ++resumeAt;
    } else {
      return false;
    }
  }
  while (p < patternLength && pattern[p] == '*') p++;
  return p == patternLength;
}

static bool defaultPort(const HelmOrigin* origin) {
  return (strcmp(origin->scheme, "https") == 0 && origin->port == 443) ||
         (strcmp(origin->scheme, "http") == 0 && origin->port == 80);
}

bool HelmOrigins_PatternAdmits(const char* pattern, size_t length, const HelmOrigin* origin) {
  if (pattern == nullptr || origin == nullptr || length == 0 || length > 300) return false;
  const char* p = pattern;
  const char* end = pattern + length;
  if (end[-1] == '/') end--;

  // Scheme: absent admits https only.
  bool anyScheme = false;
  char scheme[8] = "https";
  const char* separator = nullptr;
  for (const char* q = p; q + 3 <= end; q++) {
    if (q[0] == ':' && q[1] == '/' && q[2] == '/') {
      separator = q;
      break;
    }
  }
  if (separator != nullptr) {
    size_t schemeLength = (size_t)(separator - p);
    if (schemeLength == 1 && p[0] == '*') {
      anyScheme = true;
    } else if (schemeLength == 5 && strncasecmp(p, "https", 5) == 0) {
      strcpy(scheme, "https");
    } else if (schemeLength == 4 && strncasecmp(p, "http", 4) == 0) {
      strcpy(scheme, "http");
    } else {
      return false;
    }
    p = separator + 3;
  }
  if (!anyScheme && strcmp(scheme, origin->scheme) != 0) return false;

  // Host pattern and port.
  const char* hostEnd;
  if (p < end && *p == '[') {
    const char* close = static_cast<const char*>(memchr(p, ']', (size_t)(end - p)));
    if (close == nullptr) return false;
    hostEnd = close + 1;
  } else {
    hostEnd = p;
    while (hostEnd < end && *hostEnd != ':') hostEnd++;
  }
  if (hostEnd < end) {
    if (*hostEnd != ':') return false;
    const char* portText = hostEnd + 1;
    size_t portLength = (size_t)(end - portText);
    if (!(portLength == 1 && portText[0] == '*')) {
      unsigned port;
      if (!parsePort(portText, portLength, &port) || port != origin->port) return false;
    }
  } else if (!defaultPort(origin)) {
    return false;
  }

  char host[304];
  size_t n = 0;
  size_t hostLength = (size_t)(hostEnd - p);
  if (hostLength == 0) return false;
  if (p[0] == '.') host[n++] = '*';
  for (size_t i = 0; i < hostLength; i++) {
    char c = lower(p[i]);
    if (!isAlnum(c) && c != '.' && c != '-' && c != '*' && c != '[' && c != ']' && c != ':') return false;
    host[n++] = c;
  }
  if (p[hostLength - 1] == '.') host[n++] = '*';
  return globMatch(host, n, origin->host, strlen(origin->host));
}

static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

bool HelmOrigins_ListAdmits(const char* listText, size_t length, const char* origin) {
  HelmOrigin parsed;
  if (listText == nullptr || !HelmOrigins_Parse(origin, &parsed)) return false;
  size_t i = 0;
  while (i < length) {
    size_t start = i;
    while (i < length && listText[i] != ';' && listText[i] != '\n' && listText[i] != '\r' && listText[i] != '#') i++;
    size_t stop = i;
    if (i < length && listText[i] == '#') {
      while (i < length && listText[i] != '\n' && listText[i] != '\r') i++;
    }
    if (i < length) i++;  // the separator
    while (start < stop && isSpace(listText[start])) start++;
    while (stop > start && isSpace(listText[stop - 1])) stop--;
    if (stop > start && HelmOrigins_PatternAdmits(listText + start, stop - start, &parsed)) return true;
  }
  return false;
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
  std::string out = std::string(origin->scheme) + "://" + origin->host;
  if (!defaultPort(origin)) out += ":" + std::to_string(origin->port);
  return out;
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

// Writes text as the new list: a temporary file next to it, flushed, then
// renamed over it.
static int replaceList(const std::string& path, const std::string& text, std::string* message) {
  std::string temporary = path + ".XXXXXX";
  std::vector<char> name(temporary.begin(), temporary.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);  // 0600
  if (fd < 0) {
    *message = std::string("cannot write next to the allow-list: ") + strerror(errno);
    return HELM_E_INTERNAL;
  }
  size_t done = 0;
  bool ok = fchmod(fd, 0600) == 0;
  while (ok && done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += (size_t)n;
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(name.data(), path.c_str()) != 0) {
    *message = std::string("cannot write the allow-list: ") + strerror(errno);
    unlink(name.data());
    return HELM_E_INTERNAL;
  }
  std::string folder = path.substr(0, path.rfind('/'));
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return HELM_OK;
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
  size_t at = 0;
  bool present = false;
  std::string line, comment;
  while (!present && HelmFiles_NextLine(text, &at, &line, &comment)) {
    size_t start = 0;
    while (start <= line.size() && !present) {
      size_t semicolon = line.find(';', start);
      if (semicolon == std::string::npos) semicolon = line.size();
      present = exactEntryFor(HelmFiles_Trim(line.substr(start, semicolon - start)), &parsed);
      start = semicolon + 1;
    }
  }
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
    size_t start = 0;
    while (start <= line.size()) {
      size_t semicolon = line.find(';', start);
      if (semicolon == std::string::npos) semicolon = line.size();
      std::string pattern = HelmFiles_Trim(line.substr(start, semicolon - start));
      start = semicolon + 1;
      if (pattern.empty()) continue;
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
