#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/log.h"

namespace tovel {

// The address of the local start page that the banner prints, for a given host address (the
// loopback name when there is none). With a pairing key, the key follows in the fragment, which
// browsers never send: only the page itself reads it.
std::string localLink(const std::optional<std::string>& address, std::uint16_t port,
                      const std::optional<std::string>& pairingKey = std::nullopt);

// The start message, the host's address and the two links: one to the public app site carrying
// this host's address, one to the local start page.
void printStartBanner(Log& log, const std::optional<std::string>& address, std::string_view appSite,
                      std::uint16_t port,
                      const std::optional<std::string>& pairingKey = std::nullopt);

} // namespace tovel
