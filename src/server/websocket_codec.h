#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The largest payload a frame may declare. A client's input messages are tiny; anything larger
// is never buffered, whatever its header claims.
inline constexpr std::size_t kMaximumWebSocketPayload = 65536;

struct WebSocketFrame {
  enum class Kind {
    text,       // a complete, final, masked text frame with a UTF-8 payload: text is set
    refused,    // a complete frame this host does not take (fragment, control or binary frame,
                // unmasked, payload not UTF-8); size says how far to skip
    incomplete, // the frame has not fully arrived yet
    tooLarge,   // the frame declares a payload above kMaximumWebSocketPayload
  };
  Kind kind = Kind::incomplete;
  std::string text;     // the unmasked payload, for text frames
  std::size_t size = 0; // bytes the frame occupies (header, masking key, payload); text and refused
};

// Decodes the frame at the start of the bytes. Bytes after the frame are not looked at, and a
// frame cut short is reported as such so the caller can wait for the rest.
WebSocketFrame parseWebSocketFrame(const std::uint8_t* data, std::size_t size);
inline WebSocketFrame parseWebSocketFrame(std::string_view bytes) {
  return parseWebSocketFrame(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// Takes every frame that has fully arrived from the front of a connection's bytes, in order, and
// leaves the start of a frame still on its way. A frame too large to hold ends the list and the
// stream: nothing after it can be found, so nothing is left behind.
std::vector<WebSocketFrame> takeWebSocketFrames(std::vector<std::uint8_t>& bytes);

} // namespace tovel
