#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>

#include "support/host_fixture.h"

namespace tovel::test {
namespace {

std::size_t movesPosted(VirtualDesktop& desktop) {
  std::size_t moves = 0;
  for (const RecordedEvent& e : desktop.events())
    moves += e.mouse() && e.mouse()->type == MouseEventType::mouseMoved;
  return moves;
}

// The lines the listener printed about its caps, in order.
std::vector<std::string> capLines(const MemoryLog& log) {
  std::vector<std::string> lines;
  for (const std::string& line : log.lines())
    if (line.find("onnections") != std::string::npos)
      lines.push_back(line);
  return lines;
}

constexpr const char* kOtherClient = "127.0.0.2";

class ConnectionCap : public HostFixture {
protected:
  void SetUp() override {
    maxConnections = 5;
    maxConnectionsPerAddress = 3;
    HostFixture::SetUp();
  }
};

// At a cap the connection idle longest makes room: among the client's own at its cap, among all
// at the cap on all. One whose request is still arriving goes only when none is idle, and one in
// use never: with only those, the newcomer is closed unanswered.
TEST_F(ConnectionCap, TheLongestIdleConnectionMakesRoomAndOnlyConnectionsInUseKeepNewOnesOut) {
  // 127.0.0.1: a stream, a WebSocket and a kept-alive control client; the other client: a
  // dropped request and one still arriving.
  TestClient stream(port()), webSocket(port());
  ASSERT_TRUE(streamOpened(stream));
  ASSERT_TRUE(webSocketOpened(webSocket));
  TestClient dropped(port(), kOtherClient);
  dropped.send("GET\r\n\r\n");
  TestClient partial(port(), kOtherClient);
  partial.send("POST /move HTTP/1.1\r\nHo");
  TestClient keptAlive(port());
  ASSERT_TRUE(moveAnswered(keptAlive));
  ASSERT_EQ(host->openConnections(), 5u);
  // A newcomer is served at once, and what it closed is ready to read before it is answered.
  auto served = [&](TestClient& newcomer, TestClient& closed) {
    settle(); // the last answer's completion has made its connection idle
    EXPECT_TRUE(moveAnswered(newcomer));
    EXPECT_TRUE(closed.waitClosed(0ms));
  };

  // 127.0.0.1 at its cap: its only idle connection.
  TestClient first(port());
  served(first, keptAlive);
  // The other client below its cap, all at theirs: the longest idle anywhere, the dropped request
  // first, then 127.0.0.1's.
  TestClient second(port(), kOtherClient);
  served(second, dropped);
  TestClient third(port(), kOtherClient);
  served(third, first);
  // The other client at its cap: its own longest idle; its request on the way is still open.
  TestClient fourth(port(), kOtherClient);
  served(fourth, second);
  EXPECT_TRUE(partial.staysSilent(0ms));
  // With its others streaming, the request on the way goes.
  ASSERT_TRUE(streamOpened(third) && streamOpened(fourth));
  TestClient fifth(port(), kOtherClient);
  served(fifth, partial);
  ASSERT_TRUE(streamOpened(fifth));

  // Everything in use: at the client's cap and at the cap on all, newcomers are closed unanswered.
  for (const char* from : {kOtherClient, "127.0.0.1"}) {
    TestClient refused(port(), from);
    refused.send(kMoveRequest);
    EXPECT_EQ(refused.readUntilClosed(10s), "") << from;
    EXPECT_TRUE(refused.waitClosed(0ms)) << from;
  }
  // Those in use are served as before.
  EXPECT_FALSE(stream.read(64).empty());
  webSocket.send(maskedFrame(R"({"action":"move","x":1,"y":1})"));
  ASSERT_TRUE(waitUntil([&] { return movesPosted(desktop) == 7; }));

  // A client that leaves makes room for the next.
  third.close();
  ASSERT_TRUE(waitUntil([&] { return host->openConnections() == 4; }));
  TestClient next(port());
  EXPECT_TRUE(moveAnswered(next));
  // Each cap's episode once when it begins and once when it ends, not once per connection.
  EXPECT_EQ(capLines(log),
            (std::vector<std::string>{
                "Too many open connections from 127.0.0.1 (3): the longest idle ones are closed "
                "to make room",
                "Too many open connections (5): the longest idle ones are closed to make room",
                "Too many open connections from 127.0.0.2 (3): the longest idle ones are closed "
                "to make room",
                "Too many open connections from 127.0.0.2 (3): new ones are closed until some end",
                "Connections from 127.0.0.1 below the cap again, 1 idle one closed to make room "
                "meanwhile",
                "Too many open connections (5): new ones are closed until some end",
                "Accepting connections again, 1 closed meanwhile and 2 idle ones closed to make "
                "room",
            }));
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
    HostFixture::SetUp();
  }
};

// One address floods the host with idle connections, far past its cap, and trickles a request a
// byte a second; the owner shares the address (as on loopback). The owner is served at once,
// the flood's longest idle connections making room; streams and WebSockets in use are never
// closed, nor the trickled request while idle ones remain, until the header time limit (10 s
// from its first byte) cuts it off.
TEST_F(SlowClients, AFloodOfIdleConnectionsAndATrickledRequestCannotKeepAClientOut) {
  TestClient keptAlive(port());
  ASSERT_TRUE(moveAnswered(keptAlive));
  TestClient stream(port()), webSocket(port());
  ASSERT_TRUE(streamOpened(stream));
  ASSERT_TRUE(webSocketOpened(webSocket));
  settle();
  std::vector<std::unique_ptr<TestClient>> idle;
  for (int i = 0; i < kIdleClients; ++i) {
    idle.push_back(std::make_unique<TestClient>(port()));
    ASSERT_TRUE(idle.back()->connected()) << i;
  }
  // The address's cap holds the stream, the WebSocket and the newest of the flood; the kept-alive
  // client went first, being idle longest, then the flood's oldest, in order.
  const std::size_t cap = Listener::kMaxConnectionsPerAddress;
  const std::size_t firstOpen = kIdleClients - (cap - 2);
  ASSERT_TRUE(idle[firstOpen - 1]->waitClosed(60s));
  EXPECT_TRUE(keptAlive.waitClosed(0ms));
  EXPECT_EQ(host->openConnections(), cap);

  // A whole request, but one byte a second: it would take longer than the limit.
  const std::string trickled = kMoveRequest;
  TestClient slow(port());
  slow.send(trickled.substr(0, 1));
  TestClient other(port());
  EXPECT_TRUE(moveAnswered(other));
  EXPECT_TRUE(slow.staysSilent(0ms)) << "the slow client was closed before the other's answer";
  EXPECT_TRUE(idle[firstOpen + 1]->waitClosed(0ms)) << "room for the slow one and the other";
  EXPECT_TRUE(idle[firstOpen + 2]->staysSilent(0ms));

  std::size_t sent = 1;
  bool closed = false;
  while (!closed && sent < trickled.size()) {
    closed = slow.waitClosed(1s);
    if (!closed)
      slow.send(trickled.substr(sent++, 1));
  }
  EXPECT_TRUE(closed) << "the whole request went in, byte by byte";
  // A byte a second at most: the 10 s limit lets in no more than about eleven.
  EXPECT_LE(sent, 15u) << "the header block was let take longer than its limit";
  EXPECT_EQ(slow.readUntilClosed(0ms), "");

  // The stream and the WebSocket are served on, and a connection of the flood still open is
  // served when it sends a request.
  EXPECT_FALSE(stream.read(64).empty());
  webSocket.send(maskedFrame(R"({"action":"move","x":1,"y":1})"));
  EXPECT_TRUE(moveAnswered(*idle.back()));
  ASSERT_TRUE(waitUntil([&] { return movesPosted(desktop) == 4; }));
  EXPECT_EQ(capLines(log), std::vector<std::string>{"Too many open connections from 127.0.0.1 "
                                                    "(256): the longest idle ones are closed to "
                                                    "make room"});
}

} // namespace
} // namespace tovel::test
