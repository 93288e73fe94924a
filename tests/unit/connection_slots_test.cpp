#include <gtest/gtest.h>

#include "server/connection_slots.h"

namespace tovel {
namespace {

// Connections count against the cap of the client they come from: an IPv4 client reaching the
// dual-stack socket is the IPv4 address, and an IPv6 device is its /64, inside which it can take
// any number of addresses.
TEST(ConnectionSlots, ClientsAreAddressesAndIpv6Networks) {
  const std::pair<const char*, const char*> cases[] = {
      {"192.0.2.7", "192.0.2.7"},
      {"::ffff:192.0.2.7", "192.0.2.7"},
      {"::1", "::/64"},
      {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", "2001:db8:1:2::/64"},
      {"2001:db8:1:2::1", "2001:db8:1:2::/64"},
      {"fe80::1234:5678", "fe80::/64"},
  };
  for (const auto& [peer, client] : cases)
    EXPECT_EQ(ConnectionSlots::describe(ConnectionSlots::clientOf(asio::ip::make_address(peer))),
              client)
        << peer;
}

} // namespace
} // namespace tovel
