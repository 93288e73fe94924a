#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "platform/x11/x11_scroll.h"

namespace tovel {
namespace {

const int kNotch = int(kPixelsPerNotch);

// Feeds the amounts one after the other, as the backend does, and returns the notches of each.
std::vector<int> scroll(std::initializer_list<std::int32_t> amounts) {
  std::vector<int> notches;
  double carried = 0;
  for (std::int32_t pixels : amounts) {
    NotchStep step = wheelNotches(carried, pixels);
    notches.push_back(step.notches);
    carried = step.remainder;
  }
  return notches;
}

TEST(WheelNotches, WholeNotchesGoOutAndTheRestIsCarried) {
  EXPECT_EQ(scroll({1, kNotch - 2, 0, 1, kNotch - 1, 1}), (std::vector<int>{0, 0, 0, 1, 0, 1}));
  EXPECT_EQ(scroll({-(kNotch - 1), -1, -(2 * kNotch + kNotch / 2), -(kNotch / 2)}),
            (std::vector<int>{0, -1, -2, -1}));
  NotchStep step = wheelNotches(3, 2 * kNotch);
  EXPECT_EQ(step.notches, 2);
  EXPECT_EQ(step.remainder, 3);
}

TEST(WheelNotches, TurningBackDropsTheOtherDirectionsRest) {
  // Nearly a notch up is pending; one notch's worth down is still one notch down.
  EXPECT_EQ(scroll({kNotch - 1, -kNotch}), (std::vector<int>{0, -1}));
  EXPECT_EQ(scroll({-(kNotch - 1), kNotch}), (std::vector<int>{0, 1}));
}

TEST(WheelNotches, HugeAmountsAreCappedAndNotCarried) {
  auto max = std::numeric_limits<std::int32_t>::max();
  auto min = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(scroll({max, kNotch - 1}), (std::vector<int>{kMaxNotchesPerEvent, 0}));
  EXPECT_EQ(scroll({min, -kNotch}), (std::vector<int>{-kMaxNotchesPerEvent, -1}));
  // Exactly at the cap nothing is lost.
  EXPECT_EQ(scroll({kMaxNotchesPerEvent * kNotch + 1, kNotch - 1}),
            (std::vector<int>{kMaxNotchesPerEvent, 1}));
}

} // namespace
} // namespace tovel
