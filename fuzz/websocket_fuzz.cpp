// Feeds arbitrary bytes to the WebSocket frame decoder, walking frames as a session does, and to
// the upgrade key lookup.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "server/websocket_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t offset = 0;
  while (offset < size) {
    auto frame = tovel::parseWebSocketFrame(data + offset, size - offset);
    if (!frame)
      break;
    // A decoded frame always lies within the bytes it came from and moves the walk forward.
    if (frame->size == 0 || frame->size > size - offset || frame->text.size() > frame->size)
      __builtin_trap();
    offset += frame->size;
  }
  auto key =
      tovel::webSocketKeyFromRequest(std::string_view(reinterpret_cast<const char*>(data), size));
  if (key && key->size() > size)
    __builtin_trap();
  return 0;
}
