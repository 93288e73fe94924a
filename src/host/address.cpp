#include "host/address.h"

#include <charconv>
#include <cstdint>
#include <fstream>
#include <sstream>

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tovel {

namespace {

constexpr std::uint32_t kRouteUp = 0x1; // RTF_UP

std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  while (pos < line.size()) {
    const auto start = line.find_first_not_of(" \t", pos);
    if (start == std::string_view::npos)
      break;
    auto end = line.find_first_of(" \t", start);
    if (end == std::string_view::npos)
      end = line.size();
    fields.push_back(line.substr(start, end - start));
    pos = end;
  }
  return fields;
}

template <typename T> bool parseWhole(std::string_view text, T& value, int base) {
  const auto* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value, base);
  return result.ec == std::errc() && result.ptr == end;
}

} // namespace

std::optional<std::string> defaultRouteInterface(std::string_view procNetRoute) {
  std::optional<std::string> best;
  std::uint32_t bestMetric = 0;
  std::size_t pos = 0;
  while (pos < procNetRoute.size()) {
    auto lineEnd = procNetRoute.find('\n', pos);
    if (lineEnd == std::string_view::npos)
      lineEnd = procNetRoute.size();
    const auto fields = splitFields(procNetRoute.substr(pos, lineEnd - pos));
    pos = lineEnd + 1;

    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the header row and anything
    // malformed fail to parse and are passed over.
    if (fields.size() < 8)
      continue;
    std::uint32_t destination = 0, flags = 0, metric = 0, mask = 0;
    if (!parseWhole(fields[1], destination, 16) || !parseWhole(fields[3], flags, 16) ||
        !parseWhole(fields[6], metric, 10) || !parseWhole(fields[7], mask, 16))
      continue;
    if (destination != 0 || mask != 0 || (flags & kRouteUp) == 0)
      continue;
    if (!best || metric < bestMetric) {
      best = std::string(fields[0]);
      bestMetric = metric;
    }
  }
  return best;
}

std::optional<std::string> selectHostAddress(const std::vector<InterfaceAddress>& addresses,
                                             const std::optional<std::string>& routeInterface) {
  std::optional<std::string> primary;
  if (routeInterface) {
    for (const auto& entry : addresses)
      if (entry.name == *routeInterface) {
        primary = entry.name;
        break;
      }
  }
  if (!primary) {
    for (const auto& entry : addresses)
      if (entry.up && !entry.loopback) {
        primary = entry.name;
        break;
      }
  }
  if (!primary)
    return std::nullopt;

  std::optional<std::string> address;
  for (const auto& entry : addresses)
    if (entry.name == *primary)
      address = entry.address;
  return address;
}

std::optional<std::string> getIPAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0)
    return std::nullopt;

  std::vector<InterfaceAddress> addresses;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
        entry->ifa_name == nullptr)
      continue;
    char host[NI_MAXHOST] = {};
    if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof(host), nullptr, 0,
                    NI_NUMERICHOST) != 0)
      continue;
    addresses.push_back({entry->ifa_name, host, (entry->ifa_flags & IFF_UP) != 0,
                         (entry->ifa_flags & IFF_LOOPBACK) != 0});
  }
  freeifaddrs(list);

  std::ostringstream routes;
  if (std::ifstream file("/proc/net/route"); file)
    routes << file.rdbuf();
  return selectHostAddress(addresses, defaultRouteInterface(routes.str()));
}

} // namespace tovel
