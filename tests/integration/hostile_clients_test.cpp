#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "mjpeg/follow_capture_stream.h"
#include "server/responses.h"
#include "support/host_fixture.h"
#include "support/http_requests.h"
#include "support/stream_reading.h"
#include "support/wait.h"
#include "support/websocket_upgrade.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

// Clients that break off, lie or send garbage: the host ends what they started, answers as it does
// for any bad input, and goes on serving everyone else.
class HostileClients : public HostFixture {
protected:
  void SetUp() override {
    HostFixture::SetUp();
    onLoop([&] { follow.install(host->router().handlers()); });
    // Pictures that change with the clock keep every stream sending.
    ticker.emplace(clock);
  }

  // A fresh connection still gets its POST acknowledged and acted on.
  void expectServed(const std::string& marker) {
    TestClient client(port());
    client.send(postRequest("/log", R"({"text":")" + marker + "\"}"));
    EXPECT_EQ(client.read(kControlAcknowledgement.size(), 20s), kControlAcknowledgement) << marker;
    EXPECT_TRUE(log.waitFor(marker, 20s)) << marker;
  }

  FollowCaptureStreams follow{desktop, log};
};

TEST_F(HostileClients, AResetInTheMiddleOfAFrameEndsOnlyThatStream) {
  struct Case {
    const char* target;
    std::string_view extraHeadByte; // what follows the head's empty line before the first chunk
    int chunksBeforePictures;
    std::function<std::size_t()> live;
  };
  const Case cases[] = {
      {"/screen.mjpg", "", 0, [&] { return host->mjpegStreams().liveStreams(); }},
      {"/screen.mjpg?screen=true", "\r", 0, [&] { return follow.liveStreams().size(); }},
      {"/screen.mp4", "", 1, [&] { return mp4Clients(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    // The head, and the MP4 stream's initialization segment before the pictures.
    auto open = [&](TestClient& client) {
      client.send(std::string("GET ") + c.target + " HTTP/1.1\r\nHost: h\r\n\r\n");
      EXPECT_TRUE(readHead(client, 20s).starts_with("HTTP/1.1 200 OK\r\n"));
      EXPECT_EQ(client.read(c.extraHeadByte.size(), 20s), c.extraHeadByte);
      for (int i = 0; i < c.chunksBeforePictures; ++i)
        EXPECT_TRUE(readChunk(client, 20s));
    };

    {
      // A small window: the host is still writing the picture when the reset comes.
      TestClient breaker(port(), 4096);
      open(breaker);
      auto size = readChunkSize(breaker, 20s);
      ASSERT_TRUE(size);
      ASSERT_GT(*size, 1000u);
      ASSERT_EQ(breaker.read(500, 20s).size(), 500u);
      EXPECT_EQ(c.live(), 1u);
      breaker.reset();
    }
    ASSERT_TRUE(waitUntil([&] { return c.live() == 0; })) << c.live() << " streams still live";

    // The next client of the same stream gets whole pictures.
    TestClient next(port());
    open(next);
    for (int picture = 0; picture < 2; ++picture)
      ASSERT_TRUE(readChunk(next, 20s)) << "picture " << picture;
    next.close();
    EXPECT_TRUE(waitUntil([&] { return c.live() == 0; }));
  }
}

// Nesting as deep as a frame allows: the parser must neither recurse itself to death nor take it
// for a command.
std::string nested(int depth, std::string_view open, std::string_view close) {
  std::string text;
  for (int i = 0; i < depth; ++i)
    text += open;
  for (int i = 0; i < depth; ++i)
    text += close;
  return text;
}

TEST_F(HostileClients, WebSocketGarbageAndLiesAreRefusedAndTheHostServesOn) {
  std::mt19937 random(7);
  auto noise = [&](std::size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes)
      c = char(random());
    return bytes;
  };
  // Random payloads in well-formed frames of every kind the host refuses or cannot parse.
  std::string randomFrames;
  while (randomFrames.size() < 65536) {
    std::uint8_t opcode = random() % 2 ? 0x1 : 0x2;
    randomFrames +=
        maskedFrame(noise(1 + random() % 2000), opcode, std::uint32_t(random()), random() % 4 != 0);
  }
  // Declared lengths past what the host takes, up to the largest there is, with and without a
  // mask, sent alone or with the start of a payload.
  auto header = [](std::uint64_t length, bool masked, std::string_view after) {
    std::string bytes{char(0x81), char((masked ? 0x80 : 0) | 127)};
    for (int shift = 56; shift >= 0; shift -= 8)
      bytes += char((length >> shift) & 0xff);
    return bytes + std::string(after);
  };

  struct Case {
    const char* name;
    std::string bytes;
    bool sessionEnds; // the host closes the connection; otherwise it still reads frames
  };
  const Case cases[] = {
      {"random frames", randomFrames, false},
      {"deep JSON", maskedFrame(R"({"action":"move","x":)" + nested(30000, "[", "]") + "}"), false},
      {"unclosed JSON", maskedFrame(std::string(60000, '[')), false},
      {"deep objects", maskedFrame(nested(10000, R"({"x":)", "}")), false},
      {"a 65537-byte frame", header(65537, true, "\x01\x02\x03\x04hello"), true},
      {"a 2^32-byte frame", header(1ull << 32, true, "\x01\x02\x03\x04"), true},
      {"a 2^63-byte frame", header(1ull << 63, true, "\x01\x02\x03\x04hello"), true},
      {"a (2^63 + 1)-byte unmasked frame", header((1ull << 63) + 1, false, "hello"), true},
      {"a (2^64 - 1)-byte frame", header(~0ull, true, "\x01\x02\x03\x04"), true},
      {"a (2^64 - 1)-byte header alone", header(~0ull, true, ""), true},
      {"a (2^64 - 1)-byte unmasked frame", header(~0ull, false, "hello"), true},
      // Whatever the noise declares: the host never answers it and is not held up by it.
      {"random bytes", noise(65536), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestClient client(port());
    ASSERT_TRUE(openWebSocket(client));
    ASSERT_TRUE(log.waitFor("WebSocket handshake complete", 20s));
    log.clear();
    client.send(c.bytes);
    if (c.sessionEnds) {
      EXPECT_EQ(client.readUntilClosed(20s), "");
      EXPECT_EQ(std::ranges::count(log.lines(), "Warning: Failed to parse WebSocket frame"), 1);
    } else if (std::string_view(c.name) != "random bytes") {
      std::string marker = std::string("after ") + c.name;
      client.send(logFrame(marker));
      EXPECT_TRUE(log.waitFor(marker, 30s));
      EXPECT_EQ(client.readSome(1, 0ms), std::optional<std::string>(""));
    }
    client.close();
    expectServed(std::string("served after ") + c.name);
  }
  settle();
  EXPECT_TRUE(desktop.events().empty());
}

} // namespace
} // namespace tovel::test
