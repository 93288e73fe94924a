#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdlib.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "build_config.h"
#include "host/address.h"
#include "host/command_line.h"
#include "host/start_banner.h"
#include "server/responses.h"
#include "support/host_binary.h"
#include "support/http_requests.h"
#include "support/stream_reading.h"
#include "support/terminal_qr_reader.h"
#include "support/websocket_upgrade.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;
using Input = ChildProcess::Input;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

// These tests are about the host itself, on the virtual desktop whatever the environment.
const std::vector<std::string> kNoDisplay{"DISPLAY="};

// What the host prints first on the virtual desktop: one line says which desktop is used, two
// what the live stream was set up with, then the banner, byte for byte.
std::string startLines() {
  const std::string site = TOVEL_APP_SITE;
  const auto ip = getIPAddress();
  return "Using the built-in virtual desktop (1920x1080): no X display could be opened.\n"
         "Stream configured with display: Virtual screen 1 (1920x1080 at 0,0, scale 1)\n"
         "Compression session created successfully\n"
         "Tovel Host started.\n\n\n" +
         (ip ? "IP Address: " + *ip + "\n\n\nTovel App Link: " + site + "?url=" + *ip + ":8096"
             : "Unable to determine IP address.\n\n\nTovel App Link: " + site) +
         "\n\n\nTovel App Local Link: http://" + ip.value_or("localhost") + ":8096?url=/\n\n\n";
}

// Each way a run ends, and all the program prints on the way; no QR code, as the output is not
// a terminal. A host that serves takes a request from the network, sees a second instance fail
// on its port, then takes its console's lines (its input then ends) or a signal.
TEST(HostBinary, EachWayARunEndsPrintsItsOwnLinesAndStatus) {
  const std::string served = startLines() + "from the network\n";
  const std::string signalled = served + "Received termination signal. Exiting...\n";
  const std::string usage(kUsage);
  const std::string consoleLines =
      "swipe down\nSwiped by (0.0, 30.0)\nMoved by (1.0, 1.0)\nInput stream closed. Exiting...\n";
  const struct {
    std::vector<std::string> arguments;
    Input input;
    std::string console;
    int signal;
    int status;
    std::string output;
  } runs[] = {
      {{}, Input::emptyFile, "", 0, 0, startLines() + "Input stream closed. Exiting...\n"},
      // Lines still queued when the input ends are all handled before the host exits.
      {{}, Input::pipe, "swipe 0 30 done\nmove 1 1\n", 0, 0, served + consoleLines},
      // Without the console an input that has ended keeps the host serving until a signal.
      {{"--no-console"}, Input::emptyFile, "", SIGTERM, 0, signalled},
      {{"--no-console"}, Input::emptyFile, "", SIGINT, 0, signalled},
      // Any other command line: the usage, and nothing started.
      {{"--help"}, Input::emptyFile, "", 0, 2, usage},
      {{"--no-console", "extra"}, Input::emptyFile, "", 0, 2, usage},
      {{"no-console"}, Input::emptyFile, "", 0, 2, usage},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(&run - runs);
    std::unique_ptr<ChildProcess> host;
    if (run.console.empty() && !run.signal) {
      host =
          std::make_unique<ChildProcess>(TOVEL_HOST_BINARY, run.arguments, run.input, kNoDisplay);
    } else {
      host = startHostBinary(TOVEL_HOST_BINARY, kNoDisplay, run.arguments, run.input);
      ASSERT_TRUE(host);
      // The banner is printed after the listener opens: the log line waits for all of it.
      ASSERT_TRUE(host->waitForOutput(startLines(), 10s)) << host->output();
      TestClient client(kHostPort);
      client.send(postRequest("/log", R"({"text":"from the network"})"));
      EXPECT_EQ(client.read(kControlAcknowledgement.size(), 10s), kControlAcknowledgement);
      EXPECT_TRUE(host->waitForOutput(served, 10s));
      // A second instance cannot listen and ends; the first one's output shows it unaffected.
      ChildProcess second(TOVEL_HOST_BINARY, {}, Input::pipe, kNoDisplay);
      EXPECT_NE(second.waitForExit(10s).value_or(0), 0) << second.output();
      EXPECT_THAT(second.output(),
                  AllOf(HasSubstr("port 8096"), Not(HasSubstr("Tovel Host started."))));
      if (run.signal) {
        host->signal(run.signal);
      } else {
        host->writeInput(run.console);
        host->closeInput();
      }
    }
    EXPECT_EQ(host->waitForExit(10s), run.status);
    EXPECT_EQ(host->output(), run.output);
  }
}

TEST(HostBinary, OnATerminalTheLocalLinkFollowsAsAQrCode) {
  auto address = getIPAddress();
  if (!address)
    GTEST_SKIP() << "no network address: the host only draws a code for a link a phone can open";
  ChildProcess host(TOVEL_HOST_BINARY, {}, Input::terminal, kNoDisplay);
  // The console reads only after printing its banner and code, so this waits in the terminal.
  host.writeInput("exit\n");
  ASSERT_EQ(host.waitForExit(30s), 0) << host.output();
  std::string output = host.output();
  std::erase(output, '\r');
  std::string code = halfBlockLines(output);
  ASSERT_FALSE(code.empty()) << output;
  // The start-up block is unchanged, and the code comes between it and the console's answers.
  EXPECT_EQ(output, startLines() + code + "\nExiting the process...\n");
  auto modules = readHalfBlocks(code);
  ASSERT_TRUE(modules.has_value()) << code;
  // The same text as the banner's "Tovel App Local Link", checked above.
  EXPECT_EQ(decodeWithZbar(*modules), localLink(address, kHostPort)) << code;
}

// The real program with pairing on, keeping its secret in a folder of the test's own: the secret
// lasts across starts until a new one is asked, and only requests with it drive or watch.
TEST(PairingBinary, TheSecretLastsUntilANewOneIsAskedAndOnlyRequestsWithItAreServed) {
  char pattern[] = "/tmp/tovel-pairing-XXXXXX";
  ASSERT_TRUE(::mkdtemp(pattern));
  const std::filesystem::path config = pattern, secretFile = config / "tovel-host" / "secret";
  std::shared_ptr<void> removal(nullptr, [&](void*) { std::filesystem::remove_all(config); });
  const std::vector<std::string> environment{"DISPLAY=", "XDG_CONFIG_HOME=" + config.string()};
  auto storedKey = [&] {
    std::string key;
    std::getline(std::ifstream(secretFile), key);
    return key;
  };
  // Runs the program to its end (the console's input is empty) and returns what it printed.
  auto run = [&](const std::vector<std::string>& arguments) {
    ChildProcess host(TOVEL_HOST_BINARY, arguments, Input::emptyFile, environment);
    EXPECT_EQ(host.waitForExit(20s), 0) << host.output();
    return host.output();
  };

  // Not paired yet: the link has no key.
  EXPECT_THAT(run({"--print-link"}), Not(HasSubstr("#key=")));
  EXPECT_FALSE(std::filesystem::exists(secretFile));
  EXPECT_THAT(run({"--pair"}),
              HasSubstr("A pairing secret is kept in " + secretFile.string() + ".\n"));
  const std::string key = storedKey();
  ASSERT_EQ(key.size(), 32u);
  EXPECT_EQ(int(std::filesystem::status(secretFile).permissions()), 0600);

  // A second start keeps it, and says nothing about it.
  auto host = startHostBinary(TOVEL_HOST_BINARY, environment, {"--pair"});
  ASSERT_TRUE(host);
  EXPECT_EQ(storedKey(), key);
  EXPECT_TRUE(host->waitForOutput("?url=/#key=" + key + "\n", 10s)) << host->output();
  EXPECT_THAT(host->output(), Not(HasSubstr("pairing secret")));
  const struct {
    std::string name;
    std::string headers;
    bool served;
  } credentials[] = {
      {"none", "", false},
      {"wrong", "Cookie: tovel_key=" + std::string(32, 'A') + "\r\n", false},
      {"cookie", "Cookie: theme=dark; tovel_key=" + key + "\r\n", true},
      {"header", "Authorization: Bearer " + key + "\r\n", true},
  };
  for (const auto& c : credentials) {
    SCOPED_TRACE(c.name);
    std::string upgrade(kWebSocketUpgrade);
    upgrade.insert(upgrade.size() - 2, c.headers);
    // A command and a WebSocket, done, and the two streams, shown; or each refused at once.
    for (const std::string& request :
         {postRequest("/log", R"({"text":")" + c.name + " command\"}", c.headers), upgrade,
          "GET /screen.mjpg HTTP/1.1\r\n" + c.headers + "\r\n",
          "GET /screen.mp4 HTTP/1.1\r\n" + c.headers + "\r\n"}) {
      TestClient client(kHostPort);
      client.send(request);
      if (!c.served) {
        EXPECT_EQ(client.readUntilClosed(20s), kUnpairedResponse) << request;
      } else if (request.starts_with("POST")) {
        EXPECT_EQ(client.read(kControlAcknowledgement.size(), 20s), kControlAcknowledgement);
        EXPECT_TRUE(host->waitForOutput(c.name + " command\n", 20s));
      } else if (request == upgrade) {
        EXPECT_EQ(client.read(kWebSocketAccepted.size(), 20s), kWebSocketAccepted);
        client.send(logFrame(c.name + " message"));
        EXPECT_TRUE(host->waitForOutput(c.name + " message\n", 20s));
      } else {
        EXPECT_TRUE(readHead(client, 20s).starts_with("HTTP/1.1 200 OK\r\n")) << request;
        EXPECT_TRUE(readChunk(client, 20s)) << request;
      }
    }
  }
  // The app's own files are for everyone: without them it could not say what is missing.
  for (const char* request :
       {"GET / HTTP/1.1\r\n\r\n", "GET /?url=/ HTTP/1.1\r\n\r\n",
        "GET /manifest.json HTTP/1.1\r\n\r\n", "GET /service-worker.js HTTP/1.1\r\n\r\n",
        "GET /icon-192.png HTTP/1.1\r\n\r\n", "OPTIONS /move HTTP/1.1\r\n\r\n"}) {
    TestClient client(kHostPort);
    client.send(request);
    std::string answer = client.read(12, 20s);
    EXPECT_TRUE(answer == "HTTP/1.1 200" || answer == "HTTP/1.1 204") << request << answer;
  }
  // Eight refusals from one address, one line.
  EXPECT_EQ(occurrences(host->output(), "Refused "), 1u) << host->output();
  EXPECT_THAT(host->output(), HasSubstr("Refused POST /log from 127.0.0.1: no pairing key\n"));
  host.reset();

  // The link to pair a phone with the running service: printed with its code, nothing started.
  std::string link = run({"--print-link"});
  EXPECT_THAT(link, AllOf(HasSubstr("#key=" + key + "\n"), Not(HasSubstr("Tovel Host started."))));
  if (auto address = getIPAddress()) {
    auto modules = readHalfBlocks(halfBlockLines(link));
    ASSERT_TRUE(modules) << link;
    EXPECT_EQ(decodeWithZbar(*modules), "http://" + *address + ":8096?url=/#key=" + key);
  }
  EXPECT_EQ(storedKey(), key);

  std::string renewed = run({"--new-secret", "--print-link"});
  EXPECT_NE(storedKey(), key);
  EXPECT_THAT(renewed, HasSubstr("phones paired before must open the new link or scan its code"));
  EXPECT_THAT(renewed, HasSubstr("#key=" + storedKey() + "\n"));
}

} // namespace
} // namespace tovel::test
