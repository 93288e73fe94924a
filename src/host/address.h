#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovel {

// One IPv4 address of a network interface, as the interface list gives it.
struct InterfaceAddress {
  std::string name;    // interface name, e.g. "eth0"
  std::string address; // dotted IPv4 text
  bool up = false;
  bool loopback = false;
};

// The interface that carries the default IPv4 route in a /proc/net/route table (the one with the
// lowest metric when there are several), if any.
std::optional<std::string> defaultRouteInterface(std::string_view procNetRoute);

// The host's address: an IPv4 address of the primary interface, which is the one carrying the
// default route, else the first non-loopback interface that is up. When the primary interface
// has several addresses, the last one in list order wins.
std::optional<std::string> selectHostAddress(const std::vector<InterfaceAddress>& addresses,
                                             const std::optional<std::string>& routeInterface);

// The above, on this machine's interfaces and routing table.
std::optional<std::string> getIPAddress();

} // namespace tovel
