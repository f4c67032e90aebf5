// SPDX-License-Identifier: Apache-2.0
// policy.cpp -- the domain list and the matching of a page origin against it.
//
// Page-supplied patterns are compiled with RE2: matching takes time linear in
// the text and bounded stack, so no list or origin a page sends can hang or
// crash the service. A pattern RE2 rejects (unbalanced parenthesis, back
// reference, a program over RE2's memory budget) fails the check.
#include "policy/policy.h"

#include <cstdio>
#include <cstring>
#include <exception>

#include <re2/re2.h>

#include "support/support.h"

#define MODULE "checkURL"

KestrovanUrlCheck KestrovanPolicy_state;

// Scheme http or https, then a dotted IPv4 address or a host name of labels,
// an optional "/" and an optional port; no path, query or user part.
static const char* const UrlPattern =
    "^https?:\\/\\/(((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)(\\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)){3})|"
    "(([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\\-]{0,61}[a-zA-Z0-9])(\\.([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\\-]{0,61}[a-zA-Z0-9]))*))"
    "\\/?(:\\d+)?$";
static const char* const SchemePattern = "https?:\\/\\/";
static const char* const PortPattern = ":.*";
static const char* const Blanks = " \t\n\v\f\r";
// "Url check list: " lines shown for one list.
static const size_t kShownPieces = 16;

// Origins and patterns are bytes: Latin-1 never rejects a pattern or a text
// for its encoding.
static RE2::Options regexOptions(bool caseSensitive) {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingLatin1);
  options.set_case_sensitive(caseSensitive);
  options.set_log_errors(false);
  return options;
}

static const RE2& urlExpression() {
  static const RE2 expression(UrlPattern, regexOptions(false));
  return expression;
}

static const RE2& schemeExpression() {
  static const RE2 expression(SchemePattern, regexOptions(true));
  return expression;
}

static const RE2& portExpression() {
  static const RE2 expression(PortPattern, regexOptions(true));
  return expression;
}

static void replaceAll(std::string& text, const char* from, const char* to) {
  size_t fromLength = strlen(from);
  size_t toLength = strlen(to);
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + toLength)) {
    text.replace(at, fromLength, to);
  }
}

void KestrovanPolicy_setUnlockURL(KestrovanUrlCheck* check, const char* domainList) {
  if (check == nullptr) {
    return;
  }
  check->bIsUnlock = false;
  if (domainList == nullptr || domainList[0] == '\0') {
    return;
  }
  try {
    std::vector<std::string> pieces;
    const char* start = domainList;
    for (;;) {
      const char* end = strchr(start, ';');
      if (end == nullptr) {
        pieces.emplace_back(start);
        break;
      }
      pieces.emplace_back(start, (size_t)(end - start));
      start = end + 1;
    }
    printfColorLine("Enable url check list", "");

    std::vector<std::string> fragments;
    for (std::string& piece : pieces) {
      size_t first = piece.find_first_not_of(Blanks);
      if (first == std::string::npos) {
        continue;
      }
      size_t last = piece.find_last_not_of(Blanks);
      piece = piece.substr(first, last - first + 1);
      if (piece.front() == '.') {
        piece.insert(piece.begin(), '*');
      }
      if (piece.back() == '.') {
        piece.push_back('*');
      }
      fragments.push_back(piece);
    }
    // A list is page text of any size: the trace shows the first pieces,
    // each cut, and how many more there are.
    size_t shownPieces = 0;
    for (std::string& fragment : fragments) {
      if (shownPieces++ < kShownPieces) {
        KestrovanTraceText shown;
        printfColorLine("Url check list: ", traceText(fragment.c_str(), shown));
      }
      replaceAll(fragment, "*", "\\S*");
      replaceAll(fragment, ".", "\\.");
    }
    if (fragments.size() > kShownPieces) {
      char more[64];
      snprintf(more, sizeof(more), "... (%zu more)", fragments.size() - kShownPieces);
      printfColorLine("Url check list: ", more);
    }
    check->vecDomainRegexs.swap(fragments);
  } catch (const std::exception& error) {
    printfColorWarningLine("setUnlockURL exception: ", error.what());
  }
}

void KestrovanPolicy_unlock(KestrovanUrlCheck* check, const char* origin) {
  if (check == nullptr) {
    return;
  }
  if (origin == nullptr) {
    showNullParameter("domain", MODULE, __LINE__);
    return;
  }
  try {
    if (!RE2::FullMatch(origin, urlExpression())) {
      printfColorWarningLine("", "Input domain is not url");
      return;
    }
    if (check->bIsUnlock || check->vecDomainRegexs.empty()) {
      return;
    }
    KestrovanTraceText shown;
    printfColorLine("Unlock original domain input: ", traceText(origin, shown));

    // (a\/?)|(b\/?): each alternative allows one optional trailing slash.
    std::string permitted;
    for (const std::string& fragment : check->vecDomainRegexs) {
      permitted += "(";
      permitted += fragment;
      if (!permitted.empty() && permitted.back() == '/') {
        permitted.pop_back();
      }
      permitted += "\\/?)|";
    }
    if (!permitted.empty() && permitted.back() == '|') {
      permitted.pop_back();
    }

    std::string host(origin);
    RE2::GlobalReplace(&host, schemeExpression(), "");
    RE2::GlobalReplace(&host, portExpression(), "");

    RE2 expression(permitted, regexOptions(false));
    if (!expression.ok()) {
      printfColorWarningLine("unlock exception: ", expression.error().c_str());
      return;
    }
    if (RE2::FullMatch(host, expression)) {
      check->bIsUnlock = true;
    }
  } catch (const std::exception& error) {
    printfColorWarningLine("unlock exception: ", error.what());
  }
}

bool KestrovanPolicy_isUrlUnlock(const KestrovanUrlCheck* check) {
  return check != nullptr && check->bIsUnlock;
}

void KestrovanPolicy_freeCheckURL(KestrovanUrlCheck* check) {
  if (check != nullptr) {
    check->vecDomainRegexs.clear();
  }
}

void setUnlockURL(const char* domainList) {
  KestrovanPolicy_setUnlockURL(&KestrovanPolicy_state, domainList);
}

void KestrovanPolicy_unlockState(const char* origin) {
  KestrovanPolicy_unlock(&KestrovanPolicy_state, origin);
}

bool isUrlUnlock() {
  return KestrovanPolicy_isUrlUnlock(&KestrovanPolicy_state);
}

void freeCheckURL() {
  KestrovanPolicy_freeCheckURL(&KestrovanPolicy_state);
}
