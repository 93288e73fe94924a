#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tovel {

// The pairing secret: 192 random bits from the system, as 32 characters of URL-safe Base64, so
// that it fits a link's fragment, a cookie and a header as it is.
struct PairingSecret {
  std::string key;
  bool created = false; // made now (there was none, it could not be read, or a new one was asked)
};

// $XDG_CONFIG_HOME/tovel-host/secret, else ~/.config/tovel-host/secret; none without either.
std::optional<std::filesystem::path> pairingSecretPath();

// The stored secret, if the file holds one.
std::optional<std::string> readPairingSecret(const std::filesystem::path& path);

// The stored secret, or a new one written in its place (the folder made as needed, the file only
// ever readable by its owner, replaced in one step) when there is none, it cannot be read or
// `renew` asks for a new one. None, with the reason in `error`, when it cannot be stored.
std::optional<PairingSecret> loadOrCreatePairingSecret(const std::filesystem::path& path,
                                                      bool renew, std::string& error);

} // namespace tovel
