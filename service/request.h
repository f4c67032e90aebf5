// SPDX-License-Identifier: Apache-2.0
// request.h -- what one POST carries from intake (intake.cpp) to its answer
// (response.cpp): the request's own context, nothing shared.
#ifndef KESTROVAN_SERVICE_REQUEST_H
#define KESTROVAN_SERVICE_REQUEST_H

#include "include/kestrovan/adapter.h"

// What one POST carries from intake to answer. Everything is owned by the
// request and released by it (map and result with KestrovanJsonFinal, the
// texts wiped).
struct KestrovanRequest {
  KestrovanJsonMap* map;     // the request's parameter map, or null
  KestrovanJsonMap* result;  // the result map to send, or null (nothing is sent)
  char* origin;              // the page's origin, or null
  char* referer;             // copy of the "referer" header, or null
};

#endif
