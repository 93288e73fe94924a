#include <gtest/gtest.h>

#include "support/virtual_input.h"

#include "input/pointer.h"

namespace tovel {
namespace {

class PointerTest : public test::VirtualInputTest {
protected:
  PointerTest() { desktop.setDoubleClickInterval(0.5); }
  std::int64_t clickCount(MouseButton button) { return state.buttonClickState[button].clickCount; }
};

TEST_F(PointerTest, QuickClicksCountUpFromThePreviousRelease) {
  // Presses and releases of the left button in turn after these pauses, and the click count
  // after each. The sixth (a release) and the ninth (a press) come exactly one interval after the
  // previous release: new single clicks. Pauses are binary fractions so comparisons are exact.
  const double pauses[] = {0, 0.125, 0.25, 0.125, 0.375, 0.125, 0.125, 0.25, 0.5};
  const int counts[] = {1, 1, 2, 2, 3, 1, 2, 2, 1};
  for (int i = 0; i < 9; ++i) {
    clock.advance(pauses[i]);
    (i % 2 ? performMouseUp : performMouseDown)(input, kLeftButton);
    EXPECT_EQ(clickCount(kLeftButton), counts[i]) << "step " << i + 1;
  }
  EXPECT_EQ(state.buttonClickState[kLeftButton].lastDownTime, clock.now());
  EXPECT_EQ(log.lines(), (Lines{"Double-click Up", "Double-click Up"}));
  performMouseDown(input, kRightButton); // other buttons keep their own history
  const std::string down = "leftDown 960.0,540.0 b0", up = "leftUp 960.0,540.0 b0";
  EXPECT_EQ(events(), (Lines{down, up, down + " c2", up + " c2", down + " c3", up, down + " c2",
                             up + " c2", down, "rightDown 960.0,540.0 b1"}));
}

TEST_F(PointerTest, UnknownButtonUsesLeftTypesWithoutHistory) {
  performMouseDown(input, kLeftButton);
  performMouseUp(input, kLeftButton);
  std::map<MouseButton, ClickHistory> before = state.buttonClickState;
  desktop.clearEvents();
  for (int i = 0; i < 4; ++i) {
    clock.advance(0.1);
    (i % 2 ? performMouseUp : performMouseDown)(input, 7);
  }
  const std::string down = "leftDown 960.0,540.0 b7", up = "leftUp 960.0,540.0 b7";
  EXPECT_EQ(events(), (Lines{down, up, down, up}));
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
  desktop.simulatePhysicalButton(kLeftButton, true);
  for (MouseButton button : {kLeftButton, kRightButton, kCenterButton, MouseButton(7)})
    performMouseMove(input, 1, 1, button);
  EXPECT_EQ(
      events(),
      (Lines{"moved 103.0,78.0 b0", "moved 113.0,98.0 b0", "physical rightDown 113.0,98.0 b1",
             "moved 114.0,99.0 b1", "physical leftDown 114.0,99.0 b0", "moved 115.0,100.0 b0",
             "leftDragged 115.0,100.0 b0", "moved 116.0,101.0 b1", "rightDragged 116.0,101.0 b1",
             "moved 117.0,102.0 b2", "otherDragged 117.0,102.0 b2", "moved 118.0,103.0 b7",
             "leftDragged 118.0,103.0 b7"}));
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
