// SPDX-License-Identifier: Apache-2.0
// connections_test.cpp -- connections cannot wear the service out: a flood
// of idle sockets and clients trickling a byte a second leave pages served
// on every port and end without a descriptor left; an idle keep-alive
// connection is closed after the advertised timeout, a call that takes
// longer than it is still answered; and descriptors above 1,023 do not
// break a listener.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <future>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hardening.h"
#include "service/listener.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kAddresses[] = {"https://127.0.0.1:56459/", "https://[::1]:56459/", "https://127.0.0.1:56559/",
                                  "https://[::1]:56559/",     "https://127.0.0.1:56659/", "https://[::1]:56659/"};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The flood needs more descriptors than a test process gets by default.
bool raiseOwnDescriptorLimit(rlim_t wanted) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < wanted)
    return false;
  limit.rlim_cur = limit.rlim_max;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// True once the service ended a plain connection that sent nothing.
bool cutByService(int fd) {
  char byte;
  ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Connections waiting in the service's listen queues, not yet accepted
// (the receive queue of a listening socket, in /proc/net/tcp and tcp6).
int notYetAccepted() {
  int waiting = 0;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::string text;
    if (!kt::readFile(table, &text))
      continue;
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues;
      fields >> slot >> local >> remote >> state >> queues;
      unsigned port = (unsigned)strtoul(local.substr(local.find(':') + 1).c_str(), nullptr, 16);
      bool service = port == kt::kPorts[0] || port == kt::kPorts[1] || port == kt::kPorts[2];
      if (state == "0A" && service && queues.find(':') != std::string::npos)
        waiting += (int)strtol(queues.substr(queues.find(':') + 1).c_str(), nullptr, 16);
    }
  }
  return waiting;
}

// The lowest descriptor number the process does not use.
int lowestFreeFd(pid_t pid) {
  std::set<int> used;
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr)
    return -1;
  while (struct dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.')
      used.insert(atoi(entry->d_name));
  closedir(dir);
  int lowest = 0;
  while (used.count(lowest) != 0)
    lowest++;
  return lowest;
}

// One service for all cases: the table's adapter, and Harden/Hoard.so.
class Connections : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);
    ownLimitRaised_ = raiseOwnDescriptorLimit(4096);
    running_ = new kh::Running(KESTROVAN_TEST_ADAPTER, {{"Harden/Hoard.so", KESTROVAN_HOARD_ADAPTER}});
  }
  static void TearDownTestSuite() {
    kh::endShared(running_);
  }
  void SetUp() override {
    ASSERT_TRUE(running_->ok) << running_->service.output();
    // A request first, so that whatever the service sets up lazily is there.
    pageCall(kAddresses[0]);
    baseFds_ = kh::openFds(running_->service.pid());
  }
  void TearDown() override {
    EXPECT_LE(kh::settleFds(running_->service.pid(), baseFds_, 40), baseFds_) << "descriptors left open";
  }

  std::string ca() { return running_->installation->caFile; }

  // A page's call: opens a session on the adapter at url and closes it.
  // Returns the failure, or "" when both were answered.
  std::string pageCall(const std::string& url) {
    kt::HttpAnswer opened = running_->post(kh::echoJson(), "https://a.example", {"Host: localhost:56459"}, url);
    std::map<std::string, std::string> values = kh::values(opened);
    if (opened.status != 200 || values["result"] != "0" || values["SessionID"].size() != 12)
      return url + ": curl " + std::to_string(opened.curlCode) + ", status " + std::to_string(opened.status) +
             ", body " + opened.body.substr(0, 200);
    kt::HttpAnswer closed = running_->post(R"({"FunctionName":"KestrovanClose","SessionId":")" +
                                               values["SessionID"] + "\"}",
                                           "https://a.example", {"Host: localhost:56459"}, url);
    if (closed.status != 200)
      return url + ": close answered curl " + std::to_string(closed.curlCode);
    return "";
  }

  static kh::Running* running_;
  static bool ownLimitRaised_;
  int baseFds_ = 0;
};

kh::Running* Connections::running_ = nullptr;
bool Connections::ownLimitRaised_ = false;

// 2,000 idle sockets over the six listeners and 50 TLS clients that send
// their request a byte a second: the service holds no more connections than
// its caps; pages, whose connections come when the caps are full, are
// answered on every address meanwhile; the tricklers are cut off; and once
// the flood is gone so are its descriptors.
TEST_F(Connections, FloodOfIdleSocketsAndTricklersLeavesPagesServed) {
  ASSERT_TRUE(ownLimitRaised_) << "the test needs a hard descriptor limit of at least 4096";
  const pid_t pid = running_->service.pid();
  const size_t cutLines = running_->service.count("Connections cut, no complete request within 15 s: ");
  const size_t displacedLines = running_->service.count("Connections over the limit, longest waiting cut: ");

  const long baseKb = kh::residentKb(pid);
  // Half on 127.0.0.1:56459, the rest spread: the cap of every listener and
  // the cap of all are reached.
  std::vector<int> idle;
  std::vector<int> addressOf;
  for (int i = 0; i < 2000; i++) {
    int address = i < 1000 ? 0 : i % 6;
    int fd = kt::connectLoopback(address % 2 == 1, kt::kPorts[address / 2]);
    ASSERT_GE(fd, 0) << "socket " << i << ": " << strerror(errno);
    idle.push_back(fd);
    addressOf.push_back(address);
  }
  // The service keeps those within the caps and refuses the rest (none of
  // them is past its grace yet); counted once it has accepted them all and
  // the count stays the same for half a second.
  for (int round = 0; round < 600 && notYetAccepted() > 0; round++)
    usleep(100000);
  EXPECT_EQ(notYetAccepted(), 0);
  int held[6] = {0, 0, 0, 0, 0, 0};
  int heldAll = -1;
  for (int round = 0; round < 20; round++) {
    int counted[6] = {0, 0, 0, 0, 0, 0};
    int all = 0;
    for (size_t i = 0; i < idle.size(); i++) {
      if (!cutByService(idle[i])) {
        counted[addressOf[i]]++;
        all++;
      }
    }
    if (all == heldAll)
      break;
    heldAll = all;
    std::copy(counted, counted + 6, held);
    usleep(500000);
  }
  for (int address = 0; address < 6; address++)
    EXPECT_LE(held[address], KESTROVAN_CONNECTIONS_PER_LISTENER) << kAddresses[address];
  EXPECT_LE(heldAll, KESTROVAN_CONNECTIONS_TOTAL);
  // A newcomer displaces only a connection past its grace: the flood's
  // sockets have been held that long before the tricklers and pages come.
  usleep((KESTROVAN_CONNECTION_GRACE_MS + 500) * 1000);

  const std::string trickle = "POST / HTTP/1.1\r\nHost: localhost:56459\r\nOrigin: https://a.example\r\n"
                              "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 1000\r\n\r\n";
  struct Trickler {
    std::unique_ptr<kh::RawTls> tls;
    size_t sent = 0;
    double closedAfter = -1;
  };
  std::vector<Trickler> tricklers(50);
  Clock::time_point trickleStart = Clock::now();
  for (size_t i = 0; i < tricklers.size(); i++) {
    tricklers[i].tls = std::make_unique<kh::RawTls>();
    ASSERT_TRUE(tricklers[i].tls->connect(ca(), kt::kPorts[i % 3], (i / 3) % 2 == 1)) << "trickler " << i;
  }
  // One byte to each trickler that is still open; false once all are closed.
  auto trickleRound = [&]() {
    bool open = false;
    for (Trickler& t : tricklers) {
      if (t.closedAfter >= 0)
        continue;
      if (t.tls->closedByPeer(0) || !t.tls->send(trickle.substr(t.sent % trickle.size(), 1))) {
        t.closedAfter = secondsSince(trickleStart);
        continue;
      }
      t.sent++;
      open = true;
    }
    return open;
  };
  trickleRound();

  int peakFds = kh::openFds(pid);
  long peakKb = kh::residentKb(pid);
  for (const char* url : kAddresses) {
    EXPECT_EQ(pageCall(url), "") << "a page was not served during the flood\n" << kh::tail(running_->service);
    peakFds = std::max(peakFds, kh::openFds(pid));
    peakKb = std::max(peakKb, kh::residentKb(pid));
    trickleRound();
  }
  const int cap = KESTROVAN_CONNECTIONS_TOTAL;
  EXPECT_LE(peakFds, baseFds_ + cap + 8) << "more connections than the cap";
  EXPECT_LT(peakFds, 1024);

  // Hang guard only: tricklers are cut within about the timeout.
  while (trickleRound() && secondsSince(trickleStart) < 90) {
    peakFds = std::max(peakFds, kh::openFds(pid));
    peakKb = std::max(peakKb, kh::residentKb(pid));
    sleep(1);
  }
  size_t stillOpen = 0;
  double lastClosed = 0;
  for (const Trickler& t : tricklers) {
    if (t.closedAfter < 0)
      stillOpen++;
    lastClosed = std::max(lastClosed, t.closedAfter);
  }
  EXPECT_EQ(stillOpen, 0u) << "tricklers kept their connections for 90 s";
  printf("flood: idle sockets held by the service %d (127.0.0.1:56459 %d); descriptors before %d, peak %d (cap "
         "%d); resident kB before %ld, peak %ld; last trickler cut after %.1f s\n",
         heldAll, held[0], baseFds_, peakFds, cap, baseKb, peakKb, lastClosed);
  EXPECT_TRUE(running_->service.waitFor("Connections cut, no complete request within 15 s: ", 20, cutLines + 1));
  EXPECT_GT(running_->service.count("Connections over the limit, longest waiting cut: "), displacedLines);

  for (int fd : idle)
    close(fd);
  tricklers.clear();
  // TearDown: the descriptors return to the idle figure.
}

// 128 connections hold 127.0.0.1:56459's cap, each waiting on the rest of
// its body, and two clients open connections and drop them at once, as fast
// as they can: a page's connection, which arrives at the full cap and is
// still in its handshake when the next dropped one arrives, must not be the
// one cut. The holders have waited longest without progress, so they go
// first; a connection within its grace is never cut.
TEST_F(Connections, ChurningConnectionsDoNotCutPagesInTheirHandshake) {
  const std::string head = "POST / HTTP/1.1\r\nHost: localhost:56459\r\nOrigin: https://a.example\r\n"
                           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 1000\r\n\r\nParam";
  std::vector<std::unique_ptr<kh::RawTls>> holders;
  for (int i = 0; i < KESTROVAN_CONNECTIONS_PER_LISTENER; i++) {
    holders.push_back(std::make_unique<kh::RawTls>());
    ASSERT_TRUE(holders.back()->connect(ca(), 56459)) << "holder " << i;
    ASSERT_TRUE(holders.back()->send(head)) << "holder " << i;
  }
  // The holders are past any grace a newcomer has: they were there first.
  sleep(3);

  std::atomic<bool> stop(false);
  std::atomic<long> churned(0);
  auto churn = [&]() {
    while (!stop.load()) {
      int fd = kt::connectLoopback(false, 56459);
      if (fd >= 0) {
        close(fd);
        churned++;
      }
    }
  };
  std::thread churnA(churn), churnB(churn);
  const int pages = 30;
  int served = 0;
  std::string failures;
  for (int i = 0; i < pages; i++) {
    std::string failure = pageCall(kAddresses[0]);
    if (failure.empty())
      served++;
    else
      failures += failure + "\n";
    usleep(100000);
  }
  stop = true;
  churnA.join();
  churnB.join();
  int holdersLeft = 0;
  for (const auto& holder : holders)
    holdersLeft += holder->closedByPeer(0) ? 0 : 1;
  printf("churn: %ld connections opened and dropped; pages served %d of %d; holders left %d of %d\n",
         churned.load(), served, pages, holdersLeft, (int)holders.size());
  EXPECT_GT(churned.load(), 1000) << "the churners hardly ran";
  EXPECT_GE(served, 28) << failures << kh::tail(running_->service);
  // The places came from the holders, which had waited longest.
  EXPECT_LT(holdersLeft, KESTROVAN_CONNECTIONS_PER_LISTENER);
  holders.clear();
}

// A connection kept alive after its answer and then left idle is closed by
// the service after the advertised timeout, not before.
TEST_F(Connections, IdleKeepAliveConnectionIsClosedAfterTheTimeout) {
  kh::RawTls tls;
  ASSERT_TRUE(tls.connect(ca(), 56559));
  ASSERT_TRUE(tls.send(kh::rawPost(R"({"FunctionName":"KestrovanClose","SessionId":""})",
                                   {"Host: localhost:56559", "Origin: https://a.example", "Connection: keep-alive"})));
  Clock::time_point sent = Clock::now();
  std::string answer = tls.receive(2);
  ASSERT_NE(answer.find("HTTP/1.1 200"), std::string::npos) << answer;
  EXPECT_NE(answer.find("Keep-Alive: timeout=15"), std::string::npos) << answer;
  bool closed = tls.closedByPeer(60000);
  double idle = secondsSince(sent);
  EXPECT_TRUE(closed) << "still open after " << idle << " s";
  EXPECT_GE(idle, 12.0) << "closed well before the advertised timeout";
}

// A call that runs longer than the timeout is not cut off, and neither is a connection of the same listener whose request
// waits, unread, until the call is done: the wait is the service's, not
// the client's.
TEST_F(Connections, CallLongerThanTheTimeoutIsAnswered) {
  kt::HttpAnswer opened = running_->post(kh::echoJson(), "https://a.example");
  std::string session = kh::values(opened)["SessionID"];
  ASSERT_EQ(session.size(), 12u) << opened.body;
  kh::RawTls waiting;
  ASSERT_TRUE(waiting.connect(ca(), 56459));
  size_t blocks = running_->service.count("Block");
  Clock::time_point start = Clock::now();
  std::future<kt::HttpAnswer> slow = std::async(std::launch::async, [&] {
    return running_->post(R"({"FunctionName":"Block","delay_ms":"18000","SessionId":")" + session + "\"}",
                          "https://a.example");
  });
  ASSERT_TRUE(running_->service.waitFor("Block", 20, blocks + 1));
  ASSERT_TRUE(waiting.send(kh::rawPost(R"({"FunctionName":"KestrovanClose","SessionId":""})",
                                       {"Host: localhost:56459", "Origin: https://a.example", "Connection: close"})));
  std::string answer = waiting.receive(60);
  EXPECT_NE(answer.find("HTTP/1.1 200"), std::string::npos) << "the waiting request was cut\n"
                                                             << kh::tail(running_->service);
  kt::HttpAnswer answered = slow.get();
  EXPECT_EQ(kh::result(answered), "ok:Block") << "curl " << answered.curlCode << "\n" << kh::tail(running_->service);
  EXPECT_GE(secondsSince(start), 18.0);
  running_->post(R"({"FunctionName":"KestrovanClose","SessionId":")" + session + "\"}", "https://a.example");
}

// With every descriptor number below 1,100 taken (by an adapter), new
// connections get numbers above 1,023, which a listener polling with
// select would refuse: every address still answers.
TEST_F(Connections, DescriptorsAbove1023LeaveListenersServing) {
  kt::HttpAnswer opened = running_->post(
      R"({"FunctionName":"KestrovanEcho","SessionId":"","PathID":"0","LibDir":"Harden","ComName":"Hoard",)"
      R"("minServerVersion":"3.0.23.0721"})",
      "https://a.example");
  std::string session = kh::values(opened)["SessionID"];
  ASSERT_EQ(session.size(), 12u) << opened.body;
  kt::HttpAnswer hoarded = running_->post(
      R"({"FunctionName":"Hoard","below":"1100","SessionId":")" + session + "\"}", "https://a.example");
  EXPECT_EQ(kh::result(hoarded).rfind("hoarded:", 0), 0u) << hoarded.body;

  // The connections that carried the calls left free numbers below, once
  // the service closed them; connections held open take them.
  sleep(1);
  std::vector<std::unique_ptr<kh::RawTls>> holders;
  while (lowestFreeFd(running_->service.pid()) < 1024 && holders.size() < 16) {
    holders.push_back(std::make_unique<kh::RawTls>());
    ASSERT_TRUE(holders.back()->connect(ca(), 56659));
  }
  ASSERT_GE(lowestFreeFd(running_->service.pid()), 1024);
  for (const char* url : kAddresses)
    EXPECT_EQ(pageCall(url), "") << kh::tail(running_->service);
  holders.clear();

  kt::HttpAnswer closed =
      running_->post(R"({"FunctionName":"KestrovanClose","SessionId":")" + session + "\"}", "https://a.example");
  EXPECT_EQ(closed.status, 200);
}

}  // namespace
