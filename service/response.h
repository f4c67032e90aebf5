// SPDX-License-Identifier: Apache-2.0
// response.h -- the HTTP answers: a POST's result map as JSON text with
// Base64 values (200), and the private-network preflight grant (204), with
// the cross-origin, keep-alive and hardening headers a page needs.
#ifndef KESTROVAN_SERVICE_RESPONSE_H
#define KESTROVAN_SERVICE_RESPONSE_H

#include <microhttpd.h>

#include "service/request.h"

// preflight 0: sends request->result and releases it (request->result is
// null afterwards); with no result nothing is queued and MHD_NO is returned.
// preflight non-zero: the 204 grant; request may be null, the origin comes
// from the request's own "origin" header. Returns MHD_queue_response's
// answer, or MHD_NO when nothing was queued.
enum MHD_Result set_response(struct MHD_Connection* connection, KestrovanRequest* request, int preflight);

// The response whose body is text (a NUL-terminated heap text without other
// zero bytes), which it takes over: libmicrohttpd sends from text itself and
// wipes and frees it (freeSecret) when it drops the response, as the answer
// may carry adapter output or a stored secret. Null when no response could
// be made; text is then wiped and freed at once.
struct MHD_Response* KestrovanResponse_fromSecretText(char* text);

#ifdef KESTROVAN_RESPONSE_WIPED_HOOK
// Test builds only (the test compiles response.cpp in with the switch):
// called with a body block and its length after the block was wiped, just
// before it is freed.
extern void (*KestrovanResponse_wipedHook)(const char* block, size_t length);
#endif

#endif
