// SPDX-License-Identifier: Apache-2.0
// peers.h -- only this user's programs get in: the admission check that the
// accept policy runs once for every new connection (who owns the client's
// socket), and the report of who holds a port the service could not bind.
// The loopback ports are shared by every user of the machine; a connection
// from another user's program, or one whose owner cannot be told for sure,
// is closed before TLS without an answer and leaves one trace line.
#ifndef KESTROVAN_SERVICE_PEERS_H
#define KESTROVAN_SERVICE_PEERS_H

#include <mutex>
#include <sys/socket.h>

#include "platform/platform.h"

// The accept policy's closure, one per listener: the address and port the
// listener is bound to (the server end of each of its connections) and its
// own lookup channel. `lock` guards everything here: the accept policy reads
// it on the listener's thread while start-up may still set the port.
struct KestrovanListenerPeers {
  std::mutex lock;
  struct sockaddr_storage address;  // port in network byte order
  socklen_t addressLength;
  uint32_t owner;  // the service's own uid, the one admitted
  KestrovanPeerLookup lookup;
};

// A closure for a listener bound to address (copied). Null for an address
// that is not IPv4 or IPv6, or without memory. Freed with KestrovanPeers_free.
KestrovanListenerPeers* KestrovanPeers_new(const struct sockaddr* address);
void KestrovanPeers_free(KestrovanListenerPeers* peers);

// The port the listener was actually bound to (start-up asked for port 0).
void KestrovanPeers_setPort(KestrovanListenerPeers* peers, unsigned short port);

// True when the client's socket of the connection from peer belongs to this
// process's user. Otherwise prints one warning line naming the uid, or
// saying why the owner cannot be told, and returns false. A null closure
// refuses.
bool KestrovanPeers_admit(KestrovanListenerPeers* peers, const struct sockaddr* peer, socklen_t peerLength);

// After a listener failed to start on address: prints who holds the port
// and remembers it when that is another user. Start-up only (main thread).
void KestrovanPeers_reportHolder(const struct sockaddr* address);

// After all listeners have been started: when another user holds some of
// the ports, says so plainly in one warning line (trace and log), naming the
// addresses and their uids. Start-up only (main thread).
void KestrovanPeers_reportHeldPorts();

#endif
