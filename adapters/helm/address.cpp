// SPDX-License-Identifier: Apache-2.0
// address.cpp -- which network addresses a URL named by a certificate may
// not reach unless the settings allow: a page that hands in a certificate
// must not make the adapter knock on the user's own machine or network.
#include "helm.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

// IPv4 in host order: the ranges a certificate's URL may not reach.
static bool privateV4(uint32_t a) {
  struct Range {
    uint32_t net, mask;
  };
  static const Range ranges[] = {
      {0x00000000, 0xff000000},  // 0/8: "this network"
      {0x0a000000, 0xff000000},  // 10/8
      {0x64400000, 0xffc00000},  // 100.64/10: shared (CGNAT)
      {0x7f000000, 0xff000000},  // 127/8: loopback
      {0xa9fe0000, 0xffff0000},  // 169.254/16: link-local
      {0xac100000, 0xfff00000},  // 172.16/12
      {0xc0000000, 0xffffff00},  // 192.0.0/24: protocol assignments
      {0xc0a80000, 0xffff0000},  // 192.168/16
      {0xc6120000, 0xfffe0000},  // 198.18/15: benchmarking
      {0xe0000000, 0xe0000000},  // 224/3: multicast and reserved, broadcast
  };
  for (const Range& r : ranges)
    if ((a & r.mask) == r.net) return true;
  return false;
}

bool HelmHttp_PrivateAddress(const struct sockaddr* address) {
  if (address == nullptr) return true;
  if (address->sa_family == AF_INET) {
    const struct sockaddr_in* v4 = reinterpret_cast<const struct sockaddr_in*>(address);
    return privateV4(ntohl(v4->sin_addr.s_addr));
  }
  if (address->sa_family != AF_INET6) return true;
  const unsigned char* b = reinterpret_cast<const struct sockaddr_in6*>(address)->sin6_addr.s6_addr;
  static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  static const unsigned char zeros[15] = {0};
  if (memcmp(b, mapped, sizeof mapped) == 0 || (memcmp(b, zeros, 12) == 0 && (b[12] | b[13]) != 0)) {
    // IPv4-mapped (::ffff:a.b.c.d) and IPv4-compatible (::a.b.c.d): their IPv4 address decides.
    return privateV4((uint32_t)b[12] << 24 | (uint32_t)b[13] << 16 | (uint32_t)b[14] << 8 | b[15]);
  }
  if (memcmp(b, zeros, 15) == 0) return true;     // :: and ::1
  if ((b[0] & 0xfe) == 0xfc) return true;         // fc00::/7 unique local
  if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return true;  // fe80::/10 link-local
  if (b[0] == 0xfe && (b[1] & 0xc0) == 0xc0) return true;  // fec0::/10 site-local (deprecated)
  if (b[0] == 0xff) return true;                  // multicast
  if (b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xff && b[3] == 0x9b) {
    return privateV4((uint32_t)b[12] << 24 | (uint32_t)b[13] << 16 | (uint32_t)b[14] << 8 | b[15]);  // NAT64
  }
  if (b[0] == 0x20 && b[1] == 0x02) {             // 2002::/16 6to4: the IPv4 address it names
    return privateV4((uint32_t)b[2] << 24 | (uint32_t)b[3] << 16 | (uint32_t)b[4] << 8 | b[5]);
  }
  return false;
}

