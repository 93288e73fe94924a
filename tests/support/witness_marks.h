#pragma once

#include <cstdint>

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

} // namespace tovel::test
