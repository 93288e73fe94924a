#include <gtest/gtest.h>

#include <random>

#include "server/responses.h"
#include "support/host_fixture.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

class HttpServer : public HostFixture {
protected:
  std::string post(TestClient& client, std::string_view target, std::string_view body) {
    client.send("POST " + std::string(target) +
                " HTTP/1.1\r\nHost: t\r\nContent-Type: application/json\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + std::string(body));
    return client.read(kControlAcknowledgement.size());
  }
  std::vector<RecordedEvent> events() {
    settle();
    return desktop.events();
  }
};

TEST_F(HttpServer, AnswersWithExactBytesAndClosesAfterNonPostRoutes) {
  const std::tuple<const char*, std::string_view, bool> cases[] = {
      {"OPTIONS /anything HTTP/1.1\r\nOrigin: x\r\n\r\n", kPreflightResponse, false},
      // The answer comes even when the peer closes its side at once.
      {"OPTIONS / HTTP/1.1\r\n\r\n", kPreflightResponse, true},
      {"PUT /move HTTP/1.1\r\n\r\n{}", kNotFoundResponse, false},
      {"GET /nothing-here HTTP/1.1\r\n\r\n", kNotFoundResponse, false},
      {"GET /manifest.json?x HTTP/1.1\r\n\r\n", kNotFoundResponse, false},
      {"get / HTTP/1.1\r\n\r\n", kNotFoundResponse, false}};
  for (auto [request, response, halfClose] : cases) {
    TestClient client(port());
    client.send(request);
    if (halfClose)
      client.finishSending();
    EXPECT_EQ(client.readUntilClosed(), response) << request;
  }
  EXPECT_TRUE(events().empty());
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

TEST_F(HttpServer, BodyInALaterReadIsAnEmptyPostThenADroppedRequest) {
  TestClient client(port());
  client.send("POST /move HTTP/1.1\r\nContent-Length: 14\r\n\r\n");
  EXPECT_EQ(client.read(kControlAcknowledgement.size()), kControlAcknowledgement);
  client.send(R"({"x":3,"y":-2})");
  EXPECT_TRUE(client.staysSilent(300ms));
  EXPECT_TRUE(events().empty());
}

TEST_F(HttpServer, TwoRequestsInOneReadRouteOnlyTheFirst) {
  TestClient client(port());
  client.send("GET /a HTTP/1.1\r\n\r\nOPTIONS / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(client.readUntilClosed(), kNotFoundResponse);

  // The second POST becomes part of the first one's body, which is then no JSON at all.
  TestClient second(port());
  std::string one = "POST /move HTTP/1.1\r\n\r\n{\"x\":1,\"y\":1}";
  second.send(one + one);
  EXPECT_EQ(second.read(kControlAcknowledgement.size()), kControlAcknowledgement);
  EXPECT_TRUE(second.staysSilent(200ms));
  EXPECT_TRUE(events().empty());
}

TEST_F(HttpServer, BadInputGetsNoAnswerAndDoesNotDisturbOtherClients) {
  std::mt19937 random(42);
  std::string noise(65536, '\0');
  for (char& c : noise)
    c = char(random());

  TestClient garbage(port()), noSpaces(port()), unterminated(port()), wrongBodies(port());
  garbage.send(noise);
  noSpaces.send("GET\r\n\r\n");
  unterminated.send("GET / HTTP/1.1\r\nHost: x"); // ... and the rest never comes
  EXPECT_EQ(post(wrongBodies, "/move", "x=1&y=2"), kControlAcknowledgement);
  EXPECT_EQ(post(wrongBodies, "/move", R"({"x":"1","y":[2]})"), kControlAcknowledgement);
  EXPECT_EQ(post(wrongBodies, "/scroll", R"({"x":1,"y":2,"done":1})"), kControlAcknowledgement);

  EXPECT_TRUE(garbage.staysSilent(200ms));
  EXPECT_TRUE(noSpaces.staysSilent(50ms));
  EXPECT_TRUE(unterminated.staysSilent(50ms));
  EXPECT_TRUE(events().empty());

  TestClient other(port());
  EXPECT_EQ(post(other, "/move", R"({"x":1,"y":1})"), kControlAcknowledgement);
  EXPECT_EQ(events().size(), 1u);
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
    client.send("GET " + target + " HTTP/1.1\r\n\r\n");
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

} // namespace
} // namespace tovel::test
