#include "host/start_banner.h"

namespace tovel {

std::string localLink(const std::optional<std::string>& address, std::uint16_t port,
                      const std::optional<std::string>& pairingKey) {
  std::string link = "http://" + address.value_or("localhost") + ":" + std::to_string(port) + "?url=/";
  if (pairingKey)
    link += "#key=" + *pairingKey;
  return link;
}

void printStartBanner(Log& log, const std::optional<std::string>& address, std::string_view appSite,
                      std::uint16_t port, const std::optional<std::string>& pairingKey) {
  std::string site(appSite);
  std::string portText = std::to_string(port);
  log.print("Tovel Host started.");
  if (address) {
    log.print("\n\nIP Address: " + *address);
    log.print("\n\nTovel App Link: " + site + "?url=" + *address + ":" + portText + "\n\n");
    log.print("Tovel App Local Link: " + localLink(address, port, pairingKey) + "\n\n");
  } else {
    log.print("\n\nUnable to determine IP address.");
    log.print("\n\nTovel App Link: " + site + "\n\n");
    log.print("Tovel App Local Link: " + localLink(address, port, pairingKey) + "\n\n");
  }
}

} // namespace tovel
