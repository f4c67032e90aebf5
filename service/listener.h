// listener.h -- one libmicrohttpd daemon per port and address family, HTTPS
// only, with the certificate, key and priority texts held in memory; the
// accept policy that admits only 127.0.0.1 (IPv4) and ::1 (IPv6) peers whose
// socket belongs to this process's user; and the route of the library's own
// diagnostics into the trace and the log.
#ifndef KESTROVAN_SERVICE_LISTENER_H
#define KESTROVAN_SERVICE_LISTENER_H

#include <cstdarg>
#include <microhttpd.h>
#include <sys/socket.h>

// MHD_USE_ERROR_LOG | MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD, and the
// same with MHD_USE_IPv6.
#define KESTROVAN_LISTENER_FLAGS_IPV4 11u
#define KESTROVAN_LISTENER_FLAGS_IPV6 27u

// Starts one listener on address (port in network byte order). Prints the
// "launch state: " line and returns the daemon, or null when it did not start.
// The accept policy gets a closure with the listener's address (peers.h);
// stop the listener with StopDaemon, which frees it.
struct MHD_Daemon* StartDaemon(unsigned int flags, const struct sockaddr* address, const char* cert,
                               const char* key, const char* priorities);

// Stops a listener started by StartDaemon and frees its closure. Null: nothing.
void StopDaemon(struct MHD_Daemon* daemon);

// Accept policy of every listener, run once per new connection before TLS.
// cls: the listener's KestrovanListenerPeers. A peer address other than
// 127.0.0.1 or ::1 is refused with "Illegal connection ip: "; a loopback peer
// is admitted only when its socket belongs to this process's user
// (KestrovanPeers_admit, which prints the refusal line).
enum MHD_Result apc(void* cls, const struct sockaddr* address, socklen_t addressLength);

// External logger: the library's message into the log (level 5) and onto
// standard output.
void MHD_Logger(void* cls, const char* format, va_list arguments);

#endif
