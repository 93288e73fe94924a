#pragma once

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <string_view>

#include "platform/image.h"

namespace tovel::test {

// Decodes a JPEG into BGRA pixels; an empty image when it does not decode.
inline BgraImage decodeJpeg(std::string_view jpeg) {
  BgraImage image;
  tjhandle handle = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
  if (tjDecompressHeader3(handle, data, jpeg.size(), &width, &height, &subsampling, &colourspace) ==
      0) {
    image.resize(width, height);
    if (tjDecompress2(handle, data, jpeg.size(), image.data(), width, int(image.stride()), height,
                      TJPF_BGRA, 0) != 0)
      image.resize(0, 0);
  }
  tjDestroy(handle);
  return image;
}

// The average colour (B, G, R) of a square around a point of the image.
struct Colour {
  double b = 0, g = 0, r = 0;
  double luma() const { return 0.299 * r + 0.587 * g + 0.114 * b; }
};
inline Colour averageColour(const BgraImage& image, int x, int y, int radius = 3) {
  double sum[3] = {};
  int count = 0;
  for (int yy = std::max(0, y - radius); yy <= std::min(image.height() - 1, y + radius); ++yy)
    for (int xx = std::max(0, x - radius); xx <= std::min(image.width() - 1, x + radius); ++xx) {
      for (int c = 0; c < 3; ++c)
        sum[c] += image.data()[yy * image.stride() + xx * 4 + c];
      ++count;
    }
  count = std::max(count, 1);
  return {sum[0] / count, sum[1] / count, sum[2] / count};
}

// The colour is (r, g, b) give or take 40 per channel, which JPEG and scaling stay well within.
inline bool nearColour(Colour c, double r, double g, double b) {
  return std::abs(c.r - r) < 40 && std::abs(c.g - g) < 40 && std::abs(c.b - b) < 40;
}
// Clearly red or green, as a window filled with pure red or green shows after JPEG and scaling.
inline bool isRed(Colour c) {
  return c.r > 200 && c.g < 60 && c.b < 60;
}
inline bool isGreen(Colour c) {
  return c.g > 200 && c.r < 60 && c.b < 60;
}

} // namespace tovel::test
