#include <gtest/gtest.h>

#include <csignal>

#include "build_config.h"
#include "host/address.h"
#include "host/command_line.h"
#include "host/start_banner.h"
#include "server/responses.h"
#include "support/host_binary.h"
#include "support/http_requests.h"
#include "support/process.h"
#include "support/terminal_qr_reader.h"
#include "support/test_client.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;
using Input = ChildProcess::Input;

// These tests are about the host itself, on the virtual desktop whatever the environment.
const std::vector<std::string> kNoDisplay{"DISPLAY="};

// What the host prints first on the virtual desktop: one line says which desktop is used, two
// what the live stream was set up with, then the banner, byte for byte.
std::string startLines() {
  std::string site = TOVEL_APP_SITE;
  std::string text =
      "Using the built-in virtual desktop (1920x1080): no X display could be opened.\n"
      "Stream configured with display: Virtual screen 1 (1920x1080 at 0,0, scale 1)\n"
      "Compression session created successfully\n"
      "Tovel Host started.\n";
  if (auto ip = getIPAddress()) {
    text += "\n\nIP Address: " + *ip + "\n";
    text += "\n\nTovel App Link: " + site + "?url=" + *ip + ":8096\n\n\n";
    return text + "Tovel App Local Link: http://" + *ip + ":8096?url=/\n\n\n";
  }
  text += "\n\nUnable to determine IP address.\n";
  text += "\n\nTovel App Link: " + site + "\n\n\n";
  return text + "Tovel App Local Link: http://localhost:8096?url=/\n\n\n";
}

// Each way a run ends, and all the program prints on the way; no QR code, as the output is not
// a terminal. A host that serves takes a request from the network, then its console's lines (its
// input then ends) or a signal.
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
      TestClient client(kHostPort);
      client.send(postRequest("/log", R"({"text":"from the network"})"));
      EXPECT_EQ(client.read(kControlAcknowledgement.size(), 10s), kControlAcknowledgement);
      EXPECT_TRUE(host->waitForOutput(served, 10s));
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

TEST(HostBinary, SecondInstanceOnATakenPortFails) {
  auto first = startHostBinary(TOVEL_HOST_BINARY, kNoDisplay);
  ASSERT_TRUE(first);
  ChildProcess second(TOVEL_HOST_BINARY, {}, Input::pipe, kNoDisplay);
  auto status = second.waitForExit(10s);
  ASSERT_TRUE(status.has_value()) << "the second instance kept running without its listener";
  EXPECT_NE(*status, 0);
  EXPECT_NE(second.output().find("port 8096"), std::string::npos) << second.output();
  EXPECT_EQ(second.output().find("Tovel Host started."), std::string::npos);
  // The first one is unaffected.
  first->writeInput("move 1 1\n");
  EXPECT_TRUE(first->waitForOutput("Moved by (1.0, 1.0)\n", 5s));
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

} // namespace
} // namespace tovel::test
