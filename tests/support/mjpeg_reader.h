#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/image.h"
#include "support/test_client.h"

namespace tovel::test {

// Reads a picture stream the way a strict client would: the response head, then chunks of the
// chunked transfer coding that each hold exactly one multipart part with one JPEG. Anything that
// does not follow that framing fails the test that reads it.
class MjpegReader {
public:
  explicit MjpegReader(TestClient& client) : client_(client) {}

  // The response head, up to and including its empty line.
  std::string readHead(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // The JPEG of the next frame; none (with a test failure recorded) when the framing is wrong or
  // nothing comes in time.
  std::optional<std::string> readFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
  std::string readLine(std::chrono::milliseconds timeout);
  TestClient& client_;
};

// Decodes a JPEG into BGRA pixels; an empty image when it does not decode.
BgraImage decodeJpeg(const std::string& jpeg);

// The average colour (B, G, R) of a square around a point of the image.
struct Colour {
  double b = 0, g = 0, r = 0;
};
Colour averageColour(const BgraImage& image, int x, int y, int radius = 3);

// The colour is (r, g, b) give or take 40 per channel, which JPEG and scaling stay well within.
bool nearColour(Colour c, double r, double g, double b);

} // namespace tovel::test
