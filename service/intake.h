// intake.h -- the access handler every listener calls for every request: the
// POST body with its "Parameter" field, the OPTIONS preflight, the TLS,
// Host, origin and console-user checks, and the dispatch on the listener
// thread or through the main-thread hand-off.
//
// Each request has its own context, created on the handler's first call and
// destroyed by the completion notifier; nothing of one request is visible to
// another.
#ifndef KESTROVAN_SERVICE_INTAKE_H
#define KESTROVAN_SERVICE_INTAKE_H

#include <cstddef>
#include <cstdint>
#include <microhttpd.h>

#include "service/response.h"

// The largest "Parameter" field accepted, in bytes. Pages send documents to
// sign or encrypt Base64-encoded; 64 MiB of Base64 is a 48 MiB document,
// well above what pages send, while one request (its text, the decoded copy
// and the map, about three times the field) stays within a few hundred MiB
// at worst. A larger field closes the connection with a warning line.
#define KESTROVAN_PARAMETER_LIMIT ((size_t)64 * 1024 * 1024)

// First argument of every dispatch; never changes.
extern const unsigned int KestrovanProcessID;

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
  bool parameterRefused;                 // too large, or no memory for it
  bool finalAfterAnswer;                 // console user changed: end once answered
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
