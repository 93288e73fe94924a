#include <gtest/gtest.h>

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
  for (int i = 0; i < count; ++i)
    all += kControlAcknowledgement;
  return all;
}

class HttpServer : public HostFixture {
protected:
  std::string post(TestClient& client, std::string_view target, std::string_view body) {
    client.send(browserPost(target, body));
    return client.read(kControlAcknowledgement.size());
  }
};

// Requests that are not POSTs get their exact answer, bad input none; either way the connection
// is closed, nothing reaches the desktop and other clients are served as before.
TEST_F(HttpServer, RequestsGetTheirExactAnswerOrNoneAndTheConnectionIsClosed) {
  // Connections left without a whole request are closed sooner.
  onLoop([&] {
    host->reader().setIdleConnectionSeconds(0.2);
    host->reader().setHeaderSeconds(0.2);
  });
  std::mt19937 random(42);
  std::string noise(65536, '\0');
  for (char& c : noise)
    c = char(random());
  const std::tuple<std::string, std::string_view, bool> cases[] = {
      {"OPTIONS /anything HTTP/1.1\r\nOrigin: x\r\n\r\n", kPreflightResponse, false},
      // The answer comes even when the peer closes its side at once.
      {"OPTIONS / HTTP/1.1\r\n\r\n", kPreflightResponse, true},
      {"PUT /move HTTP/1.1\r\n\r\n{}", kNotFoundResponse, false},
      {"GET /nothing-here HTTP/1.1\r\n\r\n", kNotFoundResponse, false},
      {"GET /manifest.json?x HTTP/1.1\r\n\r\n", kNotFoundResponse, false},
      {"get / HTTP/1.1\r\n\r\n", kNotFoundResponse, false},
      {noise, "", false},
      {"GET\r\n\r\n", "", false},
      {"GET / HTTP/1.1\r\nHost: x", "", false}, // ... and the rest never comes
      {"POST /scroll HTTP/1.1\r\nContent-Length: 12x\r\n\r\n{\"x\":0,\"y\":1,\"done\":false}", "",
       false},
      {"GET / HTTP/1.1\r\nX: " + std::string(70000, 'a') + "\r\n\r\n", "", false},
      // Declared too large: never acted on, whatever arrives.
      {"POST /scroll HTTP/1.1\r\nContent-Length: 70000\r\n\r\n{\"x\":0,\"y\":1,\"done\":false}", "",
       false},
      // An upgrade without a key.
      {"GET /ws HTTP/1.1\r\nUpgrade: websocket\r\n\r\n", "", false},
  };
  TestClient wrongBodies(port());
  EXPECT_EQ(post(wrongBodies, "/move", "x=1&y=2"), kControlAcknowledgement);
  EXPECT_EQ(post(wrongBodies, "/move", R"({"x":"1","y":[2]})"), kControlAcknowledgement);
  EXPECT_EQ(post(wrongBodies, "/scroll", R"({"x":1,"y":2,"done":1})"), kControlAcknowledgement);
  for (const auto& [request, answer, halfClose] : cases) {
    TestClient client(port());
    client.send(request);
    if (halfClose)
      client.finishSending();
    EXPECT_EQ(client.readUntilClosed(10s), answer) << request.substr(0, 40);
    EXPECT_TRUE(client.waitClosed(0ms)) << request.substr(0, 40);
  }
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(log.contains("WebSocket upgrade request detected"));
  EXPECT_FALSE(log.contains("WebSocket handshake complete"));

  TestClient other(port());
  EXPECT_EQ(post(other, "/move", R"({"x":1,"y":1})"), kControlAcknowledgement);
  EXPECT_EQ(events().size(), 1u);
}

TEST_F(HttpServer, PostIsAcknowledgedAndTheConnectionStaysOpenForTheNext) {
  TestClient client(port());
  EXPECT_EQ(post(client, "/move", R"({"x":3,"y":-2})"), kControlAcknowledgement);
  EXPECT_EQ(post(client, "/move", R"({"x":1,"y":1})"), kControlAcknowledgement);
  EXPECT_EQ(post(client, "/unknown", R"({"x":1})"), kControlAcknowledgement);
  // Then another request on the same connection is answered and closes it.
  client.send("OPTIONS / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(client.readUntilClosed(), kPreflightResponse);
  auto e = events();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].mouse()->position, (Point{963, 538}));
  EXPECT_EQ(e[1].mouse()->position, (Point{964, 539}));

  // A peer that stops sending after a POST is closed.
  TestClient other(port());
  EXPECT_EQ(post(other, "/log", R"({"text":"bye"})"), kControlAcknowledgement);
  other.finishSending();
  EXPECT_TRUE(other.waitClosed());
  EXPECT_TRUE(log.contains("bye"));
}

// Whatever byte TCP cuts a request at, the request is acted on once, when it is whole: a header
// block cut anywhere, a body arriving after its header block. Each cut is made certain by
// sending the first part together with a whole request and waiting for that one's answer
// before sending the rest.
TEST_F(HttpServer, RequestsCutAtAnyByteAreActedOnOnceWhenWhole) {
  TestClient client(port());
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
  EXPECT_EQ(scrolledAmounts(), expected);
}

TEST_F(HttpServer, SeveralRequestsInOneWrite) {
  // With Content-Length each request ends where it says; they are answered one after the other,
  // also when the client has finished sending with the last one.
  TestClient client(port());
  client.send(scrollRequest(1) + scrollRequest(2) + scrollRequest(3) + "\r\n" +
              "OPTIONS / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(client.readUntilClosed(), acknowledgements(3) + std::string(kPreflightResponse));
  TestClient finished(port());
  finished.send(scrollRequest(4) + scrollRequest(5));
  finished.finishSending();
  EXPECT_EQ(finished.readUntilClosed(), acknowledgements(2));
  EXPECT_EQ(scrolledAmounts(), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(HttpServer, RoutesStreamsAndPagesByTheirTargetTests) {
  std::vector<std::string> seen;
  auto record = [&](std::string name) {
    return [&seen, name](const ConnectionPtr& connection, const HttpRequest& request) {
      seen.push_back(name + " " + request.target);
      connection->cancel();
    };
  };
  onLoop([&] {
    RouteHandlers& h = host->router().handlers();
    h.appPage = record("page");
    h.manifest = record("manifest");
    h.serviceWorker = record("worker");
    h.icon = record("icon");
    h.mp4Stream = record("mp4");
    h.followCaptureStream = record("follow");
    h.mjpegStream = record("mjpeg");
  });
  for (std::string target :
       {"/", "/?url=x", "/manifest.json", "/service-worker.js", "/icon-192.png", "/icon-512.png",
        "/screen.mp4?x", "/screen.mjpg?follow=true", "/screen.mjpg?follow=true&DISABLED",
        "/screen.mjpg?screen=true&highres=true", "/screen.mjpgx", "/index.html"}) {
    TestClient client(port());
    client.send(getRequest(target, ""));
    client.readUntilClosed();
  }
  settle();
  EXPECT_EQ(seen,
            (std::vector<std::string>{
                "page /", "page /?url=x", "manifest /manifest.json", "worker /service-worker.js",
                "icon /icon-192.png", "icon /icon-512.png", "mp4 /screen.mp4?x",
                "mjpeg /screen.mjpg?follow=true", "follow /screen.mjpg?follow=true&DISABLED",
                "follow /screen.mjpg?screen=true&highres=true", "mjpeg /screen.mjpgx"}));
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
  client.send("POST /keydown HTTP/1.1\r\n\r\n{\"key\":\"shift\"}");
  client.read(252);
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

} // namespace
} // namespace tovel::test
