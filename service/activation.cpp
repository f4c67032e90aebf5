// SPDX-License-Identifier: Apache-2.0
// activation.cpp -- sockets handed over by the service manager, and the end
// after a quiet period (activation.h).
#include "service/activation.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "platform/platform.h"
#include "service/listener.h"
#include "session/session.h"
#include "support/support.h"
#include "values/values.h"

#define KESTROVAN_ACTIVATION_SOCKETS 16

struct KestrovanHandedSocket {
  int fd;
  struct sockaddr_storage address;
};

static KestrovanHandedSocket handed[KESTROVAN_ACTIVATION_SOCKETS];
static int handedCount = 0;
static bool activated = false;

static bool sameAddress(const struct sockaddr* a, const struct sockaddr* b) {
  if (a->sa_family != b->sa_family)
    return false;
  if (a->sa_family == AF_INET) {
    const struct sockaddr_in* x = (const struct sockaddr_in*)a;
    const struct sockaddr_in* y = (const struct sockaddr_in*)b;
    return x->sin_port == y->sin_port && x->sin_addr.s_addr == y->sin_addr.s_addr;
  }
  if (a->sa_family == AF_INET6) {
    const struct sockaddr_in6* x = (const struct sockaddr_in6*)a;
    const struct sockaddr_in6* y = (const struct sockaddr_in6*)b;
    return x->sin6_port == y->sin6_port && memcmp(&x->sin6_addr, &y->sin6_addr, sizeof(x->sin6_addr)) == 0;
  }
  return false;
}

// A listening TCP socket of IPv4 or IPv6, with its address.
static bool listeningTcp(int fd, struct sockaddr_storage* address) {
  int type = 0, listening = 0;
  socklen_t length = sizeof(type);
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
    return false;
  length = sizeof(listening);
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || !listening)
    return false;
  length = sizeof(*address);
  if (getsockname(fd, (struct sockaddr*)address, &length) != 0)
    return false;
  return address->ss_family == AF_INET || address->ss_family == AF_INET6;
}

static void describe(const struct sockaddr_storage& address, char* text, size_t size) {
  char host[INET6_ADDRSTRLEN] = "";
  unsigned port = 0;
  if (address.ss_family == AF_INET) {
    const struct sockaddr_in* v4 = (const struct sockaddr_in*)&address;
    inet_ntop(AF_INET, &v4->sin_addr, host, sizeof(host));
    port = ntohs(v4->sin_port);
    snprintf(text, size, "%s:%u", host, port);
  } else {
    const struct sockaddr_in6* v6 = (const struct sockaddr_in6*)&address;
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof(host));
    port = ntohs(v6->sin6_port);
    snprintf(text, size, "[%s]:%u", host, port);
  }
}

void KestrovanActivation_take() {
  int sockets[KESTROVAN_ACTIVATION_SOCKETS];
  int count = KestrovanPlatform_listenSockets(sockets, KESTROVAN_ACTIVATION_SOCKETS);
  handedCount = 0;
  for (int i = 0; i < count; i++) {
    KestrovanHandedSocket& slot = handed[handedCount];
    if (!listeningTcp(sockets[i], &slot.address)) {
      printfColorWarningLine("Handed-over socket not a TCP listener, closed: ", sockets[i]);
      close(sockets[i]);
      continue;
    }
    slot.fd = sockets[i];
    char text[INET6_ADDRSTRLEN + 16];
    describe(slot.address, text, sizeof(text));
    printfColorLine("Handed-over socket: ", text);
    handedCount++;
  }
  activated = count > 0;
  printfColorLine("Start mode: ", KestrovanActivation_mode());
}

bool KestrovanActivation_active() { return activated; }

const char* KestrovanActivation_mode() { return activated ? "socket activation" : "plain start"; }

int KestrovanActivation_socketFor(const struct sockaddr* address) {
  if (address == nullptr)
    return -1;
  for (int i = 0; i < handedCount; i++)
    if (sameAddress((const struct sockaddr*)&handed[i].address, address))
      return handed[i].fd;
  return -1;
}

bool KestrovanActivation_handedOver(int socket) {
  for (int i = 0; i < handedCount; i++)
    if (handed[i].fd == socket)
      return true;
  return false;
}

unsigned KestrovanActivation_quietSeconds() {
  const char* text = getenv("KESTROVAN_QUIET_EXIT_SECONDS");
  if (text == nullptr || text[0] == '\0')
    return KESTROVAN_QUIET_EXIT_DEFAULT_S;
  char* end = nullptr;
  unsigned long value = strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value > 86400UL * 7) {
    printfColorWarningLine("KESTROVAN_QUIET_EXIT_SECONDS not a number of seconds, default: ",
                           KESTROVAN_QUIET_EXIT_DEFAULT_S);
    return KESTROVAN_QUIET_EXIT_DEFAULT_S;
  }
  return (unsigned)value;
}

// ---- The quiet watch ----

static int openSessions() {
  std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
  int open = 0;
  for (KestrovanSession* session : SessionList)
    open += session != nullptr ? 1 : 0;
  return open;
}

static int liveValues() {
  int64_t now = (int64_t)time(nullptr);
  int live = 0;
  for (int i = 0; i < KESTROVAN_VALUE_RECORDS; i++) {
    char* channel = KestrovanValue_channelAt(i);
    if (channel == nullptr)
      continue;
    free(channel);
    int64_t expiry = KestrovanValue_expiryAt(i);
    live += expiry == 0 || expiry > now ? 1 : 0;
  }
  return live;
}

static void quietWatch(unsigned seconds) {
  // Never woken early: the thread is left to end with the process.
  std::mutex lock;
  std::condition_variable never;
  uint64_t seen = KestrovanListener_admittedTotal();
  std::unique_lock<std::mutex> guard(lock);
  for (;;) {
    never.wait_for(guard, std::chrono::seconds(seconds));
    uint64_t admitted = KestrovanListener_admittedTotal();
    bool used = admitted != seen || KestrovanListener_openConnections() > 0 || openSessions() > 0 ||
                liveValues() > 0;
    seen = admitted;
    if (!used)
      break;
  }
  printfColorLine("Quiet, no session, value or connection for seconds: ", (int)seconds);
  kill(getpid(), SIGTERM);
}

void KestrovanActivation_startQuietWatch() {
  unsigned seconds = KestrovanActivation_quietSeconds();
  if (!activated)
    return;
  if (seconds == 0) {
    printfColorLine("Quiet exit: ", "Off");
    return;
  }
  printfColorLine("Quiet exit after seconds: ", (int)seconds);
  // The watch takes no signal: the stop signals are awaited by a thread of
  // the service's own.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  try {
    std::thread(quietWatch, seconds).detach();
  } catch (...) {
    printfColorWarningLine("Quiet exit: ", "No thread");
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}
