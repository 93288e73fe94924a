#include <gtest/gtest.h>

#include "input/key_names.h"
#include "input/keyboard.h"
#include "input/modifier_tap.h"
#include "input/pointer.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/virtual_desktop.h"

namespace tovel {
namespace {

constexpr double kNow = 1'700'000'000.0;

TEST(ModifierTapFlags, PressCountsForLessThanFifteenSeconds) {
  ModifierState state;
  state.rightOption = kNow - 14.9;
  EXPECT_EQ(modifierTapFlags(state, kNow, 0), kOptionFlag);
  state.rightOption = kNow - 15.0;
  EXPECT_EQ(modifierTapFlags(state, kNow, 0), 0u);
}

TEST(ModifierTapFlags, EachPairLendsItsOwnFlagAndKeepsExistingOnes) {
  ModifierState state;
  state.leftCommand = kNow - 1;
  EXPECT_EQ(modifierTapFlags(state, kNow, 0), kCommandFlag); // both shift fields zero
  state.rightShift = kNow - 2;
  state.leftControl = kNow;
  EXPECT_EQ(modifierTapFlags(state, kNow, kNumericPadFlag),
            kNumericPadFlag | kShiftFlag | kCommandFlag | kControlFlag);
  EXPECT_EQ(modifierTapFlags(state, kNow, kShiftFlag | kOptionFlag),
            kShiftFlag | kOptionFlag | kCommandFlag | kControlFlag);
}

TEST(ModifierTapFlags, ReleasedKeysNeverCountEvenNearTheEpoch) {
  ModifierState released;
  for (double now : {0.0, 5.0, 14.99, kNow})
    EXPECT_EQ(modifierTapFlags(released, now, 0), 0u) << now;
  ModifierState pressed;
  pressed.leftShift = 3.0;
  EXPECT_EQ(modifierTapFlags(pressed, 10.0, 0), kShiftFlag);
}

// The tap installed on the desktop, fed by real key injection.
class ModifierTapDesktopTest : public ::testing::Test {
protected:
  ModifierTapDesktopTest() {
    desktop.installModifierTap([this](EventFlags flags) {
      return modifierTapFlags(state.modifierState, clock.now(), flags);
    });
  }
  EventFlags physicalClickFlags() {
    desktop.clearEvents();
    desktop.simulatePhysicalButton(kLeftButton, true);
    desktop.simulatePhysicalButton(kLeftButton, false);
    return desktop.events().front().mouse()->flags;
  }

  ManualClock clock{kNow};
  VirtualDesktop desktop{clock};
  InjectionState state;
  MemoryLog log;
  InputContext input{desktop, clock, state, log};
};

TEST_F(ModifierTapDesktopTest, InjectedShiftIsLentUntilReleasedOrStale) {
  performKeyDown(input, keycode::shift);
  clock.advance(14);
  EXPECT_EQ(physicalClickFlags(), kShiftFlag);
  desktop.clearEvents();
  performMouseDown(input, kLeftButton);
  EXPECT_EQ(desktop.events().back().mouse()->flags, kShiftFlag);
  clock.advance(1);
  EXPECT_EQ(physicalClickFlags(), 0u);

  performKeyDown(input, keycode::rightShift);
  EXPECT_EQ(physicalClickFlags(), kShiftFlag);
  performKeyUp(input, keycode::rightShift);
  EXPECT_EQ(physicalClickFlags(), 0u);
}

} // namespace
} // namespace tovel
