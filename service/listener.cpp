// SPDX-License-Identifier: Apache-2.0
// listener.cpp -- starting the listeners, the accept policy, the admission
// of connections with its watchdog, and the logger.
#include "service/listener.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "service/intake.h"
#include "service/peers.h"
#include "support/support.h"

#define KESTROVAN_LISTENER_COUNT 6
#define KESTROVAN_CONNECTION_RECORDS (KESTROVAN_CONNECTIONS_TOTAL + KESTROVAN_CONNECTION_SLACK)
#define KESTROVAN_TEXT(x) KESTROVAN_TEXT_(x)
#define KESTROVAN_TEXT_(x) #x

// One admitted connection. A slot is reserved by the accept policy and
// filled when the library reports the connection on the same thread.
struct KestrovanConnectionRecord {
  bool used;             // reserved or holding a connection
  bool started;          // the library reported it: fd is valid
  bool cut;              // shut down here; its listener closes it
  bool inHandler;        // the access handler runs for it
  bool requestBegun;     // a request's headers arrived, not yet completed
  bool answered;         // a request of it was completed
  int listener;          // index of its listener
  int fd;
  uint64_t waitingSince; // ms; start of the step that waits on the client
  uint64_t busyMark;     // its listener's busy time then (busyLocked)
};

struct KestrovanListenerState {
  bool inUse;
  int index;
  int live;            // used and not cut: counted against the caps
  int reserved;        // the slot apc reserved for the connection it admitted, or -1
  bool busy;           // its thread is in the access handler
  uint64_t busySince;  // ms, while busy
  uint64_t busyTotal;  // ms spent in the access handler before
  KestrovanListenerPeers* peers;  // who may connect (own lock); set at start, freed with the state
};

// A warning printed at most once a second, with the count since the last.
struct KestrovanNotice {
  const char* label;
  int pending;
  uint64_t lastPrinted;
};

static std::mutex KestrovanListener_lock;
static KestrovanConnectionRecord KestrovanListener_connections[KESTROVAN_CONNECTION_RECORDS];
static KestrovanListenerState listeners[KESTROVAN_LISTENER_COUNT];
static int liveTotal = 0;
static int totalCap = KESTROVAN_CONNECTIONS_TOTAL;
static KestrovanNotice displacedNotice = {"Connections over the limit, longest waiting cut: ", 0, 0};
static KestrovanNotice refusedNotice = {"Connections over the limit, refused: ", 0, 0};
static KestrovanNotice timeoutNotice = {
    "Connections cut, no complete request within " KESTROVAN_TEXT(KESTROVAN_CONNECTION_TIMEOUT_S) " s: ", 0, 0};

static std::thread watchdog;
static std::mutex watchdogLock;
static std::condition_variable watchdogWake;
static bool watchdogStop = false;
// Records in use (reserved or holding a connection); the watchdog sleeps
// without a time limit while there are none. Changed under
// KestrovanListener_lock, read by the watchdog under watchdogLock.
static std::atomic<int> recordsUsed{0};
static std::atomic<uint64_t> admittedTotal{0};

int KestrovanListener_openConnections() { return recordsUsed.load(); }
uint64_t KestrovanListener_admittedTotal() { return admittedTotal.load(); }

static uint64_t nowMs() {
  return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The time the listener's thread has spent in the access handler, up to
// now. Its other connections are not read meanwhile: that time is the
// service's, not theirs, and their timeout leaves it out.
static uint64_t busyLocked(const KestrovanListenerState& listener, uint64_t now) {
  return listener.busyTotal + (listener.busy ? now - listener.busySince : 0);
}

// A new step that waits on the client begins for the connection.
static void startWaitingLocked(KestrovanConnectionRecord* record, uint64_t now) {
  record->waitingSince = now;
  record->busyMark = busyLocked(listeners[record->listener], now);
}

// How long the step has waited on the client.
static uint64_t waitedLocked(const KestrovanConnectionRecord& record, uint64_t now) {
  uint64_t busy = busyLocked(listeners[record.listener], now) - record.busyMark;
  uint64_t elapsed = now - record.waitingSince;
  return elapsed > busy ? elapsed - busy : 0;
}

// A notice's count when it is due, else 0.
static int dueNoticeLocked(KestrovanNotice* notice, uint64_t now, bool force) {
  if (notice->pending == 0 || (!force && now - notice->lastPrinted < 1000))
    return 0;
  int count = notice->pending;
  notice->pending = 0;
  notice->lastPrinted = now;
  return count;
}

static void printNotice(const KestrovanNotice& notice, int count) {
  if (count != 0)
    printfColorWarningLine(notice.label, count);
}

// The library closes a cut connection when it next reads from it. The
// record stays until then, so the descriptor is never cut after it closed.
static void cutLocked(KestrovanConnectionRecord* record) {
  KestrovanPlatform_cutConnection(record->fd);
  record->cut = true;
  listeners[record->listener].live--;
  liveTotal--;
}

static void freeLocked(KestrovanConnectionRecord* record) {
  if (!record->cut) {
    listeners[record->listener].live--;
    liveTotal--;
  }
  if (record->used)
    recordsUsed--;
  memset(record, 0, sizeof(*record));
}

// Cuts the connection of the listener (any listener for -1) that has waited
// longest without progress, and only one past its grace: a newcomer never
// displaces a connection younger than the ones it would spare, nor one
// still in its handshake or request. Never one whose handler runs. False
// when there is none.
static bool cutLongestWaitingLocked(int listener, uint64_t now) {
  KestrovanConnectionRecord* chosen = nullptr;
  uint64_t chosenWaited = 0;
  for (KestrovanConnectionRecord& record : KestrovanListener_connections) {
    if (!record.used || !record.started || record.cut || record.inHandler)
      continue;
    if (listener >= 0 && record.listener != listener)
      continue;
    uint64_t waited = waitedLocked(record, now);
    if (waited < (uint64_t)KESTROVAN_CONNECTION_GRACE_MS)
      continue;
    if (chosen == nullptr || waited > chosenWaited) {
      chosen = &record;
      chosenWaited = waited;
    }
  }
  if (chosen == nullptr)
    return false;
  cutLocked(chosen);
  return true;
}

// A reservation that no connection took (the library dropped the
// connection after admitting it) is given back.
static void dropReservationLocked(KestrovanListenerState* listener) {
  if (listener->reserved < 0)
    return;
  freeLocked(&KestrovanListener_connections[listener->reserved]);
  listener->reserved = -1;
}

// The caps: reserves a slot for the new connection, displacing the longest
// waiting one past its grace when a cap is reached. False refuses the
// connection.
static bool admitConnection(KestrovanListenerState* listener) {
  if (listener == nullptr)
    return true;
  uint64_t now = nowMs();
  int displaced = 0;
  int refused = 0;
  bool admitted = false;
  bool wakeWatchdog = false;
  {
    std::lock_guard<std::mutex> lock(KestrovanListener_lock);
    dropReservationLocked(listener);
    int slot = -1;
    for (int i = 0; i < KESTROVAN_CONNECTION_RECORDS && slot < 0; i++)
      if (!KestrovanListener_connections[i].used)
        slot = i;
    admitted = slot >= 0;
    if (admitted && listener->live >= KESTROVAN_CONNECTIONS_PER_LISTENER) {
      admitted = cutLongestWaitingLocked(listener->index, now);
      displacedNotice.pending += admitted ? 1 : 0;
    }
    if (admitted && liveTotal >= totalCap) {
      admitted = cutLongestWaitingLocked(-1, now);
      displacedNotice.pending += admitted ? 1 : 0;
    }
    if (admitted) {
      KestrovanConnectionRecord& record = KestrovanListener_connections[slot];
      record.used = true;
      wakeWatchdog = recordsUsed++ == 0;
      admittedTotal++;
      record.listener = listener->index;
      record.fd = -1;
      startWaitingLocked(&record, now);
      listener->reserved = slot;
      listener->live++;
      liveTotal++;
    } else {
      refusedNotice.pending++;
    }
    displaced = dueNoticeLocked(&displacedNotice, now, false);
    refused = dueNoticeLocked(&refusedNotice, now, false);
  }
  printNotice(displacedNotice, displaced);
  printNotice(refusedNotice, refused);
  if (wakeWatchdog) {
    // Under its lock: the watchdog is either before its look at the count
    // or already waiting.
    std::lock_guard<std::mutex> lock(watchdogLock);
    watchdogWake.notify_all();
  }
  return admitted;
}

// The record of a connection (its socket context), or null.
static KestrovanConnectionRecord* recordOf(struct MHD_Connection* connection) {
  const union MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info != nullptr ? (KestrovanConnectionRecord*)info->socket_context : nullptr;
}

static void onConnection(void* cls, struct MHD_Connection* connection, void** socketContext,
                         enum MHD_ConnectionNotificationCode code) {
  KestrovanListenerState* listener = (KestrovanListenerState*)cls;
  if (listener == nullptr || socketContext == nullptr)
    return;
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const union MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    int fd = info != nullptr ? (int)info->connect_fd : -1;
    bool taken = false;
    {
      std::lock_guard<std::mutex> lock(KestrovanListener_lock);
      if (listener->reserved >= 0 && fd >= 0) {
        KestrovanConnectionRecord* record = &KestrovanListener_connections[listener->reserved];
        listener->reserved = -1;
        record->started = true;
        record->fd = fd;
        startWaitingLocked(record, nowMs());
        *socketContext = record;
        taken = true;
      }
    }
    // Only a connection the accept policy admitted has a slot.
    if (!taken && fd >= 0)
      KestrovanPlatform_cutConnection(fd);
    return;
  }
  KestrovanConnectionRecord* record = (KestrovanConnectionRecord*)*socketContext;
  if (record != nullptr) {
    std::lock_guard<std::mutex> lock(KestrovanListener_lock);
    freeLocked(record);
  }
  *socketContext = nullptr;
}

// The access handler as the listeners call it: the request's steps are
// marked in its connection's record around answer_to_connection.
static enum MHD_Result handleRequest(void* cls, struct MHD_Connection* connection, const char* url,
                                     const char* method, const char* version, const char* uploadData,
                                     size_t* uploadDataSize, void** perRequest) {
  KestrovanListenerState* listener = (KestrovanListenerState*)cls;
  KestrovanConnectionRecord* record = recordOf(connection);
  // The first call comes with the headers; the last with the body complete.
  bool first = perRequest != nullptr && *perRequest == nullptr;
  bool last = !first && uploadDataSize != nullptr && *uploadDataSize == 0;
  {
    std::lock_guard<std::mutex> lock(KestrovanListener_lock);
    if (listener != nullptr) {
      listener->busy = true;
      listener->busySince = nowMs();
    }
    if (record != nullptr) {
      record->inHandler = true;
      if (first)
        record->requestBegun = true;
    }
  }
  enum MHD_Result answer =
      answer_to_connection(nullptr, connection, url, method, version, uploadData, uploadDataSize, perRequest);
  {
    std::lock_guard<std::mutex> lock(KestrovanListener_lock);
    uint64_t now = nowMs();
    if (listener != nullptr) {
      listener->busyTotal += now - listener->busySince;
      listener->busy = false;
    }
    if (record != nullptr) {
      record->inHandler = false;
      // The answer goes out now: sending it is the next step that waits.
      if (last)
        startWaitingLocked(record, now);
    }
  }
  return answer;
}

static void completeRequest(void* cls, struct MHD_Connection* connection, void** perRequest,
                            enum MHD_RequestTerminationCode code) {
  (void)cls;
  request_completed(nullptr, connection, perRequest, code);
  KestrovanConnectionRecord* record = connection != nullptr ? recordOf(connection) : nullptr;
  if (record != nullptr) {
    std::lock_guard<std::mutex> lock(KestrovanListener_lock);
    record->requestBegun = false;
    record->answered = true;
    startWaitingLocked(record, nowMs());
  }
}

// Once a second: cuts every connection whose waiting step passed the
// timeout, and prints the notices that are due. Only connections that never
// completed a request are reported: a kept-alive connection left idle is
// the common case.
static void sweep(bool force) {
  uint64_t now = nowMs();
  int displaced = 0, refused = 0, late = 0;
  {
    std::lock_guard<std::mutex> lock(KestrovanListener_lock);
    for (KestrovanConnectionRecord& record : KestrovanListener_connections) {
      if (record.used && record.started && !record.cut && !record.inHandler &&
          waitedLocked(record, now) >= (uint64_t)KESTROVAN_CONNECTION_TIMEOUT_S * 1000) {
        cutLocked(&record);
        timeoutNotice.pending += record.answered ? 0 : 1;
      }
    }
    displaced = dueNoticeLocked(&displacedNotice, now, force);
    refused = dueNoticeLocked(&refusedNotice, now, force);
    late = dueNoticeLocked(&timeoutNotice, now, true);
  }
  printNotice(displacedNotice, displaced);
  printNotice(refusedNotice, refused);
  printNotice(timeoutNotice, late);
}

static void watchdogLoop() {
  std::unique_lock<std::mutex> lock(watchdogLock);
  while (!watchdogStop) {
    // No connection, nothing to time: asleep until the first one comes.
    watchdogWake.wait(lock, [] { return watchdogStop || recordsUsed.load() > 0; });
    if (watchdogStop)
      break;
    watchdogWake.wait_for(lock, std::chrono::seconds(1));
    if (watchdogStop)
      break;
    lock.unlock();
    sweep(false);
    lock.lock();
  }
}

void KestrovanListener_Init() {
  long limit = KestrovanPlatform_raiseDescriptorLimit();
  {
    std::lock_guard<std::mutex> lock(KestrovanListener_lock);
    totalCap = KESTROVAN_CONNECTIONS_TOTAL;
    if (limit > 0 && limit - KESTROVAN_DESCRIPTOR_RESERVE < totalCap)
      totalCap = limit - KESTROVAN_DESCRIPTOR_RESERVE > KESTROVAN_LISTENER_COUNT
                     ? (int)(limit - KESTROVAN_DESCRIPTOR_RESERVE)
                     : KESTROVAN_LISTENER_COUNT;
  }
  if (totalCap < KESTROVAN_CONNECTIONS_TOTAL)
    printfColorWarningLine("Descriptor limit low, connections at most: ", totalCap);
  std::lock_guard<std::mutex> lock(watchdogLock);
  if (!watchdog.joinable()) {
    watchdogStop = false;
    watchdog = std::thread(watchdogLoop);
  }
}

void KestrovanListener_Final() {
  {
    std::lock_guard<std::mutex> lock(watchdogLock);
    watchdogStop = true;
  }
  watchdogWake.notify_all();
  if (watchdog.joinable())
    watchdog.join();
  sweep(true);
  std::lock_guard<std::mutex> lock(KestrovanListener_lock);
  // Every listener was stopped: no accept policy uses a closure any more.
  for (KestrovanListenerState& listener : listeners)
    KestrovanPeers_free(listener.peers);
  memset(KestrovanListener_connections, 0, sizeof(KestrovanListener_connections));
  memset(listeners, 0, sizeof(listeners));
  liveTotal = 0;
  recordsUsed = 0;
}

static KestrovanListenerState* claimListener(KestrovanListenerPeers* peers) {
  std::lock_guard<std::mutex> lock(KestrovanListener_lock);
  for (int i = 0; i < KESTROVAN_LISTENER_COUNT; i++) {
    if (!listeners[i].inUse) {
      listeners[i].peers = peers;
      listeners[i].inUse = true;
      listeners[i].index = i;
      listeners[i].live = 0;
      listeners[i].reserved = -1;
      listeners[i].busy = false;
      listeners[i].busyTotal = 0;
      return &listeners[i];
    }
  }
  return nullptr;
}

static void releaseListener(KestrovanListenerState* listener) {
  std::lock_guard<std::mutex> lock(KestrovanListener_lock);
  dropReservationLocked(listener);
  KestrovanPeers_free(listener->peers);
  listener->peers = nullptr;
  listener->inUse = false;
}

// Anything but epoll or poll would break at descriptor 1,024.
static bool pollsWithoutSelect(struct MHD_Daemon* daemon) {
  const union MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_FLAGS);
  return info != nullptr && (info->flags & (MHD_USE_EPOLL | MHD_USE_POLL)) != 0;
}

struct MHD_Daemon* StartDaemon(unsigned int flags, const struct sockaddr* address, const char* cert,
                               const char* key, const char* priorities, int listenSocket) {
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
  KestrovanListenerState* listener = claimListener(peers);
  struct MHD_Daemon* daemon = nullptr;
  if (listener == nullptr) {
    KestrovanPeers_free(peers);
    printfColorErrorLine("Listeners at most: ", KESTROVAN_LISTENER_COUNT);
  } else {
    // Suspended connections: a request waiting for the main thread holds
    // no listener thread (its wake-up needs the inter-thread channel,
    // which this flag brings).
    daemon = MHD_start_daemon(
        flags | MHD_ALLOW_SUSPEND_RESUME, port, apc, listener, handleRequest, listener,
        MHD_OPTION_EXTERNAL_LOGGER, MHD_Logger, nullptr,
        MHD_OPTION_SOCK_ADDR, address,
        // A socket the service manager handed over (-1: none, bind one).
        MHD_OPTION_LISTEN_SOCKET, (MHD_socket)listenSocket,
        MHD_OPTION_HTTPS_MEM_CERT, cert,
        MHD_OPTION_HTTPS_MEM_KEY, key,
        MHD_OPTION_HTTPS_PRIORITIES, priorities,
        MHD_OPTION_NOTIFY_COMPLETED, completeRequest, nullptr,
        MHD_OPTION_NOTIFY_CONNECTION, onConnection, listener,
        MHD_OPTION_CONNECTION_TIMEOUT, (unsigned int)KESTROVAN_LIBRARY_TIMEOUT_S,
        // Only a backstop: the accept policy keeps each listener under its
        // cap; displaced connections still closing count here too.
        MHD_OPTION_CONNECTION_LIMIT, (unsigned int)(KESTROVAN_CONNECTIONS_PER_LISTENER + KESTROVAN_CONNECTION_SLACK),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, KESTROVAN_CONNECTION_MEMORY,
        MHD_OPTION_END);
    if (daemon != nullptr && !pollsWithoutSelect(daemon)) {
      printfColorErrorLine("Listener without epoll or poll: ", (int)port);
      MHD_stop_daemon(daemon);
      daemon = nullptr;
    }
    if (daemon != nullptr && port == 0) {
      // Asked for port 0, the listener got one of the system's choosing.
      const union MHD_DaemonInfo* bound = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
      if (bound != nullptr)
        KestrovanPeers_setPort(peers, bound->port);
    }
    if (daemon == nullptr)
      releaseListener(listener);
  }

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

bool KestrovanListener_checkPeer(KestrovanListenerPeers* peers, const struct sockaddr* address,
                                 socklen_t addressLength) {
  if (address == nullptr || addressLength < (socklen_t)sizeof(struct sockaddr))
    return false;
  if (loopbackPeer(address, addressLength))
    return KestrovanPeers_admit(peers, address, addressLength);
  // The 14 data bytes: port (network order), address, zero padding.
  char text[14 * 4 + 1];
  size_t used = 0;
  for (int i = 0; i < 14; i++)
    used += (size_t)snprintf(text + used, sizeof(text) - used, i == 0 ? "%u" : ".%u",
                             (unsigned)(unsigned char)address->sa_data[i]);
  printfColorWarningLine("Illegal connection ip: ", text);
  return false;
}

enum MHD_Result apc(void* cls, const struct sockaddr* address, socklen_t addressLength) {
  KestrovanListenerState* listener = (KestrovanListenerState*)cls;
  // Checks that refuse come first: the admission reserves a slot.
  if (!KestrovanListener_checkPeer(listener != nullptr ? listener->peers : nullptr, address, addressLength))
    return MHD_NO;
  return admitConnection(listener) ? MHD_YES : MHD_NO;
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
  // The library's text goes out as it is, in one piece.
  char local[1024];
  int length = vsnprintf(local, sizeof(local), format, forConsole);
  va_end(forConsole);
  if (length >= (int)sizeof(local)) {
    char* text = (char*)malloc((size_t)length + 1);
    if (text != nullptr) {
      va_copy(forConsole, arguments);
      vsnprintf(text, (size_t)length + 1, format, forConsole);
      va_end(forConsole);
      KestrovanTrace_text(text, (size_t)length);
      free(text);
    }
  } else if (length > 0) {
    KestrovanTrace_text(local, (size_t)length);
  }
  va_end(forLog);
}
