#include <gtest/gtest.h>

#include <csignal>

#include "build_config.h"
#include "host/address.h"
#include "support/host_binary.h"
#include "support/process.h"
#include "support/test_client.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

// These tests are about the host itself, on the virtual desktop whatever the environment.
const std::vector<std::string> kNoDisplay{"DISPLAY="};

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
  // banner, byte for byte.
  EXPECT_EQ(output,
            "Using the built-in virtual desktop (1920x1080): no X display could be opened.\n"
            "Stream configured with display: Virtual screen 1 (1920x1080 at 0,0, scale 1)\n"
            "Compression session created successfully\n" +
                expectedBanner() + "Input stream closed. Exiting...\n");
}

TEST(HostBinary, TerminationSignalsExitWithStatusZero) {
  for (int signal : {SIGTERM, SIGINT}) {
    ChildProcess host(TOVEL_HOST_BINARY, {}, ChildProcess::Input::pipe, kNoDisplay);
    ASSERT_TRUE(waitUntilListening(10s));
    ASSERT_TRUE(host.waitForOutput("Tovel App Local Link", 10s));
    host.signal(signal);
    EXPECT_EQ(host.waitForExit(10s), 0) << signal;
    EXPECT_NE(host.output().find("Received termination signal. Exiting...\n"), std::string::npos);
  }
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
  host.writeInput("swipe 0 30 done\nexit\n");
  EXPECT_EQ(host.waitForExit(10s), 0);
  std::string output = host.output();
  EXPECT_NE(output.find("from the network\n"), std::string::npos);
  EXPECT_NE(output.find("swipe down\nSwiped by (0.0, 30.0)\nExiting the process...\n"),
            std::string::npos)
      << output;
}

} // namespace
} // namespace tovel::test
