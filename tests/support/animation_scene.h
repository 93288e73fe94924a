#pragma once

#include <cstdint>
#include <vector>

namespace tovel::test {

// The rectangles the Wayland witness draws with --marks, as fractions of its size: away from the
// places that showsWitness looks at, one of them partly inside the follow rectangle around a
// pointer at (0.25, 0.25).
struct WitnessMark {
  double left, top, right, bottom;
  std::uint32_t rgb;
};
inline constexpr WitnessMark kWitnessMarks[] = {{0.35, 0.10, 0.55, 0.30, 0x2040e0},
                                                {0.10, 0.55, 0.30, 0.80, 0xe03020}};

// A changing picture for the stream benchmarks, the same on every desktop: lines of text-like
// blocks on the left two thirds scrolling up, and four shapes moving on the right third, like a
// terminal or an editor scrolling next to moving content. Each frame is a list of filled shapes
// over a dark background.
inline constexpr std::uint32_t kSceneBackground = 0x202428;

struct SceneShape {
  int x = 0, y = 0, width = 0, height = 0;
  std::uint32_t rgb = 0;
  bool round = false; // an ellipse in the rectangle
};

inline std::vector<SceneShape> animationScene(long frame, int width, int height) {
  constexpr int kLineHeight = 18, kGlyphHeight = 11, kScrollPerFrame = 3;
  std::vector<SceneShape> shapes;
  long scrolled = frame * kScrollPerFrame;
  int offset = int(scrolled % kLineHeight);
  for (int row = 0; row * kLineHeight - offset < height; ++row) {
    // Words of made-up widths, the same for every pass of the same line.
    unsigned seed = unsigned(scrolled / kLineHeight + row) * 2654435761u + 12345u;
    int y = row * kLineHeight - offset + (kLineHeight - kGlyphHeight) / 2;
    for (int words = 3 + int(seed % 12), x = 24; words > 0; --words) {
      seed = seed * 1103515245u + 12345u;
      int word = 16 + int((seed >> 16) % 120);
      if (x + word > width * 2 / 3)
        break;
      shapes.push_back(SceneShape{x, y, word, kGlyphHeight, 0xd8dee9, false});
      x += word + 9;
    }
  }
  const std::uint32_t colours[] = {0xbf616a, 0xa3be8c, 0x5e81ac, 0xebcb8b};
  for (int i = 0; i < 4; ++i) {
    int span = width / 3 - 160;
    long position = (frame * (4 + i * 3)) % (2 * span);
    int x = width * 2 / 3 + 40 + int(position < span ? position : 2 * span - position);
    int y = 80 + i * (height - 200) / 4 + int((frame * (2 + i)) % 120);
    bool round = i % 2 == 1;
    shapes.push_back(SceneShape{x, y, 120, round ? 120 : 90, colours[i], round});
  }
  return shapes;
}

} // namespace tovel::test
