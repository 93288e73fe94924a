#include <gtest/gtest.h>

#include "support/virtual_input.h"

#include "mjpeg/window_lookup.h"

namespace tovel {
namespace {

VirtualWindow window(WindowId number, Rect bounds, std::optional<std::string> title = "Title",
                     std::int64_t layer = 0) {
  VirtualWindow w;
  w.info = WindowInfo{number, bounds, layer, "Owner", std::move(title)};
  return w;
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
  pointAt(120, 120);
  EXPECT_EQ(windowUnderCursor(desktop), 4u);
  pointAt(150, 120); // the far edge belongs to the next window
  EXPECT_EQ(windowUnderCursor(desktop), 5u);
  pointAt(900, 120);
  EXPECT_EQ(windowUnderCursor(desktop), std::nullopt);
  desktop.setListings(true);
  pointAt(120, 120);
  EXPECT_EQ(windowUnderCursor(desktop), std::nullopt);
  EXPECT_TRUE(log.lines().empty());

  // The display under the pointer, else the primary one, else any numbered one.
  pointAt(2000, 100);
  EXPECT_EQ(displayUnderCursor(desktop), 2u);
  pointAt(2000, 1050); // below display 2, on no screen
  EXPECT_EQ(displayUnderCursor(desktop), 1u);

  desktop.setScreens({Screen{std::nullopt, {0, 0, 1920, 1080}, 1, "unnumbered"},
                      Screen{2, {1920, 56, 1280, 1024}, 1, "right"}});
  pointAt(100, 100);
  EXPECT_EQ(displayUnderCursor(desktop), 2u);
  desktop.setScreens({Screen{std::nullopt, {0, 0, 1920, 1080}, 1, "unnumbered"}});
  EXPECT_EQ(displayUnderCursor(desktop), std::nullopt);
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
  // Far past display 1: its origin stops at the far corner.
  EXPECT_EQ(bounds(3100, 1000, 1), (Rect{1920, 840, 640, 320}));
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
