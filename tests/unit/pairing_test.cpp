#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "host/pairing_secret.h"
#include "server/pairing_guard.h"

namespace tovel {
namespace {

using Outcome = PairingGuard::Outcome;

const std::string kKey = "abcdefghijklmnopqrstuvwxyz012345";

std::string head(const std::string& headers) {
  return "GET /screen.mjpg HTTP/1.1\r\n" + headers;
}

TEST(PairingGuard, TakesTheKeyFromTheBearerHeaderOrTheCookieOnly) {
  const struct {
    std::string headers;
    Outcome outcome;
  } cases[] = {
      {"Authorization: Bearer " + kKey, Outcome::allowed},
      {"authorization:bearer  " + kKey, Outcome::allowed},
      {"AUTHORIZATION:   BEARER " + kKey + "  ", Outcome::allowed},
      {"Cookie: tovel_key=" + kKey, Outcome::allowed},
      {"Cookie: theme=dark; tovel_key=" + kKey + "; lang=de", Outcome::allowed},
      {"Cookie: a=1\r\nCookie: tovel_key=" + kKey, Outcome::allowed},
      {"Cookie: tovel_key=wrong\r\nAuthorization: Bearer " + kKey, Outcome::allowed},
      {"Cookie: Tovel_key=" + kKey, Outcome::missing}, // cookie names keep their case
      {"Cookie: my_tovel_key=" + kKey, Outcome::missing},
      {"Cookie: tovel_key=", Outcome::missing},
      {"Authorization: Basic " + kKey, Outcome::missing},
      {"X-Key: " + kKey, Outcome::missing},
      {"", Outcome::missing},
      {"Authorization: Bearer " + kKey + "x", Outcome::wrong},
      {"Authorization: Bearer " + kKey.substr(1), Outcome::wrong},
      {"Cookie: tovel_key=" + kKey.substr(0, 31) + "6", Outcome::wrong},
      // Only the first few keys are looked at.
      {"Cookie: tovel_key=1; tovel_key=2; tovel_key=3; tovel_key=4; tovel_key=" + kKey,
       Outcome::wrong},
  };
  for (const auto& c : cases) {
    PairingGuard guard(kKey);
    EXPECT_EQ(guard.check(head(c.headers), "GET /", "10.0.0.2", 0).outcome, c.outcome) << c.headers;
  }
}

TEST(PairingGuard, LogsOnceAMinuteAndShutsOutAGuesserForTheMinute) {
  PairingGuard guard(kKey);
  const std::string right = head("Cookie: tovel_key=" + kKey), wrong = head("Cookie: tovel_key=no");
  auto line = [&](const std::string& request, const std::string& address, double now) {
    return guard.check(request, "GET /screen.mjpg", address, now).logLine.value_or("");
  };
  EXPECT_EQ(line(head(""), "10.0.0.2", 100),
            "Refused GET /screen.mjpg from 10.0.0.2: no pairing key");
  EXPECT_EQ(line(wrong, "10.0.0.2", 101), "");
  EXPECT_EQ(line(wrong, "10.0.0.3", 101),
            "Refused GET /screen.mjpg from 10.0.0.3: wrong pairing key");
  EXPECT_EQ(line(head(""), "10.0.0.2", 160),
            "Refused GET /screen.mjpg from 10.0.0.2: no pairing key");

  // Ten wrong keys within a minute: the tenth is said, and then even the right key is refused
  // without a look until the minute has passed; other addresses are not affected.
  for (int i = 1; i < PairingGuard::kWrongKeyLimit; ++i)
    EXPECT_EQ(guard.check(wrong, "GET /", "10.0.0.9", 200 + i).outcome, Outcome::wrong);
  EXPECT_EQ(line(wrong, "10.0.0.9", 215), "Refused GET /screen.mjpg from 10.0.0.9: wrong pairing "
                                          "key, the 10th this minute: refused for the rest of it");
  EXPECT_EQ(guard.check(right, "GET /", "10.0.0.9", 220).outcome, Outcome::blocked);
  EXPECT_EQ(guard.check(right, "GET /", "10.0.0.8", 220).outcome, Outcome::allowed);
  EXPECT_EQ(guard.check(right, "GET /", "10.0.0.9", 261).outcome, Outcome::allowed);

  // A device may take any address of its IPv6 network: they count as one.
  for (int i = 0; i < PairingGuard::kWrongKeyLimit; ++i)
    guard.check(wrong, "GET /", "2001:db8:1:2::" + std::to_string(i + 1), 300);
  EXPECT_EQ(guard.check(right, "GET /", "2001:db8:1:2:aaaa::1", 301).outcome, Outcome::blocked);
  EXPECT_EQ(guard.check(right, "GET /", "2001:db8:1:3::1", 301).outcome, Outcome::allowed);
  EXPECT_EQ(guard.check(right, "GET /", "::ffff:10.0.0.8", 301).outcome, Outcome::allowed);
}

TEST(PairingGuard, RemembersABoundedNumberOfAddresses) {
  PairingGuard guard(kKey);
  const std::string wrong = head("Cookie: tovel_key=no");
  for (int i = 0; i < PairingGuard::kWrongKeyLimit; ++i)
    guard.check(wrong, "GET /", "10.1.0.1", 0);
  // Many more addresses than it keeps push the oldest out, so a flood costs bounded memory.
  for (std::size_t i = 0; i < PairingGuard::kMaxAddresses + 10; ++i)
    guard.check(wrong, "GET /", "10.2." + std::to_string(i / 256) + "." + std::to_string(i % 256),
                1);
  EXPECT_EQ(guard.check(head("Cookie: tovel_key=" + kKey), "GET /", "10.1.0.1", 2).outcome,
            Outcome::allowed);
}

unsigned modeOf(const std::filesystem::path& path) {
  return unsigned(std::filesystem::status(path).permissions() & std::filesystem::perms::all);
}

TEST(PairingSecret, IsMadeOnceOwnerOnlyAndReplacedWhenAskedOrUnreadable) {
  char pattern[] = "/tmp/tovel-secret-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::filesystem::path folder = pattern, path = folder / "config" / "tovel-host" / "secret";
  // What the file is given beforehand (none: left as it was), whether a new secret is asked for,
  // and whether one is made: too short or not a key is as good as missing.
  const std::tuple<const char*, bool, bool> steps[] = {
      {nullptr, false, true},
      {nullptr, false, false},
      {nullptr, true, true},
      {"short\n", false, true},
      {"abcdefghijklmnopqrstuvwxyz01234!\n", false, true},
      {"", false, true}};
  std::string key, error;
  for (auto [content, renew, made] : steps) {
    SCOPED_TRACE(content ? content : renew ? "renew" : "again");
    if (content)
      std::ofstream(path) << content;
    EXPECT_EQ(readPairingSecret(path).has_value(), !content && !key.empty());
    auto secret = loadOrCreatePairingSecret(path, renew, error);
    ASSERT_TRUE(secret) << error;
    EXPECT_EQ(secret->created, made);
    EXPECT_EQ(secret->key != key, made);
    EXPECT_EQ(secret->key.size(), 32u);
    EXPECT_EQ(secret->key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                            "0123456789-_"),
              std::string::npos);
    EXPECT_EQ(readPairingSecret(path), secret->key);
    EXPECT_EQ(modeOf(path), 0600u);
    key = secret->key;
  }
  // A key others could read is made the owner's.
  std::ofstream(path) << kKey << "\n";
  ::chmod(path.c_str(), 0644);
  EXPECT_EQ(readPairingSecret(path), kKey);
  EXPECT_EQ(modeOf(path), 0600u);

  // Where nothing can be written, it says why.
  std::filesystem::path blocked = folder / "file";
  std::ofstream(blocked) << "";
  EXPECT_FALSE(loadOrCreatePairingSecret(blocked / "tovel-host" / "secret", false, error));
  EXPECT_NE(error.find("cannot make"), std::string::npos) << error;
  std::filesystem::remove_all(folder);
}

} // namespace
} // namespace tovel
