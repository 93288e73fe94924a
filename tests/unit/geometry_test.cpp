#include <gtest/gtest.h>

#include "platform/geometry.h"
#include "platform/monitor_layout.h"

namespace tovel {
namespace {

TEST(Rect, ContainsItsMinimumEdgesNotItsMaximumOnesAndIntersectsOnlyWhereAreaIsShared) {
  Rect r{10, 20, 100, 50};
  EXPECT_TRUE(r.contains({10, 20}));
  EXPECT_TRUE(r.contains({109.999, 69.999}));
  EXPECT_FALSE(r.contains({110, 30}));
  EXPECT_FALSE(r.contains({50, 70}));
  EXPECT_FALSE(r.contains({9.999, 30}));
  Rect a{0, 0, 100, 100};
  EXPECT_TRUE(a.intersects({99, 99, 10, 10}));
  EXPECT_FALSE(a.intersects({100, 0, 10, 10})); // touching edges only
  EXPECT_FALSE(a.intersects({10, 10, 0, 5}));   // empty rectangle
}

// The primary (root 1280,200) sits right of a taller monitor whose top is higher.
MonitorLayout offsetLayout() {
  MonitorLayout layout;
  layout.monitors = {{0x42, 1280, 200, 1920, 1080, true, "DP-1"},
                     {0x43, 0, 0, 1280, 1440, false, "HDMI-1"}};
  return layout;
}

TEST(ScreenLayout, FramesAndPointsAreYUpFromThePrimaryBottomLeft) {
  MonitorLayout layout = offsetLayout();
  EXPECT_EQ(screenFrame(layout, layout.monitors[0]), (Rect{0, 0, 1920, 1080}));
  // Global top-left (-1280, -200) and 1440 tall: its bottom is 160 below the primary's.
  EXPECT_EQ(screenFrame(layout, layout.monitors[1]), (Rect{-1280, -160, 1280, 1440}));
  EXPECT_EQ(describeMonitor(layout, layout.monitors[1]),
            "HDMI-1 1280x1440 at (-1280, -200), display 67");
  EXPECT_EQ(rootToScreen(layout, 10, 1430), (Point{-1270, -150}));
  EXPECT_EQ(monitorAt(layout, 1280, 199), nullptr); // above the primary, right of the other
}

} // namespace
} // namespace tovel
