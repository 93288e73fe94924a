#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovel {

// Which web pages may use the host. A browser lets any page send requests to any address, and the
// host's answers allow every origin to read them; so the requests themselves are refused when a
// browser says they come from someone else's page:
// - a request with an Origin header is served only when that origin is the host's own (one of its
//   addresses, localhost or this machine's name, on the port the request came in on), the app
//   site's, or one the user allowed;
// - a request whose Host header names neither an address, localhost, this machine nor the host of
//   an allowed origin is refused too: a page of a name that an attacker's DNS later points at this
//   machine counts as same-origin to the browser, which then sends no Origin on a GET.
// Requests without these headers (curl, native clients) are served as before.
struct OriginPolicy {
  std::vector<std::string> machineNames;   // lower case, e.g. "desk" and "desk.local"
  std::vector<std::string> allowedOrigins; // normalised ("http://phone.lan:8080")

  // The machine's names from the system, the app site's origin and the comma-separated origins of
  // `allowedList` (TOVEL_ALLOWED_ORIGINS; a path after an origin is ignored); entries that are
  // not origins are left out and named in `ignored`.
  static OriginPolicy forThisMachine(std::string_view appSite, std::string_view allowedList,
                                     std::vector<std::string>* ignored = nullptr);
};

// Where a request came in: the host's own address and port on that connection.
struct RequestArrival {
  std::string localAddress; // "192.168.1.20", "::1"; IPv4-mapped IPv6 given as IPv4
  std::uint16_t localPort = 0;
};

// Why a request is refused; none when it is served.
struct OriginRefusal {
  std::string header; // "Origin" or "Host"
  std::string value;
};

// Checks the Origin and Host headers of a request's header block (request line first, lines
// ending in CR LF).
std::optional<OriginRefusal> refusalOf(const OriginPolicy& policy, std::string_view headerBlock,
                                       const RequestArrival& arrival);

// "scheme://host[:port]" with the scheme and host in lower case and a default port left out;
// none for anything else, "null" included.
std::optional<std::string> normalisedOrigin(std::string_view origin);

} // namespace tovel
