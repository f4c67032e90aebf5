// SPDX-License-Identifier: Apache-2.0
// hold_port.cpp -- holds loopback ports the way another user's program
// would: kestrovan_hold_port ADDRESS PORT [ADDRESS PORT ...] listens on each
// (IPv6 only for IPv6 addresses), prints "holding" and waits for a signal.
// The hardening tests run it through setpriv as another uid.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3 || argc % 2 != 1) {
    fprintf(stderr, "usage: kestrovan_hold_port ADDRESS PORT [ADDRESS PORT ...]\n");
    return 2;
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    bool ipv6 = strchr(argv[i], ':') != nullptr;
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    int rc = -1;
    if (ipv6) {
      setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
      sockaddr_in6 address{};
      address.sin6_family = AF_INET6;
      address.sin6_port = htons((unsigned short)atoi(argv[i + 1]));
      if (inet_pton(AF_INET6, argv[i], &address.sin6_addr) == 1)
        rc = bind(fd, (sockaddr*)&address, sizeof(address));
    } else {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons((unsigned short)atoi(argv[i + 1]));
      if (inet_pton(AF_INET, argv[i], &address.sin_addr) == 1)
        rc = bind(fd, (sockaddr*)&address, sizeof(address));
    }
    if (fd < 0 || rc != 0 || listen(fd, 8) != 0) {
      fprintf(stderr, "kestrovan_hold_port: %s %s: %s\n", argv[i], argv[i + 1], strerror(errno));
      return 1;
    }
  }
  printf("holding\n");
  fflush(stdout);
  for (;;)
    pause();
}
