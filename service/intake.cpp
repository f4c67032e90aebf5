// SPDX-License-Identifier: Apache-2.0
// intake.cpp -- the access handler, the POST field iterator and the
// completion notifier.
#include "service/intake.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>

#include "params/params.h"
#include "service/console.h"
#include "service/mainthread.h"
#include "service/request.h"
#include "service/response.h"
#include "session/session.h"
#include "support/support.h"

// Set by start-up before any listener runs, read by listener threads after.
static std::atomic<void (*)()> finalHook{nullptr};

void KestrovanIntake_setFinalHook(void (*hook)()) {
  finalHook.store(hook);
}

// The POST processor's buffer (the library's least is 256 bytes).
#define KESTROVAN_POST_BUFFER 1024

// The three keys that ask for main-thread mode, matched in the decoded JSON
// text exactly as written here (no blank before the value).
static const char* const kMainThreadMarkers[] = {
    "\"KestrovanMainThread\":true",
    "\"MainThread\":true",
    "\"KeepAlive\":true",
};

static void clearParameter(KestrovanParameterText* text) {
  if (text->data != nullptr) {
    secureWipe(text->data, text->capacity);
    free(text->data);
  }
  text->data = nullptr;
  text->length = 0;
  text->capacity = 0;
}

// Frees the per-request fields (map, result, origin, referer): after the
// answer and when the request completes, whichever comes first.
static void freeRequest(KestrovanRequest* request) {
  KestrovanJsonFinal(request->map);
  KestrovanJsonFinal(request->result);
  free(request->origin);
  request->origin = nullptr;
  free(request->referer);
  request->referer = nullptr;
}

// "Parameter" bytes held by all requests (KESTROVAN_BODY_BUDGET).
static std::atomic<size_t> bodyBytesInFlight{0};

// Counts size more bytes of the request against the budget; false, with
// nothing counted, when they would pass it.
static bool takeBudget(connection_info_struct* info, size_t size) {
  size_t held = bodyBytesInFlight.load();
  do {
    if (size > KESTROVAN_BODY_BUDGET - held)
      return false;
  } while (!bodyBytesInFlight.compare_exchange_weak(held, held + size));
  info->budgeted += size;
  return true;
}

static void returnBudget(connection_info_struct* info) {
  bodyBytesInFlight.fetch_sub(info->budgeted);
  info->budgeted = 0;
}

// Appends one piece of the field, which the caller checked against the
// limit; false when no memory is left. The old block is wiped before it is
// freed.
static bool appendParameter(KestrovanParameterText* text, const char* data, size_t size) {
  if (size == 0)
    return true;
  size_t needed = text->length + size + 1;
  if (needed > text->capacity) {
    size_t capacity = text->capacity != 0 ? text->capacity : 1024;
    while (capacity < needed)
      capacity *= 2;
    if (capacity > KESTROVAN_PARAMETER_LIMIT + 1)
      capacity = KESTROVAN_PARAMETER_LIMIT + 1;
    char* grown = (char*)malloc(capacity);
    if (grown == nullptr)
      return false;
    if (text->data != nullptr) {
      memcpy(grown, text->data, text->length);
      secureWipe(text->data, text->capacity);
      free(text->data);
    }
    text->data = grown;
    text->capacity = capacity;
  }
  memcpy(text->data + text->length, data, size);
  text->length += size;
  text->data[text->length] = '\0';
  return true;
}

enum MHD_Result iterate_post(void* cls, enum MHD_ValueKind kind, const char* key, const char* fileName,
                             const char* contentType, const char* transferEncoding, const char* data,
                             uint64_t offset, size_t size) {
  (void)kind;
  (void)fileName;
  (void)contentType;
  (void)transferEncoding;
  (void)offset;
  connection_info_struct* info = (connection_info_struct*)cls;
  if (info == nullptr || key == nullptr || strcmp(key, "Parameter") != 0 || info->parameterRefused)
    return MHD_YES;
  if (size > KESTROVAN_PARAMETER_LIMIT - info->parameterText.length)
    printfColorWarningLine("Parameter larger than the limit, connection closed: ",
                           (int)(KESTROVAN_PARAMETER_LIMIT / (1024 * 1024)));
  else if (!takeBudget(info, size))
    printfColorWarningLine("Parameters of all requests over their budget, connection closed: ",
                           (int)(KESTROVAN_BODY_BUDGET / (1024 * 1024)));
  else if (!appendParameter(&info->parameterText, data, size))
    showMemoryFail("Intake", __LINE__);
  else
    return MHD_YES;
  info->parameterRefused = true;
  clearParameter(&info->parameterText);
  returnBudget(info);
  return MHD_YES;
}

// Sets "result" to code, creating the result map when there is none.
static void recordCode(KestrovanRequest* request, int code) {
  if (request->result == nullptr) {
    request->result = (KestrovanJsonMap*)newMemSize(sizeof(KestrovanJsonMap));
    if (request->result == nullptr) {
      showMemoryFail("Intake", __LINE__);
      return;
    }
  }
  addKestrovanJsonMapUnit(request->result, "result", code);
}

static bool isNoOrigin(const char* text) {
  return checkNoValue(text) || strcmp(text, "null") == 0;
}

// Origin from the Referer: scheme, "//" and host with port, without the path.
// Records 61012 and returns false when there is nothing usable.
static bool originFromReferer(KestrovanRequest* request) {
  printfColorWarningLine("Empty origin: ", request->origin);
  printfColorWarningLine("Extract origin from referer: ", "Start");
  if (isNoOrigin(request->referer)) {
    printfColorWarningLine("Empty Referer: ", request->referer);
    printfColorWarningLine("Extract origin from referer: ", "Fail");
    recordCode(request, KESTROVAN_ERR_ORIGIN);
    return false;
  }
  char** pieces = getSubStringList(request->referer, "/");
  if (pieces == nullptr) {
    showMemoryFail("Intake", __LINE__);
    return false;
  }
  int count = 0;
  for (; pieces[count] != nullptr; count++) {
    char label[32];
    snprintf(label, sizeof(label), "UrlList[%d]: ", count);
    printfColorLine(label, pieces[count]);
  }
  if (count < 3) {
    freeSubStringList(pieces);
    printfColorWarningLine("", "UrlList error: ");
    printfColorWarningLine("Extract origin from referer: ", "Fail");
    recordCode(request, KESTROVAN_ERR_ORIGIN);
    return false;
  }
  size_t size = strlen(pieces[0]) + strlen(pieces[1]) + strlen(pieces[2]) + 3;
  char* origin = (char*)newMemSize(size);
  if (origin == nullptr) {
    freeSubStringList(pieces);
    showMemoryFail("Intake", __LINE__);
    return false;
  }
  snprintf(origin, size, "%s/%s/%s", pieces[0], pieces[1], pieces[2]);
  freeSubStringList(pieces);
  free(request->origin);
  request->origin = origin;
  printfColorLine("New Origin: ", request->origin);
  return true;
}

// Step 2 of the checks. False when the connection is not acceptable; the
// answer is then the recorded code (no information) or nothing at all.
static bool checkProtocol(struct MHD_Connection* connection, KestrovanRequest* request) {
  const union MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_PROTOCOL);
  if (info == nullptr) {
    printfColorWarningLine("", "Get connection information error");
    recordCode(request, KESTROVAN_ERR_GENERAL);
    return false;
  }
  const char* name = nullptr;
  switch (info->protocol) {
    case 2:
      printfColorWarningLine("Insecure connection: ", "TLS 1.0");
      KestrovanJsonFinal(request->result);
      return false;
    case 3:
      printfColorWarningLine("Insecure connection: ", "TLS 1.1");
      KestrovanJsonFinal(request->result);
      return false;
    case 4: name = "TLS 1.2"; break;
    case 5: name = "TLS 1.3"; break;
    case 200: name = "DTLS 0.9"; break;
    case 201: name = "DTLS 1.0"; break;
    case 202: name = "DTLS 1.2"; break;
    default:
      // The console's wording, misspelling included.
      printfColorWarningLine("Insecure connection: ", "Unknow connection protocol");
      printfColorWarningLine("", info->protocol);
      KestrovanJsonFinal(request->result);
      return false;
  }
  printfColorLine("TLS version: ", name);
  return true;
}

// The headers a request's checks read, found in one pass over them: the
// first of each name (what a lookup by name gives) and how many Host
// headers there are.
struct KestrovanRequestHeaders {
  const char* host;
  const char* referer;
  const char* origin;
  int hosts;
};

static enum MHD_Result collectHeaders(void* cls, enum MHD_ValueKind kind, const char* key, const char* value) {
  (void)kind;
  KestrovanRequestHeaders* headers = (KestrovanRequestHeaders*)cls;
  if (key == nullptr)
    return MHD_YES;
  if (strcasecmp(key, "host") == 0) {
    if (headers->hosts++ == 0)
      headers->host = value;
  } else if (headers->referer == nullptr && strcasecmp(key, "referer") == 0) {
    headers->referer = value;
  } else if (headers->origin == nullptr && strcasecmp(key, "origin") == 0) {
    headers->origin = value;
  }
  return MHD_YES;
}

static void resumeConnection(void* context) {
  MHD_resume_connection((struct MHD_Connection*)context);
}

// The Host check: the first Host header must name localhost or 127.0.0.1
// with a port, and only one may be sent.
static bool checkHost(const KestrovanRequestHeaders& headers, KestrovanRequest* request) {
  char host[64];
  memset(host, 0, sizeof(host));
  ArrayCopy(host, sizeof(host), headers.host != nullptr ? headers.host : "");
  printfColorLine("Host: ", host);
  // Only the first of several Host headers would be looked at, while a
  // proxy or another reader may take the last: a request that names two
  // hosts names none for sure.
  if (headers.hosts > 1)
    host[0] = '\0';
  if (strncmp(host, "localhost:", 10) != 0 && strncmp(host, "127.0.0.1:", 10) != 0) {
    printfColorWarningLine("", "This connection is NOT from localhost");
    recordCode(request, KESTROVAN_ERR_NOT_LOCAL);
    return false;
  }
  return true;
}

// The "Parameter" field decoded where it was collected and made into the
// request's map; whether it asks for the main thread. Its bytes leave the
// body budget now, not when the answer is out, so that a request that
// waits (main thread, a slow token) holds none of it. False without memory.
static bool buildMap(connection_info_struct* info, bool* mainThread) {
  char noParameter[1] = "";
  char* decoded = noParameter;
  if (info->parameterText.data != nullptr) {
    decoded = info->parameterText.data;
    Base64DecodeInPlace(decoded);
  }
  info->request.map = getKestrovanJsonMap(decoded);
  for (const char* marker : kMainThreadMarkers) {
    if (strstr(decoded, marker) != nullptr)
      *mainThread = true;
  }
  clearParameter(&info->parameterText);
  returnBudget(info);
  if (info->request.map == nullptr) {
    showMemoryFail("Intake", __LINE__);
    return false;
  }
  return true;
}

// The page's origin and referer from its headers (the referer's origin when
// there is no Origin). False when the request is answered without them.
static bool readOrigin(const KestrovanRequestHeaders& headers, KestrovanRequest* request) {
  const char* referer = headers.referer;
  const char* origin = headers.origin;
  request->referer = referer != nullptr ? newMem(referer) : nullptr;
  printfColorLine("Referer: ", request->referer);
  request->origin = newMem(origin != nullptr ? origin : "");
  if (request->origin == nullptr || (referer != nullptr && request->referer == nullptr)) {
    showMemoryFail("Intake", __LINE__);
    return false;
  }
  printfColorLine("Origin: ", request->origin);
  return !isNoOrigin(request->origin) || originFromReferer(request);
}

// Hands a main-thread call over. True when the connection now sleeps until
// the wait is over (this handler is called again then); false when the
// answer is there at once.
static bool handOver(struct MHD_Connection* connection, connection_info_struct* info) {
  KestrovanRequest* request = &info->request;
  // The main thread writes the call's lines meanwhile, and the hand-off's
  // own lines go between them: written as they come, these first.
  KestrovanTrace_endRequest();
  KestrovanMainThreadWait* wait = nullptr;
  const union MHD_ConnectionInfo* socket = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  request->result = KestrovanMainThread_begin(&request->map, request->origin,
                                              socket != nullptr ? (int)socket->connect_fd : -1, resumeConnection,
                                              connection, &wait);
  if (wait != nullptr) {
    // The listener's thread goes on serving others.
    info->wait = wait;
    MHD_suspend_connection(connection);
    KestrovanMainThread_suspended(wait);
    return true;
  }
  KestrovanTrace_beginRequest();
  return false;
}

// The body is complete: check, build the map, dispatch, answer.
static enum MHD_Result finalCall(struct MHD_Connection* connection, connection_info_struct* info) {
  KestrovanRequest* request = &info->request;
  KestrovanRequestHeaders headers = {nullptr, nullptr, nullptr, 0};
  bool mainThread = false;

  // The request's lines go out together when it ends (one write).
  KestrovanTrace_beginRequest();
  printfColorLine("", "Release Mode");

  bool checked = checkProtocol(connection, request);
  if (checked)
    MHD_get_connection_values(connection, MHD_HEADER_KIND, collectHeaders, &headers);
  checked = checked && checkHost(headers, request) && buildMap(info, &mainThread) && readOrigin(headers, request);
  if (checked && !KestrovanConsole_check()) {
    printfColorWarningLine("", "Not Same User!!Kestrovan will turn off");
    recordCode(request, KESTROVAN_ERR_ORIGIN);
    // The service ends once this answer is out (request_completed), so
    // that the page learns why instead of seeing the connection drop.
    info->finalAfterAnswer = true;
    checked = false;
  }
  if (checked) {
    KestrovanJsonFinal(request->result);
    request->result = nullptr;
    if (!mainThread)
      request->result = KestrovanSession_Process(KestrovanProcessID, request->map, request->origin);
    else if (handOver(connection, info))
      return MHD_YES;
  }

  enum MHD_Result answer = set_response(connection, request, 0);
  freeRequest(request);
  clearParameter(&info->parameterText);
  returnBudget(info);
  printfSeparator();
  KestrovanTrace_endRequest();
  return answer;
}

// The main-thread wait of the request is over: its answer, or nothing for
// a page that went away.
static enum MHD_Result resumedCall(struct MHD_Connection* connection, connection_info_struct* info) {
  KestrovanRequest* request = &info->request;
  KestrovanMainThreadWait* wait = info->wait;
  info->wait = nullptr;
  KestrovanTrace_beginRequest();
  bool hungUp = false;
  KestrovanJsonFinal(request->result);
  request->result = KestrovanMainThread_end(wait, &hungUp);
  enum MHD_Result answer = hungUp ? MHD_NO : set_response(connection, request, 0);
  freeRequest(request);
  printfSeparator();
  KestrovanTrace_endRequest();
  return answer;
}

enum MHD_Result answer_to_connection(void* cls, struct MHD_Connection* connection, const char* url,
                                     const char* method, const char* version, const char* uploadData,
                                     size_t* uploadDataSize, void** perRequest) {
  (void)cls;
  (void)url;
  (void)version;
  if (method == nullptr || uploadDataSize == nullptr || perRequest == nullptr)
    return MHD_NO;

  if (*perRequest == nullptr) {
    connection_info_struct* info = (connection_info_struct*)calloc(1, sizeof(connection_info_struct));
    if (info == nullptr)
      return MHD_NO;
    if (strcmp(method, "POST") == 0) {
      // The buffer only has to hold a field's name ("Parameter"); values
      // come through in pieces of any size. The library zeroes it for
      // every request, so it is kept small.
      info->postProcessor = MHD_create_post_processor(connection, KESTROVAN_POST_BUFFER, iterate_post, info);
      if (info->postProcessor == nullptr) {
        free(info);
        return MHD_NO;
      }
      info->kind = KESTROVAN_KIND_POST;
    } else {
      info->kind = KESTROVAN_KIND_OTHER;
    }
    *perRequest = info;
    return MHD_YES;
  }

  connection_info_struct* info = (connection_info_struct*)*perRequest;
  if (info->wait != nullptr)
    return resumedCall(connection, info);
  if (strcmp(method, "POST") != 0 || info->kind != KESTROVAN_KIND_POST) {
    if (strcmp(method, "OPTIONS") == 0) {
      const char* requestMethod =
          MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Access-Control-Request-Method");
      const char* privateNetwork =
          MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Access-Control-Request-Private-Network");
      if (requestMethod != nullptr && strcmp(requestMethod, "POST") == 0 && privateNetwork != nullptr &&
          strcmp(privateNetwork, "true") == 0)
        return set_response(connection, nullptr, 1);
    }
    printfColorErrorLine("Request method error: ", method);
    return MHD_NO;
  }

  if (*uploadDataSize != 0) {
    MHD_post_process(info->postProcessor, uploadData, *uploadDataSize);
    *uploadDataSize = 0;
    return info->parameterRefused ? MHD_NO : MHD_YES;
  }
  if (info->parameterRefused)
    return MHD_NO;
  return finalCall(connection, info);
}

void request_completed(void* cls, struct MHD_Connection* connection, void** perRequest,
                       enum MHD_RequestTerminationCode code) {
  (void)cls;
  (void)connection;
  (void)code;
  if (perRequest == nullptr || *perRequest == nullptr)
    return;
  connection_info_struct* info = (connection_info_struct*)*perRequest;
  if (info->kind == KESTROVAN_KIND_POST && info->postProcessor != nullptr)
    MHD_destroy_post_processor(info->postProcessor);
  // Closed while it waited (only a listener stopping does that).
  KestrovanMainThread_cancel(info->wait);
  info->wait = nullptr;
  clearParameter(&info->parameterText);
  returnBudget(info);
  freeRequest(&info->request);
  bool final = info->finalAfterAnswer;
  free(info);
  *perRequest = nullptr;
  void (*hook)() = finalHook.load();
  if (final && hook != nullptr)
    hook();
}
