// SPDX-License-Identifier: Apache-2.0
// loopback.h -- loopback TCP sockets for the tests of who is connecting:
// listeners on ports the kernel picks, clients of this process, and clients
// of another user (a child process that drops to uid/gid 65534; root only).
#ifndef KESTROVAN_TESTS_COMMON_LOOPBACK_H
#define KESTROVAN_TESTS_COMMON_LOOPBACK_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace kl {

enum ClientKind { kIpv4, kIpv6, kMapped };

struct Socket {
  int fd = -1;
  sockaddr_storage address{};
  socklen_t length = 0;
  Socket() = default;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() {
    if (fd >= 0)
      close(fd);
  }
  const sockaddr* sa() const { return (const sockaddr*)&address; }
};

// A socket bound to the loopback address of the family on a free port,
// listening unless asked not to. The port is in address.
inline bool bindLoopback(Socket* s, bool ipv6, bool listening = true, bool wildcard = false) {
  s->fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s->fd < 0)
    return false;
  int rc;
  if (ipv6) {
    int one = 1;
    setsockopt(s->fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = wildcard ? in6addr_any : in6addr_loopback;
    rc = bind(s->fd, (sockaddr*)&a, sizeof(a));
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(wildcard ? INADDR_ANY : INADDR_LOOPBACK);
    rc = bind(s->fd, (sockaddr*)&a, sizeof(a));
  }
  if (rc != 0 || (listening && listen(s->fd, 16) != 0))
    return false;
  s->length = sizeof(s->address);
  return getsockname(s->fd, (sockaddr*)&s->address, &s->length) == 0;
}

// The listener's loopback address with its port (for a wildcard listener,
// the loopback address a client reaches it on).
inline sockaddr_storage loopbackOf(const Socket& listener, socklen_t* length) {
  sockaddr_storage out = listener.address;
  if (out.ss_family == AF_INET) {
    ((sockaddr_in*)&out)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    *length = sizeof(sockaddr_in);
  } else {
    ((sockaddr_in6*)&out)->sin6_addr = in6addr_loopback;
    *length = sizeof(sockaddr_in6);
  }
  return out;
}

// Connects a new client socket of the kind to the listener; -1 on failure.
inline int connectClient(const Socket& listener, ClientKind kind) {
  uint16_t port = listener.address.ss_family == AF_INET ? ((const sockaddr_in*)&listener.address)->sin_port
                                                         : ((const sockaddr_in6*)&listener.address)->sin6_port;
  int fd = socket(kind == kIpv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  int rc;
  if (kind == kIpv4) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = port;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = connect(fd, (sockaddr*)&a, sizeof(a));
  } else {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = port;
    if (kind == kMapped)
      inet_pton(AF_INET6, "::ffff:127.0.0.1", &a.sin6_addr);
    else
      a.sin6_addr = in6addr_loopback;
    rc = connect(fd, (sockaddr*)&a, sizeof(a));
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Accepts the next connection of listener into accepted, with the peer
// address accept() gives (what the accept policy sees). False on failure.
inline bool acceptOne(const Socket& listener, Socket* accepted, sockaddr_storage* from, socklen_t* fromLength) {
  *fromLength = sizeof(*from);
  accepted->fd = accept4(listener.fd, (sockaddr*)from, fromLength, SOCK_CLOEXEC);
  return accepted->fd >= 0;
}

// A client socket of another user: a child process drops to uid/gid 65534
// and connects; it keeps the connection open until the pipe closes.
struct ForeignClient {
  pid_t pid = -1;
  int hold = -1;  // closing it lets the child end
  bool connected = false;
  ForeignClient(const Socket& listener, ClientKind kind) {
    int ready[2];
    int wait[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(wait, O_CLOEXEC) != 0)
      return;
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      close(wait[1]);
      char ok = 0;
      if (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0) {
        int fd = connectClient(listener, kind);
        ok = fd >= 0 ? 1 : 0;
      }
      (void)!write(ready[1], &ok, 1);
      char byte;
      (void)!read(wait[0], &byte, 1);
      _exit(0);
    }
    close(ready[1]);
    close(wait[0]);
    hold = wait[1];
    char ok = 0;
    connected = read(ready[0], &ok, 1) == 1 && ok == 1;
    close(ready[0]);
  }
  ~ForeignClient() {
    if (hold >= 0)
      close(hold);
    if (pid > 0)
      waitpid(pid, nullptr, 0);
  }
};

}  // namespace kl

#endif
