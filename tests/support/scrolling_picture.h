#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/image.h"

namespace tovel::test {

// A desktop-like BGRA picture that changes every frame, for video encoding: lines of text-like
// marks scroll up a few pixels a frame (as in a terminal or a web page) and a solid orange square
// (swapped red and blue would show) moves 8 pixels right and 5 down a frame, bouncing off the
// edges. Lines are drawn once into a bank and copied row by row, so a frame costs little more
// than a copy even in sanitizer builds.
class ScrollingPicture {
public:
  static constexpr int kLineHeight = 16, kScrollPerFrame = 3, kSquareSide = 120;

  ScrollingPicture(int width, int height) : picture_(width, height) {
    std::uint32_t seed = 12345;
    auto next = [&seed] { return int((seed = seed * 1103515245u + 12345u) >> 16); };
    std::size_t stride = picture_.stride();
    bank_.resize(stride * kLineHeight * kLines);
    for (int line = 0; line < kLines; ++line) {
      // A pale page with dark marks in words; every few lines a coloured heading bar.
      bool heading = line % 7 == 3;
      auto at = [&](int x, int y) { return &bank_[(line * kLineHeight + y) * stride + x * 4]; };
      for (int y = 0; y < kLineHeight; ++y)
        for (int x = 0; x < width; ++x)
          paint(at(x, y), heading ? 0xFF3060B0u : 0xFFEEF2F4u);
      for (int x = 8; x + 8 < width; x += 7)
        for (int c = 0, word = 3 + next() % 9; c < word && x + 8 < width; ++c, x += 7) {
          int top = 3 + next() % 3, bottom = 12 + next() % 3, glyphWidth = 2 + next() % 4;
          for (int y = top; y < bottom; ++y)
            for (int dx = 0; dx < glyphWidth; ++dx)
              if ((next() & 3) != 0)
                paint(at(x + dx, y), heading ? 0xFFFFFFFFu : 0xFF202020u);
        }
    }
  }

  // The picture of the given frame, valid until the next call.
  ImageView frame(int index) {
    int width = picture_.width(), height = picture_.height();
    std::size_t stride = picture_.stride(), bankRows = std::size_t(kLines) * kLineHeight;
    for (int y = 0; y < height; ++y)
      std::memcpy(picture_.row(y),
                  &bank_[(y + std::size_t(index) * kScrollPerFrame) % bankRows * stride], stride);
    int x0 = bounce(index * 8, width - kSquareSide), y0 = bounce(index * 5, height - kSquareSide);
    for (int y = y0; y < std::min(height, y0 + kSquareSide); ++y)
      for (int x = x0; x < std::min(width, x0 + kSquareSide); ++x)
        paint(picture_.row(y) + x * 4, 0xFFF08010u);
    return picture_.view();
  }

private:
  static constexpr int kLines = 97; // not a divisor of common heights: the scroll seldom repeats
  static void paint(std::uint8_t* p, std::uint32_t argb) {
    for (int i = 0; i < 4; ++i)
      p[i] = std::uint8_t(argb >> 8 * i);
  }
  static int bounce(int position, int range) {
    if (range <= 0)
      return 0;
    int p = position % (2 * range);
    return p <= range ? p : 2 * range - p;
  }

  BgraImage picture_;
  std::vector<std::uint8_t> bank_;
};

} // namespace tovel::test
