// SPDX-License-Identifier: Apache-2.0
// requests_test.cpp -- one running service, many real requests: TLS
// versions, methods, preflights, Host and origin rules, answer headers and
// body, connection admission and the limits on what a page may send.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"
#include "service/intake.h"

namespace {

using kt::HttpAnswer;
using kt::HttpRequest;

const char* const kClose = R"({"FunctionName":"KestrovanClose","SessionId":""})";

class ServiceRequests : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    installation_ = new kt::Installation(KESTROVAN_SERVICE_EXE, KESTROVAN_TEST_ADAPTER);
    service_ = new kt::ServiceProcess();
    if (installation_->ok && service_->start(installation_->exe, installation_->home))
      started_ = service_->waitFor("NORTAKestrovan initialization: Success", 60);
  }
  static void TearDownTestSuite() {
    if (started_) {
      EXPECT_EQ(service_->stop(), 0) << service_->output();
    }
    delete service_;
    delete installation_;
    service_ = nullptr;
    installation_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(started_) << (service_ != nullptr ? service_->output() : ""); }
  void TearDown() override {
    if (!started_)
      return;
    // Whatever a case sent, the service goes on serving on every listener.
    for (const char* url : {"https://127.0.0.1:56459/", "https://[::1]:56659/"}) {
      HttpAnswer answer = post(kClose, "https://a.example", {"Host: localhost:56459"}, url);
      EXPECT_EQ(answer.status, 200) << url << " stopped answering (curl " << answer.curlCode << ")\n"
                                    << service_->output();
    }
  }

  static HttpAnswer post(const std::string& json, const std::string& origin,
                         const std::vector<std::string>& headers = {},
                         const std::string& url = "https://127.0.0.1:56459/") {
    return kt::post(installation_->caFile, json, origin, headers, url);
  }
  static std::string ca() { return installation_->caFile; }
  static std::string result(const HttpAnswer& answer) {
    std::map<std::string, std::string> values;
    if (!kt::decodeAnswer(answer.body, &values))
      return "<not a map: " + answer.body + ">";
    return values.count("result") ? values["result"] : "<no result>";
  }

  static kt::Installation* installation_;
  static kt::ServiceProcess* service_;
  static bool started_;
};

kt::Installation* ServiceRequests::installation_ = nullptr;
kt::ServiceProcess* ServiceRequests::service_ = nullptr;
bool ServiceRequests::started_ = false;

struct TlsCase {
  const char* name;
  const char* priority;
  bool connects;
};

void PrintTo(const TlsCase& c, std::ostream* out) {
  *out << c.name;
}

class ServiceTls : public ServiceRequests, public ::testing::WithParamInterface<TlsCase> {};

// gnutls-cli offers exactly one protocol version; only 1.2 and 1.3 connect.
TEST_P(ServiceTls, AcceptsOnlyTls12And13) {
  const TlsCase& c = GetParam();
  std::string output;
  int status = kt::runProgram({"gnutls-cli", "--x509cafile", ca(), "--priority", c.priority, "-p", "56459",
                               "127.0.0.1"},
                              "", &output);
  if (c.connects) {
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Handshake was completed"), std::string::npos) << output;
  } else {
    EXPECT_NE(status, 0) << output;
    EXPECT_EQ(output.find("Handshake was completed"), std::string::npos) << output;
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, ServiceTls,
                         ::testing::Values(TlsCase{"Tls10", "NORMAL:-VERS-ALL:+VERS-TLS1.0", false},
                                           TlsCase{"Tls11", "NORMAL:-VERS-ALL:+VERS-TLS1.1", false},
                                           TlsCase{"Tls12", "NORMAL:-VERS-ALL:+VERS-TLS1.2", true},
                                           TlsCase{"Tls13", "NORMAL:-VERS-ALL:+VERS-TLS1.3", true}),
                         [](const ::testing::TestParamInfo<TlsCase>& info) { return std::string(info.param.name); });

TEST_F(ServiceRequests, PlainHttpFails) {
  for (unsigned short port : kt::kPorts) {
    HttpRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(port) + "/";
    request.body = kt::parameterBody(kClose);
    request.timeoutSeconds = 20;
    HttpAnswer answer = kt::httpRequest(request);
    EXPECT_NE(answer.curlCode, 0) << port;
    EXPECT_EQ(answer.status, 0) << port;
  }
}

TEST_F(ServiceRequests, GetGetsNoAnswer) {
  size_t before = service_->count("Request method error: GET");
  HttpRequest request;
  request.method = "GET";
  request.caFile = ca();
  HttpAnswer answer = kt::httpRequest(request);
  EXPECT_EQ(answer.curlCode, 52) << "CURLE_GOT_NOTHING expected";
  EXPECT_EQ(answer.status, 0);
  EXPECT_TRUE(service_->waitFor("Request method error: GET", 10, before + 1));
}

struct PreflightCase {
  const char* name;
  std::vector<std::string> headers;
  bool answered;
  const char* allowOrigin;  // expected Access-Control-Allow-Origin, or null for none
};

void PrintTo(const PreflightCase& c, std::ostream* out) {
  *out << c.name;
}

class ServicePreflight : public ServiceRequests, public ::testing::WithParamInterface<PreflightCase> {};

TEST_P(ServicePreflight, GrantsOnlyAPrivateNetworkPostPreflight) {
  const PreflightCase& c = GetParam();
  HttpRequest request;
  request.method = "OPTIONS";
  request.caFile = ca();
  request.headers = c.headers;
  HttpAnswer answer = kt::httpRequest(request);
  if (!c.answered) {
    EXPECT_EQ(answer.curlCode, 52);
    EXPECT_EQ(answer.status, 0);
    return;
  }
  ASSERT_EQ(answer.curlCode, 0);
  EXPECT_EQ(answer.status, 204);
  EXPECT_TRUE(answer.body.empty());
  if (c.allowOrigin != nullptr)
    EXPECT_EQ(answer.get("Access-Control-Allow-Origin"), c.allowOrigin);
  else
    EXPECT_FALSE(answer.has("Access-Control-Allow-Origin"));
  EXPECT_EQ(answer.get("Access-Control-Allow-Methods"), "POST");
  EXPECT_EQ(answer.get("Access-Control-Allow-Private-Network"), "true");
  EXPECT_EQ(answer.get("Access-Control-Max-Age"), "30");
  EXPECT_FALSE(answer.has("X-XSS-Protection"));
  EXPECT_FALSE(answer.has("Content-Type"));
  // In the order a reader of the wire sees them.
  int origin = answer.indexOf("Access-Control-Allow-Origin");
  int methods = answer.indexOf("Access-Control-Allow-Methods");
  int network = answer.indexOf("Access-Control-Allow-Private-Network");
  int age = answer.indexOf("Access-Control-Max-Age");
  if (origin >= 0) {
    EXPECT_LT(origin, methods);
  }
  EXPECT_LT(methods, network);
  EXPECT_LT(network, age);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, ServicePreflight,
    ::testing::Values(
        PreflightCase{"WithOrigin",
                      {"Origin: https://bank.example", "Access-Control-Request-Method: POST",
                       "Access-Control-Request-Private-Network: true"},
                      true,
                      "https://bank.example"},
        PreflightCase{"WithoutOrigin",
                      {"Access-Control-Request-Method: POST", "Access-Control-Request-Private-Network: true"},
                      true,
                      nullptr},
        PreflightCase{"ExtensionOrigin",
                      {"Origin: chrome-extension://abc", "Access-Control-Request-Method: POST",
                       "Access-Control-Request-Private-Network: true"},
                      true,
                      nullptr},
        PreflightCase{"NoPrivateNetwork",
                      {"Origin: https://bank.example", "Access-Control-Request-Method: POST"},
                      false,
                      nullptr},
        PreflightCase{"PrivateNetworkTRUE",
                      {"Origin: https://bank.example", "Access-Control-Request-Method: POST",
                       "Access-Control-Request-Private-Network: TRUE"},
                      false,
                      nullptr},
        PreflightCase{"MethodPut",
                      {"Origin: https://bank.example", "Access-Control-Request-Method: PUT",
                       "Access-Control-Request-Private-Network: true"},
                      false,
                      nullptr}),
    [](const ::testing::TestParamInfo<PreflightCase>& info) { return std::string(info.param.name); });

struct HostCase {
  const char* name;
  const char* host;
  bool local;
};

void PrintTo(const HostCase& c, std::ostream* out) {
  *out << c.name;
}

class ServiceHost : public ServiceRequests, public ::testing::WithParamInterface<HostCase> {};

TEST_P(ServiceHost, OnlyLocalhostOrLoopbackWithAPortIsLocal) {
  const HostCase& c = GetParam();
  HttpAnswer answer = post(kClose, "https://a.example", {std::string("Host: ") + c.host});
  ASSERT_EQ(answer.curlCode, 0);
  EXPECT_EQ(answer.status, 200);
  if (c.local) {
    EXPECT_EQ(result(answer), "<no result>") << answer.body;
  } else {
    // The refusal is a map with the code alone, its value in Base64.
    EXPECT_EQ(answer.body, R"({"result": "NjE5MDQ="})");
    // Refused before the origin is read: nothing grants a page access to it.
    EXPECT_FALSE(answer.has("Access-Control-Allow-Origin"));
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, ServiceHost,
                         ::testing::Values(HostCase{"Localhost", "localhost:56459", true},
                                           HostCase{"Loopback", "127.0.0.1:56459", true},
                                           HostCase{"LoopbackOtherPort", "127.0.0.1:1", true},
                                           HostCase{"Ipv6Literal", "[::1]:56459", false},
                                           HostCase{"LocalhostNoPort", "localhost", false},
                                           HostCase{"LoopbackNoPort", "127.0.0.1", false},
                                           HostCase{"UpperCase", "LOCALHOST:56459", false},
                                           HostCase{"Rebound", "evil.example:56459", false},
                                           HostCase{"LoopbackSuffix", "127.0.0.10:56459", false}),
                         [](const ::testing::TestParamInfo<HostCase>& info) { return std::string(info.param.name); });

struct OriginCase {
  const char* name;
  std::vector<std::string> headers;
  const char* allowOrigin;  // null: no Access-Control-Allow-Origin
  bool refused;             // 61012
};

void PrintTo(const OriginCase& c, std::ostream* out) {
  *out << c.name;
}

class ServiceOrigin : public ServiceRequests, public ::testing::WithParamInterface<OriginCase> {};

TEST_P(ServiceOrigin, ComesFromOriginOrElseReferer) {
  const OriginCase& c = GetParam();
  HttpAnswer answer = post(kClose, "", c.headers);
  ASSERT_EQ(answer.curlCode, 0);
  EXPECT_EQ(answer.status, 200);
  if (c.refused)
    EXPECT_EQ(result(answer), "61012");
  else
    EXPECT_EQ(result(answer), "<no result>") << answer.body;
  if (c.allowOrigin != nullptr)
    EXPECT_EQ(answer.get("Access-Control-Allow-Origin"), c.allowOrigin);
  else
    EXPECT_FALSE(answer.has("Access-Control-Allow-Origin")) << answer.get("Access-Control-Allow-Origin");
  EXPECT_EQ(answer.get("X-XSS-Protection"), "1; mode=block");
}

INSTANTIATE_TEST_SUITE_P(
    Headers, ServiceOrigin,
    ::testing::Values(
        OriginCase{"Origin", {"Origin: https://bank.example"}, "https://bank.example", false},
        OriginCase{"OriginWinsOverReferer",
                   {"Origin: https://bank.example", "Referer: https://other.example/x"},
                   "https://bank.example",
                   false},
        OriginCase{"RefererWithPath",
                   {"Referer: https://pages.example:8443/app/index.html?x=1"},
                   "https://pages.example:8443",
                   false},
        OriginCase{"NullOriginUsesReferer",
                   {"Origin: null", "Referer: http://127.0.0.1:8080/page"},
                   "http://127.0.0.1:8080",
                   false},
        OriginCase{"ExtensionOrigin", {"Origin: chrome-extension://abcdef"}, nullptr, false},
        OriginCase{"NothingAtAll", {}, nullptr, true},
        OriginCase{"NullOriginNoReferer", {"Origin: null"}, nullptr, true},
        OriginCase{"NullReferer", {"Referer: null"}, nullptr, true},
        OriginCase{"RefererOneSlash", {"Referer: https:/x"}, nullptr, true}),
    [](const ::testing::TestParamInfo<OriginCase>& info) { return std::string(info.param.name); });

struct KeepAliveCase {
  const char* name;
  const char* connection;  // null: no Connection header
  bool keepAlive;
};

void PrintTo(const KeepAliveCase& c, std::ostream* out) {
  *out << c.name;
}

class ServiceKeepAlive : public ServiceRequests, public ::testing::WithParamInterface<KeepAliveCase> {};

TEST_P(ServiceKeepAlive, AnswersKeepAliveInAnyLetterCase) {
  const KeepAliveCase& c = GetParam();
  std::vector<std::string> headers;
  if (c.connection != nullptr)
    headers.push_back(std::string("Connection: ") + c.connection);
  HttpAnswer answer = post(kClose, "https://a.example", headers);
  ASSERT_EQ(answer.curlCode, 0);
  if (c.keepAlive)
    EXPECT_EQ(answer.get("Keep-Alive"), "timeout=15, max=100");
  else
    EXPECT_FALSE(answer.has("Keep-Alive"));
}

INSTANTIATE_TEST_SUITE_P(Headers, ServiceKeepAlive,
                         ::testing::Values(KeepAliveCase{"Lower", "keep-alive", true},
                                           KeepAliveCase{"Mixed", "Keep-Alive", true},
                                           KeepAliveCase{"Upper", "KEEP-ALIVE", true},
                                           KeepAliveCase{"Close", "close", false},
                                           KeepAliveCase{"Absent", nullptr, false}),
                         [](const ::testing::TestParamInfo<KeepAliveCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(ServiceRequests, AnswerBodyIsTheResultMapWithBase64Values) {
  HttpAnswer answer = post(R"({"FunctionName":"KestrovanEcho","SessionId":"",)"
                           R"("PathID":"7E41A0C2D95B4F3E8A61C07B2D9F54E1","minServerVersion":"3.0.23.0721"})",
                           "https://bank.example");
  ASSERT_EQ(answer.curlCode, 0);
  ASSERT_EQ(answer.status, 200);
  std::map<std::string, std::string> values;
  std::vector<std::string> keys;
  ASSERT_TRUE(kt::decodeAnswer(answer.body, &values, &keys)) << answer.body;
  EXPECT_EQ(keys, (std::vector<std::string>{"LibVersion", "result", "ServerVersion", "SessionID"})) << answer.body;
  EXPECT_EQ(values["result"], "0");
  EXPECT_EQ(values["ServerVersion"], "3.0.23.0721");
  EXPECT_EQ(values["LibVersion"], "1.0.0.5");
  ASSERT_EQ(values["SessionID"].size(), 12u);
  EXPECT_EQ(values["SessionID"].substr(8), "_SID");

  // The session answers to its identifier, then closes.
  HttpAnswer call = post(R"({"FunctionName":"EchoText","text":"h\u00e9llo wörld","SessionId":")" +
                             values["SessionID"] + "\"}",
                         "https://bank.example");
  std::map<std::string, std::string> callValues;
  ASSERT_TRUE(kt::decodeAnswer(call.body, &callValues)) << call.body;
  EXPECT_EQ(callValues["result"], "h\\u00e9llo wörld");
  HttpAnswer close =
      post(R"({"FunctionName":"KestrovanClose","SessionId":")" + values["SessionID"] + "\"}", "https://bank.example");
  EXPECT_EQ(close.body, "{}");
}

// The IPv4 listeners admit 127.0.0.1 only, not the whole loopback range.
TEST_F(ServiceRequests, RefusesAConnectionFrom127_0_0_2) {
  size_t before = service_->count("Illegal connection ip: ");
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.2", &local.sin_addr);
  ASSERT_EQ(bind(fd, (sockaddr*)&local, sizeof(local)), 0);
  socklen_t length = sizeof(local);
  ASSERT_EQ(getsockname(fd, (sockaddr*)&local, &length), 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(56459);
  ASSERT_EQ(connect(fd, (sockaddr*)&server, sizeof(server)), 0);
  const char hello[] = "\x16\x03\x01\x00\x05hello";
  (void)!write(fd, hello, sizeof(hello) - 1);
  char buffer[64];
  struct timeval timeout = {20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  ssize_t n = read(fd, buffer, sizeof(buffer));
  EXPECT_LE(n, 0) << "the service answered a refused peer";
  close(fd);

  ASSERT_TRUE(service_->waitFor("Illegal connection ip: ", 10, before + 1)) << service_->output();
  const unsigned char* port = (const unsigned char*)&local.sin_port;
  std::string expected = std::to_string(port[0]) + "." + std::to_string(port[1]) + ".127.0.0.2.0.0.0.0.0.0.0.0";
  std::string output = service_->output();
  EXPECT_NE(output.find("Illegal connection ip: " + expected), std::string::npos) << output;
}

// Main-thread mode is asked for by the exact text "key":true, no blank.
TEST_F(ServiceRequests, MainThreadMarkersAreMatchedExactly) {
  struct Marker {
    const char* json;
    bool mainThread;
  } markers[] = {
      {R"({"FunctionName":"KestrovanClose","SessionId":"","MainThread": true})", false},
      {R"({"FunctionName":"KestrovanClose","SessionId":"","mainthread":true})", false},
      {R"({"FunctionName":"KestrovanClose","SessionId":"","MainThread":"true"})", false},
      {R"({"FunctionName":"KestrovanClose","SessionId":"","MainThread":true})", true},
      {R"({"FunctionName":"KestrovanClose","SessionId":"","KestrovanMainThread":true})", true},
      {R"({"FunctionName":"KestrovanClose","SessionId":"","KeepAlive":true})", true},
  };
  for (const Marker& marker : markers) {
    size_t started = service_->count("Start main thread");
    size_t ran = service_->count("Main thread mode call finish");
    HttpAnswer answer = post(marker.json, "https://a.example");
    ASSERT_EQ(answer.status, 200) << marker.json;
    std::map<std::string, std::string> values;
    ASSERT_TRUE(kt::decodeAnswer(answer.body, &values)) << answer.body;
    // Either way the answer is this request's own: a new session identifier.
    EXPECT_EQ(values["SessionID"].size(), 12u) << marker.json << " " << answer.body;
    EXPECT_EQ(service_->count("Start main thread"), started + (marker.mainThread ? 1 : 0)) << marker.json;
    EXPECT_EQ(service_->count("Main thread mode call finish"), ran + (marker.mainThread ? 1 : 0)) << marker.json;
  }
}

struct BodyCase {
  const char* name;
  std::string contentType;
  std::string body;
  bool answered;
};

void PrintTo(const BodyCase& c, std::ostream* out) {
  *out << c.name;
}

class ServiceBody : public ServiceRequests, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(ServiceBody, TakesOnlyTheParameterFieldOfAForm) {
  const BodyCase& c = GetParam();
  HttpRequest request;
  request.caFile = ca();
  request.body = c.body;
  request.headers = {"Content-Type: " + c.contentType, "Origin: https://a.example"};
  HttpAnswer answer = kt::httpRequest(request);
  if (c.answered) {
    EXPECT_EQ(answer.status, 200);
    std::map<std::string, std::string> values;
    EXPECT_TRUE(kt::decodeAnswer(answer.body, &values)) << answer.body;
    EXPECT_EQ(values["SessionID"].size(), 12u) << answer.body;
  } else {
    EXPECT_EQ(answer.curlCode, 52);
    EXPECT_EQ(answer.status, 0);
  }
}

const std::string kCloseField = kt::parameterBody(kClose);

// The Base64 text with "+", "/" and "=" sent as the escapes a browser form
// may leave in place ("%2B", "%2F", "%3D"), themselves form-encoded.
std::string escapedBase64(const std::string& json) {
  std::string out;
  for (char c : kt::base64(json)) {
    if (c == '+')
      out += "%252B";
    else if (c == '/')
      out += "%252F";
    else if (c == '=')
      out += "%253D";
    else
      out += c;
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ServiceBody,
    ::testing::Values(
        BodyCase{"OnlyParameter", "application/x-www-form-urlencoded", kCloseField, true},
        BodyCase{"AmongOtherFields", "application/x-www-form-urlencoded", "a=1&" + kCloseField + "&b=2", true},
        BodyCase{"PercentEscapedBase64", "application/x-www-form-urlencoded",
                 "Parameter=" + escapedBase64(R"({"FunctionName":"KestrovanClose","SessionId":"","pad":"x"})"), true},
        BodyCase{"Multipart", "multipart/form-data; boundary=XyZ",
                 "--XyZ\r\nContent-Disposition: form-data; name=\"Parameter\"\r\n\r\n" + kt::base64(kClose) +
                     "\r\n--XyZ--\r\n",
                 true},
        BodyCase{"NoParameter", "application/x-www-form-urlencoded", "other=1", false},
        BodyCase{"ParameterInOtherCase", "application/x-www-form-urlencoded", "parameter=" + kt::base64(kClose),
                 false},
        BodyCase{"JsonContentType", "application/json", kClose, false},
        BodyCase{"CutJson", "application/x-www-form-urlencoded", kt::parameterBody(R"({"FunctionName":)"), false},
        BodyCase{"EmptyObject", "application/x-www-form-urlencoded", kt::parameterBody("{}"), false},
        BodyCase{"NotBase64", "application/x-www-form-urlencoded", "Parameter=%00%01%02***", false}),
    [](const ::testing::TestParamInfo<BodyCase>& info) { return std::string(info.param.name); });

// A "Parameter" field past the limit closes the connection instead of
// growing; the service goes on (TearDown checks every listener).
TEST_F(ServiceRequests, ParameterLargerThanTheLimitClosesTheConnection) {
  const std::string warning = "Parameter larger than the limit, connection closed: " +
                              std::to_string(KESTROVAN_PARAMETER_LIMIT / (1024 * 1024));
  size_t before = service_->count(warning);
  HttpRequest request;
  request.caFile = ca();
  // No "Expect: 100-continue": the whole body comes at once, as from a page.
  request.headers = {"Content-Type: application/x-www-form-urlencoded", "Origin: https://a.example", "Expect:"};
  request.body = "Parameter=" + std::string(KESTROVAN_PARAMETER_LIMIT + 1, 'A');
  HttpAnswer answer = kt::httpRequest(request);
  EXPECT_NE(answer.curlCode, 0);
  EXPECT_EQ(answer.status, 0);
  EXPECT_TRUE(service_->waitFor(warning, 10, before + 1))
      << service_->output().substr(service_->output().size() > 4000 ? service_->output().size() - 4000 : 0);
}

// Just below the limit the field is taken whole (it decodes to no map here,
// so no answer is sent, but nothing was cut off or refused).
TEST_F(ServiceRequests, ParameterJustBelowTheLimitIsRead) {
  size_t before = service_->count("Parameter larger than the limit");
  HttpRequest request;
  request.caFile = ca();
  request.headers = {"Content-Type: application/x-www-form-urlencoded", "Origin: https://a.example", "Expect:"};
  std::string padding(KESTROVAN_PARAMETER_LIMIT - 4096, 'A');
  request.body = "Parameter=" + padding;
  HttpAnswer answer = kt::httpRequest(request);
  EXPECT_EQ(answer.curlCode, 52);
  EXPECT_EQ(service_->count("Parameter larger than the limit"), before);
}

}  // namespace

namespace {

std::string formPost(const std::string& origin, const std::string& json, const std::string& connection) {
  std::string body = kt::parameterBody(json);
  return "POST / HTTP/1.1\r\nHost: 127.0.0.1:56459\r\nOrigin: " + origin +
         "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: " + connection + "\r\n\r\n" + body;
}

// The answers in a raw byte stream: status line and the
// Access-Control-Allow-Origin value of each.
std::vector<std::pair<std::string, std::string>> answersIn(const std::string& stream) {
  std::vector<std::pair<std::string, std::string>> out;
  for (size_t at = stream.find("HTTP/1.1 "); at != std::string::npos; at = stream.find("HTTP/1.1 ", at + 1)) {
    std::string status = stream.substr(at + 9, 3);
    size_t end = stream.find("\r\n\r\n", at);
    std::string head = stream.substr(at, end == std::string::npos ? std::string::npos : end - at);
    std::string origin;
    size_t allow = head.find("Access-Control-Allow-Origin: ");
    if (allow != std::string::npos)
      origin = head.substr(allow + 29, head.find("\r\n", allow) - allow - 29);
    out.emplace_back(status, origin);
  }
  return out;
}

// Requests on one connection, one after another in a single write: each is
// answered with its own origin, whatever the one before it carried.
TEST_F(ServiceRequests, PipelinedRequestsKeepTheirOwnOrigins) {
  std::string stream =
      "OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1:56459\r\nOrigin: https://first.example\r\n"
      "Access-Control-Request-Method: POST\r\nAccess-Control-Request-Private-Network: true\r\n\r\n" +
      formPost("https://second.example", kClose, "keep-alive") +
      formPost("https://third.example", kClose, "close");
  bool connected = false;
  std::string received = kt::rawTls(ca(), 56459, stream, 30, &connected);
  ASSERT_TRUE(connected);
  auto answers = answersIn(received);
  ASSERT_EQ(answers.size(), 3u) << received;
  EXPECT_EQ(answers[0], std::make_pair(std::string("204"), std::string("https://first.example")));
  EXPECT_EQ(answers[1], std::make_pair(std::string("200"), std::string("https://second.example")));
  EXPECT_EQ(answers[2], std::make_pair(std::string("200"), std::string("https://third.example")));
}

struct RawCase {
  const char* name;
  std::string bytes;
  const char* answer;  // text the 200 answer holds; null: no 200 answer
};

void PrintTo(const RawCase& c, std::ostream* out) {
  *out << c.name;
}

class ServiceRaw : public ServiceRequests, public ::testing::WithParamInterface<RawCase> {};

// Malformed HTTP over a good TLS connection: the library's refusal or a
// closed connection, never a crash; TearDown checks every listener after.
TEST_P(ServiceRaw, MalformedRequestsAreRefusedAndServingGoesOn) {
  bool connected = false;
  std::string received = kt::rawTls(ca(), 56459, GetParam().bytes, 10, &connected);
  ASSERT_TRUE(connected);
  auto answers = answersIn(received);
  if (GetParam().answer == nullptr) {
    EXPECT_TRUE(answers.empty() || answers[0].first != "200") << received;
  } else {
    ASSERT_FALSE(answers.empty()) << received;
    EXPECT_EQ(answers[0].first, "200");
    EXPECT_NE(received.find(GetParam().answer), std::string::npos) << received;
  }
}

std::string chunked(const std::string& body, const std::string& lastChunk) {
  std::string out =
      "POST / HTTP/1.1\r\nHost: 127.0.0.1:56459\r\nOrigin: https://a.example\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
  size_t half = body.size() / 2;
  char size[32];
  snprintf(size, sizeof(size), "%zx\r\n", half);
  out += size + body.substr(0, half) + "\r\n";
  snprintf(size, sizeof(size), "%zx\r\n", body.size() - half);
  out += size + body.substr(half) + "\r\n" + lastChunk;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, ServiceRaw,
    ::testing::Values(
        RawCase{"ChunkedBody", chunked(kt::parameterBody(kClose), "0\r\n\r\n"), "{\"SessionID\": \""},
        RawCase{"BadChunkSize", chunked(kt::parameterBody(kClose), "zz\r\n\r\n"), nullptr},
        RawCase{"GarbageRequestLine", std::string("\x01\x02 garbage\r\n\r\n", 14), nullptr},
        RawCase{"HeaderWithoutColon", "POST / HTTP/1.1\r\nHost 127.0.0.1:56459\r\nbroken\r\n\r\n", nullptr},
        RawCase{"HugeHeader", "POST / HTTP/1.1\r\nHost: 127.0.0.1:56459\r\nX-Big: " + std::string(200000, 'x') +
                                  "\r\n\r\n",
                nullptr},
        RawCase{"NulInOrigin",
                "POST / HTTP/1.1\r\nHost: 127.0.0.1:56459\r\nOrigin: https://a" + std::string(1, '\0') +
                    ".example\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                    std::to_string(kt::parameterBody(kClose).size()) + "\r\nConnection: close\r\n\r\n" +
                    kt::parameterBody(kClose),
                // The library ends a header value at a zero byte.
                "Access-Control-Allow-Origin: https://a\r\n"},
        RawCase{"Http10", "POST / HTTP/1.0\r\nHost: 127.0.0.1:56459\r\nOrigin: https://a.example\r\n"
                          "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                              std::to_string(kt::parameterBody(kClose).size()) + "\r\n\r\n" +
                              kt::parameterBody(kClose),
                "{\"SessionID\": \""}),
    [](const ::testing::TestParamInfo<RawCase>& info) { return std::string(info.param.name); });

}  // namespace
