#include "mjpeg/multipart.h"

#include <string>

#include "server/http_chunk.h"

namespace tovel {

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

std::vector<std::uint8_t> multipartFrameChunk(std::string_view boundary,
                                              std::span<const std::uint8_t> jpeg) {
  std::string head = "--";
  head += boundary;
  head +=
      "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) + "\r\n\r\n";
  return httpChunk({bytesOf(head), jpeg, bytesOf("\r\n")});
}

} // namespace tovel
