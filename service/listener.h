// listener.h -- one libmicrohttpd daemon per port and address family, HTTPS
// only, with the certificate, key and priority texts held in memory; the
// accept policy that admits only 127.0.0.1 on the IPv4 listeners; and the
// route of the library's own diagnostics into the trace and the log.
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
struct MHD_Daemon* StartDaemon(unsigned int flags, const struct sockaddr* address, const char* cert,
                               const char* key, const char* priorities);

// Accept policy of the IPv4 listeners: MHD_YES for the peer 127.0.0.1 only.
enum MHD_Result apc(void* cls, const struct sockaddr* address, socklen_t addressLength);

// External logger: the library's message into the log (level 5) and onto
// standard output.
void MHD_Logger(void* cls, const char* format, va_list arguments);

#endif
