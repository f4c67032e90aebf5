// SPDX-License-Identifier: Apache-2.0
// response.cpp -- writing the 200 and 204 answers.
#include "service/response.h"

#include <cstring>
#include <strings.h>

#include "params/params.h"
#include "support/support.h"

#ifdef KESTROVAN_RESPONSE_WIPED_HOOK
void (*KestrovanResponse_wipedHook)(const char* block, size_t length) = nullptr;
#endif

static void releaseBody(void* block) {
  char* text = (char*)block;
  size_t length = strlen(text);
  secureWipe(text, length);
#ifdef KESTROVAN_RESPONSE_WIPED_HOOK
  if (KestrovanResponse_wipedHook != nullptr)
    KestrovanResponse_wipedHook(text, length);
#endif
  free(text);
}

struct MHD_Response* KestrovanResponse_fromSecretText(char* text) {
  if (text == nullptr)
    return nullptr;
  // No copy of libmicrohttpd's own: it would free that one unwiped.
  struct MHD_Response* response = MHD_create_response_from_buffer_with_free_callback(strlen(text), text, releaseBody);
  if (response == nullptr)
    releaseBody(text);
  return response;
}

enum MHD_Result set_response(struct MHD_Connection* connection, KestrovanRequest* request, int preflight) {
  struct MHD_Response* response = nullptr;
  const char* origin = nullptr;

  if (!preflight) {
    if (request == nullptr || request->result == nullptr)
      return MHD_NO;
    char* text = getKestrovanMapString(request->result, true);
    KestrovanJsonFinal(request->result);
    if (text == nullptr) {
      showMemoryFail("Response", __LINE__);
      return MHD_NO;
    }
    response = KestrovanResponse_fromSecretText(text);
    origin = request->origin;
  } else {
    response = MHD_create_response_from_buffer(0, (void*)"", MHD_RESPMEM_PERSISTENT);
    // The preflight's origin is its own: nothing shared is touched.
    origin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "origin");
  }
  if (response == nullptr)
    return MHD_NO;

  if (startsWith("http", origin))
    MHD_add_response_header(response, "Access-Control-Allow-Origin", origin);
  const char* keepAlive = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Connection");
  if (keepAlive != nullptr && strcasecmp(keepAlive, "keep-alive") == 0)
    MHD_add_response_header(response, "Keep-Alive", "timeout=15, max=100");

  unsigned int status = MHD_HTTP_OK;
  if (preflight) {
    status = MHD_HTTP_NO_CONTENT;
    MHD_add_response_header(response, "Access-Control-Allow-Methods", "POST");
    MHD_add_response_header(response, "Access-Control-Allow-Private-Network", "true");
    MHD_add_response_header(response, "Access-Control-Max-Age", "30");
  } else {
    MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
  }
  enum MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}
