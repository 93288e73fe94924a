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
  struct Case {
    std::string request;
    std::string_view response;
  } cases[] = {
      {"OPTIONS /anything HTTP/1.1\r\nOrigin: x\r\n\r\n", kPreflightResponse},
      {"PUT /move HTTP/1.1\r\n\r\n{}", kNotFoundResponse},
      {"GET /nothing-here HTTP/1.1\r\n\r\n", kNotFoundResponse},
      {"GET /manifest.json?x HTTP/1.1\r\n\r\n", kNotFoundResponse},
      {"get / HTTP/1.1\r\n\r\n", kNotFoundResponse},
  };
  for (const Case& c : cases) {
    TestClient client(port());
    ASSERT_TRUE(client.connected());
    client.send(c.request);
    EXPECT_EQ(client.readUntilClosed(), c.response) << c.request;
  }
}

TEST_F(HttpServer, PostIsAcknowledgedAndTheConnectionStaysOpenForTheNext) {
  TestClient client(port());
  EXPECT_EQ(post(client, "/move", R"({"x":3,"y":-2})"), kControlAcknowledgement);
  EXPECT_EQ(post(client, "/move", R"({"x":1,"y":1})"), kControlAcknowledgement);
  EXPECT_EQ(post(client, "/unknown", R"({"x":1})"), kControlAcknowledgement);
  // Then a GET on the same connection is answered and closes it.
  client.send("OPTIONS / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(client.readUntilClosed(), kPreflightResponse);

  auto e = events();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].mouse()->position, (Point{963, 538}));
  EXPECT_EQ(e[1].mouse()->position, (Point{964, 539}));
  EXPECT_EQ(desktop.mouseLocation(), (Point{964, 1080 - 539}));
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

TEST_F(HttpServer, ControlEndpointsReachTheDesktop) {
  TestClient client(port());
  post(client, "/click", R"({"button":"right"})");
  post(client, "/click", R"({"button":"middle"})");
  post(client, "/keydown", R"({"key":"f5"})");
  post(client, "/keydown", R"({"key":"notAKey"})");
  post(client, "/scroll", R"({"x":0.4,"y":-12.5,"done":true})");
  post(client, "/swipe", R"({"x":0,"y":60,"done":false})");
  auto e = events();
  ASSERT_EQ(e.size(), 10u);
  EXPECT_EQ(e[0].mouse()->type, MouseEventType::rightMouseDown);
  EXPECT_EQ(e[1].mouse()->type, MouseEventType::rightMouseUp);
  EXPECT_EQ(e[2].mouse()->button, kCenterButton);
  EXPECT_EQ(e[3].mouse()->type, MouseEventType::otherMouseUp);
  EXPECT_EQ(e[4].key()->key, 96);
  EXPECT_EQ(e[5].scroll()->wheel1, -12);
  EXPECT_EQ(e[5].scroll()->wheel2, 0);
  // The swipe down: control, down arrow, release both.
  EXPECT_EQ(e[6].key()->key, 59);
  EXPECT_EQ(e[7].key()->key, 125);
  EXPECT_TRUE(log.contains("\nclick right"));
  EXPECT_TRUE(log.contains("keydown notAKey"));
  EXPECT_TRUE(log.contains("scroll"));
  EXPECT_TRUE(log.contains("swipe down"));
}

TEST_F(HttpServer, PeerThatStopsSendingAfterAPostIsClosed) {
  TestClient client(port());
  EXPECT_EQ(post(client, "/log", R"({"text":"bye"})"), kControlAcknowledgement);
  client.finishSending();
  EXPECT_TRUE(client.waitClosed());
  EXPECT_TRUE(log.contains("bye"));
}

TEST_F(HttpServer, ResponseArrivesEvenWhenThePeerClosesItsSideAtOnce) {
  TestClient client(port());
  client.send("OPTIONS / HTTP/1.1\r\n\r\n");
  client.finishSending();
  EXPECT_EQ(client.readUntilClosed(), kPreflightResponse);
}

TEST_F(HttpServer, BadInputGetsNoAnswerAndDoesNotDisturbOtherClients) {
  std::mt19937 random(42);
  std::string noise(65536, '\0');
  for (char& c : noise)
    c = char(random());

  TestClient garbage(port());
  garbage.send(noise);
  TestClient noSpaces(port());
  noSpaces.send("GET\r\n\r\n");
  TestClient unterminated(port());
  unterminated.send("GET / HTTP/1.1\r\nHost: x"); // ... and the rest never comes
  TestClient notJson(port());
  EXPECT_EQ(post(notJson, "/move", "x=1&y=2"), kControlAcknowledgement);
  TestClient wrongTypes(port());
  EXPECT_EQ(post(wrongTypes, "/move", R"({"x":"1","y":[2]})"), kControlAcknowledgement);
  EXPECT_EQ(post(wrongTypes, "/scroll", R"({"x":1,"y":2,"done":1})"), kControlAcknowledgement);

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
