// SPDX-License-Identifier: Apache-2.0
// peers.cpp -- the admission check of new connections and the report of
// ports held by someone else.
#include "service/peers.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <new>
#include <unistd.h>

#include "support/support.h"

// Addresses of the ports another user held at start, for the summary line.
// Written and read on the main thread during start-up only.
static char heldByOthers[512];

static void addressText(const struct sockaddr* address, char* out, size_t size) {
  char host[INET6_ADDRSTRLEN] = "?";
  unsigned port = 0;
  if (address->sa_family == AF_INET) {
    const sockaddr_in* v4 = (const sockaddr_in*)address;
    inet_ntop(AF_INET, &v4->sin_addr, host, sizeof(host));
    port = ntohs(v4->sin_port);
    snprintf(out, size, "%s:%u", host, port);
  } else if (address->sa_family == AF_INET6) {
    const sockaddr_in6* v6 = (const sockaddr_in6*)address;
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof(host));
    port = ntohs(v6->sin6_port);
    snprintf(out, size, "[%s]:%u", host, port);
  } else {
    snprintf(out, size, "family %d", (int)address->sa_family);
  }
}

KestrovanListenerPeers* KestrovanPeers_new(const struct sockaddr* address) {
  if (address == nullptr)
    return nullptr;
  socklen_t length;
  if (address->sa_family == AF_INET)
    length = sizeof(sockaddr_in);
  else if (address->sa_family == AF_INET6)
    length = sizeof(sockaddr_in6);
  else
    return nullptr;
  KestrovanListenerPeers* peers = new (std::nothrow) KestrovanListenerPeers;
  if (peers == nullptr) {
    showMemoryFail("Peers", __LINE__);
    return nullptr;
  }
  memset(&peers->address, 0, sizeof(peers->address));
  memcpy(&peers->address, address, length);
  peers->addressLength = length;
  peers->owner = (uint32_t)geteuid();
  KestrovanPlatform_peerLookupOpen(&peers->lookup, KESTROVAN_PEER_SOURCE_ANY);
  return peers;
}

void KestrovanPeers_free(KestrovanListenerPeers* peers) {
  if (peers == nullptr)
    return;
  KestrovanPlatform_peerLookupClose(&peers->lookup);
  delete peers;
}

void KestrovanPeers_setPort(KestrovanListenerPeers* peers, unsigned short port) {
  if (peers == nullptr)
    return;
  std::lock_guard<std::mutex> hold(peers->lock);
  if (peers->address.ss_family == AF_INET)
    ((sockaddr_in*)&peers->address)->sin_port = htons(port);
  else
    ((sockaddr_in6*)&peers->address)->sin6_port = htons(port);
}

bool KestrovanPeers_admit(KestrovanListenerPeers* peers, const struct sockaddr* peer, socklen_t peerLength) {
#ifdef KESTROVAN_NO_PEER_CHECK
  // The benchmark's build without the check, for the cost of it; never the
  // shipped service.
  (void)peers;
  (void)peer;
  (void)peerLength;
  return true;
#else
  if (peer == nullptr)
    return false;
  uint32_t uid = 0;
  char reason[160] = "no listener to check against";
  int status = KESTROVAN_PEER_ERROR;
  if (peers != nullptr) {
    std::lock_guard<std::mutex> hold(peers->lock);
    const struct sockaddr* local = (const struct sockaddr*)&peers->address;
    status = KestrovanPlatform_peerUid(&peers->lookup, peer, (size_t)peerLength, local, (size_t)peers->addressLength,
                                       &uid, reason, sizeof(reason));
    if (status == KESTROVAN_PEER_FOUND && uid == peers->owner)
      return true;
  }
  if (status == KESTROVAN_PEER_UNSUPPORTED) {
    // Where the platform cannot tell (macOS for now), loopback peers are
    // admitted as before; said once.
    static std::atomic<bool> said{false};
    if (!said.exchange(true))
      printfColorWarningLine("Connection owner not checked: ", reason);
    return true;
  }
  char from[64];
  addressText(peer, from, sizeof(from));
  char text[256];
  if (status == KESTROVAN_PEER_FOUND) {
    snprintf(text, sizeof(text), "uid %u from %s", (unsigned)uid, from);
    printfColorWarningLine("Connection of another user refused: ", text);
  } else {
    snprintf(text, sizeof(text), "%s: %s", from, reason);
    printfColorWarningLine("Connection refused, owner unknown: ", text);
  }
  return false;
#endif
}

void KestrovanPeers_reportHolder(const struct sockaddr* address) {
  if (address == nullptr)
    return;
  socklen_t length = address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  char where[64];
  addressText(address, where, sizeof(where));
  KestrovanPeerLookup lookup;
  KestrovanPlatform_peerLookupOpen(&lookup, KESTROVAN_PEER_SOURCE_ANY);
  uint32_t uid = 0;
  char reason[160];
  int status = KestrovanPlatform_portHolder(&lookup, address, length, &uid, reason, sizeof(reason));
  KestrovanPlatform_peerLookupClose(&lookup);
  char text[256];
  if (status != KESTROVAN_PEER_FOUND) {
    snprintf(text, sizeof(text), "%s (%s)", where, reason);
    printfColorWarningLine("Port holder unknown: ", text);
    return;
  }
  snprintf(text, sizeof(text), "%s uid %u", where, (unsigned)uid);
  if (uid == (uint32_t)geteuid()) {
    printfColorWarningLine("Port held by this user: ", text);
    return;
  }
  printfColorWarningLine("Port held by another user: ", text);
  snprintf(text, sizeof(text), "%s%s (uid %u)", heldByOthers[0] != '\0' ? ", " : "", where, (unsigned)uid);
  StringAppend(heldByOthers, sizeof(heldByOthers), text);
}

void KestrovanPeers_reportHeldPorts() {
  if (heldByOthers[0] != '\0')
    printfColorWarningLine("Ports held by another user, not served: ", heldByOthers);
}
