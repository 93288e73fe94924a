#include <gtest/gtest.h>

#include <csignal>

#include "build_config.h"
#include "host/address.h"
#include "host/start_banner.h"
#include "support/host_binary.h"
#include "support/process.h"
#include "support/terminal_qr_reader.h"
#include "support/test_client.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

// These tests are about the host itself, on the virtual desktop whatever the environment.
const std::vector<std::string> kNoDisplay{"DISPLAY="};

// What the host prints before its banner on the virtual desktop.
const std::string kStartLines =
    "Using the built-in virtual desktop (1920x1080): no X display could be opened.\n"
    "Stream configured with display: Virtual screen 1 (1920x1080 at 0,0, scale 1)\n"
    "Compression session created successfully\n";

std::string expectedBanner() {
  std::string site = TOVEL_APP_SITE;
  std::string text = "Tovel Host started.\n";
  if (auto ip = getIPAddress()) {
    text += "\n\nIP Address: " + *ip + "\n";
    text += "\n\nTovel App Link: " + site + "?url=" + *ip + ":8096\n\n\n";
    text += "Tovel App Local Link: http://" + *ip + ":8096?url=/\n\n\n";
  } else {
    text += "\n\nUnable to determine IP address.\n";
    text += "\n\nTovel App Link: " + site + "\n\n\n";
    text += "Tovel App Local Link: http://localhost:8096?url=/\n\n\n";
  }
  return text;
}

TEST(HostBinary, EndOfInputPrintsTheBannerAndExitsCleanly) {
  ChildProcess host(TOVEL_HOST_BINARY, {}, ChildProcess::Input::emptyFile, kNoDisplay);
  ASSERT_TRUE(host.started());
  EXPECT_EQ(host.waitForExit(10s), 0);
  std::string output = host.output();
  // One line says which desktop is used, two what the live stream was set up with, then the
  // banner, byte for byte; no QR code, as the output is not a terminal.
  EXPECT_EQ(output, kStartLines + expectedBanner() + "Input stream closed. Exiting...\n");
}

TEST(HostBinary, SecondInstanceOnATakenPortFails) {
  ChildProcess first(TOVEL_HOST_BINARY, {}, ChildProcess::Input::pipe, kNoDisplay);
  ASSERT_TRUE(waitUntilListening(10s));
  ChildProcess second(TOVEL_HOST_BINARY, {}, ChildProcess::Input::pipe, kNoDisplay);
  auto status = second.waitForExit(10s);
  ASSERT_TRUE(status.has_value()) << "the second instance kept running without its listener";
  EXPECT_NE(*status, 0);
  EXPECT_NE(second.output().find("port 8096"), std::string::npos) << second.output();
  EXPECT_EQ(second.output().find("Tovel Host started."), std::string::npos);
  // The first one is unaffected.
  first.writeInput("move 1 1\n");
  EXPECT_TRUE(first.waitForOutput("Moved by (1.0, 1.0)\n", 5s));
}

TEST(HostBinary, ConsoleAndNetworkDriveTheSameHost) {
  ChildProcess host(TOVEL_HOST_BINARY, {}, ChildProcess::Input::pipe, kNoDisplay);
  ASSERT_TRUE(waitUntilListening(10s));
  TestClient client(kHostPort);
  client.send("POST /log HTTP/1.1\r\n\r\n{\"text\":\"from the network\"}");
  EXPECT_EQ(client.read(252).size(), 252u);
  // Lines still queued when the input ends are all handled before the host exits.
  host.writeInput("swipe 0 30 done\nmove 1 1\n");
  host.closeInput();
  EXPECT_EQ(host.waitForExit(10s), 0);
  std::string output = host.output();
  EXPECT_NE(output.find("from the network\n"), std::string::npos);
  EXPECT_TRUE(output.ends_with(
      "swipe down\nSwiped by (0.0, 30.0)\nMoved by (1.0, 1.0)\nInput stream closed. Exiting...\n"))
      << output;
}

TEST(HostBinary, OnATerminalTheLocalLinkFollowsAsAQrCode) {
  auto address = getIPAddress();
  if (!address)
    GTEST_SKIP() << "no network address: the host only draws a code for a link a phone can open";
  ChildProcess host(TOVEL_HOST_BINARY, {}, ChildProcess::Input::terminal, kNoDisplay);
  // The console reads only after printing its banner and code, so this waits in the terminal.
  host.writeInput("exit\n");
  ASSERT_EQ(host.waitForExit(30s), 0) << host.output();
  std::string output = host.output();
  std::erase(output, '\r');

  std::string code = halfBlockLines(output);
  ASSERT_FALSE(code.empty()) << output;
  // The start-up block is unchanged, and the code comes between it and the console's answers.
  EXPECT_EQ(output, kStartLines + expectedBanner() + code + "\nExiting the process...\n");
  auto modules = readHalfBlocks(code);
  ASSERT_TRUE(modules.has_value()) << code;
  // The same text as the banner's "Tovel App Local Link", checked above.
  EXPECT_EQ(decodeWithZbar(*modules), localLink(address, kHostPort)) << code;
}

TEST(HostBinary, WithoutTheConsoleEmptyInputKeepsTheHostServingUntilASignal) {
  for (int signal : {SIGTERM, SIGINT}) {
    ChildProcess host(TOVEL_HOST_BINARY, {"--no-console"}, ChildProcess::Input::emptyFile,
                      kNoDisplay);
    ASSERT_TRUE(host.waitForOutput("Tovel App Local Link", 10s)) << host.output();
    // The input ended long ago by now, as far as a console reading it would be concerned.
    TestClient client(kHostPort);
    ASSERT_TRUE(client.connected());
    client.send("GET /manifest.json HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(client.readUntilClosed().starts_with("HTTP/1.1 200 OK\n")) << host.output();
    host.signal(signal);
    EXPECT_EQ(host.waitForExit(10s), 0) << signal;
    EXPECT_EQ(host.output(),
              kStartLines + expectedBanner() + "Received termination signal. Exiting...\n");
  }
}

TEST(HostBinary, AnyOtherArgumentPrintsTheUsageAndExitsWithStatusTwo) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--help"}, {"--no-console", "extra"}, {"no-console"}}) {
    ChildProcess host(TOVEL_HOST_BINARY, arguments, ChildProcess::Input::emptyFile, kNoDisplay);
    EXPECT_EQ(host.waitForExit(10s), 2) << arguments[0];
    EXPECT_TRUE(host.output().starts_with("Usage: tovel-host [--no-console] [--pair]"))
        << host.output();
    EXPECT_EQ(host.output().find("Tovel Host started."), std::string::npos);
  }
}

} // namespace
} // namespace tovel::test
