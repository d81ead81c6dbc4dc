// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/base/net.h"

#include <gtest/gtest.h>

namespace gorvane::server {
namespace {

sockaddr_storage Address(const std::string& text) {
  const auto address = ListenAddress(text, 40000);
  EXPECT_TRUE(address) << text;
  return address ? address->storage : sockaddr_storage{};
}

// Per-address limits: one holder of a /64 is one address; IPv4, mapped or
// not, counts by the host.
TEST(Net, AddressKeyCountsAnIpv6PrefixAsOneAddress) {
  struct Row {
    std::string a, b;
    int prefix;
    bool same;
  } rows[] = {
      {"2001:db8:1:2::1", "2001:db8:1:2:ffff:1:2:3", 64, true},
      {"2001:db8:1:2::1", "2001:db8:1:3::1", 64, false},
      {"2001:db8:1:2::1", "2001:db8:1:3::1", 48, true},
      {"2001:db8:1:2::1", "2001:db8:1:2::2", 128, false},
      {"2001:db8:1:2::1", "2001:db8:1:2::1", 128, true},
      {"::ffff:10.0.0.1", "10.0.0.1", 64, true},
      {"10.0.0.1", "10.0.0.2", 64, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(AddressKey(Address(row.a), row.prefix) == AddressKey(Address(row.b), row.prefix), row.same)
        << row.a << " " << row.b << " /" << row.prefix;
  }
  EXPECT_EQ(AddressKey(Address("2001:db8:1:2:3:4:5:6"), 64), "2001:db8:1:2::/64");
}

// A typed address is keyed as the admission keys a peer, so that a ban on
// it matches the connections it names.
TEST(Net, TypedAddressKeysAsAPeerWould) {
  const struct {
    const char* typed;
    int prefix;
    std::optional<std::string> key;
  } rows[] = {
      {"192.0.2.7", 64, "192.0.2.7"},
      {"::ffff:192.0.2.7", 64, "192.0.2.7"},
      {"[2001:db8:1:2:3:4:5:6]", 64, "2001:db8:1:2::/64"},
      {"2001:db8:1:2::/64", 64, "2001:db8:1:2::/64"},
      {"2001:db8:1:2:ff::/64", 48, "2001:db8:1::/48"},
      {"192.0.2.0/24", 64, std::nullopt},
      {"2001:db8::/x", 64, std::nullopt},
      {"carol", 64, std::nullopt},
      {"", 64, std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(AddressKeyOf(row.typed, row.prefix), row.key) << row.typed;
}

}  // namespace
}  // namespace gorvane::server
