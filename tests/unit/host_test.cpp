#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/log.h"
#include "host/address.h"
#include "host/command_line.h"
#include "host/pairing_secret.h"
#include "host/terminal_qr.h"
#include "server/pairing_guard.h"
#include "support/terminal_qr_reader.h"

namespace tovel::test {
namespace {

using Outcome = PairingGuard::Outcome;

const std::string kKey = "abcdefghijklmnopqrstuvwxyz012345";

std::string head(const std::string& headers) {
  return "GET /screen.mjpg HTTP/1.1\r\n" + headers;
}

TEST(PairingGuard, TakesTheKeyFromTheBearerHeaderOrTheCookieOnly) {
  const std::pair<Outcome, std::vector<std::string>> cases[] = {
      {Outcome::allowed,
       {"Authorization: Bearer " + kKey, "authorization:bearer  " + kKey,
        "AUTHORIZATION:   BEARER " + kKey + "  ", "Cookie: tovel_key=" + kKey,
        "Cookie: theme=dark; tovel_key=" + kKey + "; lang=de",
        "Cookie: a=1\r\nCookie: tovel_key=" + kKey,
        "Cookie: tovel_key=wrong\r\nAuthorization: Bearer " + kKey}},
      // Cookie names keep their case.
      {Outcome::missing,
       {"Cookie: Tovel_key=" + kKey, "Cookie: my_tovel_key=" + kKey,
        "Cookie: tovel_key=", "Authorization: Basic " + kKey, "X-Key: " + kKey, ""}},
      // Only the first few keys are looked at.
      {Outcome::wrong,
       {"Authorization: Bearer " + kKey + "x", "Authorization: Bearer " + kKey.substr(1),
        "Cookie: tovel_key=" + kKey.substr(0, 31) + "6",
        "Cookie: tovel_key=1; tovel_key=2; tovel_key=3; tovel_key=4; tovel_key=" + kKey}}};
  for (const auto& [outcome, lines] : cases) {
    for (const std::string& headers : lines) {
      PairingGuard guard(kKey);
      EXPECT_EQ(guard.check(head(headers), "GET /", "10.0.0.2", 0).outcome, outcome) << headers;
    }
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

  // The tenth wrong key in a minute is said; then even the right key from there is refused.
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

  // Many more addresses than it keeps push the oldest out, so a flood costs bounded memory.
  for (std::size_t i = 0; i < PairingGuard::kMaxAddresses + 10; ++i)
    guard.check(wrong, "GET /", "10.2." + std::to_string(i / 256) + "." + std::to_string(i % 256),
                302);
  EXPECT_EQ(guard.check(right, "GET /", "2001:db8:1:2::1", 303).outcome, Outcome::allowed);
}

unsigned modeOf(const std::filesystem::path& path) {
  return unsigned(std::filesystem::status(path).permissions() & std::filesystem::perms::all);
}

TEST(PairingSecret, IsMadeOwnerOnlyAndReplacedWhenUnreadable) {
  char pattern[] = "/tmp/tovel-secret-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::filesystem::path folder = pattern, path = folder / "config" / "tovel-host" / "secret";
  // Nothing there yet, then what is no secret: each time a new one is made. Keeping it across
  // starts and renewing it on request: PairingBinary's test.
  const char* const contents[] = {nullptr, "short\n", "abcdefghijklmnopqrstuvwxyz01234!\n", ""};
  std::string key, error;
  for (const char* content : contents) {
    SCOPED_TRACE(content ? content : "none");
    if (content)
      std::ofstream(path) << content;
    EXPECT_FALSE(readPairingSecret(path));
    auto secret = loadOrCreatePairingSecret(path, false, error);
    ASSERT_TRUE(secret) << error;
    EXPECT_TRUE(secret->created);
    EXPECT_NE(secret->key, key);
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

const std::string kHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string row(const char* iface, const char* flags, int metric,
                const char* destination = "00000000", const char* mask = "00000000") {
  return std::string(iface) + "\t" + destination + "\t0102A8C0\t" + flags + "\t0\t0\t" +
         std::to_string(metric) + "\t" + mask + "\t0\t0\t0\n";
}

TEST(Address, DefaultRouteHasTheLowestMetricAndItsInterfaceGivesTheHostAddress) {
  EXPECT_EQ(defaultRouteInterface(kHeader + row("docker0", "0001", 0, "000011AC", "0000FFFF") +
                                  row("eth0", "0003", 100)),
            "eth0");
  EXPECT_EQ(defaultRouteInterface(""), std::nullopt);
  EXPECT_EQ(defaultRouteInterface(kHeader + row("eth0", "0001", 0, "00000000", "000000FF")),
            std::nullopt);
  EXPECT_EQ(defaultRouteInterface("wlan0 zz 0 0003 0 0 0 00000000\n"), std::nullopt);
  // The lowest metric wins, the first on a tie; flags 0002 lack the up bit.
  const std::string wlan600 = kHeader + row("wlan0", "0003", 600);
  EXPECT_EQ(defaultRouteInterface(wlan600 + row("eth0", "0003", 100)), "eth0");
  EXPECT_EQ(defaultRouteInterface(wlan600 + row("eth0", "0003", 600)), "wlan0");
  EXPECT_EQ(defaultRouteInterface(wlan600 + row("eth0", "0002", 0)), "wlan0");

  // The route's interface, else the first up non-loopback one, and of it the last address.
  const InterfaceAddress lo{"lo", "127.0.0.1", true, true}, eth1{"eth1", "10.0.0.5", false, false};
  const InterfaceAddress eth0{"eth0", "192.168.1.9", true, false}, eth0b{"eth0", "10.0.0.2", true};
  const std::vector<InterfaceAddress> list{lo, eth1, eth0, {"wlan0", "192.168.1.20", true}, eth0b};
  EXPECT_EQ(selectHostAddress(list, "wlan0"), "192.168.1.20");
  EXPECT_EQ(selectHostAddress(list, "eth0"), "10.0.0.2");
  EXPECT_EQ(selectHostAddress(list, std::nullopt), "10.0.0.2");
  EXPECT_EQ(selectHostAddress(list, "tun0"), "10.0.0.2"); // route interface has no IPv4
  EXPECT_EQ(selectHostAddress({lo, eth1}, std::nullopt), std::nullopt);
}

TEST(TerminalSafe, ShowsControlsInsteadOfLettingTheTerminalActOnThem) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain text, é and 🙂\tok", "plain text, é and 🙂\tok"},
      {"REQUEST: GET / HTTP/1.1\r\nHost: h\r\n\r\n", "REQUEST: GET / HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"\nclick left", "\nclick left"},
      {"\x1b]52;c;cGF5bG9hZA==\x07 title", "^[]52;c;cGF5bG9hZA==^G title"},
      {"over\rwrite", "over^Mwrite"},
      {"end\r", "end^M"},
      {std::string("nul\0del\x7f", 8), "nul^@del^?"},
      {"csi \xc2\x9b"
       "2J next \xc2\xa0",
       "csi <9B>2J next \xc2\xa0"},
  };
  for (const auto& [text, shown] : cases)
    EXPECT_EQ(terminalSafe(text), shown) << text;
}

// The 7 x 7 finder pattern a reader locates the code by: dark ring, light ring, dark centre.
bool finderAt(const ModuleRows& m, std::size_t top, std::size_t left) {
  for (std::size_t r = 0; r < 7; ++r)
    for (std::size_t c = 0; c < 7; ++c)
      if (m[top + r][left + c] != (std::min({r, c, 6 - r, 6 - c}) == 1))
        return false;
  return true;
}

TEST(TerminalQrCode, DrawsAReadableCodeWithItsQuietZoneOrNothingForTextItCannotHold) {
  const std::string longLink = "http://192.168.100.200:8096/?url=/&" + std::string(220, 'x');
  for (const std::string& text : {std::string("http://192.0.2.2:8096?url=/"),
                                  std::string("MiXeD case, spaces & {~|}"), longLink}) {
    SCOPED_TRACE(text);
    auto drawn = renderTerminalQrCode(text);
    ASSERT_TRUE(drawn.has_value());
    EXPECT_NE(drawn->back(), '\n');
    auto m = readHalfBlocks(*drawn);
    ASSERT_TRUE(m.has_value());

    // 21-177 modules and four light ones each side; two rows a line, so a last dark row.
    std::size_t side = m->front().size();
    ASSERT_EQ(side % 4, 1u);
    ASSERT_GE(side, 29u);
    ASSERT_EQ(m->size(), side + 1);
    EXPECT_EQ(m->back(), std::vector<bool>(side, false));
    for (std::size_t i = 0; i < side; ++i)
      for (std::size_t q = 0; q < 4; ++q)
        EXPECT_TRUE((*m)[q][i] && (*m)[side - 1 - q][i] && (*m)[i][q] && (*m)[i][side - 1 - q])
            << "quiet zone at " << q << ", " << i;
    // Dark modules are blanks: the finders sit in three corners, in the code's own orientation.
    EXPECT_TRUE(finderAt(*m, 4, 4));
    EXPECT_TRUE(finderAt(*m, 4, side - 11));
    EXPECT_TRUE(finderAt(*m, side - 11, 4));
    EXPECT_FALSE(finderAt(*m, side - 11, side - 11));

    EXPECT_EQ(decodeWithZbar(*m), text);
  }
  // Text that cannot be encoded gives nothing.
  EXPECT_FALSE(renderTerminalQrCode(""));
  EXPECT_FALSE(renderTerminalQrCode(std::string_view("a\0b", 3)));
  // The largest code holds 2331 bytes at this level of error correction.
  EXPECT_TRUE(renderTerminalQrCode(std::string(2331, 'x')));
  EXPECT_FALSE(renderTerminalQrCode(std::string(2332, 'x')));
}

TEST(CommandLine, OnlyItsOptionsAreUnderstood) {
  // The arguments and what they ask for; a new secret is only made to pair with it.
  const std::pair<std::vector<std::string_view>, const char*> cases[] = {
      {{}, " console"},
      {{"--no-console"}, ""},
      {{"--no-console", "--no-console"}, ""},
      {{"--pair", "--no-console"}, " pair"},
      {{"--new-secret"}, " console pair new-secret"},
      {{"--print-link"}, " console print-link"},
      {{"--print-link", "--new-secret"}, " console pair new-secret print-link"}};
  for (const auto& [arguments, expected] : cases) {
    auto line = parseCommandLine(arguments);
    ASSERT_TRUE(line) << ::testing::PrintToString(arguments);
    EXPECT_EQ(std::string(line->console ? " console" : "") + (line->pair ? " pair" : "") +
                  (line->newSecret ? " new-secret" : "") + (line->printLink ? " print-link" : ""),
              expected);
  }
  for (std::string_view wrong : {"--help", "-n", "", "--no-console=", "--NO-CONSOLE", "--pair=yes"})
    EXPECT_FALSE(parseCommandLine({wrong})) << wrong;
  EXPECT_FALSE(parseCommandLine({"--no-console", "extra"}));
  for (std::string_view option : {"--no-console", "--pair", "--new-secret", "--print-link"})
    EXPECT_NE(kUsage.find(option), std::string_view::npos) << option;
}

} // namespace
} // namespace tovel::test
