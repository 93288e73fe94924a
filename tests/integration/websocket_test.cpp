#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <array>
#include <filesystem>
#include <functional>

#include "support/host_fixture.h"
#include "support/wait.h"
#include "support/websocket_upgrade.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kWarning = "Warning: Failed to parse WebSocket frame";

std::string scrollFrame(int y, std::size_t padding = 0) {
  return maskedFrame(R"({"action":"scroll","x":0,"y":)" + std::to_string(y) +
                     R"(,"done":false,"pad":")" + std::string(padding, 'p') + "\"}");
}

class WebSocket : public HostFixture {
protected:
  // Upgrades a new connection, sending the bytes after the request in the same write, and waits
  // until the host reads frames from it.
  std::unique_ptr<TestClient> upgrade(const std::string& following = "") {
    auto client = std::make_unique<TestClient>(port());
    log.clear();
    EXPECT_TRUE(openWebSocket(*client, following, 5s));
    EXPECT_TRUE(log.waitFor("WebSocket handshake complete", 5s));
    return client;
  }
  // Sends a log message after what came before and waits until the host has handled it, and so
  // everything before it.
  void sendAndWait(TestClient& client, const std::string& bytes, const std::string& marker) {
    client.send(bytes + logFrame(marker));
    ASSERT_TRUE(log.waitFor(marker, 10s)) << marker;
  }
  std::size_t warnings() {
    auto lines = log.lines();
    return std::size_t(std::count(lines.begin(), lines.end(), kWarning));
  }
};

TEST_F(WebSocket, ThousandsOfFramesInOneWriteAreAllHandledInOrder) {
  // About 150 KB: the host reads it in several pieces that cut frames wherever they end.
  std::string frames;
  std::vector<int> expected;
  for (int y = 1; y <= 3000; ++y) {
    frames += scrollFrame(y);
    expected.push_back(y);
  }
  auto client = upgrade();
  EXPECT_TRUE(log.contains("WebSocket upgrade request detected"));
  sendAndWait(*client, frames, "all sent");
  EXPECT_EQ(scrolledAmounts(), expected);
  EXPECT_EQ(warnings(), 0u);
}

// Every byte of a frame, in its header, extended length, masking key and payload, is a place
// where TCP may cut it. The first part goes out with a message whose handling shows it has been
// read; the rest follows in the next write.
TEST_F(WebSocket, FramesCutAtAnyByteAreHandledWhenWhole) {
  auto client = upgrade();
  std::vector<int> expected;
  std::string rest;
  int y = 0;
  for (std::size_t padding : {0, 130}) { // the short and the 16-bit length forms
    for (std::size_t cut = 1;; ++cut) {
      std::string frame = scrollFrame(++y, padding);
      if (cut >= frame.size())
        break;
      sendAndWait(*client, rest, "before " + std::to_string(y));
      if (HasFatalFailure())
        return;
      client->send(frame.substr(0, cut));
      rest = frame.substr(cut);
      expected.push_back(y);
    }
  }
  sendAndWait(*client, rest, "end");
  EXPECT_EQ(scrolledAmounts(), expected);
  EXPECT_EQ(warnings(), 0u);
}

TEST_F(WebSocket, RefusedFramesAreSkippedWithAWarningAndTheRestStillCounts) {
  // Frames sent in the same write as the upgrade request belong to the WebSocket.
  auto client = upgrade(scrollFrame(1));
  sendAndWait(*client,
              maskedFrame("", 0x9) + maskedFrame("ab", 0x2) + std::string("\x81\x02{}", 4) +
                  maskedFrame("\xff") + scrollFrame(2) +
                  maskedFrame(R"({"action":"scroll"})", 0x1, 7, /*fin=*/false) + scrollFrame(3),
              "after the refused ones");
  EXPECT_EQ(warnings(), 5u);
  EXPECT_EQ(scrolledAmounts(), (std::vector<int>{1, 2, 3}));

  // A close frame is refused too; the end of the stream ends the connection.
  client->send(maskedFrame("", 0x8));
  ASSERT_TRUE(log.waitFor(std::string(kWarning), 5s));
  client->finishSending();
  EXPECT_TRUE(client->waitClosed());
}

// A desktop that takes text a few characters at a time gets the rest at later turns of the loop,
// and keys, and texts from other channels, wait for what came before them.
TEST_F(WebSocket, LongTextIsTypedInPartsAndWhatFollowsWaitsForIt) {
  desktop.setTyping(U"é", 4, 0.02);
  auto client = upgrade();
  client->send(maskedFrame(R"({"action":"type","text":"abcdefghijé"})") +
               maskedFrame(R"({"action":"keydown","key":"z"})") +
               maskedFrame(R"({"action":"keyup","key":"z"})") +
               maskedFrame(R"({"action":"type","text":"xy"})"));
  ASSERT_TRUE(log.waitFor("ws type 2 characters", 10s));
  TestClient post(port());
  post.send("POST /type HTTP/1.1\r\n\r\n{\"text\":\"12\"}");
  EXPECT_EQ(post.read(252).size(), 252u);
  std::string seen;
  auto described = [&] {
    seen.clear();
    for (const RecordedEvent& e : desktop.events())
      seen += e.typed() ? std::string(1, char(e.typed()->character))
                        : "[" + std::to_string(e.key()->key) + "]";
    return seen;
  };
  EXPECT_TRUE(waitUntil([&] { return described().size() >= 18; }, 10s)) << seen;
  EXPECT_EQ(seen, "abcdefghij[6][6]xy12");
  EXPECT_TRUE(log.contains("Could not type on this desktop: é (U+00E9)"));
}

// Whatever a session pressed and did not release is released when it ends, however it ends;
// what another session holds stays held.
TEST_F(WebSocket, WhatAVanishedClientHeldIsReleased) {
  const std::pair<const char*, std::function<void(TestClient&)>> endings[] = {
      {"reset", [](TestClient& c) { c.reset(); }},
      {"end of stream", [](TestClient& c) { c.finishSending(); }},
      {"cut off by the end of stream",
       [](TestClient& c) {
         c.send(scrollFrame(1).substr(0, 5));
         c.finishSending();
       }},
      {"frame too large",
       [](TestClient& c) { c.send(std::string("\x81\xff\0\0\0\0\x10\0\0\0", 10)); }},
  };
  auto other = upgrade();
  sendAndWait(*other, maskedFrame(R"({"action":"mousedown","button":"middle"})"), "other");
  for (const auto& [name, end] : endings) {
    SCOPED_TRACE(name);
    auto client = upgrade();
    sendAndWait(*client,
                maskedFrame(R"({"action":"mousedown"})") +
                    maskedFrame(R"({"action":"keydown","key":"shift"})") +
                    maskedFrame(R"({"action":"keydown","key":"a"})") +
                    maskedFrame(R"({"action":"keyup","key":"a"})") +
                    maskedFrame(R"({"action":"click","button":"right"})"),
                "pressed");
    desktop.clearEvents();
    end(*client);
    ASSERT_TRUE(waitUntil([&] { return desktop.events().size() >= 2; }, 10s));
    // Everything the end released went out at once, the latest press first.
    auto released = events();
    ASSERT_EQ(released.size(), 2u);
    ASSERT_TRUE(released[0].key());
    EXPECT_EQ(released[0].key()->key, 56);
    EXPECT_FALSE(released[0].key()->down);
    ASSERT_TRUE(released[1].mouse());
    EXPECT_EQ(released[1].mouse()->type, MouseEventType::leftMouseUp);
    EXPECT_EQ(host->injectionState().modifierState.leftShift, 0);
    if (client->connected()) { // not after a reset, which closed it here
      EXPECT_TRUE(client->waitClosed());
    }
  }
  // The other session still holds its button, and releases it when it goes.
  desktop.clearEvents();
  other->reset();
  ASSERT_TRUE(waitUntil([&] { return !desktop.events().empty(); }, 10s));
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0].mouse()->type, MouseEventType::otherMouseUp);
}

// A client that loses its network sends no reset: only probes show it is gone. The host's end
// of each connection is in this process; its options say whether the system probes it.
TEST_F(WebSocket, ASilentClientIsProbedSoAVanishedOneEndsItsSession) {
  auto probing = [&](const TestClient& client) -> std::optional<std::array<int, 4>> {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      int fd = std::stoi(entry.path().filename());
      // The host listens on IPv6 and IPv4 alike: its end may see the peer either way.
      sockaddr_in6 peer{};
      socklen_t length = sizeof peer;
      if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
          (peer.sin6_family != AF_INET && peer.sin6_family != AF_INET6) ||
          ntohs(peer.sin6_port) != client.localPort())
        continue;
      std::array<int, 4> options{};
      const int levels[] = {SOL_SOCKET, IPPROTO_TCP, IPPROTO_TCP, IPPROTO_TCP};
      const int names[] = {SO_KEEPALIVE, TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT};
      for (int i = 0; i < 4; ++i) {
        socklen_t size = sizeof(int);
        ::getsockopt(fd, levels[i], names[i], &options[i], &size);
      }
      return options;
    }
    return std::nullopt;
  };
  TestClient http(port());
  http.send("POST /log HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}");
  ASSERT_EQ(http.read(252).size(), 252u);
  auto client = upgrade();
  EXPECT_EQ(probing(*client), (std::array<int, 4>{1, 5, 2, 3}));
  ASSERT_TRUE(probing(http));
  EXPECT_EQ((*probing(http))[0], 0);
}

TEST_F(WebSocket, UpgradeWithoutAKeyGetsNoAnswerAndIsClosedWhenIdle) {
  onLoop([&] { host->reader().setIdleConnectionSeconds(0.2); });
  TestClient client(port());
  client.send("GET /ws HTTP/1.1\r\nUpgrade: websocket\r\n\r\n");
  EXPECT_EQ(client.readUntilClosed(10s), "");
  EXPECT_TRUE(client.waitClosed(0ms));
  EXPECT_TRUE(log.contains("WebSocket upgrade request detected"));
  EXPECT_FALSE(log.contains("WebSocket handshake complete"));
}

} // namespace
} // namespace tovel::test
