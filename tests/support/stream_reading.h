#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "support/test_client.h"

namespace tovel::test {

// Reads up to and including `end` (at most `limit` bytes); what came when the host closes first.
inline std::string readThrough(TestClient& client, std::string_view end, std::size_t limit,
                               std::chrono::milliseconds timeout) {
  std::string text;
  while (text.size() < limit && !text.ends_with(end)) {
    std::string byte = client.read(1, timeout);
    if (byte.empty())
      break;
    text += byte;
  }
  return text;
}

// A response head up to and including its empty line.
inline std::string readHead(TestClient& client, std::chrono::milliseconds timeout) {
  return readThrough(client, "\r\n\r\n", 4096, timeout);
}

// The size from the next chunk's size line (chunked transfer coding); none when it is not one.
inline std::optional<std::size_t> readChunkSize(TestClient& client,
                                                std::chrono::milliseconds timeout) {
  std::string line = readThrough(client, "\r\n", 20, timeout);
  if (!line.ends_with("\r\n") || line.size() < 3)
    return std::nullopt;
  return std::stoul(line, nullptr, 16);
}

// Reads the next chunk whole, with the CR LF that ends it; false when it does not come so.
inline bool readChunk(TestClient& client, std::chrono::milliseconds timeout) {
  std::optional<std::size_t> size = readChunkSize(client, timeout);
  if (!size)
    return false;
  std::string chunk = client.read(*size + 2, timeout);
  return chunk.size() == *size + 2 && chunk.ends_with("\r\n");
}

} // namespace tovel::test
