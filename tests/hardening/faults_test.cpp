// SPDX-License-Identifier: Apache-2.0
// faults_test.cpp -- what goes wrong around a running service, and what it
// does about it: clients that vanish mid-body, fields and JSON far past any
// sensible size, adapters that cannot load, answer garbage or block, the
// certificate file and the copy folder taken away while serving, every port
// taken, and a stop signal in the middle of a main-thread call.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "hardening.h"
#include "service/intake.h"

namespace {

// Before gtest starts any thread: what these tests do to the shared copy
// folder stays inside this process's own /tmp.
const bool kPrivateTmp = kh::privateTmp();

using kt::HttpAnswer;

const char* const kClose = R"({"FunctionName":"KestrovanClose","SessionId":""})";

// One service with the table's adapter (the slow test adapter) and two
// more under Harden/: one that cannot load, one that answers garbage.
class Faults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    running_ = new kh::Running(KESTROVAN_TEST_ADAPTER, {{"Harden/Broken.so", KESTROVAN_BROKEN_ADAPTER},
                                                        {"Harden/Garbage.so", KESTROVAN_GARBAGE_ADAPTER}});
  }
  static void TearDownTestSuite() {
    kh::endShared(running_);
  }
  void SetUp() override {
    ASSERT_TRUE(running_->ok) << running_->service.output();
    // A request first, so that whatever the service sets up lazily is there.
    running_->post(kClose, "https://a.example");
    baseFds_ = kh::openFds(running_->service.pid());
  }
  void TearDown() override {
    // Every listener still serves, and nothing of the case is left open.
    for (const char* url : {"https://127.0.0.1:56459/", "https://[::1]:56459/", "https://127.0.0.1:56559/",
                            "https://[::1]:56559/", "https://127.0.0.1:56659/", "https://[::1]:56659/"}) {
      HttpAnswer answer = running_->post(kClose, "https://a.example", {"Host: localhost:56459"}, url);
      EXPECT_EQ(answer.status, 200) << url << " stopped answering (curl " << answer.curlCode << ")\n"
                                    << kh::tail(running_->service);
    }
    EXPECT_LE(kh::settleFds(running_->service.pid(), baseFds_), baseFds_) << "descriptors left open";
  }
  kt::HttpAnswer post(const std::string& json, const std::string& url = "https://127.0.0.1:56459/") {
    return running_->post(json, "https://a.example", {}, url);
  }
  std::string ca() { return running_->installation->caFile; }

  static kh::Running* running_;
  int baseFds_ = 0;
};

kh::Running* Faults::running_ = nullptr;

enum class Ending { kCloseNotify, kClose, kReset };

struct CutCase {
  const char* name;
  Ending ending;
  bool byteByByte;
};

void PrintTo(const CutCase& c, std::ostream* out) {
  *out << c.name;
}

class CutOff : public Faults, public ::testing::WithParamInterface<CutCase> {};

// Half the body, then the client goes away: nothing is dispatched, nothing
// stays open, the listener goes on.
TEST_P(CutOff, ClientGoneMidBodyIsForgotten) {
  const CutCase& c = GetParam();
  size_t before = running_->settledDispatches();
  std::string request = kh::rawPost(kh::echoJson(), {"Host: localhost:56459", "Origin: https://a.example"});
  std::string half = request.substr(0, request.size() - kt::parameterBody(kh::echoJson()).size() / 2);
  {
    kh::RawTls tls;
    ASSERT_TRUE(tls.connect(ca(), 56559));
    if (c.byteByByte) {
      for (char byte : half)
        ASSERT_TRUE(tls.send(std::string(1, byte)));
    } else {
      ASSERT_TRUE(tls.send(half));
    }
    usleep(200000);
    if (c.ending == Ending::kCloseNotify) {
      tls.closeNotify();
      EXPECT_EQ(tls.receive(20), "");
    } else if (c.ending == Ending::kClose) {
      tls.close();
    } else {
      tls.reset();
    }
  }
  EXPECT_EQ(running_->settledDispatches(), before);
}

INSTANTIATE_TEST_SUITE_P(Endings, CutOff,
                         ::testing::Values(CutCase{"ShutdownWithCloseNotify", Ending::kCloseNotify, false},
                                           CutCase{"Close", Ending::kClose, false},
                                           CutCase{"Reset", Ending::kReset, false},
                                           CutCase{"ByteByByteThenClose", Ending::kClose, true},
                                           CutCase{"ByteByByteThenReset", Ending::kReset, true}),
                         [](const ::testing::TestParamInfo<CutCase>& info) { return std::string(info.param.name); });

// A whole request sent one byte per TLS record is read whole and answered.
TEST_F(Faults, RequestSentByteByByteIsAnswered) {
  std::string request = kh::rawPost(kh::echoJson(), {"Host: localhost:56459", "Origin: https://a.example",
                                                     "Connection: close"});
  kh::RawTls tls;
  ASSERT_TRUE(tls.connect(ca(), 56459, true));
  for (char byte : request)
    ASSERT_TRUE(tls.send(std::string(1, byte)));
  std::string answer = tls.receive();
  ASSERT_NE(answer.find("HTTP/1.1 200"), std::string::npos) << answer;
  std::map<std::string, std::string> values;
  ASSERT_TRUE(kt::decodeAnswer(answer.substr(answer.find("\r\n\r\n") + 4), &values)) << answer;
  EXPECT_EQ(values["result"], "0");
  EXPECT_EQ(values["SessionID"].size(), 12u);
  post(R"({"FunctionName":"KestrovanClose","SessionId":")" + values["SessionID"] + "\"}");
}

// A client that claims a gigabyte and keeps sending is cut off at the
// limit: the service closes the connection long before the claim is met.
TEST_F(Faults, ParameterFarOverTheLimitIsCutOff) {
  const std::string warning = "Parameter larger than the limit, connection closed: " +
                              std::to_string(KESTROVAN_PARAMETER_LIMIT / (1024 * 1024));
  size_t before = running_->service.count(warning);
  kh::RawTls tls;
  ASSERT_TRUE(tls.connect(ca(), 56459));
  ASSERT_TRUE(tls.send("POST / HTTP/1.1\r\nHost: localhost:56459\r\nOrigin: https://a.example\r\n"
                       "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 1073741824\r\n\r\n"
                       "Parameter="));
  const std::string chunk((size_t)1 << 20, 'A');
  size_t sent = 0;
  while (sent < ((size_t)1 << 30) && tls.send(chunk))
    sent += chunk.size();
  EXPECT_LT(sent, (size_t)256 << 20) << "the service read far past its limit";
  EXPECT_GE(sent, KESTROVAN_PARAMETER_LIMIT - ((size_t)2 << 20));
  EXPECT_TRUE(running_->service.waitFor(warning, 20, before + 1));
}

// Three requests whose "Parameter" fields of 28 MiB each are in flight at
// once, on one listener: two fit in the budget of all requests, the third
// would pass it. That one is closed with one warning line; the
// other two, and a small request meanwhile, are answered. The big ones name
// no origin: they are decoded and made into maps, then answered 61012
// before any dispatch, whose trace would show all of their text.
static_assert(2 * ((size_t)28 << 20) <= KESTROVAN_BODY_BUDGET && 3 * ((size_t)28 << 20) > KESTROVAN_BODY_BUDGET &&
                  ((size_t)28 << 20) <= KESTROVAN_PARAMETER_LIMIT,
              "two fields of 28 MiB fit in the budget, three do not");

TEST_F(Faults, BodiesPastTheBudgetTogether) {
  const std::string warning = "Parameters of all requests over their budget, connection closed: " +
                              std::to_string(KESTROVAN_BODY_BUDGET / (1024 * 1024));
  size_t before = running_->service.count(warning);
  // Base64 makes 28 MiB of the 21 MiB JSON text.
  std::string json = kh::echoJson(",\"Data\":\"" + std::string((size_t)21 << 20, 'A') + "\"");
  std::string request = kh::rawPost(json, {"Host: localhost:56459", "Connection: close"});
  ASSERT_GT(request.size(), (size_t)28 << 20);
  // Each holds its last byte back, so that all three bodies stay in flight.
  const std::string head = request.substr(0, request.size() - 1);
  const std::string last = request.substr(request.size() - 1);
  kh::RawTls clients[3];
  bool sent[3];
  for (int i = 0; i < 3; i++) {
    ASSERT_TRUE(clients[i].connect(ca(), 56459)) << i;
    sent[i] = clients[i].send(head);
  }
  ASSERT_TRUE(running_->service.waitFor(warning, 30, before + 1)) << kh::tail(running_->service);
  // Others go on meanwhile.
  EXPECT_EQ(post(kClose, "https://127.0.0.1:56559/").status, 200);

  int answered = 0;
  int closed = 0;
  for (int i = 0; i < 3; i++) {
    std::string answer = sent[i] && clients[i].send(last) ? clients[i].receive(30) : "";
    if (answer.empty()) {
      closed++;
      continue;
    }
    EXPECT_NE(answer.find("HTTP/1.1 200"), std::string::npos) << i << ": " << answer.substr(0, 300);
    std::map<std::string, std::string> values;
    EXPECT_TRUE(kt::decodeAnswer(answer.substr(answer.find("\r\n\r\n") + 4), &values)) << answer.substr(0, 300);
    EXPECT_EQ(values["result"], "61012");
    answered++;
  }
  EXPECT_EQ(answered, 2) << kh::tail(running_->service, 3000);
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(running_->service.count(warning), before + 1);
}

// Two requests at the field limit ask for main-thread calls that hold the
// main thread (one runs, one pends behind it). Their bodies were read and
// made into maps before they began to wait, so they hold none of the budget:
// honest requests of 12 MiB each go through on every port meanwhile,
// without a single budget refusal.
TEST_F(Faults, WaitingRequestsHoldNoBodyBudget) {
  const std::string warning = "Parameters of all requests over their budget, connection closed: " +
                              std::to_string(KESTROVAN_BODY_BUDGET / (1024 * 1024));
  size_t refusedBefore = running_->service.count(warning);
  std::string session = kh::values(running_->post(kh::echoJson(), "https://a.example"))["SessionID"];
  ASSERT_EQ(session.size(), 12u);
  size_t startsBefore = running_->service.count("Start main thread");
  const std::string heartbeat = "No result from component yet send heartbeat";
  size_t heartbeatsBefore = running_->service.count(heartbeat);
  kh::RawTls big[2];
  for (int i = 0; i < 2; i++) {
    // 21 MiB of JSON text, 28 MiB once Base64: at the field limit.
    std::string json = R"({"KestrovanMainThread":true,"SessionId":")" + session + R"(","KestrovanCallId":"big-)" +
                       std::to_string(i) + R"(","FunctionName":"Hold","delay_ms":"8000","Data":")" +
                       std::string((size_t)21 << 20, 'A') + R"("})";
    ASSERT_TRUE(big[i].connect(ca(), 56459)) << i;
    ASSERT_TRUE(big[i].send(kh::rawPost(json, {"Host: localhost:56459", "Origin: https://a.example",
                                                "Connection: close"})))
        << i;
  }
  ASSERT_TRUE(running_->service.waitFor("Start main thread", 60, startsBefore + 2)) << kh::tail(running_->service);

  const std::string honest =
      R"({"FunctionName":"KestrovanClose","SessionId":"","Data":")" + std::string((size_t)9 << 20, 'B') + R"("})";
  // Three, one a port: few enough to be done before the big requests'
  // heartbeats even in a sanitizer build, and one alone would pass the
  // budget if the waiting requests still held theirs.
  for (const char* url : {"https://127.0.0.1:56459/", "https://[::1]:56559/", "https://127.0.0.1:56659/"}) {
    HttpAnswer answer = running_->post(honest, "https://a.example", {"Host: localhost:56459"}, url);
    EXPECT_EQ(answer.status, 200) << url << " (curl " << answer.curlCode << ")";
  }
  EXPECT_EQ(running_->service.count(heartbeat), heartbeatsBefore)
      << "the two big requests were still waiting when the honest ones were answered";
  EXPECT_EQ(running_->service.count(warning), refusedBefore) << kh::tail(running_->service);
  for (int i = 0; i < 2; i++) {
    std::string answer = big[i].receive(40);
    EXPECT_NE(answer.find("HTTP/1.1 200"), std::string::npos) << i << ": " << answer.substr(0, 300);
  }
}

struct JsonCase {
  const char* name;
  std::string json;
};

void PrintTo(const JsonCase& c, std::ostream* out) {
  *out << c.name;
}

std::string pairs(int count) {
  std::string json = R"({"FunctionName":"KestrovanClose","SessionId":"")";
  for (int i = 0; i < count - 2; i++)
    json += ",\"k" + std::to_string(i) + "\":\"v\"";
  return json + "}";
}

class JsonShapes : public Faults, public ::testing::WithParamInterface<JsonCase> {};

// Whatever the JSON, the answer is a proper map of this request's own (or no
// answer at all for text that is no object), and the service goes on.
TEST_P(JsonShapes, AnsweredOrRefusedNeverCrashed) {
  HttpAnswer answer = post(GetParam().json);
  if (answer.curlCode == 52)
    return;  // no object: the connection closes without an answer
  ASSERT_EQ(answer.curlCode, 0);
  EXPECT_EQ(answer.status, 200);
  std::map<std::string, std::string> values;
  EXPECT_TRUE(kt::decodeAnswer(answer.body, &values)) << answer.body.substr(0, 300);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, JsonShapes,
    ::testing::Values(JsonCase{"Pairs128", pairs(128)}, JsonCase{"Pairs129", pairs(129)},
                      JsonCase{"Pairs10000", pairs(10000)},
                      JsonCase{"NestedArrays100000", std::string(100000, '[') + std::string(100000, ']')},
                      JsonCase{"NestedObjects20000",
                               [] {
                                 std::string s;
                                 for (int i = 0; i < 20000; i++)
                                   s += "{\"a\":";
                                 return s + "1" + std::string(20000, '}');
                               }()},
                      JsonCase{"UnclosedNesting", std::string(100000, '{')},
                      JsonCase{"KeyOfAMegabyte", "{\"" + std::string(1 << 20, 'k') + "\":\"v\",\"SessionId\":\"\"}"},
                      JsonCase{"ValueOfAMegabyte",
                               R"({"FunctionName":"KestrovanClose","SessionId":"","v":")" +
                                   std::string(1 << 20, 'v') + "\"}"},
                      JsonCase{"EscapesOnly", R"({"FunctionName":")" + std::string(30000, '\\') + "\"}"}),
    [](const ::testing::TestParamInfo<JsonCase>& info) { return std::string(info.param.name); });

// An adapter whose loading fails inside the dynamic loader (its relocations
// name a symbol nothing defines) is answered 61902; no copy is left behind.
TEST_F(Faults, AdapterThatCannotLoadIsAnswered61902) {
  HttpAnswer answer =
      post(R"({"FunctionName":"KestrovanEcho","SessionId":"","PathID":"0","LibDir":"Harden","ComName":"Broken"})");
  EXPECT_EQ(kh::result(answer), "61902") << answer.body;
  // The console reaches the test a little after the answer.
  EXPECT_TRUE(running_->service.waitFor("undefined symbol: kestrovanHardenNowhere", 20)) << kh::tail(running_->service);
  std::string listing;
  kt::runProgram({"ls", running_->installation->copyFolder}, "", &listing);
  EXPECT_EQ(listing.find("Broken-"), std::string::npos) << listing;
}

// Bytes no page expects come back to the page intact, inside the one
// "result" value; nothing of them turns into keys of the answer.
TEST_F(Faults, GarbageFromAnAdapterStaysInsideItsValue) {
  HttpAnswer opened = post(
      R"({"FunctionName":"KestrovanEcho","SessionId":"","PathID":"0","LibDir":"Harden","ComName":"Garbage",)"
      R"("minServerVersion":"3.0.23.0721"})");
  std::string session = kh::values(opened)["SessionID"];
  ASSERT_EQ(session.size(), 12u) << opened.body;
  std::string every;
  for (int round = 0; round < 2; round++)
    for (int c = 1; c < 256; c++)
      every += (char)c;
  struct {
    const char* kind;
    std::string expected;
  } kinds[] = {{"Bytes", every},
               {"Long", ""},
               {"Json", "\", \"result\": \"MA==\", \"SessionID\": \"QUFBQUFBQUFfU0lE\"}"}};
  for (const auto& k : kinds) {
    HttpAnswer answer = post(R"({"FunctionName":"Anything","kind":")" + std::string(k.kind) +
                             R"(","SessionId":")" + session + "\"}");
    std::map<std::string, std::string> values;
    std::vector<std::string> keys;
    ASSERT_TRUE(kt::decodeAnswer(answer.body, &values, &keys)) << k.kind << ": " << answer.body.substr(0, 300);
    EXPECT_EQ(keys, std::vector<std::string>{"result"}) << k.kind;
    if (std::string(k.kind) == "Long")
      EXPECT_EQ(values["result"].size(), 16383u);
    else
      EXPECT_EQ(values["result"], k.expected) << k.kind;
  }
  EXPECT_EQ(post(R"({"FunctionName":"KestrovanClose","SessionId":")" + session + "\"}").body, "{}");
}

// While one page's adapter call blocks on one listener, the other listeners
// keep accepting and answering: TLS, preflights and refusals go on at once,
// and another page's request opens its own session and gets its own answer.
TEST_F(Faults, BlockingAdapterLeavesTheOtherListenersServing) {
  HttpAnswer opened = post(kh::echoJson());
  std::string session = kh::values(opened)["SessionID"];
  ASSERT_EQ(session.size(), 12u);
  std::atomic<bool> blockDone{false};
  std::future<HttpAnswer> blocked = std::async(std::launch::async, [&] {
    HttpAnswer answer = post(R"({"FunctionName":"Block","delay_ms":"8000","SessionId":")" + session + "\"}");
    blockDone = true;
    return answer;
  });
  ASSERT_TRUE(running_->service.waitFor("Block", 20));
  usleep(300000);

  kt::HttpRequest preflight;
  preflight.url = "https://[::1]:56559/";
  preflight.method = "OPTIONS";
  preflight.caFile = ca();
  preflight.headers = {"Origin: https://b.example", "Access-Control-Request-Method: POST",
                       "Access-Control-Request-Private-Network: true"};
  HttpAnswer granted = kt::httpRequest(preflight);
  EXPECT_EQ(granted.status, 204);
  HttpAnswer refused = running_->post(kClose, "https://b.example", {"Host: evil.test:56659"}, "https://127.0.0.1:56659/");
  EXPECT_EQ(kh::result(refused), "61904");
  EXPECT_FALSE(blockDone.load()) << "the other listeners answered only after the blocked call";

  HttpAnswer waited =
      running_->post(kh::echoJson(), "https://b.example", {"Host: localhost:56659"}, "https://[::1]:56659/");
  std::string other = kh::values(waited)["SessionID"];
  EXPECT_EQ(other.size(), 12u) << waited.curlCode << " " << waited.body << kh::tail(running_->service);
  EXPECT_NE(other, session);
  HttpAnswer block = blocked.get();
  EXPECT_EQ(kh::result(block), "ok:Block");
  post(R"({"FunctionName":"KestrovanClose","SessionId":")" + session + "\"}");
  post(R"({"FunctionName":"KestrovanClose","SessionId":")" + other + "\"}");
}

// ---- faults that need a service of their own ----

class OwnService : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = std::make_unique<kt::TempFolder>();
    setenv("KESTROVAN_TEST_ADAPTER_LOG", (log_->path + "/calls").c_str(), 1);
  }
  void TearDown() override { unsetenv("KESTROVAN_TEST_ADAPTER_LOG"); }
  std::string calls() {
    std::string text;
    kt::readFile(log_->path + "/calls", &text);
    return text;
  }
  std::unique_ptr<kt::TempFolder> log_;
};

// The certificate is read once at start: taking the file away or spoiling it
// changes nothing for the running service; the next start says why it
// cannot serve.
TEST_F(OwnService, CertificateRemovedOrReplacedWhileServing) {
  kh::Running running;
  ASSERT_TRUE(running.ok);
  std::string certificate;
  ASSERT_TRUE(kt::readFile(running.installation->certFile, &certificate));
  ASSERT_EQ(unlink(running.installation->certFile.c_str()), 0);
  EXPECT_EQ(running.post(kClose, "https://a.example").status, 200);
  ASSERT_TRUE(kt::writeFile(running.installation->certFile, "-----BEGIN CERTIFICATE-----\ngarbage\n"));
  EXPECT_EQ(running.post(kClose, "https://a.example", {}, "https://[::1]:56659/").status, 200);
  EXPECT_EQ(running.service.stop(), 0);

  kt::ServiceProcess again;
  ASSERT_TRUE(again.start(running.installation->exe, running.installation->home));
  int status = again.waitExit(60);
  EXPECT_TRUE(status == 1 || status == 2) << status << "\n" << again.output();
  EXPECT_EQ(again.output().find("initialization: Success"), std::string::npos) << again.output();

  ASSERT_EQ(unlink(running.installation->certFile.c_str()), 0);
  kt::ServiceProcess none;
  ASSERT_TRUE(none.start(running.installation->exe, running.installation->home));
  EXPECT_EQ(none.waitExit(60), 2) << none.output();
  EXPECT_NE(none.output().find("getCert: Failed"), std::string::npos) << none.output();
}

// The copy folder deleted under a running service: open sessions go on, new
// ones load the installed file, and release copes with the missing copy.
TEST_F(OwnService, CopyFolderDeletedWhileServing) {
  RecordProperty("private_tmp", kPrivateTmp ? "yes" : "no");
  kh::Running running;
  ASSERT_TRUE(running.ok);
  std::string first = kh::values(running.post(kh::echoJson(), "https://a.example"))["SessionID"];
  ASSERT_EQ(first.size(), 12u);
  const std::string copyFolder = running.installation->copyFolder;
  ASSERT_EQ(kt::runProgram({"rm", "-rf", copyFolder}, "", nullptr), 0);
  EXPECT_EQ(kh::result(running.post(R"({"FunctionName":"Go","SessionId":")" + first + "\"}", "https://a.example")),
            "ok:Go");
  HttpAnswer second = running.post(kh::echoJson(), "https://b.example");
  EXPECT_EQ(kh::result(second), "0") << second.body;
  std::string secondId = kh::values(second)["SessionID"];
  EXPECT_EQ(kh::result(running.post(R"({"FunctionName":"Go","SessionId":")" + secondId + "\"}", "https://b.example")),
            "ok:Go");
  EXPECT_EQ(running.post(R"({"FunctionName":"KestrovanClose","SessionId":")" + first + "\"}", "https://a.example").body,
            "{}");
  EXPECT_EQ(
      running.post(R"({"FunctionName":"KestrovanClose","SessionId":")" + secondId + "\"}", "https://b.example").body,
      "{}");
  EXPECT_EQ(running.service.stop(), 0);
  std::string output = running.service.output();
  EXPECT_NE(output.find("Copy folder is not private, load the installed adapter: " + copyFolder), std::string::npos)
      << output;
  EXPECT_NE(output.find("Delete adapter state: Skip installed adapter"), std::string::npos);
  // Both copies of the adapter were told they were released.
  std::string log = calls();
  size_t releases = 0;
  for (size_t at = log.find("enter\tKestrovan_Release"); at != std::string::npos;
       at = log.find("enter\tKestrovan_Release", at + 1))
    releases++;
  EXPECT_EQ(releases, 2u) << log;
}

int listenOn(bool ipv6, unsigned short port) {
  int fd = kt::bindLoopback(ipv6, port);
  if (fd >= 0 && listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Every address taken: the service says so and ends with status 1. With one
// address left it starts and serves there.
TEST_F(OwnService, EveryPortTaken) {
  kt::Installation installation(KESTROVAN_SERVICE_EXE, KESTROVAN_TEST_ADAPTER);
  ASSERT_TRUE(installation.ok);
  ASSERT_TRUE(kt::waitForFreePorts(120));
  std::vector<int> taken;
  for (unsigned short port : kt::kPorts)
    for (bool ipv6 : {false, true}) {
      int fd = listenOn(ipv6, port);
      ASSERT_GE(fd, 0) << port;
      taken.push_back(fd);
    }
  {
    kt::ServiceProcess service;
    ASSERT_TRUE(service.start(installation.exe, installation.home, false));
    EXPECT_EQ(service.waitExit(60), 1) << service.output();
    std::string output = service.output();
    EXPECT_EQ(output.find("launch state: Success"), std::string::npos) << output;
    EXPECT_NE(output.find("NORTAKestrovan at [::1]:56659 launch state: Fail"), std::string::npos) << output;
    EXPECT_NE(output.find("NORTAKestrovan initialization: Failed"), std::string::npos) << output;
    // Each address is named with its holder: this test, of the service's user.
    EXPECT_EQ(service.count("Port held by this user: "), 6u) << output;
    EXPECT_NE(output.find("Port held by this user: [::1]:56659 uid " + std::to_string(geteuid())),
              std::string::npos)
        << output;
  }
  close(taken.back());  // [::1]:56659
  taken.pop_back();
  {
    kt::ServiceProcess service;
    ASSERT_TRUE(service.start(installation.exe, installation.home, false));
    ASSERT_TRUE(service.waitFor("NORTAKestrovan initialization: Success", 60)) << service.output();
    HttpAnswer answer = kt::post(installation.caFile, kClose, "https://a.example", {"Host: localhost:56659"},
                                 "https://[::1]:56659/");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(service.count("launch state: Success"), 1u);
    EXPECT_EQ(service.stop(), 0);
  }
  for (int fd : taken)
    close(fd);
}

// A stop signal while the main thread runs a page's call: the call ends,
// every adapter is told it is released and unloaded, the copies are gone,
// and the service exits 0.
TEST_F(OwnService, StopSignalDuringAMainThreadCall) {
  kh::Running running;
  ASSERT_TRUE(running.ok);
  std::string session = kh::values(running.post(kh::echoJson(), "https://a.example"))["SessionID"];
  ASSERT_EQ(session.size(), 12u);
  std::string other = kh::values(running.post(kh::echoJson(), "https://b.example"))["SessionID"];
  ASSERT_EQ(other.size(), 12u);
  std::future<HttpAnswer> call = std::async(std::launch::async, [&] {
    return running.post(
        R"({"FunctionName":"Long","delay_ms":"4000","KestrovanMainThread":true,"SessionId":")" + session + "\"}",
        "https://a.example");
  });
  ASSERT_TRUE(running.service.waitFor("Main thread mode call start", 30)) << running.service.output();
  kill(running.service.pid(), SIGTERM);
  EXPECT_EQ(running.service.waitExit(60), 0) << kh::tail(running.service);
  HttpAnswer answer = call.get();
  std::string output = running.service.output();
  EXPECT_NE(output.find("Stop signal: Terminated"), std::string::npos) << output;
  EXPECT_NE(output.find("Release adapters success"), std::string::npos);
  EXPECT_NE(output.find("NORTAKestrovan terminated."), std::string::npos);
  // The call ran to its end before any adapter was released.
  std::string log = calls();
  size_t left = log.find("leave\tLong");
  size_t released = log.find("enter\tKestrovan_Release");
  EXPECT_NE(left, std::string::npos) << log;
  EXPECT_NE(released, std::string::npos) << log;
  EXPECT_LT(left, released) << log;
  for (const std::string& id : {session, other}) {
    EXPECT_NE(log.find("HelmPKICryptAdapter-" + id + ".so\tenter\tKestrovan_Release"), std::string::npos) << log;
    EXPECT_NE(access((running.installation->copyFolder + "/HelmPKICryptAdapter-" + id + ".so").c_str(), F_OK), 0)
        << id;
  }
  // The waiting page got an answer or a closed connection, never a hang.
  EXPECT_TRUE(answer.curlCode == 0 || answer.curlCode == 52 || answer.curlCode == 56) << answer.curlCode;
}

// A run that ends without releasing its sessions (killed) leaves its copies
// in the copy folder. The next start removes them: only this user's regular
// files named like a session copy; anything else in the folder stays.
TEST_F(OwnService, CopiesLeftByACrashAreRemovedAtStart) {
  kh::Running running;
  ASSERT_TRUE(running.ok);
  std::string session = kh::values(running.post(kh::echoJson(), "https://a.example"))["SessionID"];
  ASSERT_EQ(session.size(), 12u);
  const std::string folder = running.installation->copyFolder;
  const std::string copy = "HelmPKICryptAdapter-" + session + ".so";
  ASSERT_EQ(access((folder + "/" + copy).c_str(), F_OK), 0);
  kill(running.service.pid(), SIGKILL);
  EXPECT_EQ(running.service.waitExit(60), -1);
  ASSERT_EQ(access((folder + "/" + copy).c_str(), F_OK), 0) << "the killed run took its copy away";

  std::vector<std::string> kept = {"notes.txt", "HelmPKICryptAdapter.so", "HelmPKICryptAdapter-lower000_SID.so"};
  for (const std::string& name : kept)
    ASSERT_TRUE(kt::writeFile(folder + "/" + name, "not a copy"));
  const std::string link = "Link-ABCDEFGH_SID.so";
  ASSERT_EQ(symlink((running.installation->home + "/NORTAKestrovan/data.dat").c_str(), (folder + "/" + link).c_str()),
            0);
  kept.push_back(link);
  if (geteuid() == 0) {
    const std::string foreign = "Foreign-ABCDEFGH_SID.so";
    ASSERT_TRUE(kt::writeFile(folder + "/" + foreign, "another owner's"));
    ASSERT_EQ(chown((folder + "/" + foreign).c_str(), 65534, 65534), 0);
    kept.push_back(foreign);
  }

  kt::ServiceProcess again;
  ASSERT_TRUE(again.start(running.installation->exe, running.installation->home));
  ASSERT_TRUE(again.waitFor("NORTAKestrovan initialization: Success", 60)) << again.output();
  EXPECT_NE(again.output().find("Adapter copy left behind, removed: " + copy), std::string::npos) << again.output();
  EXPECT_EQ(again.count("Adapter copy left behind, removed: "), 1u) << again.output();
  EXPECT_NE(access((folder + "/" + copy).c_str(), F_OK), 0);
  for (const std::string& name : kept)
    EXPECT_EQ(faccessat(AT_FDCWD, (folder + "/" + name).c_str(), F_OK, AT_SYMLINK_NOFOLLOW), 0) << name;
  // The certificate the link names is untouched, and the service serves.
  EXPECT_EQ(access(running.installation->certFile.c_str(), F_OK), 0);
  EXPECT_EQ(kh::result(running.post(kh::echoJson(), "https://a.example")), "0");
  EXPECT_EQ(again.stop(), 0);
}

}  // namespace
