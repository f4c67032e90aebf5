// SPDX-License-Identifier: Apache-2.0
// platform_linux.cpp -- Linux implementation of platform.h.
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <thread>
#include <pthread.h>
#include <fcntl.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/types.h>

#include <elf.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>

int KestrovanPlatform_executablePath(char* buffer, uint32_t* size) {
  if (buffer == nullptr || size == nullptr || *size == 0)
    return -2;
  // readlink does not terminate and truncates silently: ask for one byte more
  // than fits so that a truncation is seen.
  char path[8192];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path));
  if (n <= 0 || (size_t)n >= sizeof(path))
    return -2;
  if ((uint32_t)n + 1 > *size) {
    *size = (uint32_t)n + 1;
    return -1;
  }
  memcpy(buffer, path, (size_t)n);
  buffer[n] = '\0';
  return 0;
}

// The file logind keeps for the seat, which sd_seat_get_active reads. logind
// replaces it (a new file renamed over the old) whenever the active session
// changes. Every request checks the console user, so the answer is kept
// and read again only after the seat folder changed: a thread blocked on
// inotify counts the folder's changes, and a request compares counts, which
// costs it no system call. The change is counted as soon as that thread
// runs, microseconds after logind's rename (a switch of user takes seconds).
// Where the folder cannot be watched (no logind yet, or it went away), each
// request looks at the file itself: a stat, and a read when it was replaced.
#define KESTROVAN_SEAT_FOLDER "/run/systemd/seats"
#define KESTROVAN_SEAT_FILE KESTROVAN_SEAT_FOLDER "/seat0"

namespace {
struct SeatAnswer {
  bool valid = false;    // an answer for the state below is kept
  bool byCount = false;  // kept for a count of changes (watched), else for a file
  uint64_t changes = 0;  // seatChanges when it was read
  dev_t device = 0;      // the file it was read from

  ino_t inode = 0;
  struct timespec changed = {0, 0};
  off_t size = 0;
  bool found = false;
  int32_t uid = 0;
};
std::mutex seatLock;
SeatAnswer seatAnswer;  // under seatLock

std::once_flag seatWatchStart;
std::atomic<bool> seatWatched{false};
std::atomic<uint64_t> seatChanges{0};

void watchSeats(int fd) {
  alignas(struct inotify_event) char events[4096];
  for (;;) {
    ssize_t n = read(fd, events, sizeof(events));
    if (n < 0 && errno == EINTR)
      continue;
    bool gone = n <= 0;
    for (ssize_t at = 0; !gone && at + (ssize_t)sizeof(struct inotify_event) <= n;) {
      const struct inotify_event* event = (const struct inotify_event*)(events + at);
      if ((event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0)
        gone = true;
      at += (ssize_t)sizeof(struct inotify_event) + event->len;
    }
    if (gone) {
      // Unwatched before the count moves: a request that sees the new count
      // also sees that it must look at the file itself from now on.
      seatWatched.store(false);
      seatChanges.fetch_add(1);
      break;
    }
    seatChanges.fetch_add(1);
  }
  close(fd);
}

void startSeatWatch() {
  int fd = inotify_init1(IN_CLOEXEC);
  if (fd < 0)
    return;
  if (inotify_add_watch(fd, KESTROVAN_SEAT_FOLDER,
                        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE |
                            IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) < 0) {
    close(fd);
    return;
  }
  // The thread takes no signal: the process's stop signals are awaited by a
  // thread of the service's own.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  // A forked child has no watching thread: it looks at the file itself.
  pthread_atfork(nullptr, nullptr, [] { seatWatched.store(false); });
  seatWatched.store(true);
  try {
    std::thread(watchSeats, fd).detach();
  } catch (...) {
    seatWatched.store(false);
    close(fd);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

bool sameFile(const SeatAnswer& answer, const struct stat& info) {
  return answer.valid && !answer.byCount && answer.device == info.st_dev && answer.inode == info.st_ino &&
         answer.changed.tv_sec == info.st_mtim.tv_sec && answer.changed.tv_nsec == info.st_mtim.tv_nsec &&
         answer.size == info.st_size;
}

bool readSeat(int32_t* uid) {
  char* session = nullptr;
  uid_t owner = 0;
  bool found = sd_seat_get_active("seat0", &session, &owner) >= 0;
  free(session);
  *uid = found ? (int32_t)owner : 0;
  return found;
}

// The folder is watched: the kept answer holds while nothing changed there.
bool watchedConsoleUser(int32_t* uid) {
  uint64_t changes = seatChanges.load();
  {
    std::lock_guard<std::mutex> hold(seatLock);
    if (seatAnswer.valid && seatAnswer.byCount && seatAnswer.changes == changes) {
      if (seatAnswer.found)
        *uid = seatAnswer.uid;
      return seatAnswer.found;
    }
  }
  int32_t owner = 0;
  bool found = readSeat(&owner);
  if (found)
    *uid = owner;
  // Kept for the count as it was before the read: a change in between moves
  // the count, and the next check reads again.
  std::lock_guard<std::mutex> hold(seatLock);
  if (!seatAnswer.valid || !seatAnswer.byCount || seatAnswer.changes <= changes) {
    seatAnswer = SeatAnswer();
    seatAnswer.valid = true;
    seatAnswer.byCount = true;
    seatAnswer.changes = changes;
    seatAnswer.found = found;
    seatAnswer.uid = owner;
  }
  return found;
}

// Not watched: the kept answer holds while the same file is there.
bool unwatchedConsoleUser(int32_t* uid) {
  struct stat info;
  bool seen = stat(KESTROVAN_SEAT_FILE, &info) == 0;
  if (!seen) {
    // No such file: no active seat, as sd_seat_get_active would say.
    if (errno == ENOENT)
      return false;
  } else {
    std::lock_guard<std::mutex> hold(seatLock);
    if (sameFile(seatAnswer, info)) {
      if (seatAnswer.found)
        *uid = seatAnswer.uid;
      return seatAnswer.found;
    }
  }
  int32_t owner = 0;
  bool found = readSeat(&owner);
  if (found)
    *uid = owner;
  // Kept for the file as it was before the read: if it was replaced in
  // between, the next check sees another file and reads again.
  if (seen) {
    std::lock_guard<std::mutex> hold(seatLock);
    seatAnswer = SeatAnswer();
    seatAnswer.valid = true;
    seatAnswer.device = info.st_dev;
    seatAnswer.inode = info.st_ino;
    seatAnswer.changed = info.st_mtim;
    seatAnswer.size = info.st_size;
    seatAnswer.found = found;
    seatAnswer.uid = owner;
  }
  return found;
}
}  // namespace

bool KestrovanPlatform_consoleUser(int32_t* uid) {
  if (uid == nullptr)
    return false;
  std::call_once(seatWatchStart, startSeatWatch);
  if (seatWatched.load())
    return watchedConsoleUser(uid);
  return unwatchedConsoleUser(uid);
}

uint64_t KestrovanPlatform_threadId() {
  return (uint64_t)syscall(SYS_gettid);
}

bool KestrovanPlatform_runtimeFolder(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0)
    return false;
  buffer[0] = '\0';
  // A relative value would name a folder under whatever the working folder
  // is; the convention is to ignore it.
  const char* folder = getenv("XDG_RUNTIME_DIR");
  if (folder == nullptr || folder[0] != '/' || strlen(folder) >= size)
    return false;
  memcpy(buffer, folder, strlen(folder) + 1);
  return true;
}

bool KestrovanPlatform_machineId(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0)
    return false;
  buffer[0] = '\0';
  FILE* file = fopen("/etc/machine-id", "r");
  if (file == nullptr)
    return false;
  bool ok = fgets(buffer, (int)size, file) != nullptr;
  fclose(file);
  if (!ok) {
    buffer[0] = '\0';
    return false;
  }
  buffer[strcspn(buffer, "\r\n")] = '\0';
  return buffer[0] != '\0';
}

bool sendIPCMsg(const char* sender, const char* receiver, const char* instruction, const char* extra) {
  (void)sender;
  (void)receiver;
  (void)instruction;
  (void)extra;
  return false;
}

void setStop(KestrovanInstructionHandler handler) { (void)handler; }
void setRestart(KestrovanInstructionHandler handler) { (void)handler; }
void setFinal(KestrovanInstructionHandler handler) { (void)handler; }
void stopMessageReceiver() {}

// ---- Who is at the other end of a loopback connection ----

namespace {

// One end of a connection, folded to one family: an IPv4-mapped IPv6
// address counts as IPv4, so the two spellings of one socket compare equal.
struct Endpoint {
  int family;                  // AF_INET or AF_INET6
  unsigned char address[16];   // the first 4 bytes for AF_INET
  uint16_t port;               // network byte order
};

// What the kernel reported about one socket.
struct Found {
  Endpoint own;     // the socket's own end
  Endpoint remote;  // the end it is connected to (zero for a listener)
  uint32_t uid;
  unsigned long inode;
  int state;        // TCP_ESTABLISHED, TCP_LISTEN, ...
};

size_t addressSize(int family) {
  return family == AF_INET ? 4 : 16;
}

void fold(int family, const unsigned char* address, uint16_t port, Endpoint* out) {
  memset(out, 0, sizeof(*out));
  out->port = port;
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (family == AF_INET6 && memcmp(address, kMapped, sizeof(kMapped)) == 0) {
    out->family = AF_INET;
    memcpy(out->address, address + 12, 4);
  } else {
    out->family = family;
    memcpy(out->address, address, addressSize(family));
  }
}

bool endpointOf(const struct sockaddr* address, size_t length, Endpoint* out) {
  memset(out, 0, sizeof(*out));
  if (address == nullptr)
    return false;
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    const sockaddr_in* v4 = (const sockaddr_in*)address;
    fold(AF_INET, (const unsigned char*)&v4->sin_addr, v4->sin_port, out);
    return true;
  }
  if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    const sockaddr_in6* v6 = (const sockaddr_in6*)address;
    fold(AF_INET6, v6->sin6_addr.s6_addr, v6->sin6_port, out);
    return true;
  }
  return false;
}

bool sameEndpoint(const Endpoint& a, const Endpoint& b) {
  return a.family == b.family && a.port == b.port && memcmp(a.address, b.address, addressSize(a.family)) == 0;
}

bool isWildcard(const Endpoint& e) {
  static const unsigned char kZero[16] = {0};
  return memcmp(e.address, kZero, addressSize(e.family)) == 0;
}

void endpointText(const Endpoint& e, char* out, size_t size) {
  char address[INET6_ADDRSTRLEN] = "?";
  inet_ntop(e.family, e.address, address, sizeof(address));
  snprintf(out, size, e.family == AF_INET6 ? "[%s]:%u" : "%s:%u", address, (unsigned)ntohs(e.port));
}

void closeNetlink(KestrovanPeerLookup* lookup) {
  if (lookup->fd >= 0)
    close(lookup->fd);
  lookup->fd = -1;
}

// One exact lookup through the kernel's socket diagnostics: the socket whose
// own end is `own` and whose remote end is `remote`. For a loopback
// connection both ends are local sockets, so the client's socket is asked
// for with the client's end as `own`. When no connection matches, the kernel
// may answer with the socket listening on own's port instead (remote port
// 0); the caller's checks tell the two apart. Returns 0 with *found filled,
// ENOENT when there is no such socket, or another errno value.
int openNetlink(KestrovanPeerLookup* lookup) {
  if (lookup->fd >= 0)
    return 0;
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0)
    return errno;
  // The kernel answers at once; the bound only keeps a listener thread from
  // waiting for ever should it not.
  struct timeval wait = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
  lookup->fd = fd;
  return 0;
}

int netlinkLookup(KestrovanPeerLookup* lookup, const Endpoint& own, const Endpoint& remote, Found* found) {
  int opened = openNetlink(lookup);
  if (opened != 0)
    return opened;
  struct {
    struct nlmsghdr header;
    struct inet_diag_req_v2 request;
  } message;
  memset(&message, 0, sizeof(message));
  message.header.nlmsg_len = sizeof(message);
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  // No NLM_F_DUMP: one socket by its exact addresses, not a walk of all.
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.header.nlmsg_seq = ++lookup->sequence;
  message.request.sdiag_family = (uint8_t)own.family;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  message.request.id.idiag_sport = own.port;
  message.request.id.idiag_dport = remote.port;
  memcpy(message.request.id.idiag_src, own.address, addressSize(own.family));
  memcpy(message.request.id.idiag_dst, remote.address, addressSize(remote.family));
  // A zero cookie would have to match the socket's cookie; "none" matches any.
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  struct sockaddr_nl kernel;
  memset(&kernel, 0, sizeof(kernel));
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do
    sent = sendto(lookup->fd, &message, sizeof(message), 0, (struct sockaddr*)&kernel, sizeof(kernel));
  while (sent < 0 && errno == EINTR);
  if (sent != (ssize_t)sizeof(message)) {
    int error = sent < 0 ? errno : EIO;
    closeNetlink(lookup);
    return error;
  }

  uint32_t buffer[2048];
  for (;;) {
    struct sockaddr_nl from;
    socklen_t fromLength = sizeof(from);
    ssize_t got = recvfrom(lookup->fd, buffer, sizeof(buffer), 0, (struct sockaddr*)&from, &fromLength);
    if (got < 0) {
      if (errno == EINTR)
        continue;
      int error = errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno;
      // A late answer would otherwise be read as the next one's.
      closeNetlink(lookup);
      return error;
    }
    if (from.nl_pid != 0)
      continue;  // only the kernel answers
    int left = (int)got;
    // The kernel's NLMSG_OK compares its unsigned length with the int left.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
    for (struct nlmsghdr* header = (struct nlmsghdr*)buffer; NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
#pragma GCC diagnostic pop
      // An answer to an earlier request that was given up on.
      if (header->nlmsg_seq != message.header.nlmsg_seq)
        continue;
      if (header->nlmsg_type == NLMSG_ERROR) {
        if (header->nlmsg_len < NLMSG_LENGTH(sizeof(struct nlmsgerr)))
          return EPROTO;
        const struct nlmsgerr* error = (const struct nlmsgerr*)NLMSG_DATA(header);
        return error->error < 0 ? -error->error : EPROTO;
      }
      if (header->nlmsg_type == NLMSG_DONE)
        return ENOENT;
      if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY)
        continue;
      if (header->nlmsg_len < NLMSG_LENGTH(sizeof(struct inet_diag_msg)))
        return EPROTO;
      const struct inet_diag_msg* answer = (const struct inet_diag_msg*)NLMSG_DATA(header);
      fold(answer->idiag_family, (const unsigned char*)answer->id.idiag_src, answer->id.idiag_sport, &found->own);
      fold(answer->idiag_family, (const unsigned char*)answer->id.idiag_dst, answer->id.idiag_dport, &found->remote);
      found->uid = answer->idiag_uid;
      found->inode = answer->idiag_inode;
      found->state = answer->idiag_state;
      return 0;
    }
  }
}

// "0100007F" (one or four 32-bit words as the kernel prints them) into the
// address bytes: each word is the raw address memory read as a number.
bool procAddress(const char* hex, int family, unsigned char* out) {
  size_t words = family == AF_INET ? 1 : 4;
  if (strlen(hex) != words * 8)
    return false;
  for (size_t i = 0; i < words; i++) {
    char part[9];
    memcpy(part, hex + i * 8, 8);
    part[8] = '\0';
    char* end = nullptr;
    uint32_t word = (uint32_t)strtoul(part, &end, 16);
    if (end != part + 8)
      return false;
    memcpy(out + i * 4, &word, 4);
  }
  return true;
}

// Walks one /proc/net table (tcp: IPv4, tcp6: IPv6 and IPv4-mapped) for the
// socket wanted: with remote, the one with exactly these two ends; without,
// the one listening on own's port at own's address or the wildcard. Returns
// 0 with *found filled, ENOENT, or the errno of opening the table.
int procLookup(const char* path, int family, const Endpoint& own, const Endpoint* remote, Found* found) {
  FILE* table = fopen(path, "re");
  if (table == nullptr)
    return errno;
  // Each read of the table makes the kernel find its place in the
  // connection hash again: few large reads cost far less than many small.
  const size_t chunkSize = 1 << 17;
  char* chunk = (char*)malloc(chunkSize);
  if (chunk != nullptr)
    setvbuf(table, chunk, _IOFBF, chunkSize);
  char line[512];
  int result = ENOENT;
  bool header = true;
  while (fgets(line, sizeof(line), table) != nullptr) {
    if (header) {
      header = false;
      continue;
    }
    char ownHex[40];
    char remoteHex[40];
    unsigned ownPort = 0;
    unsigned remotePort = 0;
    unsigned state = 0;
    unsigned uid = 0;
    unsigned long inode = 0;
    if (sscanf(line, " %*u: %39[0-9A-Fa-f]:%x %39[0-9A-Fa-f]:%x %x %*x:%*x %*x:%*x %*x %u %*d %lu", ownHex, &ownPort,
               remoteHex, &remotePort, &state, &uid, &inode) != 7)
      continue;
    unsigned char ownBytes[16] = {0};
    unsigned char remoteBytes[16] = {0};
    if (ownPort > 0xffff || remotePort > 0xffff || !procAddress(ownHex, family, ownBytes) ||
        !procAddress(remoteHex, family, remoteBytes))
      continue;
    Found candidate;
    fold(family, ownBytes, htons((uint16_t)ownPort), &candidate.own);
    fold(family, remoteBytes, htons((uint16_t)remotePort), &candidate.remote);
    candidate.uid = uid;
    candidate.inode = inode;
    candidate.state = (int)state;
    bool wanted;
    if (remote != nullptr)
      wanted = sameEndpoint(candidate.own, own) && sameEndpoint(candidate.remote, *remote);
    else
      wanted = candidate.state == TCP_LISTEN && candidate.own.port == own.port &&
               (sameEndpoint(candidate.own, own) || isWildcard(candidate.own));
    if (wanted) {
      *found = candidate;
      result = 0;
      break;
    }
  }
  fclose(table);
  free(chunk);
  return result;
}

// The /proc tables that can hold a socket of this family: an IPv4 client may
// be an IPv6 socket speaking IPv4-mapped, listed in tcp6 only.
int procSearch(const Endpoint& own, const Endpoint* remote, Found* found) {
  int result = ENOENT;
  if (own.family == AF_INET)
    result = procLookup("/proc/net/tcp", AF_INET, own, remote, found);
  if (result == 0)
    return 0;
  int six = procLookup("/proc/net/tcp6", AF_INET6, own, remote, found);
  return six == 0 || result == ENOENT ? six : result;
}

// Netlink, and the /proc tables when netlink gives no answer (no socket
// diagnostics in this kernel, an error, or no such socket: a kernel without
// the TCP module of the diagnostics says that too).
int lookupSocket(KestrovanPeerLookup* lookup, const Endpoint& own, const Endpoint& remote, bool listener,
                 Found* found, char* reason, size_t size) {
  int error = ENOPROTOOPT;
  if (lookup->source != KESTROVAN_PEER_SOURCE_PROC)
    error = netlinkLookup(lookup, own, remote, found);
  if (error != 0 && lookup->source != KESTROVAN_PEER_SOURCE_NETLINK) {
    int fromProc = procSearch(own, listener ? nullptr : &remote, found);
    if (fromProc == 0 || error == ENOPROTOOPT || error == ENOENT)
      error = fromProc;
  }
  if (error == ENOENT) {
    snprintf(reason, size, "no such socket");
    return KESTROVAN_PEER_NOT_FOUND;
  }
  if (error != 0) {
    snprintf(reason, size, "lookup failed: %s", strerror(error));
    return KESTROVAN_PEER_ERROR;
  }
  return KESTROVAN_PEER_FOUND;
}

}  // namespace

void KestrovanPlatform_peerLookupOpen(KestrovanPeerLookup* lookup, int source) {
  if (lookup == nullptr)
    return;
  lookup->fd = -1;
  lookup->sequence = 0;
  lookup->source = source;
  if (source != KESTROVAN_PEER_SOURCE_PROC)
    openNetlink(lookup);
}

void KestrovanPlatform_peerLookupClose(KestrovanPeerLookup* lookup) {
  if (lookup != nullptr)
    closeNetlink(lookup);
}

int KestrovanPlatform_peerUid(KestrovanPeerLookup* lookup, const struct sockaddr* peer, size_t peerLength,
                              const struct sockaddr* local, size_t localLength, uint32_t* uid, char* reason,
                              size_t reasonSize) {
  if (reason == nullptr || reasonSize == 0)
    return KESTROVAN_PEER_ERROR;
  reason[0] = '\0';
  Endpoint client;
  Endpoint server;
  if (lookup == nullptr || uid == nullptr || !endpointOf(peer, peerLength, &client) ||
      !endpointOf(local, localLength, &server) || client.family != server.family) {
    snprintf(reason, reasonSize, "not a TCP connection of one address family");
    return KESTROVAN_PEER_ERROR;
  }
  Found found;
  int status = lookupSocket(lookup, client, server, false, &found, reason, reasonSize);
  if (status != KESTROVAN_PEER_FOUND)
    return status;
  // Only the connection asked about counts: with no such connection the
  // kernel may name the socket listening on the client's port.
  if (!sameEndpoint(found.own, client) || !sameEndpoint(found.remote, server)) {
    char own[64];
    char remote[64];
    endpointText(found.own, own, sizeof(own));
    endpointText(found.remote, remote, sizeof(remote));
    snprintf(reason, reasonSize, "the socket found is %s to %s, not this connection", own, remote);
    return KESTROVAN_PEER_UNCLEAN;
  }
  // A client that closed first leaves an orphan owned by nobody: reported as
  // uid 0, it would pass for root.
  if (found.inode == 0) {
    snprintf(reason, reasonSize, "the client's socket is closed (inode 0, reported uid %u)", (unsigned)found.uid);
    return KESTROVAN_PEER_UNCLEAN;
  }
  *uid = found.uid;
  snprintf(reason, reasonSize, "uid %u", (unsigned)found.uid);
  return KESTROVAN_PEER_FOUND;
}

int KestrovanPlatform_portHolder(KestrovanPeerLookup* lookup, const struct sockaddr* local, size_t localLength,
                                 uint32_t* uid, char* reason, size_t reasonSize) {
  uint64_t inode = 0;
  return KestrovanPlatform_portListener(lookup, local, localLength, uid, &inode, reason, reasonSize);
}

int KestrovanPlatform_portListener(KestrovanPeerLookup* lookup, const struct sockaddr* local, size_t localLength,
                                   uint32_t* uid, uint64_t* inode, char* reason, size_t reasonSize) {
  if (reason == nullptr || reasonSize == 0)
    return KESTROVAN_PEER_ERROR;
  reason[0] = '\0';
  Endpoint server;
  if (lookup == nullptr || uid == nullptr || !endpointOf(local, localLength, &server)) {
    snprintf(reason, reasonSize, "not an IPv4 or IPv6 address");
    return KESTROVAN_PEER_ERROR;
  }
  // Asked for as a connection from the port to nowhere: with no such
  // connection the kernel names the socket listening on the port.
  Endpoint nowhere;
  memset(&nowhere, 0, sizeof(nowhere));
  nowhere.family = server.family;
  Found found;
  int status = lookupSocket(lookup, server, nowhere, true, &found, reason, reasonSize);
  if (status != KESTROVAN_PEER_FOUND)
    return status;
  if (found.state != TCP_LISTEN || found.own.port != server.port ||
      (!sameEndpoint(found.own, server) && !isWildcard(found.own)) || found.inode == 0) {
    char own[64];
    endpointText(found.own, own, sizeof(own));
    snprintf(reason, reasonSize, "the socket found is %s in state %d, not a listener", own, found.state);
    return KESTROVAN_PEER_UNCLEAN;
  }
  *uid = found.uid;
  if (inode != nullptr)
    *inode = found.inode;
  snprintf(reason, reasonSize, "uid %u", (unsigned)found.uid);
  return KESTROVAN_PEER_FOUND;
}

bool KestrovanPlatform_socketProcess(uint64_t inode, int* pid, char* name, size_t size) {
  if (pid == nullptr || name == nullptr || size == 0)
    return false;
  name[0] = '\0';
  if (inode == 0)
    return false;
  char wanted[64];
  snprintf(wanted, sizeof(wanted), "socket:[%llu]", (unsigned long long)inode);
  DIR* proc = opendir("/proc");
  if (proc == nullptr)
    return false;
  bool found = false;
  while (!found) {
    struct dirent* entry = readdir(proc);
    if (entry == nullptr)
      break;
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
      continue;
    char folder[64];
    snprintf(folder, sizeof(folder), "/proc/%.20s/fd", entry->d_name);
    DIR* fds = opendir(folder);
    if (fds == nullptr)
      continue;
    while (struct dirent* fd = readdir(fds)) {
      char link[128];
      char target[128];
      snprintf(link, sizeof(link), "%s/%.40s", folder, fd->d_name);
      ssize_t n = readlink(link, target, sizeof(target) - 1);
      if (n <= 0)
        continue;
      target[n] = '\0';
      if (strcmp(target, wanted) == 0) {
        found = true;
        break;
      }
    }
    closedir(fds);
    if (!found)
      continue;
    *pid = atoi(entry->d_name);
    char comm[64];
    snprintf(comm, sizeof(comm), "/proc/%.20s/comm", entry->d_name);
    FILE* file = fopen(comm, "re");
    if (file != nullptr) {
      if (fgets(name, (int)size, file) == nullptr)
        name[0] = '\0';
      fclose(file);
      name[strcspn(name, "\n")] = '\0';
    }
  }
  closedir(proc);
  return found;
}

int KestrovanPlatform_listenSockets(int* sockets, int max) {
  int count = sd_listen_fds(1);
  if (count <= 0 || sockets == nullptr)
    return 0;
  int taken = 0;
  for (int i = 0; i < count; i++) {
    int fd = SD_LISTEN_FDS_START + i;
    // Ours from now on: not passed on to pinentry or any other child.
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (taken < max)
      sockets[taken++] = fd;
    else
      close(fd);
  }
  return taken;
}

int KestrovanPlatform_startedWithSockets(int pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/environ", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return -1;
  // The starting environment as the kernel keeps it: sd_listen_fds clears
  // the variables from the running copy, not from this one.
  static const size_t kMax = 256 * 1024;
  char* text = (char*)malloc(kMax + 1);
  size_t used = 0;
  ssize_t got = 0;
  while (text != nullptr && used < kMax && (got = read(fd, text + used, kMax - used)) > 0)
    used += (size_t)got;
  close(fd);
  if (text == nullptr || got < 0) {
    free(text);
    return -1;
  }
  text[used] = '\0';
  long listenPid = -1, listenFds = 0;
  for (size_t at = 0; at < used; at += strlen(text + at) + 1) {
    if (strncmp(text + at, "LISTEN_PID=", 11) == 0)
      listenPid = strtol(text + at + 11, nullptr, 10);
    else if (strncmp(text + at, "LISTEN_FDS=", 11) == 0)
      listenFds = strtol(text + at + 11, nullptr, 10);
  }
  free(text);
  return listenPid == pid && listenFds >= 1 ? 1 : 0;
}

long long KestrovanPlatform_loadedLibrarySize(int fd) {
  Elf64_Ehdr header;
  long long end = -1;
  if (pread(fd, &header, sizeof(header), 0) != (ssize_t)sizeof(header) ||
      memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_type != ET_DYN || header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum == 0 ||
      header.e_phnum > 256)
    return -1;
  Elf64_Phdr programs[256];
  size_t bytes = (size_t)header.e_phnum * sizeof(Elf64_Phdr);
  if (pread(fd, programs, bytes, (off_t)header.e_phoff) != (ssize_t)bytes)
    return -1;
  end = (long long)(header.e_phoff + bytes);
  if ((long long)header.e_ehsize > end)
    end = header.e_ehsize;
  bool loads = false;
  for (int i = 0; i < header.e_phnum; i++) {
    // Every segment the loader reads lies in a loadable one, the others
    // (notes, dynamic section, unwind tables) included; all are counted.
    if (programs[i].p_type == PT_NULL)
      continue;
    loads = loads || programs[i].p_type == PT_LOAD;
    long long segmentEnd = (long long)(programs[i].p_offset + programs[i].p_filesz);
    if (segmentEnd > end)
      end = segmentEnd;
  }
  return loads ? end : -1;
}
