#include <gtest/gtest.h>

#include "support/virtual_input.h"

#include "input/mouse_button.h"
#include "input/pointer.h"

namespace tovel {
namespace {

class PointerTest : public test::VirtualInputTest {
protected:
  PointerTest() { desktop.setDoubleClickInterval(0.5); }

  // Press and release with the given pause before each.
  MouseEvent press(MouseButton button, double after = 0) {
    clock.advance(after);
    performMouseDown(input, button);
    return lastMouse();
  }
  MouseEvent release(MouseButton button, double after = 0) {
    clock.advance(after);
    performMouseUp(input, button);
    return lastMouse();
  }
  MouseEvent lastMouse() { return *desktop.events().back().mouse(); }
};

TEST_F(PointerTest, QuickClicksCountUpFromThePreviousRelease) {
  MouseEvent down1 = press(kLeftButton);
  EXPECT_EQ(down1.type, MouseEventType::leftMouseDown);
  EXPECT_FALSE(down1.clickState.has_value());
  EXPECT_EQ(state.buttonClickState[kLeftButton].clickCount, 1);
  EXPECT_EQ(state.buttonClickState[kLeftButton].lastDownTime, clock.now());
  // Pauses are binary fractions so the boundary comparison is exact.
  EXPECT_FALSE(release(kLeftButton, 0.125).clickState.has_value());
  EXPECT_TRUE(log.lines().empty());

  EXPECT_EQ(press(kLeftButton, 0.25).clickState, 2);
  EXPECT_EQ(release(kLeftButton, 0.125).clickState, 2);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Double-click Up"});
  EXPECT_EQ(press(kLeftButton, 0.375).clickState, 3);

  // Released exactly one interval after the previous release: a new single click.
  EXPECT_FALSE(release(kLeftButton, 0.125).clickState.has_value());
  EXPECT_EQ(state.buttonClickState[kLeftButton].clickCount, 1);
  EXPECT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(press(kLeftButton, 0.125).clickState, 2);

  // Other buttons keep their own history.
  EXPECT_FALSE(press(kRightButton).clickState.has_value());
  EXPECT_EQ(lastMouse().type, MouseEventType::rightMouseDown);
}

TEST_F(PointerTest, PressAfterTheIntervalStartsOver) {
  press(kCenterButton);
  MouseEvent up = release(kCenterButton);
  EXPECT_EQ(up.type, MouseEventType::otherMouseUp);
  MouseEvent late = press(kCenterButton, 0.5);
  EXPECT_EQ(late.type, MouseEventType::otherMouseDown);
  EXPECT_FALSE(late.clickState.has_value());
  EXPECT_EQ(state.buttonClickState[kCenterButton].clickCount, 1);
}

TEST_F(PointerTest, UnknownButtonUsesLeftTypesWithoutHistory) {
  press(kLeftButton);
  release(kLeftButton);
  std::map<MouseButton, ClickHistory> before = state.buttonClickState;
  for (int i = 0; i < 2; ++i) {
    MouseEvent down = press(7, 0.1);
    MouseEvent up = release(7, 0.1);
    EXPECT_EQ(down.type, MouseEventType::leftMouseDown);
    EXPECT_EQ(up.type, MouseEventType::leftMouseUp);
    EXPECT_EQ(down.button, 7u);
    EXPECT_FALSE(down.clickState || up.clickState);
  }
  EXPECT_EQ(state.buttonClickState.size(), 3u);
  EXPECT_EQ(state.buttonClickState[kLeftButton].clickCount, before[kLeftButton].clickCount);
  EXPECT_EQ(state.buttonClickState[kLeftButton].lastUpTime, before[kLeftButton].lastUpTime);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(PointerTest, MoveIsRelativeAndDragsOnlyWhileLeftIsHeld) {
  desktop.setMouseLocation({100, 1000}); // (100, 80) from the top
  performMouseMove(input, 3, -2, kLeftButton);
  performMouseMove(input, 10, 20, kLeftButton);
  auto moves = mouseEvents();
  ASSERT_EQ(moves.size(), 2u);
  EXPECT_EQ(moves[0].type, MouseEventType::mouseMoved);
  EXPECT_EQ(moves[0].position, (Point{103, 78}));
  EXPECT_EQ(moves[1].position, (Point{113, 98}));

  // Only the right button held: the drag test is for the left one.
  desktop.clearEvents();
  desktop.simulatePhysicalButton(kRightButton, true);
  performMouseMove(input, 1, 1, kRightButton);
  ASSERT_EQ(mouseEvents().size(), 1u);

  const std::pair<MouseButton, MouseEventType> drags[] = {
      {kLeftButton, MouseEventType::leftMouseDragged},
      {kRightButton, MouseEventType::rightMouseDragged},
      {kCenterButton, MouseEventType::otherMouseDragged},
      {7, MouseEventType::leftMouseDragged}};
  desktop.simulatePhysicalButton(kLeftButton, true);
  for (auto [button, type] : drags) {
    desktop.clearEvents();
    performMouseMove(input, 1, 1, button);
    auto events = mouseEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, MouseEventType::mouseMoved);
    EXPECT_EQ(events[1].type, type);
    EXPECT_EQ(events[1].button, button);
    EXPECT_EQ(events[1].position, events[0].position);
  }
}

TEST_F(PointerTest, ConversionUsesThePrimaryHeightAndMainScreenOffset) {
  // A primary whose frame does not start at y 0, beside a taller second screen.
  Screen primary{1, Rect{0, 40, 1920, 1080}, 1, "primary"};
  Screen second{2, Rect{1920, -200, 1280, 1440}, 1, "second"};
  desktop.setScreens({primary, second});

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

TEST(MouseButtonName, MapsClientNames) {
  EXPECT_EQ(mouseButtonFromName("middle"), kCenterButton);
  EXPECT_EQ(mouseButtonFromName("center"), kCenterButton);
  EXPECT_EQ(mouseButtonFromName("right"), kRightButton);
  EXPECT_EQ(mouseButtonFromName("Right"), kLeftButton);
  EXPECT_EQ(mouseButtonFromName(""), kLeftButton);
}

} // namespace
} // namespace tovel
