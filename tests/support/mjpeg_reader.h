#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/image.h"
#include "support/pictures.h"
#include "support/stream_reading.h"
#include "support/test_client.h"

namespace tovel::test {

// Reads a picture stream the way a strict client would: the response head, then chunks of the
// chunked transfer coding that each hold exactly one multipart part with one JPEG. Anything that
// does not follow that framing fails the test that reads it.
class MjpegReader {
public:
  explicit MjpegReader(TestClient& client) : client_(client) {}

  // The response head, up to and including its empty line.
  std::string readHead(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return tovel::test::readHead(client_, timeout);
  }
  // The JPEG of the next frame; none (with a test failure recorded) when the framing is wrong or
  // nothing comes in time.
  std::optional<std::string> readFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // The next frame decoded; an empty image when it does not come or decode.
  BgraImage readImage(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
  TestClient& client_;
};

} // namespace tovel::test
