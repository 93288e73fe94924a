#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/image.h"

namespace tovel::test {

// A desktop-like BGRA picture that changes every frame, for video encoding: lines of text-like
// marks scroll up a few pixels a frame (as in a terminal or a web page) and a solid orange square
// moves across. Lines are drawn once into a bank and copied row by row, so a frame costs little
// more than a copy even in sanitizer builds.
class ScrollingPicture {
public:
  static constexpr int kLineHeight = 16;
  static constexpr int kScrollPerFrame = 3;
  static constexpr int kSquareSide = 120;
  // The square's colour, chosen so that swapped red and blue would show.
  static constexpr std::uint8_t kSquareB = 0x10, kSquareG = 0x80, kSquareR = 0xF0;

  ScrollingPicture(int width, int height) : picture_(width, height) {
    std::uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 16; };
    std::size_t lineBytes = picture_.stride() * kLineHeight;
    bank_.resize(lineBytes * kLines);
    for (int line = 0; line < kLines; ++line) {
      std::uint8_t* rows = bank_.data() + lineBytes * line;
      // A pale page with dark marks in words; every few lines a coloured heading bar.
      bool heading = line % 7 == 3;
      for (int y = 0; y < kLineHeight; ++y)
        for (int x = 0; x < width; ++x) {
          std::uint8_t* p = rows + y * picture_.stride() + x * 4;
          p[0] = heading ? 0xB0 : 0xF4;
          p[1] = heading ? 0x60 : 0xF2;
          p[2] = heading ? 0x30 : 0xEE;
          p[3] = 0xFF;
        }
      for (int x = 8; x + 8 < width;) {
        int word = 3 + int(next() % 9);
        for (int c = 0; c < word && x + 8 < width; ++c, x += 7) {
          int top = 3 + int(next() % 3), bottom = 12 + int(next() % 3);
          int glyphWidth = 2 + int(next() % 4);
          for (int y = top; y < bottom; ++y)
            for (int dx = 0; dx < glyphWidth; ++dx)
              if ((next() & 3) != 0) {
                std::uint8_t* p = rows + y * picture_.stride() + (x + dx) * 4;
                p[0] = p[1] = p[2] = heading ? 0xFF : 0x20;
              }
        }
        x += 7;
      }
    }
  }

  // The picture of the given frame, valid until the next call.
  ImageView frame(int index) {
    int width = picture_.width(), height = picture_.height();
    std::size_t stride = picture_.stride();
    std::size_t bankRows = std::size_t(kLines) * kLineHeight;
    for (int y = 0; y < height; ++y) {
      std::size_t source = (std::size_t(y) + std::size_t(index) * kScrollPerFrame) % bankRows;
      std::memcpy(picture_.row(y), bank_.data() + source * stride, stride);
    }
    // The square moves 8 pixels right and 5 down a frame, bouncing off the edges.
    int x0 = bounce(index * 8, width - kSquareSide), y0 = bounce(index * 5, height - kSquareSide);
    for (int y = y0; y < std::min(height, y0 + kSquareSide); ++y)
      for (int x = x0; x < std::min(width, x0 + kSquareSide); ++x) {
        std::uint8_t* p = picture_.row(y) + x * 4;
        p[0] = kSquareB;
        p[1] = kSquareG;
        p[2] = kSquareR;
      }
    return picture_.view();
  }

  // Where the square's top-left corner is in that frame.
  std::pair<int, int> squareAt(int index) const {
    return {bounce(index * 8, picture_.width() - kSquareSide),
            bounce(index * 5, picture_.height() - kSquareSide)};
  }

private:
  static constexpr int kLines =
      97; // not a divisor of common heights, so the scroll never repeats soon
  static int bounce(int position, int range) {
    if (range <= 0)
      return 0;
    int period = 2 * range;
    int p = position % period;
    return p <= range ? p : period - p;
  }

  BgraImage picture_;
  std::vector<std::uint8_t> bank_;
};

} // namespace tovel::test
