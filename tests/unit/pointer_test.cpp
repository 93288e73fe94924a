#include <gtest/gtest.h>

#include "support/virtual_input.h"

#include "input/pointer.h"

namespace tovel {
namespace {

using T = MouseEventType;

class PointerTest : public test::VirtualInputTest {
protected:
  PointerTest() { desktop.setDoubleClickInterval(0.5); }

  MouseEvent press(MouseButton button, double after = 0) {
    clock.advance(after);
    performMouseDown(input, button);
    return *desktop.events().back().mouse();
  }
  MouseEvent release(MouseButton button, double after = 0) {
    clock.advance(after);
    performMouseUp(input, button);
    return *desktop.events().back().mouse();
  }
  std::int64_t clickCount(MouseButton button) { return state.buttonClickState[button].clickCount; }
};

TEST_F(PointerTest, QuickClicksCountUpFromThePreviousRelease) {
  // Presses and releases of the left button in turn: the pause before each, the click state it
  // carries (0: none) and the click count afterwards. The sixth (a release) and the ninth (a
  // press) come exactly one interval after the previous release: new single clicks. Pauses are
  // binary fractions so these comparisons are exact.
  const double steps[][3] = {{0, 0, 1},     {0.125, 0, 1}, {0.25, 2, 2},
                             {0.125, 2, 2}, {0.375, 3, 3}, {0.125, 0, 1},
                             {0.125, 2, 2}, {0.25, 2, 2},  {0.5, 0, 1}};
  for (int i = 0; i < 9; ++i) {
    auto [pause, clickState, count] = steps[i];
    MouseEvent e = i % 2 ? release(kLeftButton, pause) : press(kLeftButton, pause);
    EXPECT_EQ(e.type, i % 2 ? T::leftMouseUp : T::leftMouseDown);
    EXPECT_EQ(e.clickState.value_or(0), clickState) << "step " << i + 1;
    EXPECT_EQ(clickCount(kLeftButton), count) << "step " << i + 1;
  }
  EXPECT_EQ(state.buttonClickState[kLeftButton].lastDownTime, clock.now());
  EXPECT_EQ(log.lines(), (Lines{"Double-click Up", "Double-click Up"}));
  // Other buttons keep their own history.
  MouseEvent right = press(kRightButton);
  EXPECT_EQ(right.type, T::rightMouseDown);
  EXPECT_FALSE(right.clickState.has_value());
}

TEST_F(PointerTest, UnknownButtonUsesLeftTypesWithoutHistory) {
  press(kLeftButton);
  release(kLeftButton);
  std::map<MouseButton, ClickHistory> before = state.buttonClickState;
  for (int i = 0; i < 2; ++i) {
    MouseEvent down = press(7, 0.1), up = release(7, 0.1);
    EXPECT_EQ(down.type, T::leftMouseDown);
    EXPECT_EQ(up.type, T::leftMouseUp);
    EXPECT_EQ(down.button, 7u);
    EXPECT_FALSE(down.clickState || up.clickState);
  }
  EXPECT_EQ(state.buttonClickState.size(), 3u);
  EXPECT_EQ(clickCount(kLeftButton), before[kLeftButton].clickCount);
  EXPECT_EQ(state.buttonClickState[kLeftButton].lastUpTime, before[kLeftButton].lastUpTime);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(PointerTest, MoveIsRelativeAndDragsOnlyWhileLeftIsHeld) {
  desktop.setMouseLocation({100, 1000}); // (100, 80) from the top
  performMouseMove(input, 3, -2, kLeftButton);
  performMouseMove(input, 10, 20, kLeftButton);
  // Only the right button held: the drag test is for the left one.
  desktop.simulatePhysicalButton(kRightButton, true);
  performMouseMove(input, 1, 1, kRightButton);
  auto moves = mouseEvents();
  ASSERT_EQ(moves.size(), 3u);
  EXPECT_EQ(moves[0].type, T::mouseMoved);
  EXPECT_EQ(moves[0].position, (Point{103, 78}));
  EXPECT_EQ(moves[1].position, (Point{113, 98}));

  const std::pair<MouseButton, T> drags[] = {{kLeftButton, T::leftMouseDragged},
                                             {kRightButton, T::rightMouseDragged},
                                             {kCenterButton, T::otherMouseDragged},
                                             {7, T::leftMouseDragged}};
  desktop.simulatePhysicalButton(kLeftButton, true);
  for (auto [button, type] : drags) {
    desktop.clearEvents();
    performMouseMove(input, 1, 1, button);
    ASSERT_EQ(mouseTypes(), (std::vector<T>{T::mouseMoved, type}));
    auto e = mouseEvents();
    EXPECT_TRUE(e[1].button == button && e[1].position == e[0].position) << button;
  }
}

TEST_F(PointerTest, ConversionUsesThePrimaryHeightAndMainScreenOffset) {
  // A primary whose frame does not start at y 0, beside a taller second screen.
  desktop.setScreens({Screen{1, Rect{0, 40, 1920, 1080}, 1, "primary"},
                      Screen{2, Rect{1920, -200, 1280, 1440}, 1, "second"}});
  EXPECT_EQ(convertToCGEventCoordinates(desktop, {2500, 0}), (Point{2500, 1080}));
  EXPECT_EQ(convertToCGEventCoordinates(desktop, {10, 1000}), (Point{10, 80}));
  desktop.setMouseLocation({30, 500});
  EXPECT_EQ(adjustedMouseLocation(desktop), (Point{30, 580}));

  desktop.setMainScreen(2);
  EXPECT_EQ(convertToCGEventCoordinates(desktop, {2500, 0}), (Point{2500, 1120}));
  EXPECT_EQ(convertToCGEventCoordinates(desktop, {10, 1000}), (Point{10, 120}));

  desktop.setScreens({});
  EXPECT_EQ(convertToCGEventCoordinates(desktop, {-5, 7}), (Point{-5, 7}));
}

} // namespace
} // namespace tovel
