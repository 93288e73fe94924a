#include <gtest/gtest.h>

#include "platform/x11/x11_key_watchdog.h"

namespace tovel {
namespace {

using namespace std::chrono_literals;

constexpr KeyCode kShift = 56, kCommand = 55, kA = 0;
const HeldKeys::TimePoint t0{};

TEST(HeldKeys, KeysComeDueAtTheirDeadlineOnlyOnceAndNotAfterARelease) {
  HeldKeys keys;
  keys.press(kShift, 50, t0 + 15s);
  keys.press(kCommand, 133, t0 + 17s);
  keys.press(kA, 38, t0 + 16s);
  keys.press(kShift, 50, t0 + 18s); // a later press moves its deadline
  EXPECT_EQ(keys.nextDeadline(), t0 + 16s);

  EXPECT_TRUE(keys.takeDue(t0 + 16s - 1ns).empty());
  auto due = keys.takeDue(t0 + 17s);
  ASSERT_EQ(due.size(), 2u);
  EXPECT_EQ(due[0].key, kCommand);
  EXPECT_EQ(due[0].keycode, 133);
  EXPECT_EQ(due[1].key, kA);
  EXPECT_TRUE(keys.takeDue(t0 + 17s).empty());
  EXPECT_EQ(keys.nextDeadline(), t0 + 18s);

  keys.press(kA, 38, t0 + 30s);
  EXPECT_EQ(keys.release(kShift), 50);
  EXPECT_TRUE(keys.takeDue(t0 + 29s).empty());
  EXPECT_EQ(keys.takeAll().size(), 1u);
  EXPECT_EQ(keys.nextDeadline(), std::nullopt);
}

} // namespace
} // namespace tovel
