#include "server/websocket_codec.h"

#include <openssl/evp.h>

#include "server/request_intake.h"
#include "server/utf8.h"

namespace tovel {

namespace {

constexpr std::string_view kWebSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

constexpr std::uint8_t kFinBit = 0x80;
constexpr std::uint8_t kOpcodeMask = 0x0F;
constexpr std::uint8_t kTextOpcode = 0x1;
constexpr std::uint8_t kMaskBit = 0x80;

} // namespace

std::string generateWebSocketAcceptKey(std::string_view key) {
  std::string input(key);
  input += kWebSocketGuid;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (EVP_Digest(input.data(), input.size(), digest, &digestLength, EVP_sha1(), nullptr) != 1)
    return {};
  unsigned char encoded[64];
  int encodedLength = EVP_EncodeBlock(encoded, digest, int(digestLength));
  return std::string(reinterpret_cast<const char*>(encoded), std::size_t(encodedLength));
}

std::optional<std::string> webSocketKeyFromRequest(std::string_view request) {
  for (std::string_view line : splitLines(request)) {
    if (line.find("Sec-WebSocket-Key") == std::string_view::npos)
      continue;
    std::size_t first = line.find(": ");
    if (first == std::string_view::npos)
      return std::nullopt; // a key line without the separator counts as no key
    std::string_view rest = line.substr(first + 2);
    return std::string(rest.substr(0, rest.find(": ")));
  }
  return std::nullopt;
}

std::string webSocketHandshakeResponse(std::string_view key) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         generateWebSocketAcceptKey(key) + "\r\n\r\n";
}

WebSocketFrame parseWebSocketFrame(const std::uint8_t* data, std::size_t size) {
  using Kind = WebSocketFrame::Kind;
  WebSocketFrame frame;
  if (size < 2)
    return frame;

  std::uint64_t length = data[1] & 0x7F;
  std::size_t offset = 2;
  if (length == 126) {
    if (size < 4)
      return frame;
    length = (std::uint64_t(data[2]) << 8) | data[3];
    offset = 4;
  } else if (length == 127) {
    if (size < 10)
      return frame;
    length = 0;
    for (int i = 2; i < 10; ++i)
      length = (length << 8) | data[i];
    offset = 10;
  }
  // Judged on the header alone, so a peer's claim is never what decides how much is held.
  if (length > kMaximumWebSocketPayload) {
    frame.kind = Kind::tooLarge;
    return frame;
  }
  bool masked = data[1] & kMaskBit;
  const std::uint8_t* mask = data + offset;
  if (masked)
    offset += 4;
  if (size < offset || length > size - offset)
    return frame;
  frame.size = offset + std::size_t(length);

  // Fragmented messages are not supported, only text is taken, and clients must mask.
  frame.kind = Kind::refused;
  if (!(data[0] & kFinBit) || (data[0] & kOpcodeMask) != kTextOpcode || !masked)
    return frame;
  std::string text(std::size_t(length), '\0');
  for (std::size_t i = 0; i < length; ++i)
    text[i] = char(data[offset + i] ^ mask[i % 4]);
  if (!isValidUtf8(text))
    return frame;
  frame.kind = Kind::text;
  frame.text = std::move(text);
  return frame;
}

std::vector<WebSocketFrame> takeWebSocketFrames(std::vector<std::uint8_t>& bytes) {
  std::vector<WebSocketFrame> frames;
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    WebSocketFrame frame = parseWebSocketFrame(bytes.data() + offset, bytes.size() - offset);
    if (frame.kind == WebSocketFrame::Kind::incomplete)
      break;
    if (frame.kind == WebSocketFrame::Kind::tooLarge) {
      frames.push_back(std::move(frame));
      offset = bytes.size();
      break;
    }
    offset += frame.size;
    frames.push_back(std::move(frame));
  }
  bytes.erase(bytes.begin(), bytes.begin() + std::ptrdiff_t(offset));
  return frames;
}

} // namespace tovel
