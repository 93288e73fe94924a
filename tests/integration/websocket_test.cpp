#include <gtest/gtest.h>

#include "support/host_fixture.h"
#include "support/websocket_frames.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

class WebSocket : public HostFixture {
protected:
  // Upgrades a new connection and waits until the host reads frames from it.
  std::unique_ptr<TestClient> upgrade() {
    auto client = std::make_unique<TestClient>(port());
    client->send(
        "GET /ws HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    EXPECT_EQ(client->read(129), "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                 "Connection: Upgrade\r\n"
                                 "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    EXPECT_TRUE(log.waitFor("WebSocket handshake complete", 5s));
    return client;
  }
  std::vector<RecordedEvent> events() {
    settle();
    return desktop.events();
  }
};

TEST_F(WebSocket, SeveralFramesInOneWriteAreAllHandledInOrder) {
  auto client = upgrade();
  EXPECT_TRUE(log.contains("WebSocket upgrade request detected"));
  std::string longText = R"({"action":"log","text":")" + std::string(200, 'x') + R"("})";
  client->send(maskedFrame(R"({"action":"move","x":3,"y":-2})") + maskedFrame(longText) +
               maskedFrame(R"({"action":"click","button":"right"})"));
  ASSERT_TRUE(log.waitFor("\nws click right", 5s));
  auto e = events();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].mouse()->position, (Point{963, 538}));
  EXPECT_EQ(e[1].mouse()->type, MouseEventType::rightMouseDown);
  EXPECT_TRUE(log.contains(std::string(200, 'x')));
}

TEST_F(WebSocket, FrameSplitOverTwoWritesIsDroppedWithAWarning) {
  auto client = upgrade();
  std::string frame = maskedFrame(R"({"action":"move","x":1,"y":1})");
  client->send(frame.substr(0, 10));
  ASSERT_TRUE(log.waitFor("Warning: Failed to parse WebSocket frame", 5s));
  client->send(frame.substr(10));
  std::this_thread::sleep_for(100ms);
  // The rest is read as if a new frame began there, and fails too; nothing is acted on.
  client->send(maskedFrame(R"({"action":"log","text":"after"})"));
  ASSERT_TRUE(log.waitFor("after", 5s));
  EXPECT_TRUE(events().empty());
}

TEST_F(WebSocket, CloseFrameWarnsAndTheEndOfTheStreamEndsTheConnection) {
  auto client = upgrade();
  client->send(maskedFrame("", 0x8));
  ASSERT_TRUE(log.waitFor("Warning: Failed to parse WebSocket frame", 5s));
  client->finishSending();
  EXPECT_TRUE(client->waitClosed());
}

TEST_F(WebSocket, UpgradeWithoutAKeyGetsNoAnswer) {
  TestClient client(port());
  client.send("GET /ws HTTP/1.1\r\nUpgrade: websocket\r\n\r\n");
  EXPECT_TRUE(client.staysSilent(300ms));
  EXPECT_TRUE(log.contains("WebSocket upgrade request detected"));
  EXPECT_FALSE(log.contains("WebSocket handshake complete"));
}

} // namespace
} // namespace tovel::test
