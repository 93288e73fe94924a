#include <gtest/gtest.h>

#include "host/address.h"

namespace tovel {
namespace {

const std::string kHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string row(const char* iface, const char* destination, const char* flags, int metric,
                const char* mask) {
  return std::string(iface) + "\t" + destination + "\t0102A8C0\t" + flags + "\t0\t0\t" +
         std::to_string(metric) + "\t" + mask + "\t0\t0\t0\n";
}

TEST(AddressRoute, DefaultRouteIsUpWithZeroDestinationAndMask) {
  EXPECT_EQ(defaultRouteInterface(kHeader + row("docker0", "000011AC", "0001", 0, "0000FFFF") +
                                  row("eth0", "00000000", "0003", 100, "00000000")),
            "eth0");
  EXPECT_EQ(defaultRouteInterface(""), std::nullopt);
  EXPECT_EQ(defaultRouteInterface(kHeader + row("eth0", "00000000", "0001", 0, "000000FF")),
            std::nullopt);
  EXPECT_EQ(defaultRouteInterface("wlan0 zz 0 0003 0 0 0 00000000\n"), std::nullopt);
}

TEST(AddressRoute, LowestMetricWinsAndDownRoutesAreIgnored) {
  const auto wlan600 = row("wlan0", "00000000", "0003", 600, "00000000");
  EXPECT_EQ(
      defaultRouteInterface(kHeader + wlan600 + row("eth0", "00000000", "0003", 100, "00000000")),
      "eth0");
  EXPECT_EQ(
      defaultRouteInterface(kHeader + wlan600 + row("eth0", "00000000", "0003", 600, "00000000")),
      "wlan0");
  // Flags 0002 lack the up bit.
  EXPECT_EQ(
      defaultRouteInterface(kHeader + row("eth0", "00000000", "0002", 0, "00000000") + wlan600),
      "wlan0");
}

const InterfaceAddress kLoopback{"lo", "127.0.0.1", true, true};

TEST(AddressSelect, RouteInterfaceElseFirstUpNonLoopback) {
  const std::vector<InterfaceAddress> list{kLoopback,
                                           {"eth1", "10.0.0.5", false, false},
                                           {"eth0", "192.168.1.9", true, false},
                                           {"wlan0", "192.168.1.20", true, false}};
  EXPECT_EQ(selectHostAddress(list, "wlan0"), "192.168.1.20");
  EXPECT_EQ(selectHostAddress(list, std::nullopt), "192.168.1.9");
  EXPECT_EQ(selectHostAddress(list, "tun0"), "192.168.1.9"); // route interface has no IPv4
  EXPECT_EQ(selectHostAddress({kLoopback, {"eth1", "10.0.0.5", false, false}}, std::nullopt),
            std::nullopt);
}

TEST(AddressSelect, LastAddressOfThePrimaryInterfaceWins) {
  const std::vector<InterfaceAddress> list{{"eth0", "10.0.0.1", true, false},
                                           {"wlan0", "192.168.1.20", true, false},
                                           {"eth0", "10.0.0.2", true, false}};
  EXPECT_EQ(selectHostAddress(list, "eth0"), "10.0.0.2");
  EXPECT_EQ(selectHostAddress(list, std::nullopt), "10.0.0.2");
}

} // namespace
} // namespace tovel
