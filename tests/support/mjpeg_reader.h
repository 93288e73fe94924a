#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <string>

#include "platform/image.h"
#include "support/pictures.h"
#include "support/stream_reading.h"
#include "support/test_client.h"

namespace tovel::test {

using namespace std::chrono_literals;

// Reads a picture stream the way a strict client would: the response head, then chunks of the
// chunked transfer coding that each hold exactly one multipart part with one JPEG. Anything that
// does not follow that framing fails the test that reads it.
class MjpegReader {
public:
  explicit MjpegReader(TestClient& client) : client_(client) {}

  // The response head, up to and including its empty line.
  std::string readHead(std::chrono::milliseconds timeout = 5s) {
    return tovel::test::readHead(client_, timeout);
  }
  // The JPEG of the next frame; none (with a test failure recorded) when the framing is wrong or
  // nothing comes in time.
  std::optional<std::string> readFrame(std::chrono::milliseconds timeout = 5s) {
    auto failed = [](const std::string& why) {
      ADD_FAILURE() << why;
      return std::optional<std::string>();
    };
    std::string size = readThrough(client_, "\r\n", 20, timeout);
    if (size.size() < 3 || !size.ends_with("\r\n"))
      return failed("no chunk size line: '" + size + "'");
    size.resize(size.size() - 2);
    EXPECT_TRUE(std::ranges::none_of(size, ::islower)) << "sizes are in upper case: " << size;
    std::size_t chunkSize = std::stoul(size, nullptr, 16);
    std::string chunk = client_.read(chunkSize + 2, timeout);
    if (chunk.size() != chunkSize + 2 || !chunk.ends_with("\r\n"))
      return failed("chunk of " + size + " (hex) bytes not followed by CR LF");
    const std::string prefix = "--myBoundary\r\nContent-Type: image/jpeg\r\nContent-Length: ";
    if (!chunk.starts_with(prefix))
      return failed("part does not start with the boundary and its headers");
    std::size_t headEnd = chunk.find("\r\n\r\n", prefix.size());
    std::size_t length = std::stoul(chunk.substr(prefix.size(), headEnd - prefix.size()));
    // The part's own CR LF, then the chunk's.
    if (headEnd + 4 + length + 4 != chunk.size() || !chunk.ends_with("\r\n\r\n"))
      return failed("part length " + std::to_string(length) + " does not fill its chunk");
    return chunk.substr(headEnd + 4, length);
  }
  // The next frame decoded; an empty image when it does not come or decode.
  BgraImage readImage(std::chrono::milliseconds timeout = 5s) {
    std::optional<std::string> jpeg = readFrame(timeout);
    return jpeg ? decodeJpeg(*jpeg) : BgraImage{};
  }

private:
  TestClient& client_;
};

} // namespace tovel::test
