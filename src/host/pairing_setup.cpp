#include "host/pairing_setup.h"

#include "host/address.h"
#include "host/pairing_secret.h"
#include "host/start_banner.h"
#include "host/terminal_qr.h"

namespace tovel {

PairingSetup setUpPairing(const CommandLine& commandLine, Log& log) {
  PairingSetup setup;
  if (!commandLine.pair && !commandLine.printLink)
    return setup;
  std::optional<std::filesystem::path> path = pairingSecretPath();
  if (!commandLine.pair) {
    if (path)
      setup.key = readPairingSecret(*path);
    return setup;
  }
  if (!path) {
    log.print("Cannot pair: neither XDG_CONFIG_HOME nor HOME says where to keep the secret.");
    setup.ok = false;
    return setup;
  }
  std::string error;
  std::optional<PairingSecret> secret =
      loadOrCreatePairingSecret(*path, commandLine.newSecret, error);
  if (!secret) {
    log.print("Cannot pair: " + error);
    setup.ok = false;
    return setup;
  }
  if (secret->created)
    log.print(commandLine.newSecret
                  ? "A new pairing secret is kept in " + path->string() +
                        ": phones paired before must open the new link or scan its code."
                  : "A pairing secret is kept in " + path->string() + ".");
  setup.key = secret->key;
  return setup;
}

void printPairingLink(Log& log, const std::optional<std::string>& key, std::uint16_t port) {
  std::optional<std::string> address = getIPAddress();
  log.print("Tovel App Local Link: " + localLink(address, port, key));
  if (!address) {
    log.print("This computer has no network address a phone could reach.");
    return;
  }
  if (auto code = renderTerminalQrCode(localLink(address, port, key)))
    log.print(*code);
}

} // namespace tovel
