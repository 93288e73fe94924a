#include <gtest/gtest.h>

#include "support/virtual_input.h"

#include "input/key_names.h"
#include "input/keyboard.h"
#include "input/modifier_tap.h"

namespace tovel {
namespace {

using KeyboardTest = test::VirtualInputTest;

TEST_F(KeyboardTest, ModifierKeysRecordOnlyTheirOwnFieldAndNoKeyStaysAKeypadKey) {
  const std::pair<KeyCode, double ModifierState::*> keys[] = {
      {56, &ModifierState::leftShift},   {60, &ModifierState::rightShift},
      {59, &ModifierState::leftControl}, {62, &ModifierState::rightControl},
      {58, &ModifierState::leftOption},  {61, &ModifierState::rightOption},
      {55, &ModifierState::leftCommand}, {54, &ModifierState::rightCommand},
      {keycode::leftArrow, nullptr},     {0, nullptr}};
  for (auto [key, field] : keys) {
    SCOPED_TRACE(key);
    clock.advance(1);
    desktop.clearEvents();
    performKeyDown(input, key);
    for (auto [otherKey, otherField] : keys) {
      if (otherField) {
        EXPECT_EQ(state.modifierState.*otherField, otherKey == key ? clock.now() : 0.0);
      }
    }
    performKeyUp(input, key);
    if (field) {
      EXPECT_EQ(state.modifierState.*field, 0.0);
    }
    std::string k = "key " + std::to_string(key);
    EXPECT_EQ(events(), (Lines{k + " down", k + " up"}));
    for (const RecordedEvent& e : desktop.events())
      EXPECT_EQ(e.key()->flags & kNumericPadFlag, 0u);
  }
}

TEST_F(KeyboardTest, ControlChordWrapsTheKeyAndTakesThirtyMilliseconds) {
  double start = clock.now();
  sendKeyPress(input, keycode::downArrow, kControlFlag);
  EXPECT_NEAR(clock.now() - start, 0.030, 1e-6);
  EXPECT_EQ(events(), test::controlChord({125}));
  // The chord is not a held modifier for clicks.
  EXPECT_EQ(state.modifierState.leftControl, 0.0);
}

TEST(KeyNames, TableHasEveryNameExactly) {
  EXPECT_EQ(keyNameToKeyCode().size(), 87u);
  const std::pair<const char*, KeyCode> samples[] = {
      {"a", 0},        {"z", 6},         {"0", 29},   {"5", 23},          {"leftControl", 59},
      {"control", 59}, {"function", 63}, {"f17", 64}, {"f20", 90},        {"`", 50},
      {"\\", 42},      {"/", 44},        {"'", 39},   {"downArrow", 125}, {"tab", 48}};
  for (auto [name, code] : samples)
    EXPECT_EQ(lookupKeyName(name), code) << name;
  for (const char* missing : {"A", "Space", "f21", "", "leftcontrol", "enter"})
    EXPECT_FALSE(lookupKeyName(missing).has_value()) << missing;
}

constexpr double kNow = 1'700'000'000.0;

TEST(ModifierTapFlags, EachPairLendsItsOwnFlagForFifteenSecondsAndKeepsExistingOnes) {
  ModifierState state;
  for (double now : {0.0, 5.0, 14.99, kNow}) // a zero press time is no press, even at the epoch
    EXPECT_EQ(modifierTapFlags(state, now, 0), 0u) << now;
  state.leftCommand = kNow - 1;
  state.rightOption = kNow - 15.0;
  EXPECT_EQ(modifierTapFlags(state, kNow, 0), kCommandFlag); // both shift fields zero
  state.rightOption = kNow - 14.9;
  state.rightShift = kNow - 2;
  state.leftControl = kNow;
  EXPECT_EQ(modifierTapFlags(state, kNow, kNumericPadFlag),
            kNumericPadFlag | kShiftFlag | kCommandFlag | kControlFlag | kOptionFlag);
  ModifierState early;
  early.leftShift = 3.0;
  EXPECT_EQ(modifierTapFlags(early, 10.0, 0), kShiftFlag);
}

} // namespace
} // namespace tovel
