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

// The size from the next chunk's size line (chunked transfer coding), in upper-case hex as the
// host writes it; none when it is not one. `start` is what of the line was read already.
inline std::optional<std::size_t> readChunkSize(TestClient& client,
                                                std::chrono::milliseconds timeout,
                                                const std::string& start = "") {
  std::string line = start + readThrough(client, "\r\n", 20, timeout);
  if (line.size() < 3 || !line.ends_with("\r\n") ||
      line.find_first_not_of("0123456789ABCDEF") != line.size() - 2)
    return std::nullopt;
  return std::stoul(line, nullptr, 16);
}

// The next chunk's data, read whole with the CR LF that ends it; none when it does not come so.
inline std::optional<std::string> readChunk(TestClient& client, std::chrono::milliseconds timeout,
                                            const std::string& start = "") {
  std::optional<std::size_t> size = readChunkSize(client, timeout, start);
  std::string chunk = size ? client.read(*size + 2, timeout) : "";
  if (!size || chunk.size() != *size + 2 || !chunk.ends_with("\r\n"))
    return std::nullopt;
  return chunk.substr(0, *size);
}

} // namespace tovel::test
