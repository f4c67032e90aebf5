// SPDX-License-Identifier: Apache-2.0
// request_fuzz.cpp -- the whole request path in one process: a request built
// from the input (method, Host, Origin, Referer and Connection headers, the
// form body with its "Parameter" field) goes over a real loopback TCP
// connection and real TLS to the service's own listener (its daemon flags,
// accept policy, access handler, completion notifier) and dispatcher
// (session table, value store; no adapters installed). The answer is checked against a small
// reference for the decisions the intake makes before dispatching:
//  - only a Host of "localhost:..." or "127.0.0.1:..." reaches the map;
//    any other gets 61904 (or the HTTP library's own 400 when Host is absent);
//  - a body that is no JSON map gets no answer at all;
//  - the origin is the Origin header, or else scheme, "//" and host of the
//    Referer; without either the answer is 61012; an answered request names
//    exactly that origin in Access-Control-Allow-Origin;
//  - a preflight is granted (204) exactly when it asks for POST and the
//    private network; every other method gets no answer.
// Every answer to a POST is a JSON map of Base64 values with a "result".
// Main-thread requests are left out: nothing runs the main-thread loop here.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>
#include <vector>

#include "fuzz_util.h"
#include "params/params.h"
#include "service/service.h"
#include "session/session.h"
#include "support/base64.h"

static struct MHD_Daemon* daemon_ = nullptr;
static uint16_t servicePort = 0;
static gnutls_certificate_credentials_t clientCredentials;
static char copyFolder[64] = "/tmp/kestrovan-request-fuzz-copy-XXXXXX";
static char executeFolder[64] = "/tmp/kestrovan-request-fuzz-exe-XXXXXX";

// ---------------------------------------------------------------------------
// Set-up: a throwaway key and certificate, the daemon, the session module.

static std::string exportPem(int (*exporter)(void*, gnutls_x509_crt_fmt_t, gnutls_datum_t*), void* object) {
  gnutls_datum_t datum = {nullptr, 0};
  FUZZ_CHECK(exporter(object, GNUTLS_X509_FMT_PEM, &datum) == 0);
  std::string pem((const char*)datum.data, datum.size);
  gnutls_free(datum.data);
  return pem;
}

static int exportKey(void* key, gnutls_x509_crt_fmt_t format, gnutls_datum_t* out) {
  return gnutls_x509_privkey_export2((gnutls_x509_privkey_t)key, format, out);
}

static int exportCertificate(void* crt, gnutls_x509_crt_fmt_t format, gnutls_datum_t* out) {
  return gnutls_x509_crt_export2((gnutls_x509_crt_t)crt, format, out);
}

static void makeCertificate(std::string* certPem, std::string* keyPem) {
  gnutls_x509_privkey_t key;
  gnutls_x509_crt_t crt;
  FUZZ_CHECK(gnutls_x509_privkey_init(&key) == 0);
  FUZZ_CHECK(gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA,
                                          GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0) == 0);
  FUZZ_CHECK(gnutls_x509_crt_init(&crt) == 0);
  gnutls_x509_crt_set_version(crt, 3);
  gnutls_x509_crt_set_serial(crt, "\x01", 1);
  gnutls_x509_crt_set_activation_time(crt, time(nullptr) - 3600);
  gnutls_x509_crt_set_expiration_time(crt, time(nullptr) + 30 * 86400);
  gnutls_x509_crt_set_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, "localhost", 9);
  FUZZ_CHECK(gnutls_x509_crt_set_key(crt, key) == 0);
  FUZZ_CHECK(gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0) == 0);
  *certPem = exportPem(exportCertificate, crt);
  *keyPem = exportPem(exportKey, key);
  gnutls_x509_crt_deinit(crt);
  gnutls_x509_privkey_deinit(key);
}

static void removeFolders() {
  rmdir(executeFolder);
  rmdir(copyFolder);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KestrovanFuzz_quietTrace();
  FUZZ_CHECK(mkdtemp(copyFolder) != nullptr && mkdtemp(executeFolder) != nullptr);
  atexit(removeFolders);
  KestrovanSession_Init(copyFolder, executeFolder);
  KestrovanConsole_record();

  static std::string certPem, keyPem;  // the daemon keeps pointers to them
  makeCertificate(&certPem, &keyPem);
  // The service's own listener: its flags, accept policy, logger and TLS
  // priorities, on an ephemeral loopback port.
  struct sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  daemon_ = StartDaemon(KESTROVAN_LISTENER_FLAGS_IPV4, (const struct sockaddr*)&address, certPem.c_str(),
                        keyPem.c_str(), "NORMAL:!VERS-TLS-ALL:!SHA1:+VERS-TLS1.2:+VERS-TLS1.3");
  FUZZ_CHECK(daemon_ != nullptr);
  const union MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  FUZZ_CHECK(info != nullptr && info->port != 0);
  servicePort = info->port;
  FUZZ_CHECK(gnutls_certificate_allocate_credentials(&clientCredentials) == 0);
  return 0;
}

// ---------------------------------------------------------------------------
// One exchange.

struct Answer {
  bool any = false;  // false: the connection closed without an answer
  int status = 0;
  std::string headers;  // lower-cased header block
  std::string body;
};

static std::string lowered(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z')
      c = (char)(c - 'A' + 'a');
  return text;
}

// The value of a header in the answer, or "\x01" when absent.
static std::string answerHeader(const Answer& answer, const std::string& rawBlock, const char* name) {
  std::string wanted = std::string("\r\n") + name + ":";
  size_t at = answer.headers.find(wanted);
  if (at == std::string::npos)
    return "\x01";
  size_t start = at + wanted.size();
  while (start < rawBlock.size() && rawBlock[start] == ' ')
    start++;
  size_t end = rawBlock.find("\r\n", start);
  return rawBlock.substr(start, end - start);
}

static Answer sendRequest(const std::string& request, std::string* rawHeaders) {
  Answer answer;
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  FUZZ_CHECK(client >= 0);
  struct sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(servicePort);
  // Local ports are this machine's, not the service's: wait a little for one
  // to come free (thousands of connections a second use them up).
  // libFuzzer's timeout alarm can interrupt the connect: it then completes
  // in the background, and the socket says how it ended.
  int tries = 0;
  while (connect(client, (struct sockaddr*)&address, sizeof(address)) != 0) {
    if (errno == EINTR) {
      struct pollfd ready = {client, POLLOUT, 0};
      int polled;
      do {
        polled = poll(&ready, 1, 20 * 1000);
      } while (polled < 0 && errno == EINTR);
      int error = 0;
      socklen_t length = sizeof(error);
      FUZZ_CHECK(polled == 1 && getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &length) == 0);
      if (error == 0)
        break;
      errno = error;
    }
    if (errno != EADDRNOTAVAIL || ++tries > 50) {
      fprintf(stderr, "request_fuzz: connect: %s\n", strerror(errno));
      FUZZ_CHECK(false);
    }
    usleep(100 * 1000);
  }
  // Closing with a reset leaves no TIME_WAIT behind on either side.
  struct linger reset = {1, 0};
  setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  int one = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  // An answer that never comes is a hang in the service.
  struct timeval wait = {20, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));

  gnutls_session_t session;
  FUZZ_CHECK(gnutls_init(&session, GNUTLS_CLIENT) == 0);
  gnutls_set_default_priority(session);
  gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, clientCredentials);
  gnutls_transport_set_int(session, client);
  int rc;
  do {
    rc = gnutls_handshake(session);
  } while (rc < 0 && !gnutls_error_is_fatal(rc));
  FUZZ_CHECK(rc == 0);
  for (size_t sent = 0; sent < request.size();) {
    ssize_t n = gnutls_record_send(session, request.data() + sent, request.size() - sent);
    if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED)
      continue;
    if (n < 0)
      break;  // the service may close early, for a refused method for example
    sent += (size_t)n;
  }

  std::string raw;
  size_t headerEnd = std::string::npos;
  size_t need = std::string::npos;
  char buffer[16384];
  for (;;) {
    if (headerEnd != std::string::npos && raw.size() >= need)
      break;
    ssize_t n = gnutls_record_recv(session, buffer, sizeof(buffer));
    if (n == GNUTLS_E_INTERRUPTED)
      continue;  // libFuzzer's timeout alarm, not the service
    if (n == GNUTLS_E_AGAIN) {
      // SO_RCVTIMEO ran out.
      fprintf(stderr, "request_fuzz: no answer and no close within 20 s to:\n%s\n", request.c_str());
      FUZZ_CHECK(false);
    }
    if (n <= 0)
      break;
    raw.append(buffer, (size_t)n);
    if (headerEnd == std::string::npos && (headerEnd = raw.find("\r\n\r\n")) != std::string::npos) {
      std::string block = lowered(raw.substr(0, headerEnd + 2));
      size_t at = block.find("\r\ncontent-length:");
      need = headerEnd + 4 + (at != std::string::npos ? strtoul(block.c_str() + at + 17, nullptr, 10) : 0);
    }
  }
  gnutls_deinit(session);
  close(client);

  if (raw.empty())
    return answer;
  FUZZ_CHECK(headerEnd != std::string::npos && raw.compare(0, 9, "HTTP/1.1 ") == 0);
  answer.any = true;
  answer.status = atoi(raw.c_str() + 9);
  *rawHeaders = raw.substr(0, headerEnd + 2);
  answer.headers = lowered(*rawHeaders);
  answer.body = raw.substr(headerEnd + 4);
  return answer;
}

// ---------------------------------------------------------------------------
// The reference decisions.

static bool localHost(const std::string* host) {
  return host != nullptr && (host->compare(0, 10, "localhost:") == 0 || host->compare(0, 10, "127.0.0.1:") == 0);
}

static bool noOrigin(const std::string* text) { return text == nullptr || text->empty() || *text == "null"; }

// The origin handed to the dispatcher, or false for 61012.
static bool referenceOrigin(const std::string* origin, const std::string* referer, std::string* out) {
  if (!noOrigin(origin)) {
    *out = *origin;
    return true;
  }
  if (noOrigin(referer))
    return false;
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t at = referer->find('/'); at != std::string::npos; at = referer->find('/', start)) {
    pieces.push_back(referer->substr(start, at - start));
    start = at + 1;
  }
  pieces.push_back(referer->substr(start));
  if (pieces.size() < 3)
    return false;
  *out = pieces[0] + "/" + pieces[1] + "/" + pieces[2];
  return true;
}

// The answer's "result", decoded; "\x01" when it has none (release
// requests answer only a "SessionID", or nothing at all). Every value of the
// answer must be Base64.
static std::string resultOf(const Answer& answer) {
  if (answer.body == "{}")
    return "\x01";
  KestrovanJsonMap* map = getKestrovanJsonMap(answer.body.c_str());
  FUZZ_CHECK(map != nullptr);
  std::string text = "\x01";
  for (int i = 0; i < map->count; i++) {
    const char* value = map->units[i].value;
    for (const char* c = value; *c != '\0'; c++)
      FUZZ_CHECK(isalnum((unsigned char)*c) || *c == '+' || *c == '/' || *c == '=');
    if (strcasecmp(map->units[i].key, "result") == 0) {
      char* plain = Base64Decode(value);
      FUZZ_CHECK(plain != nullptr);
      text = plain;
      free(plain);
    }
  }
  KestrovanJsonFinal(map);
  return text;
}

// ---------------------------------------------------------------------------
// Building the request.

static const char* const kHosts[] = {"localhost:56459", "127.0.0.1:56559", "localhost", "localhost.:56459",
                                     "localhost.evil.test:56459", "127.0.0.2:56459", "0.0.0.0:56459",
                                     "[::1]:56659", "[::ffff:127.0.0.1]:56459", "127.1:56459", "evil.test:56459"};
static const char* const kOrigins[] = {"https://example.com", "null", "", "http://127.0.0.1:8080",
                                       "https://ok.example@evil.test", "chrome-extension://abc"};
static const char* const kReferers[] = {"https://example.com/page?x=https://allowed.test", "https://a.test",
                                        "null", "", "https:/x", "file:///etc/passwd", "//host/x"};
static const char* const kFunctions[] = {"KestrovanEcho", "Echo", "setKestrovanValue", "getKestrovanValue",
                                         "KestrovanRelease", "KestrovanClose", "KestrovanForceRelease", "Sign"};

// Header values the HTTP layer passes on unchanged: printable, no blanks at
// either end.
static std::string headerValue(std::string text) {
  std::string out;
  for (char c : text)
    if (c >= 0x20 && c < 0x7f)
      out += c;
  size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos)
    return "";
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

static std::string percentEncode(const std::string& text, bool all) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (!all && (isalnum(c) || c == '-' || c == '_' || c == '.')) {
      out += (char)c;
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

// A JSON object of the input's choosing: known keys and functions, or text.
static std::string jsonBody(FuzzedDataProvider& input) {
  if (input.ConsumeBool())
    return input.ConsumeRandomLengthString(512);
  std::string json = "{";
  int pairs = input.ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < pairs; i++) {
    if (i > 0)
      json += ",";
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
      case 0: json += std::string("\"FunctionName\":\"") + input.PickValueInArray(kFunctions) + "\""; break;
      case 1: json += "\"SessionId\":\"" + input.ConsumeRandomLengthString(16) + "\""; break;
      case 2: json += "\"channel\":\"c\",\"domain_list\":\"*\",\"value\":\"" + input.ConsumeRandomLengthString(32) + "\""; break;
      case 3: json += "\"LibDir\":\"" + input.ConsumeRandomLengthString(16) + "\",\"ComName\":\"x\""; break;
      default:
        json += "\"" + input.ConsumeRandomLengthString(16) + "\":\"" + input.ConsumeRandomLengthString(32) + "\"";
    }
  }
  return json + "}";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  auto pick = [&](const char* const* table, size_t count, std::string* out) -> const std::string* {
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
      case 0: return nullptr;  // header absent
      case 1: *out = table[input.ConsumeIntegralInRange<size_t>(0, count - 1)]; break;
      default: *out = headerValue(input.ConsumeRandomLengthString(64));
    }
    return out;
  };
  int methodChoice = input.ConsumeIntegralInRange<int>(0, 5);
  const char* method = methodChoice <= 2 ? "POST" : methodChoice == 3 ? "OPTIONS" : methodChoice == 4 ? "GET" : "PUT";
  std::string hostText, originText, refererText;
  const std::string* host = pick(kHosts, sizeof(kHosts) / sizeof(kHosts[0]), &hostText);
  const std::string* origin = pick(kOrigins, sizeof(kOrigins) / sizeof(kOrigins[0]), &originText);
  const std::string* referer = pick(kReferers, sizeof(kReferers) / sizeof(kReferers[0]), &refererText);
  bool keepAlive = input.ConsumeBool();
  bool preflightMethod = input.ConsumeBool();
  bool preflightNetwork = input.ConsumeBool();
  bool encodeAll = input.ConsumeBool();
  std::string json = jsonBody(input);
  std::string extra = input.ConsumeRandomLengthString(32);

  // Main-thread requests wait for a loop that does not run here.
  if (json.find("MainThread\"") != std::string::npos || json.find("KeepAlive\"") != std::string::npos)
    return 0;
  char* encoded = Base64Encode(json.c_str());
  FUZZ_CHECK(encoded != nullptr);
  std::string body = "Parameter=" + percentEncode(encoded, encodeAll);
  free(encoded);
  if (!extra.empty())
    body = "other=" + percentEncode(extra, false) + "&" + body;

  std::string request = std::string(method) + " / HTTP/1.1\r\n";
  if (host != nullptr)
    request += "Host: " + *host + "\r\n";
  if (origin != nullptr)
    request += "Origin: " + *origin + "\r\n";
  if (referer != nullptr)
    request += "Referer: " + *referer + "\r\n";
  request += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
  if (strcmp(method, "OPTIONS") == 0) {
    if (preflightMethod)
      request += "Access-Control-Request-Method: POST\r\n";
    if (preflightNetwork)
      request += "Access-Control-Request-Private-Network: true\r\n";
    request += "\r\n";
  } else {
    request += "Content-Type: application/x-www-form-urlencoded\r\n";
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }

  // KESTROVAN_FUZZ_VERBOSE=1 shows each exchange (for reading a reproducer).
  static const bool verbose = getenv("KESTROVAN_FUZZ_VERBOSE") != nullptr;
  if (verbose)
    fprintf(stderr, "---- request\n%s\n", request.c_str());
  std::string rawHeaders;
  Answer answer = sendRequest(request, &rawHeaders);
  if (verbose)
    fprintf(stderr, "---- answer: %s\n%s%s\n", answer.any ? "yes" : "none", rawHeaders.c_str(), answer.body.c_str());

  if (host == nullptr && answer.any && answer.status == 400)
    return 0;  // the HTTP library's own answer to a request without Host
  if (strcmp(method, "OPTIONS") == 0) {
    FUZZ_CHECK(answer.any == (preflightMethod && preflightNetwork));
    if (answer.any)
      FUZZ_CHECK(answer.status == 204);
    return 0;
  }
  if (strcmp(method, "POST") != 0) {
    FUZZ_CHECK(!answer.any);
    return 0;
  }
  if (!localHost(host)) {
    FUZZ_CHECK(answer.any && answer.status == 200);
    FUZZ_CHECK(resultOf(answer) == "61904");
    FUZZ_CHECK(answerHeader(answer, rawHeaders, "access-control-allow-origin") == "\x01");
    return 0;
  }
  KestrovanJsonMap* map = getKestrovanJsonMap(json.c_str());
  bool isMap = map != nullptr;
  KestrovanJsonFinal(map);
  if (!isMap) {
    FUZZ_CHECK(!answer.any);
    return 0;
  }
  FUZZ_CHECK(answer.any && answer.status == 200);
  std::string result = resultOf(answer);
  std::string expectedOrigin;
  if (!referenceOrigin(origin, referer, &expectedOrigin)) {
    FUZZ_CHECK(result == "61012");
    return 0;
  }
  std::string allowed = answerHeader(answer, rawHeaders, "access-control-allow-origin");
  if (expectedOrigin.compare(0, 4, "http") == 0)
    FUZZ_CHECK(allowed == expectedOrigin);
  else
    FUZZ_CHECK(allowed == "\x01");
  return 0;
}
