// SPDX-License-Identifier: Apache-2.0
// peer_test.cpp -- the owner of the other end of a loopback connection and
// of a listening port, through socket diagnostics and the /proc tables,
// with the answers that must not count: a client that already closed (an
// orphan reported as uid 0), a client that reset, and a listener that the
// kernel names when no connection matches.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "common/loopback.h"

namespace {

using kl::ClientKind;
using kl::ForeignClient;
using kl::Socket;
using kl::bindLoopback;
using kl::connectClient;
using kl::kIpv4;
using kl::kIpv6;
using kl::kMapped;
using kl::loopbackOf;

const char* kindName(ClientKind kind) {
  return kind == kIpv4 ? "Ipv4" : kind == kIpv6 ? "Ipv6" : "Ipv4Mapped";
}

const char* sourceName(int source) {
  return source == KESTROVAN_PEER_SOURCE_ANY ? "Any" : source == KESTROVAN_PEER_SOURCE_NETLINK ? "Netlink" : "Proc";
}

struct Lookup {
  KestrovanPeerLookup lookup;
  explicit Lookup(int source) { KestrovanPlatform_peerLookupOpen(&lookup, source); }
  ~Lookup() { KestrovanPlatform_peerLookupClose(&lookup); }
  // Looks the accepted connection up the way the service does: the peer
  // address accept() gave, and the listener's own address.
  int peer(const sockaddr_storage& from, socklen_t fromLength, const Socket& listener, uint32_t* uid,
           std::string* reason) {
    return withReason(reason, [&](char* text, size_t size) {
      return KestrovanPlatform_peerUid(&lookup, (const sockaddr*)&from, fromLength, listener.sa(), listener.length,
                                       uid, text, size);
    });
  }
  int holder(const sockaddr* address, socklen_t length, uint32_t* uid, std::string* reason) {
    return withReason(reason, [&](char* text, size_t size) {
      return KestrovanPlatform_portHolder(&lookup, address, length, uid, text, size);
    });
  }
  template <typename Call>
  static int withReason(std::string* reason, Call call) {
    char text[256];
    int status = call(text, sizeof(text));
    *reason = text;
    return status;
  }
};

struct PeerCase {
  ClientKind kind;
  int source;
};

std::string caseName(const ::testing::TestParamInfo<PeerCase>& info) {
  return std::string(kindName(info.param.kind)) + sourceName(info.param.source);
}

class PeerLookup : public ::testing::TestWithParam<PeerCase> {
 protected:
  void SetUp() override {
    // An IPv4-mapped client reaches an IPv4 listener.
    ASSERT_TRUE(bindLoopback(&listener_, GetParam().kind == kIpv6)) << strerror(errno);
  }
  void acceptOne() { ASSERT_TRUE(kl::acceptOne(listener_, &accepted_, &from_, &fromLength_)) << strerror(errno); }
  Socket listener_;
  Socket accepted_;
  sockaddr_storage from_{};
  socklen_t fromLength_ = 0;
};

TEST_P(PeerLookup, NamesThisProcesssUser) {
  Socket client;
  client.fd = connectClient(listener_, GetParam().kind);
  ASSERT_GE(client.fd, 0) << strerror(errno);
  acceptOne();
  Lookup lookup(GetParam().source);
  uint32_t uid = 12345;
  std::string reason;
  // Twice on one channel: the second request is answered, not the first's echo.
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(lookup.peer(from_, fromLength_, listener_, &uid, &reason), KESTROVAN_PEER_FOUND) << reason;
    EXPECT_EQ(uid, (uint32_t)geteuid());
    EXPECT_EQ(reason, "uid " + std::to_string(geteuid()));
  }
}

TEST_P(PeerLookup, NamesAnotherUser) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to act as another user";
  ForeignClient client(listener_, GetParam().kind);
  ASSERT_TRUE(client.connected);
  acceptOne();
  Lookup lookup(GetParam().source);
  uint32_t uid = 0;
  std::string reason;
  EXPECT_EQ(lookup.peer(from_, fromLength_, listener_, &uid, &reason), KESTROVAN_PEER_FOUND) << reason;
  EXPECT_EQ(uid, 65534u);
}

// A client that closed before the lookup leaves an orphan in FIN_WAIT2,
// owned by nobody: the kernel reports uid 0 and inode 0. It must not pass
// for root. A client that reset leaves nothing to find.
TEST_P(PeerLookup, RefusesAClientThatIsGone) {
  struct Ending {
    bool reset;
    int status;
    const char* reason;
  } endings[] = {{false, KESTROVAN_PEER_UNCLEAN, "inode 0"}, {true, KESTROVAN_PEER_NOT_FOUND, "no such socket"}};
  for (const Ending& ending : endings) {
    int client = connectClient(listener_, GetParam().kind);
    ASSERT_GE(client, 0);
    acceptOne();
    if (ending.reset) {
      linger reset{1, 0};
      setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    }
    ASSERT_EQ(close(client), 0);
    usleep(20000);
    Lookup lookup(GetParam().source);
    uint32_t uid = 12345;
    std::string reason;
    EXPECT_EQ(lookup.peer(from_, fromLength_, listener_, &uid, &reason), ending.status) << reason;
    EXPECT_NE(reason.find(ending.reason), std::string::npos) << reason;
    EXPECT_EQ(uid, 12345u) << "set on a refusal";
    close(accepted_.fd);
    accepted_.fd = -1;
  }
}

INSTANTIATE_TEST_SUITE_P(Clients, PeerLookup,
                         ::testing::Values(PeerCase{kIpv4, KESTROVAN_PEER_SOURCE_ANY},
                                           PeerCase{kIpv4, KESTROVAN_PEER_SOURCE_NETLINK},
                                           PeerCase{kIpv4, KESTROVAN_PEER_SOURCE_PROC},
                                           PeerCase{kIpv6, KESTROVAN_PEER_SOURCE_ANY},
                                           PeerCase{kIpv6, KESTROVAN_PEER_SOURCE_NETLINK},
                                           PeerCase{kIpv6, KESTROVAN_PEER_SOURCE_PROC},
                                           PeerCase{kMapped, KESTROVAN_PEER_SOURCE_ANY},
                                           PeerCase{kMapped, KESTROVAN_PEER_SOURCE_NETLINK},
                                           PeerCase{kMapped, KESTROVAN_PEER_SOURCE_PROC}),
                         caseName);

// With no connection between the two ends, the kernel answers with the
// socket listening on the "client" port: the port check refuses it.
TEST(PeerLookupRules, AListenerOnTheClientPortIsNotAConnection) {
  Socket listener;
  Socket other;
  ASSERT_TRUE(bindLoopback(&listener, false));
  ASSERT_TRUE(bindLoopback(&other, false));
  for (int source : {KESTROVAN_PEER_SOURCE_ANY, KESTROVAN_PEER_SOURCE_NETLINK, KESTROVAN_PEER_SOURCE_PROC}) {
    Lookup lookup(source);
    uint32_t uid = 12345;
    std::string reason;
    int status = lookup.peer(other.address, other.length, listener, &uid, &reason);
    EXPECT_TRUE(status == KESTROVAN_PEER_UNCLEAN || status == KESTROVAN_PEER_NOT_FOUND)
        << sourceName(source) << ": " << status << " " << reason;
    EXPECT_EQ(uid, 12345u) << sourceName(source);
  }
}

TEST(PeerLookupRules, RefusesWhatIsNoTcpConnection) {
  Lookup lookup(KESTROVAN_PEER_SOURCE_ANY);
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_addr = in6addr_loopback;
  sockaddr unix_{};
  unix_.sa_family = AF_UNIX;
  uint32_t uid = 12345;
  char reason[128];
  struct Bad {
    const char* name;
    const sockaddr* peer;
    size_t peerLength;
    const sockaddr* local;
    size_t localLength;
  } cases[] = {
      {"NullPeer", nullptr, 0, (sockaddr*)&v4, sizeof(v4)},
      {"ShortPeer", (sockaddr*)&v4, 4, (sockaddr*)&v4, sizeof(v4)},
      {"UnixPeer", &unix_, sizeof(unix_), (sockaddr*)&v4, sizeof(v4)},
      {"FamiliesDiffer", (sockaddr*)&v6, sizeof(v6), (sockaddr*)&v4, sizeof(v4)},
  };
  for (const Bad& c : cases) {
    EXPECT_EQ(KestrovanPlatform_peerUid(&lookup.lookup, c.peer, c.peerLength, c.local, c.localLength, &uid, reason,
                                        sizeof(reason)),
              KESTROVAN_PEER_ERROR)
        << c.name;
    EXPECT_NE(reason[0], '\0') << c.name;
  }
  EXPECT_EQ(KestrovanPlatform_peerUid(nullptr, (sockaddr*)&v4, sizeof(v4), (sockaddr*)&v4, sizeof(v4), &uid, nullptr, 0),
            KESTROVAN_PEER_ERROR);
  EXPECT_EQ(uid, 12345u);
}

// ---- who holds a port ----

struct HolderCase {
  const char* name;
  bool ipv6;
  bool wildcard;   // the holder listens on the wildcard address
  bool listening;  // false: bound only
  bool foreign;    // held by uid 65534
};

void PrintTo(const HolderCase& c, std::ostream* out) {
  *out << c.name;
}

class PortHolder : public ::testing::TestWithParam<HolderCase> {};

TEST_P(PortHolder, NamesTheListenersOwner) {
  const HolderCase& c = GetParam();
  if (c.foreign && geteuid() != 0)
    GTEST_SKIP() << "needs root to act as another user";
  Socket holder;
  pid_t child = -1;
  int hold[2] = {-1, -1};
  if (c.foreign) {
    // The child binds as uid 65534 and reports the address it got.
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
    child = fork();
    if (child == 0) {
      close(ready[0]);
      close(hold[1]);
      Socket s;
      bool ok = setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
                setresuid(65534, 65534, 65534) == 0 && bindLoopback(&s, c.ipv6, c.listening, c.wildcard);
      sockaddr_storage address = s.address;
      if (!ok)
        address.ss_family = AF_UNSPEC;
      (void)!write(ready[1], &address, sizeof(address));
      char byte;
      (void)!read(hold[0], &byte, 1);
      _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    ASSERT_EQ(read(ready[0], &holder.address, sizeof(holder.address)), (ssize_t)sizeof(holder.address));
    close(ready[0]);
    ASSERT_NE(holder.address.ss_family, AF_UNSPEC);
  } else {
    ASSERT_TRUE(bindLoopback(&holder, c.ipv6, c.listening, c.wildcard));
  }
  socklen_t length = 0;
  sockaddr_storage wanted = loopbackOf(holder, &length);
  for (int source : {KESTROVAN_PEER_SOURCE_ANY, KESTROVAN_PEER_SOURCE_NETLINK, KESTROVAN_PEER_SOURCE_PROC}) {
    Lookup lookup(source);
    uint32_t uid = 12345;
    std::string reason;
    int status = lookup.holder((const sockaddr*)&wanted, length, &uid, &reason);
    if (c.listening) {
      EXPECT_EQ(status, KESTROVAN_PEER_FOUND) << sourceName(source) << ": " << reason;
      EXPECT_EQ(uid, c.foreign ? 65534u : (uint32_t)geteuid()) << sourceName(source);
    } else {
      EXPECT_NE(status, KESTROVAN_PEER_FOUND) << sourceName(source) << ": " << reason;
      EXPECT_EQ(uid, 12345u) << sourceName(source);
    }
  }
  if (child > 0) {
    close(hold[1]);
    waitpid(child, nullptr, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Holders, PortHolder,
                         ::testing::Values(HolderCase{"Ipv4", false, false, true, false},
                                           HolderCase{"Ipv6", true, false, true, false},
                                           HolderCase{"Ipv4Wildcard", false, true, true, false},
                                           HolderCase{"Ipv6Wildcard", true, true, true, false},
                                           HolderCase{"Ipv4BoundOnly", false, false, false, false},
                                           HolderCase{"Ipv4OtherUser", false, false, true, true},
                                           HolderCase{"Ipv6OtherUser", true, false, true, true}),
                         [](const ::testing::TestParamInfo<HolderCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(PortHolderRules, AFreePortHasNoHolder) {
  Socket probe;
  ASSERT_TRUE(bindLoopback(&probe, false, false));
  socklen_t length = 0;
  sockaddr_storage wanted = loopbackOf(probe, &length);
  close(probe.fd);
  probe.fd = -1;
  for (int source : {KESTROVAN_PEER_SOURCE_ANY, KESTROVAN_PEER_SOURCE_NETLINK, KESTROVAN_PEER_SOURCE_PROC}) {
    Lookup lookup(source);
    uint32_t uid = 12345;
    std::string reason;
    EXPECT_EQ(lookup.holder((const sockaddr*)&wanted, length, &uid, &reason), KESTROVAN_PEER_NOT_FOUND)
        << sourceName(source) << ": " << reason;
  }
}

}  // namespace
