#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "support/test_client.h"

namespace tovel::test {

// Reads a response head up to and including its empty line; what came when the host closes first.
inline std::string readHead(TestClient& client, std::chrono::milliseconds timeout) {
  std::string head;
  while (head.size() < 4096 && !head.ends_with("\r\n\r\n")) {
    std::string byte = client.read(1, timeout);
    if (byte.empty())
      break;
    head += byte;
  }
  return head;
}

// The size from the next chunk's size line (chunked transfer coding); none when it is not one.
inline std::optional<std::size_t> readChunkSize(TestClient& client,
                                                std::chrono::milliseconds timeout) {
  std::string line;
  while (line.size() < 20 && !line.ends_with("\r\n")) {
    std::string byte = client.read(1, timeout);
    if (byte.empty())
      return std::nullopt;
    line += byte;
  }
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
