#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tovel {

// The keys a request's header block carries: the value of every `Authorization: Bearer KEY`
// header and of every `tovel_key` cookie, in the order they come (header names and the scheme in
// any case). At most a handful are taken, however many are sent.
std::vector<std::string_view> pairingKeysOf(std::string_view headerBlock);

// The name of the cookie the app keeps its key in.
inline constexpr std::string_view kPairingCookie = "tovel_key";

// With pairing on, only requests that carry the host's secret drive the desktop or see its
// screen. The guard judges one request from one address at a time (on the main loop) and keeps,
// per address, how many wrong keys came this minute and when a refusal was last logged:
// - a request without a key, or with a wrong one, is refused; its refusal is logged at most once
//   a minute per address;
// - an address that sent kWrongKeyLimit wrong keys within a minute is refused without its keys
//   being looked at until that minute has passed, so guessing costs a minute per ten tries;
// - keys are compared through their digests in constant time, so the time an answer takes says
//   nothing about how much of a guess was right.
// IPv6 addresses count by their /64 network: a device can take any address of its own network.
class PairingGuard {
public:
  static constexpr int kWrongKeyLimit = 10;
  static constexpr double kWindowSeconds = 60;
  // Addresses remembered at most; beyond, the oldest are forgotten.
  static constexpr std::size_t kMaxAddresses = 4096;

  enum class Outcome { allowed, missing, wrong, blocked };
  struct Verdict {
    Outcome outcome = Outcome::allowed;
    std::optional<std::string> logLine; // set for the first refusal of an address in a minute
  };

  explicit PairingGuard(std::string_view secret);

  // `what` names the request in the log line ("GET /screen.mjpg"); `address` is the client's;
  // `now` is monotonic seconds.
  Verdict check(std::string_view headerBlock, std::string_view what, const std::string& address,
                double now);

private:
  using Digest = std::array<unsigned char, 32>;
  struct Record {
    double windowStart = 0; // of the minute in which wrong keys are being counted
    int wrongKeys = 0;
    std::optional<double> loggedAt;
    double lastSeen = 0;
  };

  static Digest digestOf(std::string_view key);
  Record& recordFor(const std::string& address, double now);
  std::optional<std::string> logOnce(Record& record, double now, std::string line);

  Digest secret_;
  std::unordered_map<std::string, Record> records_;
};

} // namespace tovel
