#include <gtest/gtest.h>

#include "server/websocket_codec.h"
#include "support/websocket_frames.h"

namespace tovel {
namespace {

using test::maskedFrame;

TEST(WebSocketHandshake, AcceptValueOfTheProtocolSample) {
  EXPECT_EQ(generateWebSocketAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  // Every answer has the same length whatever the key.
  EXPECT_EQ(webSocketHandshakeResponse("x").size(), 129u);
  EXPECT_EQ(webSocketHandshakeResponse("dGhlIHNhbXBsZSBub25jZQ=="),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
}

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

TEST(WebSocketFrames, ProtocolSampleDecodes) {
  const std::string hello("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58", 11);
  auto frame = parseWebSocketFrame(hello + "trailing bytes");
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->text, "Hello");
  EXPECT_EQ(frame->size, 11u);
  // RSV bits are not looked at.
  std::string rsv = hello;
  rsv[0] = char(0xC1);
  EXPECT_EQ(parseWebSocketFrame(rsv)->text, "Hello");
}

TEST(WebSocketFrames, LengthForms) {
  std::string medium(300, 'm');
  auto f = parseWebSocketFrame(maskedFrame(medium));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->text, medium);
  EXPECT_EQ(f->size, 2 + 2 + 4 + 300u);

  std::string large(70000, 'L');
  f = parseWebSocketFrame(maskedFrame(large));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->text.size(), 70000u);
  EXPECT_EQ(f->size, 2 + 8 + 4 + 70000u);

  f = parseWebSocketFrame(maskedFrame(""));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->text, "");
  EXPECT_EQ(f->size, 6u);
}

TEST(WebSocketFrames, RefusedFramesYieldNothing) {
  EXPECT_FALSE(parseWebSocketFrame(std::string("\x81\x05Hello", 7)));           // unmasked
  EXPECT_FALSE(parseWebSocketFrame(maskedFrame("Hel", 0x1, 1, /*fin=*/false))); // fragment
  EXPECT_FALSE(parseWebSocketFrame(maskedFrame("", 0x8)));                      // close
  EXPECT_FALSE(parseWebSocketFrame(maskedFrame("", 0x9)));                      // ping
  EXPECT_FALSE(parseWebSocketFrame(maskedFrame("ab", 0x2)));                    // binary
  EXPECT_FALSE(parseWebSocketFrame(maskedFrame("\xff")));                       // not UTF-8
  EXPECT_FALSE(parseWebSocketFrame(std::string("\x81", 1)));
  EXPECT_FALSE(parseWebSocketFrame(std::string("\x81\xfe\x01", 3)));           // 126, cut
  EXPECT_FALSE(parseWebSocketFrame(std::string("\x81\xff\0\0\0\0\0\0\0", 9))); // 127, cut
  std::string whole = maskedFrame("Hello");
  EXPECT_FALSE(parseWebSocketFrame(whole.substr(0, whole.size() - 1)));
  EXPECT_FALSE(parseWebSocketFrame(whole.substr(0, 5))); // inside the masking key
  // A 64-bit length with its top bit set is just an impossibly long frame.
  std::string huge("\x81\xff\x80\0\0\0\0\0\0\0"
                   "abcd"
                   "payload",
                   18);
  EXPECT_FALSE(parseWebSocketFrame(huge));
  std::string maximum("\x81\xff\xff\xff\xff\xff\xff\xff\xff\xff"
                      "abcd"
                      "x",
                      15);
  EXPECT_FALSE(parseWebSocketFrame(maximum));
}

} // namespace
} // namespace tovel
