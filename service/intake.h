// SPDX-License-Identifier: Apache-2.0
// intake.h -- the access handler every listener calls for every request: the
// POST body with its "Parameter" field, the OPTIONS preflight, the TLS,
// Host, origin and console-user checks, and the dispatch on the listener
// thread or through the main-thread hand-off, whose wait suspends the
// connection (the handler is called again when it is over).
//
// Each request has its own context, created on the handler's first call and
// destroyed by the completion notifier; nothing of one request is visible to
// another.
#ifndef KESTROVAN_SERVICE_INTAKE_H
#define KESTROVAN_SERVICE_INTAKE_H

#include <cstddef>
#include <cstdint>
#include <microhttpd.h>

#include "service/mainthread.h"
#include "service/response.h"

// The largest "Parameter" field accepted, in bytes. It fits a 16 MiB
// document: Base64 grows it by 4/3 inside the JSON text and the field is the
// Base64 of that text again (16/9 in all), plus the other keys. One request
// holds its field, the decoded text and the map, about three times the
// field at worst. A larger field closes the connection with a warning line.
#define KESTROVAN_PARAMETER_LIMIT ((size_t)32 * 1024 * 1024)

// The "Parameter" bytes all requests of all listeners may hold at once: two
// requests at the limit. A request that would pass it closes its
// connection with a warning line and the others go on. Its bytes count
// while the body is read and decoded, until its map is made: a request that
// then waits (a main-thread call, a slow adapter) holds none of it.
#define KESTROVAN_BODY_BUDGET ((size_t)64 * 1024 * 1024)

// What a request whose answer must end the service calls once answered
// (start-up gives KestrovanFinal); none until set.
void KestrovanIntake_setFinalHook(void (*hook)());

enum KestrovanRequestKind {
  KESTROVAN_KIND_NEW = 0,    // just created
  KESTROVAN_KIND_POST = 1,   // a POST: a POST processor exists
  KESTROVAN_KIND_OTHER = 2,  // any other method
};

// The accumulated "Parameter" field; wiped whenever it moves or is freed.
struct KestrovanParameterText {
  char* data;       // NUL-terminated, or null while empty
  size_t length;
  size_t capacity;
};

// One request's state between the handler's calls.
struct connection_info_struct {
  uint32_t kind;                         // KestrovanRequestKind
  KestrovanParameterText parameterText;  // the "Parameter" field so far
  struct MHD_PostProcessor* postProcessor;
  size_t budgeted;                       // bytes counted against KESTROVAN_BODY_BUDGET
  bool parameterRefused;                 // too large, over the budget, or no memory for it
  bool finalAfterAnswer;                 // console user changed: end once answered
  KestrovanMainThreadWait* wait;         // main-thread wait, while the connection is suspended
  KestrovanRequest request;              // map, result, origin, referer
};

enum MHD_Result answer_to_connection(void* cls, struct MHD_Connection* connection, const char* url,
                                     const char* method, const char* version, const char* uploadData,
                                     size_t* uploadDataSize, void** perRequest);

enum MHD_Result iterate_post(void* cls, enum MHD_ValueKind kind, const char* key, const char* fileName,
                             const char* contentType, const char* transferEncoding, const char* data,
                             uint64_t offset, size_t size);

void request_completed(void* cls, struct MHD_Connection* connection, void** perRequest,
                       enum MHD_RequestTerminationCode code);

#endif
