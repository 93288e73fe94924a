#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "platform/x11/x11_scroll.h"

namespace tovel {
namespace {

const int kNotch = int(kPixelsPerNotch);

TEST(WheelNotches, WholeNotchesGoOutTheRestIsCarriedAndHugeAmountsAreCapped) {
  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  const std::int32_t min = std::numeric_limits<std::int32_t>::min();
  // Amounts fed one after the other, as the backend does, and the notches of each.
  const struct {
    std::vector<std::int32_t> amounts;
    std::vector<int> notches;
  } cases[] = {
      {{1, kNotch - 2, 0, 1, kNotch - 1, 1}, {0, 0, 0, 1, 0, 1}},
      {{-(kNotch - 1), -1, -(2 * kNotch + kNotch / 2), -(kNotch / 2)}, {0, -1, -2, -1}},
      // Turning back drops the other direction's rest: the first notch backwards is not late.
      {{kNotch - 1, -kNotch}, {0, -1}},
      {{-(kNotch - 1), kNotch}, {0, 1}},
      // Beyond the cap the excess is dropped, not carried; exactly at the cap nothing is lost.
      {{max, kNotch - 1}, {kMaxNotchesPerEvent, 0}},
      {{min, -kNotch}, {-kMaxNotchesPerEvent, -1}},
      {{kMaxNotchesPerEvent * kNotch + 1, kNotch - 1}, {kMaxNotchesPerEvent, 1}},
  };
  for (const auto& c : cases) {
    std::vector<int> notches;
    double carried = 0;
    for (std::int32_t pixels : c.amounts) {
      NotchStep step = wheelNotches(carried, pixels);
      notches.push_back(step.notches);
      carried = step.remainder;
    }
    EXPECT_EQ(notches, c.notches) << testing::PrintToString(c.amounts);
  }
}

} // namespace
} // namespace tovel
