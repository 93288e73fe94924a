#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>

#include "server/responses.h"
#include "support/host_fixture.h"
#include "support/wait.h"
#include "support/websocket_upgrade.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

std::string moveRequest() {
  std::string body = R"({"x":1,"y":1})";
  return "POST /move HTTP/1.1\r\nHost: t\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

bool moveAnswered(TestClient& client) {
  client.send(moveRequest());
  return client.read(kControlAcknowledgement.size()) == kControlAcknowledgement;
}

std::size_t movesPosted(VirtualDesktop& desktop) {
  std::size_t moves = 0;
  for (const RecordedEvent& e : desktop.events())
    moves += e.mouse() && e.mouse()->type == MouseEventType::mouseMoved;
  return moves;
}

class ConnectionCap : public HostFixture {
protected:
  void SetUp() override {
    maxConnections = 3;
    HostFixture::SetUp();
  }
};

TEST_F(ConnectionCap, ConnectionsPastTheCapAreClosedUnansweredWhileEarlierOnesGoOn) {
  // The cap counts every kind of connection: a keep-alive client, a stream and a WebSocket.
  TestClient control(port());
  ASSERT_TRUE(moveAnswered(control));
  TestClient stream(port());
  stream.send("GET /screen.mjpg HTTP/1.1\r\n\r\n");
  ASSERT_EQ(stream.read(kMjpegStreamHead.size()), kMjpegStreamHead);
  TestClient webSocket(port());
  webSocket.send(kWebSocketUpgrade);
  ASSERT_TRUE(log.waitFor("WebSocket handshake complete", 10s));
  ASSERT_EQ(host->openConnections(), 3u);

  for (int i = 0; i < 2; ++i) {
    TestClient refused(port());
    refused.send(moveRequest());
    EXPECT_EQ(refused.readUntilClosed(10s), "");
    EXPECT_TRUE(refused.waitClosed(0ms));
  }
  // Once for the burst, not once per connection.
  const std::string atCap = "Too many open connections (3): new ones are closed until some end";
  EXPECT_EQ(std::ranges::count(log.lines(), atCap), 1);

  // Those already in are served as before.
  EXPECT_TRUE(moveAnswered(control));
  EXPECT_FALSE(stream.read(64).empty());
  webSocket.send(maskedFrame(R"({"action":"move","x":1,"y":1})"));
  ASSERT_TRUE(waitUntil([&] { return movesPosted(desktop) == 3; }));

  // A client that leaves makes room for the next.
  control.close();
  ASSERT_TRUE(waitUntil([&] { return host->openConnections() == 2; }));
  TestClient next(port());
  EXPECT_TRUE(moveAnswered(next));
  EXPECT_TRUE(log.contains("Accepting connections again, 2 closed meanwhile"));
}

TEST_F(ConnectionCap, SilentConnectionsCannotHoldTheCapForGood) {
  onLoop([&] { host->reader().setRequestWaitSeconds(0.3); });
  // New ones that never send, and one that went quiet after a request.
  TestClient quiet(port());
  ASSERT_TRUE(moveAnswered(quiet));
  TestClient silent[] = {TestClient(port()), TestClient(port())};
  for (TestClient& client : silent)
    EXPECT_TRUE(client.waitClosed(10s));
  EXPECT_TRUE(quiet.waitClosed(10s));
  ASSERT_TRUE(waitUntil([&] { return host->openConnections() == 0; }));
  TestClient next(port());
  EXPECT_TRUE(moveAnswered(next));
}

class SlowClients : public HostFixture {
protected:
  static constexpr int kIdleClients = 1000;

  void SetUp() override {
    // Both ends of every connection are in this process.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    rlim_t needed = 2 * kIdleClients + 200;
    if (limit.rlim_cur < needed) {
      limit.rlim_cur = std::min(limit.rlim_max, needed);
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < needed)
      GTEST_SKIP() << "needs " << needed << " descriptors, the hard limit is " << limit.rlim_max;
    maxConnections = kIdleClients + 100;
    HostFixture::SetUp();
  }
};

TEST_F(SlowClients, AHeaderTrickledByteByByteIsCutOffWhileIdleAndOtherClientsAreServed) {
  onLoop([&] { host->reader().setHeaderSeconds(3); });
  TestClient keptAlive(port());
  ASSERT_TRUE(moveAnswered(keptAlive));
  std::vector<std::unique_ptr<TestClient>> idle;
  for (int i = 0; i < kIdleClients; ++i) {
    idle.push_back(std::make_unique<TestClient>(port()));
    ASSERT_TRUE(idle.back()->connected()) << i;
  }
  ASSERT_TRUE(waitUntil([&] { return host->openConnections() == kIdleClients + 1u; }));

  // A whole request, but one byte a second: it would take longer than the limit.
  const std::string trickled = moveRequest();
  TestClient slow(port());
  slow.send(trickled.substr(0, 1));
  TestClient other(port());
  EXPECT_TRUE(moveAnswered(other));
  EXPECT_TRUE(slow.staysSilent(0ms)) << "the slow client was closed before the other's answer";

  std::size_t sent = 1;
  bool closed = false;
  while (!closed && sent < trickled.size()) {
    closed = slow.waitClosed(1s);
    if (!closed)
      slow.send(trickled.substr(sent++, 1));
  }
  EXPECT_TRUE(closed) << "the whole request went in, byte by byte";
  EXPECT_EQ(slow.readUntilClosed(0ms), "");

  // The limit is for a request under way, not for a connection between requests or before its
  // first: all of these have been waiting longer than it.
  for (const auto& client : idle)
    ASSERT_TRUE(client->staysSilent(0ms));
  EXPECT_TRUE(moveAnswered(keptAlive));
  EXPECT_TRUE(moveAnswered(*idle.front()));
  settle();
  EXPECT_EQ(movesPosted(desktop), 4u);
}

} // namespace
} // namespace tovel::test
