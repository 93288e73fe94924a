#pragma once

#include <cstdint>

namespace tovel {

// Pixels of scrolling per wheel notch. Ordinary applications move three lines, some 45 to 60
// pixels, per notch; at 40 the content keeps pace with the finger (a little ahead of it) and a
// short stroke on the phone still moves something.
inline constexpr double kPixelsPerNotch = 40;
// The most notches one event posts, so an absurd amount cannot flood the server.
inline constexpr int kMaxNotchesPerEvent = 100;

struct NotchStep {
  int notches = 0;      // signed like the pixels
  double remainder = 0; // pixels carried over to the next event of the same axis
};

// Whole notches for the carried pixels plus the new ones, the rest carried on. Turning back drops
// what was left over from the other direction, so the first notch backwards is not late; beyond
// the cap the excess is dropped rather than carried, or one huge amount would keep scrolling.
NotchStep wheelNotches(double carried, std::int32_t pixels);

} // namespace tovel
