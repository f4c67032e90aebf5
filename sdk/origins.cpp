// SPDX-License-Identifier: Apache-2.0
// origins.cpp -- page origins taken apart, and the allow-list grammar:
// patterns, their separators and comments, and what a pattern admits.
#include "include/kestrovan/adapter_origins.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

static char lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

static bool isAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

static bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

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

int KestrovanOrigin_Parse(const char* origin, KestrovanOrigin* out) {
  if (origin == nullptr || out == nullptr) return 0;
  size_t length = strnlen(origin, 512);
  if (length >= 512) return 0;
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
    return 0;
  }
  const char* end = origin + length;
  if (end > p && end[-1] == '/') end--;  // one trailing slash is tolerated
  const char* hostEnd;
  if (*p == '[') {
    const char* close = static_cast<const char*>(memchr(p, ']', (size_t)(end - p)));
    if (close == nullptr) return 0;
    hostEnd = close + 1;
    if (!validBracketedAddress(p, (size_t)(hostEnd - p))) return 0;
  } else {
    hostEnd = p;
    while (hostEnd < end && *hostEnd != ':') hostEnd++;
    if (!validDnsName(p, (size_t)(hostEnd - p))) return 0;
  }
  size_t hostLength = (size_t)(hostEnd - p);
  if (hostLength >= sizeof out->host) return 0;
  if (hostEnd < end) {
    if (*hostEnd != ':') return 0;
    if (!parsePort(hostEnd + 1, (size_t)(end - hostEnd - 1), &out->port)) return 0;
  }
  for (size_t i = 0; i < hostLength; i++) out->host[i] = lower(p[i]);
  out->host[hostLength] = '\0';
  return 1;
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

static bool defaultPort(const KestrovanOrigin* origin) {
  return (strcmp(origin->scheme, "https") == 0 && origin->port == 443) ||
         (strcmp(origin->scheme, "http") == 0 && origin->port == 80);
}

int KestrovanOrigin_PatternAdmits(const char* pattern, size_t length, const KestrovanOrigin* origin) {
  if (pattern == nullptr || origin == nullptr || length == 0 || length > 300) return 0;
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
      return 0;
    }
    p = separator + 3;
  }
  if (!anyScheme && strcmp(scheme, origin->scheme) != 0) return 0;

  // Host pattern and port.
  const char* hostEnd;
  if (p < end && *p == '[') {
    const char* close = static_cast<const char*>(memchr(p, ']', (size_t)(end - p)));
    if (close == nullptr) return 0;
    hostEnd = close + 1;
  } else {
    hostEnd = p;
    while (hostEnd < end && *hostEnd != ':') hostEnd++;
  }
  if (hostEnd < end) {
    if (*hostEnd != ':') return 0;
    const char* portText = hostEnd + 1;
    size_t portLength = (size_t)(end - portText);
    if (!(portLength == 1 && portText[0] == '*')) {
      unsigned port;
      if (!parsePort(portText, portLength, &port) || port != origin->port) return 0;
    }
  } else if (!defaultPort(origin)) {
    return 0;
  }

  char host[304];
  size_t n = 0;
  size_t hostLength = (size_t)(hostEnd - p);
  if (hostLength == 0) return 0;
  if (p[0] == '.') host[n++] = '*';
  for (size_t i = 0; i < hostLength; i++) {
    char c = lower(p[i]);
    if (!isAlnum(c) && c != '.' && c != '-' && c != '*' && c != '[' && c != ']' && c != ':') return 0;
    host[n++] = c;
  }
  if (p[hostLength - 1] == '.') host[n++] = '*';
  return globMatch(host, n, origin->host, strlen(origin->host)) ? 1 : 0;
}

size_t KestrovanOrigin_Canonical(const KestrovanOrigin* origin, char* out, size_t size) {
  if (out == nullptr || size == 0) return 0;
  out[0] = '\0';
  if (origin == nullptr) return 0;
  int n = defaultPort(origin) ? snprintf(out, size, "%s://%s", origin->scheme, origin->host)
                              : snprintf(out, size, "%s://%s:%u", origin->scheme, origin->host, origin->port);
  if (n < 0 || (size_t)n >= size) {
    out[0] = '\0';
    return 0;
  }
  return (size_t)n;
}

static bool endsPattern(char c) { return c == ';' || c == '\n' || c == '\r' || c == '#'; }

int KestrovanOriginList_Next(const char* text, size_t textLength, size_t* at, size_t* start, size_t* length) {
  if (text == nullptr || at == nullptr || start == nullptr || length == nullptr) return 0;
  size_t i = *at;
  while (i < textLength) {
    size_t from = i;
    while (i < textLength && !endsPattern(text[i])) i++;
    size_t stop = i;
    if (i < textLength && text[i] == '#') {
      while (i < textLength && text[i] != '\n' && text[i] != '\r') i++;
    }
    if (i < textLength) i++;  // the separator
    while (from < stop && isSpace(text[from])) from++;
    while (stop > from && isSpace(text[stop - 1])) stop--;
    if (stop > from) {
      *at = i;
      *start = from;
      *length = stop - from;
      return 1;
    }
  }
  *at = textLength;
  return 0;
}

int KestrovanOriginList_Admits(const char* text, size_t textLength, const char* origin) {
  KestrovanOrigin parsed;
  if (text == nullptr || !KestrovanOrigin_Parse(origin, &parsed)) return 0;
  size_t at = 0, start = 0, length = 0;
  while (KestrovanOriginList_Next(text, textLength, &at, &start, &length)) {
    if (KestrovanOrigin_PatternAdmits(text + start, length, &parsed)) return 1;
  }
  return 0;
}
