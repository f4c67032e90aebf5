// listener.cpp -- starting the listeners, the accept policy and the logger.
#include "service/listener.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <string>

#include "service/intake.h"
#include "service/peers.h"
#include "support/support.h"

// The accept policy's closure of each running listener, freed when the
// listener is stopped. `listenersLock` guards the table.
struct ListenerClosure {
  struct MHD_Daemon* daemon;
  KestrovanListenerPeers* peers;
};
static std::mutex listenersLock;
static ListenerClosure listeners[16];

static bool keepClosure(struct MHD_Daemon* daemon, KestrovanListenerPeers* peers) {
  std::lock_guard<std::mutex> hold(listenersLock);
  for (ListenerClosure& entry : listeners) {
    if (entry.daemon == nullptr) {
      entry.daemon = daemon;
      entry.peers = peers;
      return true;
    }
  }
  return false;
}

struct MHD_Daemon* StartDaemon(unsigned int flags, const struct sockaddr* address, const char* cert,
                               const char* key, const char* priorities) {
  if (address == nullptr) {
    showNullParameter("address", "Listener", __LINE__);
    return nullptr;
  }
  uint16_t port = 0;
  if (address->sa_family == AF_INET)
    port = ntohs(((const struct sockaddr_in*)address)->sin_port);
  else if (address->sa_family == AF_INET6)
    port = ntohs(((const struct sockaddr_in6*)address)->sin6_port);
  else {
    printfColorErrorLine("Unknow address family: ", (int)address->sa_family);
    return nullptr;
  }

  bool ipv4 = address->sa_family == AF_INET;
  // Both families: the check of who is connecting applies to IPv6 too.
  KestrovanListenerPeers* peers = KestrovanPeers_new(address);
  if (peers == nullptr)
    return nullptr;
  struct MHD_Daemon* daemon = MHD_start_daemon(
      flags, port, apc, peers, answer_to_connection, nullptr,
      MHD_OPTION_EXTERNAL_LOGGER, MHD_Logger, nullptr,
      MHD_OPTION_SOCK_ADDR, address,
      MHD_OPTION_HTTPS_MEM_CERT, cert,
      MHD_OPTION_HTTPS_MEM_KEY, key,
      MHD_OPTION_HTTPS_PRIORITIES, priorities,
      MHD_OPTION_NOTIFY_COMPLETED, request_completed, nullptr,
      MHD_OPTION_END);
  if (daemon != nullptr) {
    // Asked for port 0, the listener got one of the system's choosing.
    const union MHD_DaemonInfo* bound = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
    if (port == 0 && bound != nullptr)
      KestrovanPeers_setPort(peers, bound->port);
    if (!keepClosure(daemon, peers)) {
      printfColorErrorLine("Listener table full: ", (int)port);
      MHD_stop_daemon(daemon);
      daemon = nullptr;
    }
  }
  if (daemon == nullptr)
    KestrovanPeers_free(peers);

  std::string launch = "NORTAKestrovan";
  launch += " at ";
  launch += ipv4 ? "127.0.0.1:" : "[::1]:";
  launch += std::to_string(port);
  launch += " launch state: ";
  if (daemon != nullptr)
    printfColorLine(launch.c_str(), "Success");
  else
    printfColorWarningLine(launch.c_str(), "Fail");
  return daemon;
}

void StopDaemon(struct MHD_Daemon* daemon) {
  if (daemon == nullptr)
    return;
  MHD_stop_daemon(daemon);
  // The listener's thread has ended: nothing uses its closure any more.
  KestrovanListenerPeers* peers = nullptr;
  {
    std::lock_guard<std::mutex> hold(listenersLock);
    for (ListenerClosure& entry : listeners) {
      if (entry.daemon == daemon) {
        peers = entry.peers;
        entry.daemon = nullptr;
        entry.peers = nullptr;
        break;
      }
    }
  }
  KestrovanPeers_free(peers);
}

// 127.0.0.1 only on IPv4 (not the whole 127.0.0.0/8), ::1 on IPv6.
static bool loopbackPeer(const struct sockaddr* address, socklen_t addressLength) {
  if (address->sa_family == AF_INET && addressLength >= (socklen_t)sizeof(struct sockaddr_in)) {
    const unsigned char* bytes = (const unsigned char*)&((const struct sockaddr_in*)address)->sin_addr;
    return bytes[0] == 127 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 1;
  }
  if (address->sa_family == AF_INET6 && addressLength >= (socklen_t)sizeof(struct sockaddr_in6))
    return IN6_IS_ADDR_LOOPBACK(&((const struct sockaddr_in6*)address)->sin6_addr);
  return false;
}

enum MHD_Result apc(void* cls, const struct sockaddr* address, socklen_t addressLength) {
  if (address == nullptr || addressLength < (socklen_t)sizeof(struct sockaddr))
    return MHD_NO;
  if (loopbackPeer(address, addressLength))
    return KestrovanPeers_admit((KestrovanListenerPeers*)cls, address, addressLength) ? MHD_YES : MHD_NO;
  // The 14 data bytes: port (network order), address, zero padding.
  char text[14 * 4 + 1];
  size_t used = 0;
  for (int i = 0; i < 14; i++)
    used += (size_t)snprintf(text + used, sizeof(text) - used, i == 0 ? "%u" : ".%u",
                             (unsigned)(unsigned char)address->sa_data[i]);
  printfColorWarningLine("Illegal connection ip: ", text);
  return MHD_NO;
}

void MHD_Logger(void* cls, const char* format, va_list arguments) {
  (void)cls;
  if (format == nullptr)
    return;
  va_list forLog;
  va_list forConsole;
  va_copy(forLog, arguments);
  va_copy(forConsole, arguments);
  zrvlog(5, 0, format, forLog);
  {
    std::lock_guard<std::mutex> lock(Print_Lock);
    vprintf(format, forConsole);
    fflush(stdout);
  }
  va_end(forLog);
  va_end(forConsole);
}
