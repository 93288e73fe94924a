#include <gtest/gtest.h>

#include "mjpeg/follow_capture_stream.h"
#include "mjpeg/window_lookup.h"
#include "platform/monitor_layout.h"
#include "support/virtual_input.h"

namespace tovel {
namespace {

TEST(Rect, ContainsItsMinimumEdgesNotItsMaximumOnesAndIntersectsOnlyWhereAreaIsShared) {
  Rect r{10, 20, 100, 50};
  EXPECT_TRUE(r.contains({10, 20}) && r.contains({109.999, 69.999}));
  for (Point outside : {Point{110, 30}, Point{50, 70}, Point{9.999, 30}})
    EXPECT_FALSE(r.contains(outside)) << outside.x << "," << outside.y;
  Rect a{0, 0, 100, 100};
  EXPECT_TRUE(a.intersects({99, 99, 10, 10}));
  EXPECT_FALSE(a.intersects({100, 0, 10, 10})); // touching edges only
  EXPECT_FALSE(a.intersects({10, 10, 0, 5}));   // empty rectangle
}

// The primary (root 1280,200) sits right of a taller monitor whose top is higher. How a monitor is
// described: SwayOutputs.ASecondOutputIsAScreenOfItsOwn.
TEST(ScreenLayout, FramesAndPointsAreYUpFromThePrimaryBottomLeft) {
  MonitorLayout layout;
  layout.monitors = {{0x42, 1280, 200, 1920, 1080, true, "DP-1"},
                     {0x43, 0, 0, 1280, 1440, false, "HDMI-1"}};
  EXPECT_EQ(screenFrame(layout, layout.monitors[0]), (Rect{0, 0, 1920, 1080}));
  // Global top-left (-1280, -200) and 1440 tall: its bottom is 160 below the primary's.
  EXPECT_EQ(screenFrame(layout, layout.monitors[1]), (Rect{-1280, -160, 1280, 1440}));
  EXPECT_EQ(rootToScreen(layout, 10, 1430), (Point{-1270, -150}));
  EXPECT_EQ(monitorAt(layout, 1280, 199), nullptr); // above the primary, right of the other
}

TEST(FollowOptions, ReadsSizeScreenAndHighres) {
  // Target, follow size, output factor and JPEG compression. The plain following and whole-screen
  // sizes: MjpegStream.SizeOptionsReachThePicture.
  const std::tuple<const char*, Size, double, double> cases[] = {
      {"/screen.mjpg?screen=true&size=640x480&quality=low", {640, 480}, 1.5, 0.1},
      {"/screen.mjpg?screen=true&size=640", {800, 600}, 1.5, 0.1}, // not two numbers
      {"/screen.mjpg?screen=true&size=640x480x2", {800, 600}, 1.5, 0.1},
      {"/screen.mjpg?screen=true&size=1x2&size=320.5x200", {320.5, 200}, 1.5, 0.1}, // the last
      {"/screen.mjpg?screen=true&size=640x480&size=", {800, 600}, 1.5, 0.1},
      {"/screen.mjpg?screen=true&highres=true", {800, 600}, 2.0, 0.6}};
  for (auto [target, size, factor, compression] : cases) {
    FollowOptions options = parseFollowOptions(target);
    EXPECT_EQ(options.followSize, size) << target;
    EXPECT_EQ(options.outputFactor(), factor) << target;
    EXPECT_EQ(options.jpegCompression(), compression) << target;
  }
}

TEST(FollowGeometry, RectCropAndOutput) {
  const Rect screen{0, 0, 1440, 900};
  // Around the pointer, on the screen: pinned left, and to the bottom since 590 + 600 > 900.
  EXPECT_EQ(calculateFollowRect({10, 10}, {800, 600}, screen), (Rect{0, 300, 800, 600}));
  EXPECT_EQ(calculateFollowRect({720, 450}, {800, 600}, screen), (Rect{320, 150, 800, 600}));
  EXPECT_EQ(calculateFollowRect({1430, 890}, {800, 600}, screen), (Rect{640, 0, 800, 600}));
  // At least twice the screen: pinned to the minimum edges wherever the pointer is.
  EXPECT_EQ(calculateFollowRect({1430, 10}, {3000, 2000}, screen), (Rect{0, 0, 3000, 2000}));
  // Less than that: the maximum-edge rule may move it past the minimum edges instead.
  EXPECT_EQ(calculateFollowRect({1430, 10}, {2000, 1000}, screen), (Rect{-560, -100, 2000, 1000}));

  auto crop = [](const char* target, int width, int height, Point cursor = {10, 10},
                 Size display = {1440, 900}) {
    return followCropRect(parseFollowOptions(target), cursor, display, width, height);
  };
  // The crop at the picture's own scale: at one pixel per point the follow rectangle itself, at
  // two its double; fractional pixel edges widen to whole pixels.
  EXPECT_EQ(crop("", 1440, 900), (PixelRect{0, 300, 800, 600}));
  EXPECT_EQ(crop("", 2880, 1800), (PixelRect{0, 600, 1600, 1200}));
  EXPECT_EQ(crop("", 2049, 1152, {683, 384}, {1366, 768}), (PixelRect{424, 126, 1201, 900}));
  EXPECT_EQ(crop("screen=true", 2880, 1800), (PixelRect{0, 0, 2880, 1800}));
  // A follow size larger than the display shows all of it, wherever its rectangle went; nothing
  // at all gives no crop.
  EXPECT_EQ(crop("size=2000x1000", 1440, 900), (PixelRect{0, 0, 1440, 900}));
  EXPECT_FALSE(crop("size=0x0", 1440, 900) || crop("size=nanx5", 1440, 900) || crop("", 0, 0));

  auto output = [](const char* target, int width, int height) {
    return followOutputSize(parseFollowOptions(target), width, height);
  };
  EXPECT_EQ(output("follow=true", 1600, 1200), (PixelSize{800, 600})); // a double-scale capture
  EXPECT_EQ(output("screen=true&highres=true", 1920, 1080), (PixelSize{1600, 900}));
  EXPECT_FALSE(output("screen=true&size=0x0", 1920, 1080));
  // Past about 8K UHD the picture keeps its shape at that size.
  for (const char* huge : {"screen=true&highres=true&size=8192x8192", "screen=true&size=1e9x1e9"})
    EXPECT_EQ(output(huge, 1920, 1080), (PixelSize{7723, 4344})) << huge;
}

VirtualWindow window(WindowId number, Rect bounds, std::optional<std::string> title = "Title",
                     std::int64_t layer = 0) {
  return {.info = {number, bounds, layer, "Owner", std::move(title)}};
}

// Primary display 1 (1920 x 1080) and display 2 (1280 x 1024) at global (1920, 0).
class WindowLookupTest : public test::VirtualInputTest {
protected:
  WindowLookupTest() {
    desktop.setScreens({Screen{1, {0, 0, 1920, 1080}, 1, "primary"},
                        Screen{2, {1920, 56, 1280, 1024}, 1, "right"}});
  }
  void pointAt(double x, double y) { desktop.setMouseLocation({x, 1080 - y}); }
};

TEST_F(WindowLookupTest, WindowUnderCursorIsFrontMostTitledApplicationWindowAndDisplayFallsBack) {
  VirtualWindow hidden = window(9, {0, 0, 1000, 1000}, "Hidden"),
                ownerless = window(8, {0, 0, 1000, 1000});
  hidden.onScreen = false;
  ownerless.info.ownerName.reset();
  desktop.setWindows({hidden, ownerless, window(1, {0, 0, 1000, 1000}, ""),
                      window(2, {0, 0, 1000, 1000}, std::nullopt),
                      window(3, {0, 0, 1000, 1000}, "Menu", 24), window(4, {100, 100, 50, 50}),
                      window(5, {0, 0, 800, 600})});
  auto windowAt = [&](double x, double y) {
    pointAt(x, y);
    return windowUnderCursor(desktop);
  };
  EXPECT_EQ(windowAt(120, 120), 4u);
  EXPECT_EQ(windowAt(150, 120), 5u); // the far edge belongs to the next window
  EXPECT_EQ(windowAt(900, 120), std::nullopt);
  desktop.setListings(true);
  EXPECT_EQ(windowAt(120, 120), std::nullopt);
  EXPECT_TRUE(log.lines().empty());

  // The display under the pointer, else the primary one, else any numbered one.
  auto displayAt = [&](double x, double y) {
    pointAt(x, y);
    return displayUnderCursor(desktop);
  };
  EXPECT_EQ(displayAt(2000, 100), 2u);
  EXPECT_EQ(displayAt(2000, 1050), 1u); // below display 2, on no screen
  desktop.setScreens({Screen{std::nullopt, {0, 0, 1920, 1080}, 1, "unnumbered"},
                      Screen{2, {1920, 56, 1280, 1024}, 1, "right"}});
  EXPECT_EQ(displayAt(100, 100), 2u);
  desktop.setScreens({Screen{std::nullopt, {0, 0, 1920, 1080}, 1, "unnumbered"}});
  EXPECT_EQ(displayAt(100, 100), std::nullopt);
}

TEST_F(WindowLookupTest, WindowBoundsAreDisplayLocalForLayerZeroOnlyAndCursorBoundsClamped) {
  VirtualWindow offScreen = window(7, {1800, -40, 400, 300});
  offScreen.onScreen = false;
  desktop.setWindows({window(6, {10, 10, 5, 5}, "Panel", 3), window(6, {2000, 200, 300, 200}),
                      window(5, {100, 100, 200, 200}, "Menu", 24), offScreen});
  EXPECT_EQ(windowBoundsForID(desktop, 6, 2), (Rect{80, 200, 300, 200}));
  EXPECT_EQ(windowBoundsForID(desktop, 7, 2), (Rect{-120, -40, 400, 300}));
  EXPECT_EQ(windowBoundsForID(desktop, 5, 1), std::nullopt);
  EXPECT_EQ(displayIDForWindow(desktop, log, 5), 1u);
  EXPECT_EQ(windowBoundsForID(desktop, 99, 1), std::nullopt);
  desktop.setListings(true);
  EXPECT_EQ(windowBoundsForID(desktop, 6, 2), std::nullopt);
  EXPECT_TRUE(log.lines().empty());

  // Cursor rectangles centre on the pointer with their origin clamped to the display.
  auto bounds = [&](double x, double y, DisplayId display) {
    pointAt(x, y);
    return cursorBoundsForID(desktop, display, 640, 320);
  };
  EXPECT_EQ(bounds(10, 10, 1), (Rect{0, 0, 640, 320}));
  EXPECT_EQ(bounds(1915, 1075, 1), (Rect{1595, 915, 640, 320}));
  EXPECT_EQ(bounds(2000, 100, 2), (Rect{0, 0, 640, 320}));
  EXPECT_EQ(bounds(2600, 700, 2), (Rect{360, 540, 640, 320}));
  EXPECT_EQ(bounds(3100, 1000, 1), (Rect{1920, 840, 640, 320})); // far past: the far corner
  pointAt(960, 540);
  EXPECT_EQ(cursorBoundsForID(desktop, 1), (Rect{760, 440, 400, 200}));
}

TEST_F(WindowLookupTest, DisplayForWindowIsFirstActiveDisplayHoldingItOrSaysWhyThereIsNone) {
  desktop.setWindows({window(1, {1800, 100, 400, 300}), window(2, {2000, 50, 0, 0}, "", 5),
                      window(7, {5000, 5000, 100, 100})});
  EXPECT_EQ(displayIDForWindow(desktop, log, 1), 1u);
  desktop.setListings(false, {std::vector<DisplayId>{2, 1}, std::vector<DisplayId>{2, 1}});
  EXPECT_EQ(displayIDForWindow(desktop, log, 1), 2u);
  // An empty window still belongs to the display that holds its corner.
  EXPECT_EQ(displayIDForWindow(desktop, log, 2), 2u);
  EXPECT_TRUE(log.lines().empty());

  EXPECT_EQ(displayIDForWindow(desktop, log, 4294967295u), std::nullopt);
  EXPECT_EQ(displayIDForWindow(desktop, log, 7), std::nullopt);
  desktop.setListings(false, {PlatformError{3, "the display server went away"}});
  EXPECT_EQ(displayIDForWindow(desktop, log, 7), std::nullopt);
  desktop.setListings(false, {std::vector<DisplayId>{1}, PlatformError{1001, ""}});
  EXPECT_EQ(displayIDForWindow(desktop, log, 7), std::nullopt);
  desktop.setListings(true);
  EXPECT_EQ(displayIDForWindow(desktop, log, 7), std::nullopt);
  EXPECT_EQ(log.lines(),
            (Lines{"Specified window ID 4294967295 not found.",
                   "No matching display found for window ID 7.",
                   "Error getting display list: the display server went away",
                   "Error getting active displays: 1001", "Failed to retrieve window list."}));
}

} // namespace
} // namespace tovel
