#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/image.h"
#include "support/pictures.h"
#include "support/stream_reading.h"
#include "support/test_client.h"

namespace tovel::test {

using namespace std::chrono_literals;

// Reads a picture stream as a strict client would: the response head, then chunks that each hold
// exactly one multipart part with one JPEG. Any other framing fails the test that reads it.
class MjpegReader {
public:
  explicit MjpegReader(TestClient& client) : client_(client) {}

  // The JPEG of the next frame; none (with a test failure recorded) when the framing is wrong or
  // nothing comes in time.
  std::optional<std::string> readFrame(std::chrono::milliseconds timeout = 5s) {
    std::optional<std::string> chunk = readChunk(client_, timeout);
    if (!chunk)
      return failed("no whole chunk (upper-case hex size line, that many bytes, CR LF)");
    const std::string prefix = "--myBoundary\r\nContent-Type: image/jpeg\r\nContent-Length: ";
    std::size_t headEnd = chunk->find("\r\n\r\n");
    if (!chunk->starts_with(prefix) || headEnd == std::string::npos)
      return failed("part does not start with the boundary and its headers");
    std::size_t length = std::stoul(chunk->substr(prefix.size(), headEnd - prefix.size()));
    // The JPEG, then the part's own CR LF.
    if (headEnd + 4 + length + 2 != chunk->size() || !chunk->ends_with("\r\n"))
      return failed("part length " + std::to_string(length) + " does not fill its chunk");
    return chunk->substr(headEnd + 4, length);
  }
  // The next frame decoded; an empty image when it does not come or decode.
  BgraImage readImage(std::chrono::milliseconds timeout = 5s) {
    std::optional<std::string> jpeg = readFrame(timeout);
    return jpeg ? decodeJpeg(*jpeg) : BgraImage{};
  }

private:
  static std::optional<std::string> failed(const std::string& why) {
    ADD_FAILURE() << why;
    return std::nullopt;
  }

  TestClient& client_;
};

} // namespace tovel::test
