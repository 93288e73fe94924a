#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <random>

#include "support/host_fixture.h"

namespace tovel::test {
namespace {

// A POST as a browser sends it.
std::string browserPost(std::string_view target, std::string_view body) {
  return postRequest(target, body, "Host: t\r\nContent-Type: application/json\r\n");
}
std::string scrollRequest(int y) {
  return browserPost("/scroll", R"({"x":0,"y":)" + std::to_string(y) + R"(,"done":false})");
}
std::string acknowledgements(int count) {
  std::string all;
  while (count-- > 0)
    all += kControlAcknowledgement;
  return all;
}
std::string post(TestClient& client, std::string_view target, std::string_view body) {
  client.send(browserPost(target, body));
  return client.read(kControlAcknowledgement.size());
}
std::size_t movesPosted(VirtualDesktop& desktop) {
  return std::size_t(std::ranges::count_if(desktop.events(), [](const RecordedEvent& e) {
    return e.mouse() && e.mouse()->type == MouseEventType::mouseMoved;
  }));
}
// The lines the listener printed about its caps, in order, and the one an episode begins with.
std::vector<std::string> capLines(const MemoryLog& log) {
  std::vector<std::string> lines;
  std::ranges::copy_if(log.lines(), std::back_inserter(lines), [](const std::string& line) {
    return line.find("onnections") != std::string::npos;
  });
  return lines;
}
std::string tooMany(std::string_view who, bool newOnesClosed = false) {
  return "Too many open connections" + std::string(who) +
         (newOnesClosed ? ": new ones are closed until some end"
                        : ": the longest idle ones are closed to make room");
}
// Both ends of every connection are in this process.
bool descriptorsFor(int connections) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const rlim_t needed = 2 * connections + 200;
  limit.rlim_cur = std::max(limit.rlim_cur, std::min(limit.rlim_max, needed));
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= needed;
}

using HttpServer = HostFixture;

// Requests that are not POSTs get their exact answer, bad input none; either way the connection
// is closed, nothing reaches the desktop and other clients are served as before. Silent
// connections, new or after a request, are closed too: they cannot hold the caps for good.
TEST_F(HttpServer, RequestsGetTheirExactAnswerOrNoneAndTheConnectionIsClosed) {
  // Connections left without a whole request, or without any byte of one, are closed sooner.
  onLoop([&] {
    host->reader().setIdleConnectionSeconds(0.2);
    host->reader().setHeaderSeconds(0.2);
    host->reader().setRequestWaitSeconds(0.3);
  });
  std::string noise(65536, '\0');
  std::ranges::generate(noise, [random = std::mt19937(42)]() mutable { return char(random()); });
  const std::pair<std::string, std::string_view> cases[] = {
      {"OPTIONS /anything HTTP/1.1\r\nOrigin: x\r\n\r\n", kPreflightResponse},
      {"PUT /move HTTP/1.1\r\n\r\n{}", kNotFoundResponse},
      {"GET /nothing-here HTTP/1.1\r\n\r\n", kNotFoundResponse},
      {"GET /manifest.json?x HTTP/1.1\r\n\r\n", kNotFoundResponse},
      {"get / HTTP/1.1\r\n\r\n", kNotFoundResponse},
      {noise, ""},
      {"GET\r\n\r\n", ""},
      {"GET / HTTP/1.1\r\nHost: x", ""}, // ... and the rest never comes
      // Declared too large: never acted on, whatever arrives.
      {"POST /scroll HTTP/1.1\r\nContent-Length: 70000\r\n\r\n{\"x\":0,\"y\":1,\"done\":false}",
       ""},
      {"GET /ws HTTP/1.1\r\nUpgrade: websocket\r\n\r\n", ""}, // an upgrade without a key
  };
  // Bodies of the wrong form are acknowledged and ignored. In one write: no pause between them
  // that the short wait for a request could end.
  TestClient silent(port()), wrongBodies(port());
  wrongBodies.send(browserPost("/move", "x=1&y=2") + browserPost("/move", R"({"x":"1","y":[2]})") +
                   browserPost("/scroll", R"({"x":1,"y":2,"done":1})"));
  EXPECT_EQ(wrongBodies.read(3 * kControlAcknowledgement.size()), acknowledgements(3));
  for (const auto& [request, answer] : cases) {
    SCOPED_TRACE(request.substr(0, 40));
    TestClient client(port());
    client.send(request);
    EXPECT_EQ(client.readUntilClosed(10s), answer);
    EXPECT_TRUE(client.waitClosed(0ms));
  }
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(log.contains("WebSocket upgrade request detected"));
  EXPECT_FALSE(log.contains("WebSocket handshake complete"));
  TestClient other(port());
  EXPECT_EQ(post(other, "/move", R"({"x":1,"y":1})"), kControlAcknowledgement);
  EXPECT_EQ(events().size(), 1u);
  for (TestClient* quiet : {&silent, &wrongBodies, &other})
    EXPECT_TRUE(quiet->waitClosed(10s));
  EXPECT_TRUE(waitUntil([&] { return host->openConnections() == 0; }));
}

// POSTs keep the connection open; anything else is answered and closes it, as does the end of the
// client's data. Whatever byte TCP cuts a POST at, it is acted on once, when it is whole: each cut
// is made certain by sending the first part after a whole request and waiting for its answer.
TEST_F(HttpServer, PostsAreActedOnOnceWhenWholeWhereverTcpCutsThemAndKeepTheConnectionOpen) {
  TestClient client(port());
  EXPECT_EQ(post(client, "/move", R"({"x":3,"y":-2})"), kControlAcknowledgement);
  EXPECT_EQ(post(client, "/move", R"({"x":1,"y":1})"), kControlAcknowledgement);
  EXPECT_EQ(post(client, "/unknown", R"({"x":1})"), kControlAcknowledgement);
  std::vector<int> expected;
  std::string rest;
  for (int y = 1; std::size_t(y) < scrollRequest(y).size(); ++y) {
    const std::string request = scrollRequest(y);
    client.send(rest + browserPost("/log", R"({"text":"before )" + std::to_string(y) + "\"}") +
                request.substr(0, std::size_t(y)));
    ASSERT_EQ(client.read(kControlAcknowledgement.size() * (y == 1 ? 1 : 2)),
              acknowledgements(y == 1 ? 1 : 2))
        << y;
    rest = request.substr(std::size_t(y));
    expected.push_back(y);
  }
  // The last cut request, and a GET whose header block is cut too: it is answered.
  client.send(rest + browserPost("/log", R"({"text":"last"})") + "GET /nothing HTTP/1.1\r\nHo");
  ASSERT_EQ(client.read(2 * kControlAcknowledgement.size()), acknowledgements(2));
  client.send("st: t\r\n\r\n");
  EXPECT_EQ(client.readUntilClosed(), kNotFoundResponse);
  TestClient finished(port());
  finished.send(scrollRequest(4) + scrollRequest(5));
  finished.finishSending();
  EXPECT_EQ(finished.readUntilClosed(), acknowledgements(2));
  expected.insert(expected.end(), {4, 5});
  TestClient other(port());
  EXPECT_EQ(post(other, "/log", R"({"text":"bye"})"), kControlAcknowledgement);
  other.finishSending();
  EXPECT_TRUE(other.waitClosed());
  EXPECT_TRUE(log.contains("bye"));
  auto e = events();
  ASSERT_EQ(e.size(), 2 + expected.size());
  EXPECT_EQ(e[0].mouse()->position, (Point{963, 538}));
  EXPECT_EQ(e[1].mouse()->position, (Point{964, 539}));
  EXPECT_EQ(scrolledAmounts(), expected);
}

TEST_F(HttpServer, RoutesStreamsAndPagesByTheirTargets) {
  std::string seen;
  onLoop([&] {
    RouteHandlers& h = host->router().handlers();
    for (auto [route, name] : {std::pair{&h.appPage, "page"}, {&h.manifest, "manifest"},
                               {&h.serviceWorker, "worker"}, {&h.icon, "icon"},
                               {&h.mp4Stream, "mp4"}, {&h.followCaptureStream, "follow"},
                               {&h.mjpegStream, "mjpeg"}})
      *route = [&seen, name](const ConnectionPtr& connection, const HttpRequest&) {
        seen = name;
        connection->cancel();
      };
  });
  const std::pair<const char*, const char*> cases[] = {
      {"/", "page"}, {"/?url=x", "page"}, {"/manifest.json", "manifest"},
      {"/service-worker.js", "worker"}, {"/icon-192.png", "icon"}, {"/icon-512.png", "icon"},
      {"/screen.mp4?x", "mp4"}, {"/screen.mjpg?follow=true", "mjpeg"},
      {"/screen.mjpg?follow=true&DISABLED", "follow"},
      {"/screen.mjpg?screen=true&highres=true", "follow"}, {"/screen.mjpgx", "mjpeg"},
      {"/index.html", ""}};
  for (auto [target, route] : cases) {
    seen.clear();
    TestClient client(port());
    client.send(getRequest(target, ""));
    client.readUntilClosed();
    settle();
    EXPECT_EQ(seen, route) << target;
  }
}

using HostProcess = HostFixture;

TEST_F(HostProcess, ScreenChangesAreReported) {
  desktop.setScreens({Screen{1, Rect{0, 0, 1280, 800}, 1.0, "first"},
                      Screen{2, Rect{1280, 0, 1024, 768}, 1.0, "second"}});
  ASSERT_TRUE(log.waitFor("Screen: second", 5s));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Screens have changed. Current screens:",
                                                   "Screen: first", "Screen: second"}));
}

TEST_F(HostProcess, InjectedModifierIsLentToPhysicalClicksForFifteenSeconds) {
  TestClient client(port());
  client.send("POST /keydown HTTP/1.1\r\n\r\n{\"key\":\"shift\"}"); // the body: all that follows
  EXPECT_EQ(client.read(kControlAcknowledgement.size()), kControlAcknowledgement);
  settle();
  clock.advance(14.9);
  desktop.simulatePhysicalButton(kLeftButton, true);
  desktop.simulatePhysicalButton(kLeftButton, false);
  clock.advance(0.1);
  desktop.simulatePhysicalButton(kLeftButton, true);
  auto e = desktop.events();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[1].mouse()->flags, kShiftFlag);
  EXPECT_EQ(e[3].mouse()->flags, 0u);
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

// At a cap the connection idle longest (the client's own at its cap) makes room, then one whose
// request is still arriving; one in use never: with only those, the newcomer is closed unanswered.
TEST_F(ConnectionCap, TheLongestIdleConnectionMakesRoomAndOnlyConnectionsInUseKeepNewOnesOut) {
  // 127.0.0.1: a stream, a WebSocket, a kept-alive client; the other: a dropped and a partial one.
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
  // The other client below its cap, all at theirs: the longest idle anywhere.
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
  // Those in use are served as before, and a client that leaves makes room for the next.
  EXPECT_FALSE(stream.read(64).empty());
  webSocket.send(maskedFrame(R"({"action":"move","x":1,"y":1})"));
  ASSERT_TRUE(waitUntil([&] { return movesPosted(desktop) == 7; }));
  third.close();
  ASSERT_TRUE(waitUntil([&] { return host->openConnections() == 4; }));
  TestClient next(port());
  EXPECT_TRUE(moveAnswered(next));
  // Each cap's episode once when it begins and once when it ends, not once per connection.
  EXPECT_EQ(capLines(log),
            (std::vector<std::string>{
                tooMany(" from 127.0.0.1 (3)"), tooMany(" (5)"), tooMany(" from 127.0.0.2 (3)"),
                tooMany(" from 127.0.0.2 (3)", true),
                "Connections from 127.0.0.1 below the cap again, 1 idle one closed to make room "
                "meanwhile",
                tooMany(" (5)", true),
                "Accepting connections again, 1 closed meanwhile and 2 idle ones closed to make "
                "room"}));
}

using SlowClients = HostFixture;

// The owner's own address (as on loopback) floods the host with idle connections and trickles a
// request a byte a second: the owner is served at once, the flood's longest idle making room;
// streams in use are never closed, the trickled request only at the 10 s header time limit.
TEST_F(SlowClients, AFloodOfIdleConnectionsAndATrickledRequestCannotKeepAClientOut) {
  constexpr int kIdleClients = 1000;
  if (!descriptorsFor(kIdleClients))
    GTEST_SKIP() << "the hard limit on open files is too low for " << kIdleClients << " clients";
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
  // The cap holds the stream, the WebSocket and the newest of the flood; the oldest went first.
  const std::size_t cap = Listener::kMaxConnectionsPerAddress;
  const std::size_t firstOpen = kIdleClients - (cap - 2);
  ASSERT_TRUE(idle[firstOpen - 1]->waitClosed(60s));
  EXPECT_TRUE(keptAlive.waitClosed(0ms));
  EXPECT_EQ(host->openConnections(), cap);

  // A whole request, but one byte a second: it would take longer than the limit.
  TestClient slow(port());
  slow.send(kMoveRequest.substr(0, 1));
  TestClient other(port());
  EXPECT_TRUE(moveAnswered(other));
  EXPECT_TRUE(slow.staysSilent(0ms)) << "the slow client was closed before the other's answer";
  EXPECT_TRUE(idle[firstOpen + 1]->waitClosed(0ms)) << "room for the slow one and the other";
  EXPECT_TRUE(idle[firstOpen + 2]->staysSilent(0ms));
  std::size_t sent = 1;
  while (sent < kMoveRequest.size() && !slow.waitClosed(1s))
    slow.send(kMoveRequest.substr(sent++, 1));
  EXPECT_TRUE(slow.waitClosed(0ms)) << "the whole request went in, byte by byte";
  // A byte a second at most: the 10 s limit lets in no more than about eleven.
  EXPECT_LE(sent, 15u) << "the header block was let take longer than its limit";
  EXPECT_EQ(slow.readUntilClosed(0ms), "");

  // The stream and the WebSocket are served on, and so is a connection of the flood still open.
  EXPECT_FALSE(stream.read(64).empty());
  webSocket.send(maskedFrame(R"({"action":"move","x":1,"y":1})"));
  EXPECT_TRUE(moveAnswered(*idle.back()));
  ASSERT_TRUE(waitUntil([&] { return movesPosted(desktop) == 4; }));
  EXPECT_EQ(capLines(log), std::vector<std::string>{tooMany(" from 127.0.0.1 (256)")});
}

} // namespace
} // namespace tovel::test
