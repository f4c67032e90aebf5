// SPDX-License-Identifier: Apache-2.0
// isolation_test.cpp -- pages kept apart by the real binary: a page's call
// that does not return (on a listener thread or on the main thread) leaves
// every other page served, a refused opening leaves a full session table as
// it was, and a stop signal ends the service within a bound while a call is
// stuck for ever.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "harness.h"

namespace {

using kt::HttpAnswer;

const char* const kPathId = "7E41A0C2D95B4F3E8A61C07B2D9F54E1";

// The listeners other than 127.0.0.1:56459, where page A's call is held,
// with the Host header a page's browser would send there.
struct Listener {
  const char* url;
  const char* host;
};
const Listener kOtherListeners[] = {
    {"https://[::1]:56459/", "localhost:56459"},     {"https://127.0.0.1:56559/", "127.0.0.1:56559"},
    {"https://[::1]:56559/", "localhost:56559"},     {"https://127.0.0.1:56659/", "127.0.0.1:56659"},
    {"https://[::1]:56659/", "localhost:56659"},
};

// A page's keep-alive connection to one listener: one libcurl handle whose
// connection is reused from request to request, as a browser does.
class KeepAlive {
 public:
  KeepAlive(const std::string& caFile, const Listener& listener) : listener_(listener) {
    curl_ = curl_easy_init();
    curl_easy_setopt(curl_, CURLOPT_URL, listener.url);
    curl_easy_setopt(curl_, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, onBody);
  }
  ~KeepAlive() { curl_easy_cleanup(curl_); }
  KeepAlive(const KeepAlive&) = delete;
  KeepAlive& operator=(const KeepAlive&) = delete;

  HttpAnswer post(const std::string& json, const std::string& origin) {
    HttpAnswer answer;
    std::string body = kt::parameterBody(json);
    struct curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, (std::string("Host: ") + listener_.host).c_str());
    headers = curl_slist_append(headers, "Content-Type: application/x-www-form-urlencoded");
    headers = curl_slist_append(headers, ("Origin: " + origin).c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)body.size());
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer.body);
    answer.curlCode = (int)curl_easy_perform(curl_);
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &answer.status);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    return answer;
  }

 private:
  static size_t onBody(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
  }
  Listener listener_;
  CURL* curl_ = nullptr;
};

class ServiceIsolation : public ::testing::Test {
 protected:
  void SetUp() override {
    installation_ = std::make_unique<kt::Installation>(KESTROVAN_SERVICE_EXE, KESTROVAN_TEST_ADAPTER);
    ASSERT_TRUE(installation_->ok);
    log_ = scratch_.path + "/calls";
    gate_ = scratch_.path + "/gate";
  }
  void TearDown() override {
    if (started_)
      service_.stop();
  }
  void start(std::vector<std::string> environment = {}) {
    environment.push_back("KESTROVAN_TEST_ADAPTER_LOG=" + log_);
    ASSERT_TRUE(service_.start(installation_->exe, installation_->home, true, environment));
    started_ = true;
    ASSERT_TRUE(service_.waitFor("NORTAKestrovan initialization: Success", 60)) << service_.output();
  }

  HttpAnswer post(const std::string& json, const std::string& origin, const Listener& listener = {
                                                                           "https://127.0.0.1:56459/",
                                                                           "127.0.0.1:56459"}) {
    return kt::post(installation_->caFile, json, origin, {std::string("Host: ") + listener.host}, listener.url);
  }
  // The same with a long client deadline, for a call the test holds.
  HttpAnswer postHeld(const std::string& json, const std::string& origin) {
    kt::HttpRequest request;
    request.caFile = installation_->caFile;
    request.body = kt::parameterBody(json);
    request.headers = {"Host: 127.0.0.1:56459", "Content-Type: application/x-www-form-urlencoded",
                       "Origin: " + origin};
    request.timeoutSeconds = 600;
    return kt::httpRequest(request);
  }
  static std::map<std::string, std::string> values(const HttpAnswer& answer) {
    std::map<std::string, std::string> out;
    kt::decodeAnswer(answer.body, &out);
    return out;
  }
  static std::string openJson(const std::string& function = "KestrovanEcho") {
    return std::string(R"({"FunctionName":")") + function + R"(","SessionId":"","PathID":")" + kPathId +
           R"(","minServerVersion":"3.0.23.0721","minLibVersion":""})";
  }
  static std::string callJson(const std::string& session, const std::string& function,
                              const std::string& extra = "") {
    return std::string(R"({"FunctionName":")") + function + R"(","SessionId":")" + session + "\"" + extra + "}";
  }
  std::string openSession(const std::string& origin, const Listener& listener = {"https://127.0.0.1:56459/",
                                                                                 "127.0.0.1:56459"}) {
    return values(post(openJson(), origin, listener))["SessionID"];
  }
  std::string calls() {
    std::string text;
    kt::readFile(log_, &text);
    return text;
  }
  // Waits (a hang guard, not a timing) until the adapter entered function.
  bool waitEntered(const std::string& function, int seconds = 60) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (calls().find("\tenter\t" + function) == std::string::npos) {
      if (std::chrono::steady_clock::now() > limit)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  static std::string copyOf(const std::string& session) { return "HelmPKICryptAdapter-" + session + ".so"; }

  kt::TempFolder scratch_;
  std::string log_;
  std::string gate_;
  std::unique_ptr<kt::Installation> installation_;
  kt::ServiceProcess service_;
  bool started_ = false;
};

// ---- a call that does not return ----

struct HeldCase {
  const char* name;
  bool mainThread;  // held on the main thread instead of its listener's thread
};

class HeldCall : public ServiceIsolation, public ::testing::WithParamInterface<HeldCase> {};

// Page A's call is held inside the adapter until the test lets it go.
// Meanwhile page B opens, calls and closes 200 times on the other
// listeners, and preflights there are answered: every answer arrives and
// is right, and A's call is still inside when B is done.
TEST_P(HeldCall, OtherPagesAreServedMeanwhile) {
  start();
  const std::string pageA = "https://a.example";
  const std::string pageB = "https://b.example";
  std::string a = openSession(pageA);
  ASSERT_EQ(a.size(), 12u) << service_.output();
  std::string marker = GetParam().mainThread ? R"(,"KestrovanMainThread":true)" : "";
  std::atomic<bool> aAnswered{false};
  std::future<HttpAnswer> held = std::async(std::launch::async, [&] {
    HttpAnswer answer =
        postHeld(callJson(a, "Block", R"(,"until_file":")" + gate_ + R"(","block_ms":"300000")" + marker), pageA);
    aAnswered = true;
    return answer;
  });
  ASSERT_TRUE(waitEntered("Block")) << service_.output();
  if (GetParam().mainThread) {
    ASSERT_TRUE(service_.waitFor("Main thread mode call start", 30)) << service_.output();
  }

  // Page B keeps a connection to each of the other listeners.
  std::vector<std::unique_ptr<KeepAlive>> pageBConnections;
  for (const Listener& listener : kOtherListeners)
    pageBConnections.push_back(std::make_unique<KeepAlive>(installation_->caFile, listener));
  int failures = 0;
  for (int round = 0; round < 200; round++) {
    HttpAnswer opened = pageBConnections[round % 5]->post(openJson("Work"), pageB);
    std::map<std::string, std::string> answer = values(opened);
    std::string b = answer["SessionID"];
    bool ok = opened.status == 200 && answer["result"] == "ok:Work" && b.size() == 12;
    ok = ok && values(pageBConnections[(round + 1) % 5]->post(callJson(b, "Sign"), pageB))["result"] == "ok:Sign";
    HttpAnswer closed = pageBConnections[(round + 2) % 5]->post(callJson(b, "KestrovanClose"), pageB);
    ok = ok && closed.status == 200 && closed.body == "{}";
    if (!ok && ++failures <= 3)
      ADD_FAILURE() << "round " << round << ": " << opened.curlCode << " " << opened.body;
  }
  EXPECT_EQ(failures, 0);
  for (const Listener& listener : kOtherListeners) {
    kt::HttpRequest preflight;
    preflight.url = listener.url;
    preflight.method = "OPTIONS";
    preflight.caFile = installation_->caFile;
    preflight.headers = {std::string("Host: ") + listener.host, "Origin: " + pageB,
                         "Access-Control-Request-Method: POST", "Access-Control-Request-Private-Network: true"};
    HttpAnswer granted = kt::httpRequest(preflight);
    EXPECT_EQ(granted.status, 204) << listener.url;
    EXPECT_EQ(granted.get("Access-Control-Allow-Private-Network"), "true") << listener.url;
  }
  // A's call is still inside: everything above happened while it was held.
  EXPECT_EQ(calls().find("\tleave\tBlock"), std::string::npos);
  if (!GetParam().mainThread) {
    EXPECT_FALSE(aAnswered.load());
  }

  ASSERT_TRUE(kt::writeFile(gate_, "go"));
  HttpAnswer first = held.get();
  if (!GetParam().mainThread) {
    EXPECT_EQ(values(first)["result"], "ok:Block") << first.body;
  } else {
    ASSERT_TRUE(service_.waitFor("Main thread mode call finish", 60)) << service_.output();
    std::string result = values(first)["result"];
    if (result == "heartbeat")
      result = values(post(callJson(a, "Block", marker), pageA))["result"];
    EXPECT_EQ(result, "ok:Block");
  }
  EXPECT_NE(calls().find("\tleave\tBlock"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Threads, HeldCall,
                         ::testing::Values(HeldCase{"OnItsListenerThread", false}, HeldCase{"OnTheMainThread", true}),
                         [](const ::testing::TestParamInfo<HeldCase>& info) { return std::string(info.param.name); });

// ---- a refused opening ----

// With all 32 sessions open, an opening the adapter refuses for its origin
// evicts nobody: every identifier still answers, and only an opening that
// succeeds then takes the oldest session's place.
TEST_F(ServiceIsolation, RefusedOriginWithAFullTableChangesNothing) {
  const std::string refused = "https://refused.example";
  start({"KESTROVAN_TEST_REFUSE_ORIGIN=" + refused});
  std::vector<std::string> sessions;
  for (int i = 0; i < 32; i++) {
    sessions.push_back(openSession("https://ok.example"));
    ASSERT_EQ(sessions.back().size(), 12u) << i;
  }
  HttpAnswer answer = post(openJson("Sign"), refused);
  std::map<std::string, std::string> refusal = values(answer);
  EXPECT_EQ(refusal["result"], "71016") << answer.body;
  EXPECT_EQ(refusal.size(), 1u) << answer.body;
  for (size_t i = 0; i < sessions.size(); i++)
    EXPECT_EQ(values(post(callJson(sessions[i], "Ping"), "https://ok.example"))["result"], "ok:Ping") << i;
  EXPECT_EQ(service_.count("Kestrovan slot is full"), 0u) << service_.output();
  EXPECT_EQ(calls().find(copyOf(sessions[0]) + "\tenter\tKestrovan_Release"), std::string::npos);

  std::string newcomer = openSession("https://ok.example");
  ASSERT_EQ(newcomer.size(), 12u);
  EXPECT_EQ(values(post(callJson(sessions[0], "Ping"), "https://ok.example"))["result"], "61001");
  EXPECT_EQ(values(post(callJson(sessions[1], "Ping"), "https://ok.example"))["result"], "ok:Ping");
}

// ---- a stop signal while a call is stuck for ever ----

class StuckCall : public ServiceIsolation, public ::testing::WithParamInterface<HeldCase> {};

// The service ends within a bound with status 0: its listeners stop
// accepting at once, the adapter not in a call is released, the stuck call
// is named in a warning line, and the end lines are printed in order.
TEST_P(StuckCall, StopSignalEndsTheServiceWithinABound) {
  start();
  std::string a = openSession("https://a.example");
  std::string b = openSession("https://b.example");
  ASSERT_EQ(a.size(), 12u);
  ASSERT_EQ(b.size(), 12u);
  std::string marker = GetParam().mainThread ? R"(,"KestrovanMainThread":true)" : "";
  std::future<HttpAnswer> stuck = std::async(std::launch::async, [&] {
    return postHeld(callJson(a, "Block", R"(,"until_file":")" + gate_ + "-never\"" + marker), "https://a.example");
  });
  ASSERT_TRUE(waitEntered("Block")) << service_.output();

  ASSERT_EQ(kill(service_.pid(), SIGTERM), 0);
  ASSERT_TRUE(service_.waitFor("Stop signal: Terminated", 10)) << service_.output();
  // Not accepting any more, while the service still waits for the call.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(56559);
  int connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  int error = errno;
  close(fd);
  EXPECT_EQ(connected, -1);
  EXPECT_EQ(error, ECONNREFUSED);

  // A hang guard: the bound is a few seconds.
  EXPECT_EQ(service_.waitExit(15), 0) << service_.output();
  started_ = false;
  std::string output = service_.output();
  EXPECT_NE(output.find("Adapter call left running: HelmPKICryptAdapter Block"), std::string::npos) << output;
  size_t previous = output.find("[KestrovanFinal] Release adapters success");
  EXPECT_NE(previous, std::string::npos) << output;
  previous = output.find("[KestrovanFinal] Ready to suicide", previous);
  EXPECT_NE(previous, std::string::npos) << output;
  for (unsigned short port : kt::kPorts) {
    size_t at = output.find("Releasing port: " + std::to_string(port), previous);
    EXPECT_NE(at, std::string::npos) << port << "\n" << output;
    previous = at;
  }
  EXPECT_NE(output.find("NORTAKestrovan terminated.", previous), std::string::npos) << output;
  EXPECT_EQ(service_.count("Releasing port: "), 3u) << output;
  EXPECT_EQ(service_.count("NORTAKestrovan terminated."), 1u) << output;

  std::string log = calls();
  EXPECT_NE(log.find(copyOf(b) + "\tenter\tKestrovan_Release"), std::string::npos) << log;
  EXPECT_EQ(log.find(copyOf(a) + "\tenter\tKestrovan_Release"), std::string::npos) << log;
  HttpAnswer answer = stuck.get();
  EXPECT_NE(answer.curlCode, 28) << "the page's request ends with the service, it does not time out";
}

INSTANTIATE_TEST_SUITE_P(Threads, StuckCall,
                         ::testing::Values(HeldCase{"OnItsListenerThread", false}, HeldCase{"OnTheMainThread", true}),
                         [](const ::testing::TestParamInfo<HeldCase>& info) { return std::string(info.param.name); });

}  // namespace
