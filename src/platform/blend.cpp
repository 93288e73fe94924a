#include "platform/blend.h"

#include <algorithm>

namespace tovel {

void blendPremultiplied(const std::uint32_t* argb, int width, int height, std::uint8_t* pixels,
                        std::size_t stride, int pixelsWidth, int pixelsHeight, int x, int y) {
  int x0 = std::max(0, -x), y0 = std::max(0, -y);
  int x1 = std::min(width, pixelsWidth - x), y1 = std::min(height, pixelsHeight - y);
  for (int row = y0; row < y1; ++row) {
    const std::uint32_t* in = argb + std::size_t(row) * std::size_t(width);
    std::uint8_t* out = pixels + std::size_t(y + row) * stride + std::size_t(x + x0) * 4;
    for (int column = x0; column < x1; ++column, out += 4) {
      std::uint32_t p = in[column];
      unsigned alpha = p >> 24;
      if (alpha == 0)
        continue;
      unsigned keep = 255 - alpha;
      // Rounded division by 255 of the destination's share.
      auto over = [keep](unsigned source, unsigned destination) {
        unsigned d = destination * keep + 128;
        return std::uint8_t(std::min(255u, source + ((d + (d >> 8)) >> 8)));
      };
      out[0] = over(p & 0xff, out[0]);
      out[1] = over((p >> 8) & 0xff, out[1]);
      out[2] = over((p >> 16) & 0xff, out[2]);
    }
  }
}

} // namespace tovel
