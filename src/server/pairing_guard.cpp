#include "server/pairing_guard.h"

#include <algorithm>

#include <asio/ip/address.hpp>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "common/text.h"
#include "server/connection_slots.h"
#include "server/request_intake.h"

namespace tovel {

namespace {

constexpr std::size_t kMaxKeys = 4;

bool sameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// The address as the guard counts it: as the listener's caps do (IPv6 by its /64 network).
std::string countedAs(const std::string& address) {
  asio::error_code error;
  asio::ip::address parsed = asio::ip::make_address(address, error);
  return error ? address : ConnectionSlots::describe(ConnectionSlots::clientOf(parsed));
}

} // namespace

std::vector<std::string_view> pairingKeysOf(std::string_view headerBlock) {
  std::vector<std::string_view> keys;
  std::vector<std::string_view> lines = splitLines(headerBlock);
  for (std::size_t i = 1; i < lines.size() && keys.size() < kMaxKeys; ++i) {
    std::string_view line = lines[i];
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
      continue;
    std::string_view name = line.substr(0, colon);
    std::string_view value = trimBlanks(line.substr(colon + 1));
    if (sameIgnoringCase(name, "authorization")) {
      std::size_t space = value.find(' ');
      if (space != std::string_view::npos && sameIgnoringCase(value.substr(0, space), "bearer"))
        if (std::string_view key = trimBlanks(value.substr(space + 1)); !key.empty())
          keys.push_back(key);
    } else if (sameIgnoringCase(name, "cookie")) {
      for (std::string_view pair : splitDroppingEmpty(value, ";")) {
        pair = trimBlanks(pair);
        std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == kPairingCookie &&
            equals + 1 < pair.size() && keys.size() < kMaxKeys)
          keys.push_back(pair.substr(equals + 1));
      }
    }
  }
  return keys;
}

PairingGuard::PairingGuard(std::string_view secret) : secret_(digestOf(secret)) {}

PairingGuard::Digest PairingGuard::digestOf(std::string_view key) {
  Digest digest{};
  unsigned length = 0;
  EVP_Digest(key.data(), key.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

PairingGuard::Record& PairingGuard::recordFor(const std::string& address, double now) {
  std::string key = countedAs(address);
  auto found = records_.find(key);
  if (found == records_.end() && records_.size() >= kMaxAddresses) {
    // Forget whoever has been quiet for a minute; failing that, the one quiet the longest.
    std::erase_if(records_,
                  [&](const auto& entry) { return now - entry.second.lastSeen >= kWindowSeconds; });
    if (records_.size() >= kMaxAddresses)
      records_.erase(std::min_element(records_.begin(), records_.end(), [](auto& a, auto& b) {
        return a.second.lastSeen < b.second.lastSeen;
      }));
  }
  Record& record = records_[key];
  record.lastSeen = now;
  if (now - record.windowStart >= kWindowSeconds) {
    record.windowStart = now;
    record.wrongKeys = 0;
  }
  return record;
}

std::optional<std::string> PairingGuard::logOnce(Record& record, double now, std::string line) {
  if (record.loggedAt && now - *record.loggedAt < kWindowSeconds)
    return std::nullopt;
  record.loggedAt = now;
  return line;
}

PairingGuard::Verdict PairingGuard::check(std::string_view headerBlock, std::string_view what,
                                          const std::string& address, double now) {
  std::vector<std::string_view> keys = pairingKeysOf(headerBlock);
  auto it = records_.find(countedAs(address));
  bool known = it != records_.end();
  // Quick for the paired: a right key from an address with nothing against it needs no record.
  if (!known || it->second.wrongKeys < kWrongKeyLimit ||
      now - it->second.windowStart >= kWindowSeconds) {
    bool right = false;
    for (std::string_view key : keys) {
      Digest digest = digestOf(key);
      right |= CRYPTO_memcmp(digest.data(), secret_.data(), digest.size()) == 0;
    }
    if (right)
      return {Outcome::allowed, std::nullopt};
  }
  Record& record = recordFor(address, now);
  std::string prefix = "Refused " + std::string(what) + " from " + address + ": ";
  if (record.wrongKeys >= kWrongKeyLimit)
    return {Outcome::blocked,
            logOnce(record, now, prefix + "too many wrong pairing keys, refused for a minute")};
  if (keys.empty())
    return {Outcome::missing, logOnce(record, now, prefix + "no pairing key")};
  if (++record.wrongKeys == kWrongKeyLimit) {
    // Someone is guessing: said whenever it happens, at most once a minute by its nature.
    record.loggedAt = now;
    return {Outcome::wrong, prefix + "wrong pairing key, the " + std::to_string(kWrongKeyLimit) +
                                "th this minute: refused for the rest of it"};
  }
  return {Outcome::wrong, logOnce(record, now, prefix + "wrong pairing key")};
}

} // namespace tovel
