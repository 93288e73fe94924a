#include "server/http_chunk.h"

#include <cstdio>

namespace tovel {

std::vector<std::uint8_t> httpChunkSizeLine(std::size_t size) {
  char sizeLine[24];
  int sizeLength = std::snprintf(sizeLine, sizeof sizeLine, "%zX\r\n", size);
  return std::vector<std::uint8_t>(sizeLine, sizeLine + sizeLength);
}

std::vector<std::uint8_t> httpChunk(std::initializer_list<std::span<const std::uint8_t>> pieces) {
  std::size_t size = 0;
  for (auto piece : pieces)
    size += piece.size();
  std::vector<std::uint8_t> chunk = httpChunkSizeLine(size);
  chunk.reserve(chunk.size() + size + 2);
  for (auto piece : pieces)
    chunk.insert(chunk.end(), piece.begin(), piece.end());
  chunk.push_back('\r');
  chunk.push_back('\n');
  return chunk;
}

} // namespace tovel
