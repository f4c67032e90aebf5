// SPDX-License-Identifier: Apache-2.0
// peer_bench.cpp -- the cost of one lookup of who owns the client's socket
// of a loopback connection (what the accept policy does once per new
// connection), through socket diagnostics over netlink and through the
// /proc/net tables, with 0, 1,000 and 3,000 other loopback connections open
// (the /proc tables list them all; an exact netlink lookup does not walk
// them). Run it in a network namespace of its own for figures that do not
// depend on the machine's other connections:
//   bash scripts/netns-run.sh build/bench/bench/peers/peer_bench
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <memory>
#include <vector>

#include "common/loopback.h"
#include "platform/platform.h"

namespace {

// A listener with one accepted connection to look up, and `others` more
// connections held open beside it.
struct Connections {
  kl::Socket listener;
  kl::Socket client;
  kl::Socket accepted;
  sockaddr_storage from{};
  socklen_t fromLength = 0;
  std::vector<std::unique_ptr<kl::Socket>> others;
  bool ok = false;

  explicit Connections(int count) {
    if (!kl::bindLoopback(&listener, false))
      return;
    client.fd = kl::connectClient(listener, kl::kIpv4);
    if (client.fd < 0 || !kl::acceptOne(listener, &accepted, &from, &fromLength))
      return;
    for (int i = 0; i < count; i++) {
      auto outgoing = std::make_unique<kl::Socket>();
      auto incoming = std::make_unique<kl::Socket>();
      sockaddr_storage address;
      socklen_t length = 0;
      outgoing->fd = kl::connectClient(listener, kl::kIpv4);
      if (outgoing->fd < 0 || !kl::acceptOne(listener, incoming.get(), &address, &length))
        return;
      others.push_back(std::move(outgoing));
      others.push_back(std::move(incoming));
    }
    ok = true;
  }
};

void lookups(benchmark::State& state, int source) {
  rlimit files{8192, 8192};
  setrlimit(RLIMIT_NOFILE, &files);
  Connections connections((int)state.range(0));
  if (!connections.ok) {
    state.SkipWithError("could not open the connections");
    return;
  }
  KestrovanPeerLookup lookup;
  KestrovanPlatform_peerLookupOpen(&lookup, source);
  char reason[160];
  for (auto _ : state) {
    uint32_t uid = 0;
    int status = KestrovanPlatform_peerUid(&lookup, (const sockaddr*)&connections.from, connections.fromLength,
                                           connections.listener.sa(), connections.listener.length, &uid, reason,
                                           sizeof(reason));
    if (status != KESTROVAN_PEER_FOUND) {
      state.SkipWithError(reason);
      break;
    }
    benchmark::DoNotOptimize(uid);
  }
  KestrovanPlatform_peerLookupClose(&lookup);
}

void BM_PeerUidNetlink(benchmark::State& state) {
  lookups(state, KESTROVAN_PEER_SOURCE_NETLINK);
}
void BM_PeerUidProc(benchmark::State& state) {
  lookups(state, KESTROVAN_PEER_SOURCE_PROC);
}

BENCHMARK(BM_PeerUidNetlink)->Arg(0)->Arg(1000)->Arg(3000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PeerUidProc)->Arg(0)->Arg(1000)->Arg(3000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
