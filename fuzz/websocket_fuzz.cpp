// Feeds arbitrary bytes to the WebSocket frame decoder, as one connection's stream cut into two
// reads, and to the upgrade key lookup.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "server/websocket_codec.h"

namespace {

using Kind = tovel::WebSocketFrame::Kind;

bool same(const tovel::WebSocketFrame& a, const tovel::WebSocketFrame& b) {
  return a.kind == b.kind && a.text == b.text && a.size == b.size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  // The first byte says where the stream is cut.
  std::size_t cut = std::size_t(data[0]) * (size - 1) / 255;
  const std::uint8_t* stream = data + 1;
  std::size_t length = size - 1;

  std::vector<std::uint8_t> whole(stream, stream + length);
  std::vector<tovel::WebSocketFrame> frames = tovel::takeWebSocketFrames(whole);
  std::size_t taken = 0;
  for (const tovel::WebSocketFrame& frame : frames) {
    // A frame lies within the bytes it came from, and a frame too large to hold ends the list.
    if (frame.kind == Kind::incomplete ||
        (frame.kind == Kind::tooLarge && &frame != &frames.back()))
      __builtin_trap();
    if (frame.kind != Kind::tooLarge &&
        (frame.size < 2 || frame.size > length - taken || frame.text.size() > frame.size ||
         !same(frame, tovel::parseWebSocketFrame(stream + taken, length - taken))))
      __builtin_trap();
    taken += frame.size;
  }
  // What is left is the start of one frame, never more than a frame can be.
  if (!frames.empty() && frames.back().kind == Kind::tooLarge ? !whole.empty()
                                                              : whole.size() != length - taken)
    __builtin_trap();
  if (whole.size() > 14 + tovel::kMaximumWebSocketPayload)
    __builtin_trap();

  // The same stream in two reads gives the same frames.
  std::vector<std::uint8_t> pending(stream, stream + cut);
  std::vector<tovel::WebSocketFrame> inTwo = tovel::takeWebSocketFrames(pending);
  bool ended = !inTwo.empty() && inTwo.back().kind == Kind::tooLarge;
  if (!ended) {
    pending.insert(pending.end(), stream + cut, stream + length);
    for (auto& frame : tovel::takeWebSocketFrames(pending))
      inTwo.push_back(std::move(frame));
  }
  if (inTwo.size() != frames.size())
    __builtin_trap();
  for (std::size_t i = 0; i < frames.size(); ++i)
    if (!same(inTwo[i], frames[i]))
      __builtin_trap();

  auto key =
      tovel::webSocketKeyFromRequest(std::string_view(reinterpret_cast<const char*>(data), size));
  if (key && key->size() > size)
    __builtin_trap();
  return 0;
}
