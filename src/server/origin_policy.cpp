#include "server/origin_policy.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "common/text.h"
#include "server/request_intake.h"

namespace tovel {

namespace {

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return out;
}

// A host and optional port as in a Host header or an origin's authority: "name", "name:80",
// "1.2.3.4:80", "[::1]:80". None when malformed.
struct Authority {
  std::string host; // lower case, without brackets or a trailing dot
  std::optional<std::uint16_t> port;
};

std::optional<Authority> parseAuthority(std::string_view text) {
  std::string_view host = text, port;
  bool hasPort = false;
  if (text.starts_with('[')) {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos)
      return std::nullopt;
    host = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':')
        return std::nullopt;
      hasPort = true;
      port = rest.substr(1);
    }
    in6_addr address;
    if (inet_pton(AF_INET6, std::string(host).c_str(), &address) != 1)
      return std::nullopt;
  } else if (std::size_t colon = text.find(':'); colon != std::string_view::npos) {
    if (text.find(':', colon + 1) != std::string_view::npos)
      return std::nullopt; // a bare IPv6 address is not an authority
    host = text.substr(0, colon);
    hasPort = true;
    port = text.substr(colon + 1);
  }
  if (host.empty())
    return std::nullopt;
  for (unsigned char c : host)
    if (c <= ' ' || c >= 0x7f || c == '/' || c == '@' || c == '?' || c == '#' || c == '\\')
      return std::nullopt;
  Authority authority;
  if (hasPort) {
    if (port.empty() || port.size() > 5)
      return std::nullopt;
    unsigned value = 0;
    for (char c : port) {
      if (c < '0' || c > '9')
        return std::nullopt;
      value = value * 10 + unsigned(c - '0');
    }
    if (value == 0 || value > 65535)
      return std::nullopt;
    authority.port = std::uint16_t(value);
  }
  authority.host = lowered(host);
  if (authority.host.ends_with('.'))
    authority.host.pop_back();
  if (authority.host.empty())
    return std::nullopt;
  return authority;
}

// The address in the canonical text form of inet_ntop (IPv4-mapped IPv6 as IPv4); none when the
// text is not an address.
std::optional<std::string> canonicalAddress(std::string_view text) {
  std::string host(text);
  std::array<char, INET6_ADDRSTRLEN> buffer{};
  in_addr v4;
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
    return std::string(inet_ntop(AF_INET, &v4, buffer.data(), buffer.size()));
  in6_addr v6;
  if (inet_pton(AF_INET6, host.c_str(), &v6) != 1)
    return std::nullopt;
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    std::memcpy(&v4, &v6.s6_addr[12], 4);
    return std::string(inet_ntop(AF_INET, &v4, buffer.data(), buffer.size()));
  }
  return std::string(inet_ntop(AF_INET6, &v6, buffer.data(), buffer.size()));
}

bool isLoopback(const std::string& address) {
  return address == "::1" || address.starts_with("127.");
}

bool isLocalhostName(const std::string& host) {
  return host == "localhost" || host.ends_with(".localhost");
}

struct Origin {
  std::string scheme;
  Authority authority;
  std::uint16_t port = 0; // the given one or the scheme's default
};

std::optional<Origin> parseOrigin(std::string_view text) {
  std::size_t separator = text.find("://");
  if (separator == std::string_view::npos)
    return std::nullopt;
  Origin origin;
  origin.scheme = lowered(text.substr(0, separator));
  if (origin.scheme != "http" && origin.scheme != "https")
    return std::nullopt;
  std::optional<Authority> authority = parseAuthority(text.substr(separator + 3));
  if (!authority)
    return std::nullopt;
  origin.authority = std::move(*authority);
  std::uint16_t defaultPort = origin.scheme == "https" ? 443 : 80;
  origin.port = origin.authority.port.value_or(defaultPort);
  return origin;
}

std::string format(const Origin& origin) {
  bool bracketed = origin.authority.host.find(':') != std::string::npos;
  std::string text = origin.scheme + "://" +
                     (bracketed ? "[" + origin.authority.host + "]" : origin.authority.host);
  std::uint16_t defaultPort = origin.scheme == "https" ? 443 : 80;
  if (origin.port != defaultPort)
    text += ":" + std::to_string(origin.port);
  return text;
}

bool contains(const std::vector<std::string>& list, const std::string& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// One of the names or addresses this machine answers to, as a browser would have reached it.
bool namesThisMachine(const OriginPolicy& policy, const std::string& host,
                      const RequestArrival& arrival) {
  if (isLocalhostName(host) || contains(policy.machineNames, host))
    return true;
  std::optional<std::string> address = canonicalAddress(host);
  std::optional<std::string> local = canonicalAddress(arrival.localAddress);
  return address && ((local && *address == *local) || isLoopback(*address));
}

bool originAllowed(const OriginPolicy& policy, std::string_view value,
                   const RequestArrival& arrival) {
  std::optional<Origin> origin = parseOrigin(value);
  if (!origin)
    return false;
  if (contains(policy.allowedOrigins, format(*origin)))
    return true;
  return origin->scheme == "http" && origin->port == arrival.localPort &&
         namesThisMachine(policy, origin->authority.host, arrival);
}

bool hostAllowed(const OriginPolicy& policy, std::string_view value) {
  std::optional<Authority> authority = parseAuthority(value);
  if (!authority)
    return false;
  const std::string& host = authority->host;
  if (canonicalAddress(host) || isLocalhostName(host) || contains(policy.machineNames, host))
    return true;
  for (const std::string& allowed : policy.allowedOrigins)
    if (std::optional<Origin> origin = parseOrigin(allowed); origin && origin->authority.host == host)
      return true;
  return false;
}

// The origin of an address: what comes before its path ("https://site.example/app/" gives
// "https://site.example").
std::optional<std::string> originOfAddress(std::string_view address) {
  std::size_t scheme = address.find("://");
  if (scheme == std::string_view::npos)
    return std::nullopt;
  return normalisedOrigin(address.substr(0, address.find('/', scheme + 3)));
}

} // namespace

std::optional<std::string> normalisedOrigin(std::string_view text) {
  std::optional<Origin> origin = parseOrigin(trimBlanks(text));
  if (!origin)
    return std::nullopt;
  return format(*origin);
}

OriginPolicy OriginPolicy::forThisMachine(std::string_view appSite, std::string_view allowedList,
                                          std::vector<std::string>* ignored) {
  OriginPolicy policy;
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) == 0 && name[0] != '\0') {
    std::string host = lowered(name.data());
    policy.machineNames = {host, host + ".local"};
  }
  if (auto origin = originOfAddress(appSite))
    policy.allowedOrigins.push_back(*origin);
  std::size_t start = 0;
  while (start <= allowedList.size()) {
    std::size_t comma = allowedList.find(',', start);
    std::string_view entry =
        trimBlanks(allowedList.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (!entry.empty()) {
      if (auto origin = originOfAddress(entry))
        policy.allowedOrigins.push_back(*origin);
      else if (ignored)
        ignored->emplace_back(entry);
    }
    if (comma == std::string_view::npos)
      break;
    start = comma + 1;
  }
  return policy;
}

std::optional<OriginRefusal> refusalOf(const OriginPolicy& policy, std::string_view headerBlock,
                                       const RequestArrival& arrival) {
  std::vector<std::string_view> lines = splitLines(headerBlock);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.empty())
      break;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
      continue;
    std::string name = lowered(trimBlanks(line.substr(0, colon)));
    std::string_view value = trimBlanks(line.substr(colon + 1));
    if (name == "origin" && !originAllowed(policy, value, arrival))
      return OriginRefusal{"Origin", std::string(value)};
    if (name == "host" && !hostAllowed(policy, value))
      return OriginRefusal{"Host", std::string(value)};
  }
  return std::nullopt;
}

} // namespace tovel
