#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "support/test_client.h"
#include "support/websocket_frames.h"

namespace tovel::test {

// An upgrade request with the example key of RFC 6455, and the host's answer to it.
inline constexpr std::string_view kWebSocketUpgrade =
    "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
inline constexpr std::string_view kWebSocketAccepted =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

// A frame whose text the host logs: once it appears, everything sent before it has been handled.
inline std::string logFrame(const std::string& text) {
  return maskedFrame(R"({"action":"log","text":")" + text + "\"}");
}

// Sends the upgrade request with the bytes that follow it in the same write; true once accepted.
inline bool openWebSocket(TestClient& client, std::string_view following = "",
                          std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  client.send(std::string(kWebSocketUpgrade) + std::string(following));
  return client.read(kWebSocketAccepted.size(), timeout) == kWebSocketAccepted;
}

} // namespace tovel::test
