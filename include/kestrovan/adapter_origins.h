// SPDX-License-Identifier: Apache-2.0
/* adapter_origins.h -- page origins and origin allow-lists: one grammar for
 * every program that reads such a list (an adapter deciding which pages may
 * unlock it, and the tools that report what a list admits).
 *
 * A list is text, one pattern a line or several separated by ";", "#"
 * starting a comment that runs to the end of its line. A pattern is
 *   [scheme://]host[:port][/]
 * with "*" in the host matching any run of characters (dots included), a
 * leading "." standing for "*." and a trailing "." for ".*". Without a
 * scheme a pattern admits https only ("http://" or "*://" must be written
 * out); without a port only the scheme's default port (":*" admits any).
 * Case is ignored.
 *
 * Matching is a plain glob walk over texts of at most 255 bytes (no regular
 * expressions, no backtracking beyond the last star), so a hostile pattern or
 * origin costs at most pattern length times host length steps.
 */
#ifndef KESTROVAN_ADAPTER_ORIGINS_H
#define KESTROVAN_ADAPTER_ORIGINS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An adapter's allow-list file in its configuration folder, and the most a
 * list may hold (a longer one is refused, not cut). */
#define KESTROVAN_ALLOW_LIST_FILE "allowed-origins"
#define KESTROVAN_ALLOW_LIST_LONGEST (64u * 1024u)

/* A page origin taken apart: lower-case scheme and host, and the port (the
 * scheme's default when the origin names none). */
typedef struct KestrovanOrigin {
  char scheme[8];
  char host[256];
  unsigned port;
} KestrovanOrigin;

/* Accepts exactly "http(s)://host[:port]" with an optional single "/": host
 * a DNS name, a dotted IPv4 address or a bracketed IPv6 address. 1 when it
 * is one (out filled), else 0. */
int KestrovanOrigin_Parse(const char* origin, KestrovanOrigin* out);

/* 1 when one pattern (trimmed, without separators) admits the origin. */
int KestrovanOrigin_PatternAdmits(const char* pattern, size_t length, const KestrovanOrigin* origin);

/* "scheme://host", with ":port" only when it is not the scheme's default:
 * the form written into lists. Returns its length, or 0 when size is too
 * small (out then holds ""). */
size_t KestrovanOrigin_Canonical(const KestrovanOrigin* origin, char* out, size_t size);

/* The next pattern of a list text at or after *at: 1 with *start and
 * *length naming it (blanks around it trimmed), *at moved past it; 0 at the
 * end of the text. Empty patterns and comments are skipped. */
int KestrovanOriginList_Next(const char* text, size_t textLength, size_t* at, size_t* start, size_t* length);

/* 1 when any pattern of the list text admits the origin (an origin that does
 * not parse is admitted by none). */
int KestrovanOriginList_Admits(const char* text, size_t textLength, const char* origin);

#ifdef __cplusplus
}
#endif

#endif
