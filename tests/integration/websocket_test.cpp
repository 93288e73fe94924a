#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <random>

#include "support/host_fixture.h"
#include "support/virtual_input.h"

namespace tovel::test {
namespace {

constexpr std::string_view kWarning = "Warning: Failed to parse WebSocket frame";

std::string scrollFrame(int y, std::size_t padding = 0) {
  return maskedFrame(R"({"action":"scroll","x":0,"y":)" + std::to_string(y) +
                     R"(,"done":false,"pad":")" + std::string(padding, 'p') + "\"}");
}

class WebSocket : public HostFixture {
protected:
  std::unique_ptr<TestClient> upgrade(const std::string& following = "") {
    auto client = std::make_unique<TestClient>(port());
    EXPECT_TRUE(webSocketOpened(*client, following));
    return client;
  }
  // Sends a log message after the bytes and waits until the host has handled it, and so them.
  void sendAndWait(TestClient& client, const std::string& bytes, const std::string& marker) {
    client.send(bytes + logFrame(marker));
    ASSERT_TRUE(log.waitFor(marker, 30s)) << marker;
  }
  std::size_t warnings() { return std::size_t(std::ranges::count(log.lines(), kWarning)); }
};

// Thousands of frames in one write (read in pieces cut anywhere), then a frame cut at each of its
// bytes, the first part sent with a message whose handling shows it has been read.
TEST_F(WebSocket, FramesAreHandledInOrderWhereverTcpCutsThem) {
  std::string frames;
  std::vector<int> expected;
  int y = 1;
  for (; y <= 3000; ++y) {
    frames += scrollFrame(y);
    expected.push_back(y);
  }
  auto client = upgrade();
  sendAndWait(*client, frames, "all sent");
  std::string rest;
  for (std::size_t padding : {0, 130}) { // the short and the 16-bit length forms
    for (std::size_t cut = 1;; ++cut) {
      const std::string frame = scrollFrame(y, padding);
      if (cut >= frame.size())
        break;
      sendAndWait(*client, rest, "before " + std::to_string(y));
      if (HasFatalFailure())
        return;
      client->send(frame.substr(0, cut));
      rest = frame.substr(cut);
      expected.push_back(y++);
    }
  }
  sendAndWait(*client, rest, "end");
  EXPECT_EQ(scrolledAmounts(), expected);
  EXPECT_EQ(warnings(), 0u);
}

TEST_F(WebSocket, RefusedFramesAreSkippedWithAWarningAndTheRestStillCounts) {
  // Frames sent in the same write as the upgrade request belong to the WebSocket. A close frame
  // is refused and skipped like the others.
  auto client = upgrade(scrollFrame(1));
  sendAndWait(*client,
              maskedFrame("", 0x9) + maskedFrame("ab", 0x2) + std::string("\x81\x02{}", 4) +
                  maskedFrame("\xff") + scrollFrame(2) +
                  maskedFrame(R"({"action":"scroll"})", 0x1, 7, /*fin=*/false) + scrollFrame(3) +
                  maskedFrame("", 0x8),
              "after the refused ones");
  EXPECT_EQ(warnings(), 6u);
  EXPECT_EQ(scrolledAmounts(), (std::vector<int>{1, 2, 3}));
}

// Texts from either channel go through the host's one typer, whose loop types the parts the
// desktop takes at a time; what follows a text waits for it.
TEST_F(WebSocket, TextsAreTypedInPartsAndInTheOrderTheyCameOnEitherChannel) {
  desktop.setTyping(U"", 4, 0.02);
  auto client = upgrade();
  client->send(maskedFrame(R"({"action":"type","text":"abcdefghij"})") +
               maskedFrame(R"({"action":"keydown","key":"z"})") +
               maskedFrame(R"({"action":"type","text":"xy"})"));
  ASSERT_TRUE(log.waitFor("ws type 2 characters", 10s));
  TestClient post(port());
  post.send(postRequest("/type", R"({"text":"12"})"));
  EXPECT_EQ(post.read(kControlAcknowledgement.size()), kControlAcknowledgement);
  EXPECT_TRUE(waitUntil([&] { return desktop.events().size() >= 15; }, 10s));
  EXPECT_EQ(describeEvents(desktop), (Lines{"typed abcdefghij", "key 6 down", "typed xy12"}));
}

// What a session holds is released when it ends, however it ends; another session's stays held.
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
    clock.advance(10); // never a double click
    auto client = upgrade();
    sendAndWait(*client,
                maskedFrame(R"({"action":"mousedown"})") +
                    maskedFrame(R"({"action":"keydown","key":"shift"})"),
                "pressed");
    desktop.clearEvents();
    end(*client);
    ASSERT_TRUE(waitUntil([&] { return desktop.events().size() >= 2; }, 10s));
    // Everything the end released went out at once, the latest press first.
    settle();
    EXPECT_EQ(describeEvents(desktop), (Lines{"key 56 up", "leftUp 960.0,540.0 b0"}));
    EXPECT_EQ(host->injectionState().modifierState.leftShift, 0);
    EXPECT_TRUE(!client->connected() || client->waitClosed()); // a reset closed it here
  }
  // The other session still holds its button, and releases it when it goes.
  desktop.clearEvents();
  other->reset();
  ASSERT_TRUE(waitUntil([&] { return !desktop.events().empty(); }, 10s));
  settle();
  EXPECT_EQ(describeEvents(desktop), Lines{"otherUp 960.0,540.0 b2"});
}

// A client that loses its network sends no reset: only keep-alive probes show it is gone.
TEST_F(WebSocket, ASilentClientIsProbedSoAVanishedOneEndsItsSession) {
  auto probing = [&](const TestClient& client) {
    std::array<int, 4> options{-1, -1, -1, -1};
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      int fd = std::stoi(entry.path().filename());
      // The host listens on IPv6 and IPv4 alike: its end may see the peer either way.
      sockaddr_in6 peer{};
      socklen_t length = sizeof peer;
      if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
          (peer.sin6_family != AF_INET && peer.sin6_family != AF_INET6) ||
          ntohs(peer.sin6_port) != client.localPort())
        continue;
      const std::pair<int, int> names[] = {{SOL_SOCKET, SO_KEEPALIVE},
                                           {IPPROTO_TCP, TCP_KEEPIDLE},
                                           {IPPROTO_TCP, TCP_KEEPINTVL},
                                           {IPPROTO_TCP, TCP_KEEPCNT}};
      for (int i = 0; i < 4; ++i) {
        socklen_t size = sizeof(int);
        ::getsockopt(fd, names[i].first, names[i].second, &options[i], &size);
      }
    }
    return options;
  };
  TestClient http(port());
  ASSERT_TRUE(moveAnswered(http));
  auto client = upgrade();
  EXPECT_EQ(probing(*client), (std::array<int, 4>{1, 5, 2, 3}));
  EXPECT_EQ(probing(http)[0], 0);
}

// Garbage and lies are refused as any bad frame is, and the host goes on serving everyone else.
TEST_F(WebSocket, GarbageAndLiesAreRefusedAndTheHostServesOn) {
  std::mt19937 random(7);
  auto noise = [&](std::size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes)
      c = char(random());
    return bytes;
  };
  // Random payloads in well-formed frames of every kind the host refuses or cannot parse.
  std::string randomFrames;
  while (randomFrames.size() < 65536)
    randomFrames += maskedFrame(noise(1 + random() % 2000), random() % 2 ? 0x1 : 0x2,
                                std::uint32_t(random()), random() % 4 != 0);
  // Declared lengths past what the host takes, up to the largest there is, with and without a
  // mask, sent alone or with the start of a payload.
  auto header = [](std::uint64_t length, bool masked, std::string_view after) {
    std::string bytes{char(0x81), char((masked ? 0x80 : 0) | 127)};
    for (int shift = 56; shift >= 0; shift -= 8)
      bytes += char((length >> shift) & 0xff);
    return bytes + std::string(after);
  };
  const std::tuple<const char*, std::string, bool> cases[] = {
      // name, bytes, whether the host closes the connection (otherwise it still reads frames)
      {"random frames", randomFrames, false},
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
  for (const auto& [name, bytes, sessionEnds] : cases) {
    SCOPED_TRACE(name);
    auto client = upgrade();
    client->send(bytes);
    if (sessionEnds) {
      EXPECT_EQ(client->readUntilClosed(20s), "");
      EXPECT_EQ(warnings(), 1u);
    } else if (std::string_view(name) != "random bytes") {
      sendAndWait(*client, "", std::string("after ") + name);
      EXPECT_EQ(client->readSome(1, 0ms), std::optional<std::string>(""));
    }
    client->close();
    // A fresh connection still gets its POST acknowledged and acted on.
    const std::string marker = std::string("served after ") + name;
    TestClient next(port());
    next.send(postRequest("/log", R"({"text":")" + marker + "\"}"));
    EXPECT_EQ(next.read(kControlAcknowledgement.size(), 20s), kControlAcknowledgement);
    EXPECT_TRUE(log.waitFor(marker, 20s));
  }
  EXPECT_TRUE(events().empty());
}

} // namespace
} // namespace tovel::test
