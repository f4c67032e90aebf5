// SPDX-License-Identifier: Apache-2.0
// listener.h -- one libmicrohttpd daemon per port and address family, HTTPS
// only, with the certificate, key and priority texts held in memory; the
// accept policy, which admits only 127.0.0.1 (IPv4) and ::1 (IPv6) peers
// whose socket belongs to this process's user (peers.h); the admission of
// connections (caps per listener and in
// total, and a timeout for every step that waits on the client); and the
// route of the library's own diagnostics into the trace and the log.
//
// Owns the connection table: one record per admitted connection of any of
// the six listeners (`KestrovanListener_connections`), and one state per
// listener (its count, the slot its accept policy reserved and its peer
// check's closure, which has a lock of its own). Both are
// guarded by `KestrovanListener_lock`, which is held only for bookkeeping:
// never across a call into libmicrohttpd, the access handler or the trace.
// The watchdog thread (KestrovanListener_Init to KestrovanListener_Final)
// sweeps the table once a second while it holds a connection, and sleeps
// without waking while it holds none. A connection is cut (its socket shut
// down, the descriptor left to the library) under the lock, and the library
// reports a connection closed, which frees its record under the lock,
// before it closes the descriptor: a cut never reaches a descriptor that
// was closed and given to something else.
#ifndef KESTROVAN_SERVICE_LISTENER_H
#define KESTROVAN_SERVICE_LISTENER_H

#include <cstdarg>
#include <cstdint>
#include <microhttpd.h>
#include <sys/socket.h>

// MHD_USE_ERROR_LOG | MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD (11), and
// the same with MHD_USE_IPv6 (27), each with MHD_USE_AUTO (65536): the
// library polls with epoll on Linux and poll on macOS, never with select,
// whose descriptor sets end at 1,023 (a listener on select refuses every
// connection once the process holds 1,024 descriptors).
#define KESTROVAN_LISTENER_FLAGS_IPV4 65547u
#define KESTROVAN_LISTENER_FLAGS_IPV6 65563u

// The advertised "Keep-Alive: timeout=15" (response.cpp), kept by the
// watchdog: every step that waits on the client -- from the connection (or
// the end of the previous answer) to a complete request, and from the answer
// to its last byte sent -- must end within this many seconds, however the
// bytes trickle in, so an idle connection and a client sending a byte a
// second are both cut. Time the listener's thread spends in the access
// handler, for this connection or another, does not count: the connection
// is not read meanwhile.
#define KESTROVAN_CONNECTION_TIMEOUT_S 15

// libmicrohttpd's own idle timeout is only a backstop (and the timeout of
// listeners started without the watchdog): it starts again with every byte,
// and it counts the time a request sat unread while the listener's thread
// was in a long call, closing that connection unanswered. So it is well
// above the watchdog's.
#define KESTROVAN_LIBRARY_TIMEOUT_S 60

// Connections admitted at once, per listener and over all six. A browser
// keeps at most six connections per host and port; each connection costs
// one descriptor and its memory, mostly libmicrohttpd's 32 KiB pool. When a
// cap is reached, a new connection displaces the one that has waited
// longest without progress (see apc), so that sockets held idle or holding
// back their body cannot keep a page out; only when none can be displaced
// is the new one refused.
#define KESTROVAN_CONNECTIONS_PER_LISTENER 128
#define KESTROVAN_CONNECTIONS_TOTAL 384
// A connection is displaced only once its current step has waited this long
// on the client (the watchdog's measure): in its first grace it is still in
// its handshake or sending its request, and the newcomer is refused rather
// than cutting it, so clients that open and drop connections in a loop
// cannot push out a page's connection in the middle of its handshake. A
// page's TLS handshake and request take milliseconds on loopback (the load
// test's p99 is about 0.3 s on a busy two-core machine); 2 s is several
// times that, and short enough that a held connection soon yields its place.
#define KESTROVAN_CONNECTION_GRACE_MS 2000
// Records of displaced connections stay until their listener closes them.
#define KESTROVAN_CONNECTION_SLACK 64
// Descriptors kept free for everything else (log, adapters, their tokens).
#define KESTROVAN_DESCRIPTOR_RESERVE 256
// libmicrohttpd's memory pool per connection (its default, made explicit):
// the request line and headers must fit in it.
#define KESTROVAN_CONNECTION_MEMORY ((size_t)32 * 1024)

// Raises the soft descriptor limit to the hard one, fits the total cap
// under it (less the reserve), and starts the watchdog. Call once
// before the first StartDaemon. Listeners started without it have the caps
// but only the library's timeout.
void KestrovanListener_Init();

// Stops the watchdog and forgets the listeners. Call after every listener
// was stopped (MHD_stop_daemon).
void KestrovanListener_Final();

// Connections open now (admitted, not yet closed), and admitted since start.
int KestrovanListener_openConnections();
uint64_t KestrovanListener_admittedTotal();

// Starts one listener on address (port in network byte order). Prints the
// "launch state: " line and returns the daemon, or null when it did not
// start. At most six listeners exist at a time. listenSocket: a socket
// already bound to address (handed over by a service manager), or -1 to
// bind one.
struct MHD_Daemon* StartDaemon(unsigned int flags, const struct sockaddr* address, const char* cert,
                               const char* key, const char* priorities, int listenSocket = -1);

// Who may connect, checked once per new connection before TLS: a peer
// address other than 127.0.0.1 or ::1 is refused with "Illegal connection
// ip: "; a loopback peer is admitted only when its socket belongs to this
// process's user (KestrovanPeers_admit, which prints the refusal line; a
// null closure refuses). True admits.
struct KestrovanListenerPeers;
bool KestrovanListener_checkPeer(KestrovanListenerPeers* peers, const struct sockaddr* address,
                                 socklen_t addressLength);

// Accept policy of every listener: KestrovanListener_checkPeer with the
// listener's closure, then the caps. cls is the listener's state (null:
// refused, as there is no closure to check the peer against). MHD_YES
// admits.
enum MHD_Result apc(void* cls, const struct sockaddr* address, socklen_t addressLength);

// External logger: the library's message into the log (level 5) and onto
// standard output.
void MHD_Logger(void* cls, const char* format, va_list arguments);

#endif
