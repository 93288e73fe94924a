#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/log.h"
#include "host/command_line.h"

namespace tovel {

struct PairingSetup {
  bool ok = true;                  // false: pairing was asked for and cannot be had (said why)
  std::optional<std::string> key;  // the secret requests must carry; none: pairing is off
};

// The secret the command line asks for: with --pair (or --new-secret) the stored one, made when
// there is none or when a new one is asked for; with --print-link alone the stored one, if any.
// Says what it did when a secret was made, and why when none could be had.
PairingSetup setUpPairing(const CommandLine& commandLine, Log& log);

// What --print-link prints: the local link (with the key, if any) and its QR code; without a
// network address, the loopback link and why a phone cannot use it.
void printPairingLink(Log& log, const std::optional<std::string>& key, std::uint16_t port);

} // namespace tovel
