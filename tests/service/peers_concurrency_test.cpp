// SPDX-License-Identifier: Apache-2.0
// peers_concurrency_test.cpp -- one listener's accept-policy closure used
// from several threads at once (as a listener with more than one thread
// would) while start-up sets the port it was bound to: every connection of
// this process is admitted, and the closure's lock keeps the lookups apart
// (run under ThreadSanitizer in the concurrency build).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/loopback.h"
#include "common/trace_capture.h"
#include "service/service.h"

namespace {

TEST(PeersConcurrency, OneClosureManyThreads) {
  kl::Socket listener;
  ASSERT_TRUE(kl::bindLoopback(&listener, false));
  KestrovanListenerPeers* peers = KestrovanPeers_new(listener.sa());
  ASSERT_NE(peers, nullptr);
  const unsigned short port = ntohs(((const sockaddr_in*)&listener.address)->sin_port);
  constexpr int kThreads = 4;
  constexpr int kConnections = 100;
  std::atomic<int> admitted{0};
  std::atomic<int> failed{0};
  testing::internal::CaptureStdout();
  // Clients stay open until the end: a thread may accept another thread's
  // connection, and a client that closed before the lookup is refused.
  std::vector<std::vector<kl::Socket>> clients(kThreads);
  for (std::vector<kl::Socket>& own : clients)
    own = std::vector<kl::Socket>(kConnections);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kConnections; i++) {
        kl::Socket& client = clients[t][i];
        client.fd = kl::connectClient(listener, kl::kIpv4);
        kl::Socket accepted;
        sockaddr_storage from{};
        socklen_t fromLength = 0;
        // Any thread may accept any thread's connection: all are ours.
        if (client.fd < 0 || !kl::acceptOne(listener, &accepted, &from, &fromLength)) {
          failed++;
          continue;
        }
        if (KestrovanListener_checkPeer(peers, (const sockaddr*)&from, fromLength))
          admitted++;
      }
    });
  }
  std::thread startup([&] {
    for (int i = 0; i < 200; i++)
      KestrovanPeers_setPort(peers, port);
  });
  for (std::thread& thread : threads)
    thread.join();
  startup.join();
  std::string trace = captured();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(admitted.load(), kThreads * kConnections) << trace;
  EXPECT_EQ(trace.find("refused"), std::string::npos) << trace;
  KestrovanPeers_free(peers);
}

}  // namespace
