// SPDX-License-Identifier: Apache-2.0
// Which addresses a certificate's URL may not reach by default: every way of
// writing the user's own machine or a private network is refused, public
// addresses are not.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "adapters/helm/helm.h"

namespace {

struct AddressCase {
  const char* name;
  const char* address;  // IPv4 or IPv6 text
  bool refused;
};

void PrintTo(const AddressCase& c, std::ostream* os) { *os << c.name; }

class HelmPrivateAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(HelmPrivateAddress, RefusesTheUsersOwnNetworks) {
  const AddressCase& c = GetParam();
  sockaddr_storage storage = {};
  if (inet_pton(AF_INET, c.address, &reinterpret_cast<sockaddr_in*>(&storage)->sin_addr) == 1) {
    storage.ss_family = AF_INET;
  } else {
    ASSERT_EQ(inet_pton(AF_INET6, c.address, &reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr), 1) << c.address;
    storage.ss_family = AF_INET6;
  }
  EXPECT_EQ(HelmHttp_PrivateAddress(reinterpret_cast<sockaddr*>(&storage)), c.refused) << c.address;
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, HelmPrivateAddress,
    ::testing::Values(AddressCase{"Loopback", "127.0.0.1", true}, AddressCase{"LoopbackElsewhere", "127.45.6.7", true},
                      AddressCase{"ThisNetwork", "0.0.0.0", true}, AddressCase{"Ten", "10.1.2.3", true},
                      AddressCase{"SharedCgnat", "100.64.0.1", true},
                      AddressCase{"JustPastShared", "100.128.0.1", false},
                      AddressCase{"LinkLocalMetadata", "169.254.169.254", true},
                      AddressCase{"OneSevenTwo", "172.16.0.1", true}, AddressCase{"OneSevenTwoEnd", "172.31.255.254", true},
                      AddressCase{"OneSevenTwoPublic", "172.32.0.1", false},
                      AddressCase{"OneNineTwo", "192.168.1.1", true}, AddressCase{"Benchmarking", "198.18.0.1", true},
                      AddressCase{"Multicast", "224.0.0.251", true}, AddressCase{"Broadcast", "255.255.255.255", true},
                      AddressCase{"PublicV4", "93.184.216.34", false}, AddressCase{"PublicV4Dns", "8.8.8.8", false},
                      AddressCase{"V6Loopback", "::1", true}, AddressCase{"V6Unspecified", "::", true},
                      AddressCase{"V6Mapped", "::ffff:127.0.0.1", true},
                      AddressCase{"V6MappedPrivate", "::ffff:192.168.0.10", true},
                      AddressCase{"V6MappedPublic", "::ffff:93.184.216.34", false},
                      AddressCase{"V6Compatible", "::127.0.0.1", true}, AddressCase{"V6UniqueLocal", "fd12:3456::1", true},
                      AddressCase{"V6LinkLocal", "fe80::1", true}, AddressCase{"V6Multicast", "ff02::1", true},
                      AddressCase{"V6Nat64Private", "64:ff9b::a00:1", true},
                      AddressCase{"V6SixToFourPrivate", "2002:c0a8:0101::1", true},
                      AddressCase{"V6Public", "2001:4860:4860::8888", false}),
    [](const ::testing::TestParamInfo<AddressCase>& info) { return std::string(info.param.name); });

}  // namespace
