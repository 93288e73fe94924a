#include "mjpeg/multipart.h"

#include <cstdio>
#include <string>

namespace tovel {

std::vector<std::uint8_t> multipartFrameChunk(std::string_view boundary,
                                              std::span<const std::uint8_t> jpeg) {
  std::string head = "--";
  head += boundary;
  head +=
      "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) + "\r\n\r\n";
  std::size_t partSize = head.size() + jpeg.size() + 2;
  char sizeLine[24];
  int sizeLength = std::snprintf(sizeLine, sizeof sizeLine, "%zX\r\n", partSize);

  std::vector<std::uint8_t> chunk;
  chunk.reserve(std::size_t(sizeLength) + partSize + 2);
  chunk.insert(chunk.end(), sizeLine, sizeLine + sizeLength);
  chunk.insert(chunk.end(), head.begin(), head.end());
  chunk.insert(chunk.end(), jpeg.begin(), jpeg.end());
  for (char c : std::string_view("\r\n\r\n"))
    chunk.push_back(std::uint8_t(c));
  return chunk;
}

} // namespace tovel
