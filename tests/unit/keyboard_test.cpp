#include <gtest/gtest.h>

#include "support/virtual_input.h"

#include "input/key_names.h"
#include "input/keyboard.h"

namespace tovel {
namespace {

class KeyboardTest : public test::VirtualInputTest {
protected:
};

TEST_F(KeyboardTest, EachModifierKeyRecordsOnlyItsOwnField) {
  const std::pair<KeyCode, double ModifierState::*> modifiers[] = {
      {56, &ModifierState::leftShift},   {60, &ModifierState::rightShift},
      {59, &ModifierState::leftControl}, {62, &ModifierState::rightControl},
      {58, &ModifierState::leftOption},  {61, &ModifierState::rightOption},
      {55, &ModifierState::leftCommand}, {54, &ModifierState::rightCommand}};
  for (auto [key, field] : modifiers) {
    SCOPED_TRACE(key);
    clock.advance(1);
    performKeyDown(input, key);
    for (auto [otherKey, otherField] : modifiers)
      EXPECT_EQ(state.modifierState.*otherField, otherKey == key ? clock.now() : 0.0);
    performKeyUp(input, key);
    EXPECT_EQ(state.modifierState.*field, 0.0);
  }
  auto events = keyEvents();
  ASSERT_EQ(events.size(), 16u);
  EXPECT_EQ(events[14].key, 54);
  EXPECT_TRUE(events[14].down);
  EXPECT_FALSE(events[15].down);
}

TEST_F(KeyboardTest, OrdinaryKeysLeaveModifiersAloneAndLoseTheKeypadFlag) {
  performKeyDown(input, keycode::leftArrow);
  performKeyUp(input, keycode::leftArrow);
  performKeyDown(input, 0);
  auto events = keyEvents();
  ASSERT_EQ(events.size(), 3u);
  for (const KeyEvent& e : events)
    EXPECT_EQ(e.flags & kNumericPadFlag, 0u);
  EXPECT_EQ(events[0].key, 123);
  EXPECT_EQ(events[2].key, 0);
  const ModifierState& m = state.modifierState;
  EXPECT_EQ(m.leftShift + m.rightShift + m.leftControl + m.rightControl + m.leftOption +
                m.rightOption + m.leftCommand + m.rightCommand,
            0.0);
}

TEST_F(KeyboardTest, ControlChordWrapsTheKeyAndTakesThirtyMilliseconds) {
  double start = clock.now();
  sendKeyPress(input, keycode::downArrow, kControlFlag);
  EXPECT_NEAR(clock.now() - start, 0.030, 1e-6);
  auto events = keyEvents();
  ASSERT_EQ(events.size(), 4u);
  const std::pair<KeyCode, bool> expected[] = {{59, true}, {125, true}, {125, false}, {59, false}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(events[i].key, expected[i].first) << i;
    EXPECT_EQ(events[i].down, expected[i].second) << i;
  }
  // The chord is not a held modifier for clicks.
  EXPECT_EQ(state.modifierState.leftControl, 0.0);
}

TEST(KeyNames, TableHasEveryNameExactly) {
  EXPECT_EQ(keyNameToKeyCode().size(), 87u);
  const std::pair<const char*, KeyCode> samples[] = {
      {"a", 0},        {"z", 6},         {"0", 29},   {"5", 23},         {"leftControl", 59},
      {"control", 59}, {"function", 63}, {"f17", 64}, {"f20", 90},       {"`", 50},
      {"\\", 42},      {"/", 44},        {"'", 39},   {"downArrow", 125}};
  for (auto [name, code] : samples)
    EXPECT_EQ(lookupKeyName(name), code) << name;
  for (const char* missing : {"A", "Space", "f21", "", "leftcontrol", "enter"})
    EXPECT_FALSE(lookupKeyName(missing).has_value()) << missing;
}

} // namespace
} // namespace tovel
