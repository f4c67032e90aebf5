// listener.cpp -- starting the listeners, the accept policy and the logger.
#include "service/listener.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <string>

#include "service/intake.h"
#include "support/support.h"

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
  struct MHD_Daemon* daemon = MHD_start_daemon(
      flags, port, ipv4 ? apc : nullptr, nullptr, answer_to_connection, nullptr,
      MHD_OPTION_EXTERNAL_LOGGER, MHD_Logger, nullptr,
      MHD_OPTION_SOCK_ADDR, address,
      MHD_OPTION_HTTPS_MEM_CERT, cert,
      MHD_OPTION_HTTPS_MEM_KEY, key,
      MHD_OPTION_HTTPS_PRIORITIES, priorities,
      MHD_OPTION_NOTIFY_COMPLETED, request_completed, nullptr,
      MHD_OPTION_END);

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

enum MHD_Result apc(void* cls, const struct sockaddr* address, socklen_t addressLength) {
  (void)cls;
  if (address == nullptr || addressLength < (socklen_t)sizeof(struct sockaddr))
    return MHD_NO;
  if (address->sa_family == AF_INET && addressLength >= (socklen_t)sizeof(struct sockaddr_in)) {
    const unsigned char* bytes = (const unsigned char*)&((const struct sockaddr_in*)address)->sin_addr;
    if (bytes[0] == 127 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 1)
      return MHD_YES;
  }
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
