#include <gtest/gtest.h>

#include "server/websocket_codec.h"
#include "support/websocket_frames.h"

namespace tovel {
namespace {

using test::maskedFrame;

TEST(WebSocketHandshake, KeyIsTakenFromTheFirstLineNamingIt) {
  EXPECT_EQ(webSocketKeyFromRequest("GET / HTTP/1.1\r\nSec-WebSocket-Key: abc\r\n\r\n"), "abc");
  EXPECT_EQ(webSocketKeyFromRequest("GET / HTTP/1.1\r\nX-Sec-WebSocket-Key-Y: first\r\n"
                                    "Sec-WebSocket-Key: second\r\n\r\n"),
            "first");
  EXPECT_EQ(webSocketKeyFromRequest("GET / HTTP/1.1\r\nSec-WebSocket-Key: abc \r\n"), "abc ");
  EXPECT_EQ(webSocketKeyFromRequest("GET / HTTP/1.1\r\nSec-WebSocket-Key: a: b: c\r\n"), "a");
  EXPECT_EQ(webSocketKeyFromRequest("GET / HTTP/1.1\r\nsec-websocket-key: abc\r\n"), std::nullopt);
  EXPECT_EQ(webSocketKeyFromRequest("GET / HTTP/1.1\r\nSec-WebSocket-Key:abc\r\n"), std::nullopt);
  EXPECT_EQ(webSocketKeyFromRequest("GET /Sec-WebSocket-Key HTTP/1.1\r\n\r\n"), std::nullopt);
}

using FrameKind = WebSocketFrame::Kind;

// Text frames decode to their payload; frames this host does not take are refused but still
// measured, so that they can be skipped whole. Either way the size is the frame's own.
TEST(WebSocketFrames, WholeFramesDecodeOrAreRefusedWithTheirSize) {
  const std::string hello("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58", 11);
  std::string rsv = hello; // RSV bits are not looked at
  rsv[0] = char(0xC1);
  const std::string medium(300, 'm'), largest(kMaximumWebSocketPayload, 'L');
  const struct {
    std::string bytes;
    FrameKind kind;
    std::string text;
    std::size_t size;
  } cases[] = {
      {hello + "trailing bytes", FrameKind::text, "Hello", 11},
      {rsv, FrameKind::text, "Hello", 11},
      {maskedFrame(""), FrameKind::text, "", 6},
      {maskedFrame(std::string(125, 's')), FrameKind::text, std::string(125, 's'), 2 + 4 + 125},
      {maskedFrame(medium) + maskedFrame("next"), FrameKind::text, medium, 2 + 2 + 4 + 300},
      {maskedFrame(largest), FrameKind::text, largest, 2 + 8 + 4 + largest.size()},
      {std::string("\x81\x05Hello", 7), FrameKind::refused, "", 7}, // unmasked: no masking key
      {maskedFrame("Hel", 0x1, 1, /*fin=*/false) + "more", FrameKind::refused, "", 9},
      {maskedFrame("lo", 0x0), FrameKind::refused, "", 8}, // continuation
      {maskedFrame("", 0x8), FrameKind::refused, "", 6},   // close
      {maskedFrame("", 0x9), FrameKind::refused, "", 6},   // ping
      {maskedFrame(std::string(200, 'b'), 0x2), FrameKind::refused, "", 2 + 2 + 4 + 200},
      {maskedFrame("\xff"), FrameKind::refused, "", 7}, // not UTF-8
  };
  for (const auto& c : cases) {
    WebSocketFrame frame = parseWebSocketFrame(c.bytes);
    EXPECT_EQ(frame.kind, c.kind) << c.size;
    EXPECT_EQ(frame.text, c.text) << c.size;
    EXPECT_EQ(frame.size, c.size);
  }
}

} // namespace
} // namespace tovel
