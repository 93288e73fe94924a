#include <gtest/gtest.h>

#include "host/address.h"

namespace tovel {
namespace {

const std::string kHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string row(const char* iface, const char* flags, int metric,
                const char* destination = "00000000", const char* mask = "00000000") {
  return std::string(iface) + "\t" + destination + "\t0102A8C0\t" + flags + "\t0\t0\t" +
         std::to_string(metric) + "\t" + mask + "\t0\t0\t0\n";
}

TEST(AddressRoute, DefaultRouteIsUpWithZeroDestinationAndMaskAndTheLowestMetric) {
  EXPECT_EQ(defaultRouteInterface(kHeader + row("docker0", "0001", 0, "000011AC", "0000FFFF") +
                                  row("eth0", "0003", 100)),
            "eth0");
  EXPECT_EQ(defaultRouteInterface(""), std::nullopt);
  EXPECT_EQ(defaultRouteInterface(kHeader + row("eth0", "0001", 0, "00000000", "000000FF")),
            std::nullopt);
  EXPECT_EQ(defaultRouteInterface("wlan0 zz 0 0003 0 0 0 00000000\n"), std::nullopt);
  // The lowest metric wins, the first on a tie; flags 0002 lack the up bit.
  const std::string wlan600 = kHeader + row("wlan0", "0003", 600);
  EXPECT_EQ(defaultRouteInterface(wlan600 + row("eth0", "0003", 100)), "eth0");
  EXPECT_EQ(defaultRouteInterface(wlan600 + row("eth0", "0003", 600)), "wlan0");
  EXPECT_EQ(defaultRouteInterface(wlan600 + row("eth0", "0002", 0)), "wlan0");
}

TEST(AddressSelect, RouteInterfaceElseFirstUpNonLoopbackAndItsLastAddress) {
  const InterfaceAddress lo{"lo", "127.0.0.1", true, true}, eth1{"eth1", "10.0.0.5", false, false};
  const InterfaceAddress eth0{"eth0", "192.168.1.9", true, false}, eth0b{"eth0", "10.0.0.2", true};
  const std::vector<InterfaceAddress> list{lo, eth1, eth0, {"wlan0", "192.168.1.20", true}, eth0b};
  EXPECT_EQ(selectHostAddress(list, "wlan0"), "192.168.1.20");
  EXPECT_EQ(selectHostAddress(list, "eth0"), "10.0.0.2");
  EXPECT_EQ(selectHostAddress(list, std::nullopt), "10.0.0.2");
  EXPECT_EQ(selectHostAddress(list, "tun0"), "10.0.0.2"); // route interface has no IPv4
  EXPECT_EQ(selectHostAddress({lo, eth1}, std::nullopt), std::nullopt);
}

} // namespace
} // namespace tovel
