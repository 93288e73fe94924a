#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tovel {

// The Sec-WebSocket-Accept value for a client key: Base64 of the SHA-1 of the key followed by the
// protocol's fixed GUID.
std::string generateWebSocketAcceptKey(std::string_view key);

// The client key of an upgrade request: from the first line containing "Sec-WebSocket-Key", the
// text between its first ": " and the next one (untrimmed). None when no line names the key or
// the line has no ": ".
std::optional<std::string> webSocketKeyFromRequest(std::string_view request);

// The whole 101 answer to an upgrade with the given client key.
std::string webSocketHandshakeResponse(std::string_view key);

struct WebSocketFrame {
  std::string text;     // the unmasked payload, valid UTF-8
  std::size_t size = 0; // bytes the frame occupies: header, masking key and payload
};

// Decodes the frame at the start of the bytes. Only complete, final, masked text frames with a
// UTF-8 payload decode; anything else (fragments, control and binary frames, unmasked or
// truncated frames) yields nothing. Bytes after the frame are not looked at.
std::optional<WebSocketFrame> parseWebSocketFrame(const std::uint8_t* data, std::size_t size);
inline std::optional<WebSocketFrame> parseWebSocketFrame(std::string_view bytes) {
  return parseWebSocketFrame(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

} // namespace tovel
