#include <gtest/gtest.h>

#include <deque>

#include "support/virtual_input.h"

#include "mjpeg/window_lookup.h"

namespace tovel {
namespace {

using DisplayListAnswer = std::variant<std::vector<DisplayId>, PlatformError>;

// The virtual desktop, except that its window list can be made to fail and its display list
// queries can be given scripted answers, one per call.
class ScriptedPlatform final : public Platform {
public:
  explicit ScriptedPlatform(VirtualDesktop& desktop) : d_(desktop) {}

  bool windowListFails = false;
  std::deque<DisplayListAnswer> displayListAnswers;

  std::optional<std::vector<WindowInfo>> windowList(WindowListOption option) override {
    return windowListFails ? std::nullopt : d_.windowList(option);
  }
  DisplayListAnswer activeDisplayList() override {
    if (displayListAnswers.empty())
      return d_.activeDisplayList();
    DisplayListAnswer answer = displayListAnswers.front();
    displayListAnswers.pop_front();
    return answer;
  }

  std::optional<MouseEvent> createMouseEvent(MouseEventType t, Point p, MouseButton b) override {
    return d_.createMouseEvent(t, p, b);
  }
  std::optional<KeyEvent> createKeyboardEvent(KeyCode k, bool down) override {
    return d_.createKeyboardEvent(k, down);
  }
  std::optional<ScrollEvent> createScrollWheelEvent(std::int32_t a, std::int32_t b) override {
    return d_.createScrollWheelEvent(a, b);
  }
  void post(const MouseEvent& e) override { d_.post(e); }
  void post(const KeyEvent& e) override { d_.post(e); }
  void post(const ScrollEvent& e) override { d_.post(e); }
  bool primaryButtonDown() override { return d_.primaryButtonDown(); }
  bool installModifierTap(ModifierTap tap) override { return d_.installModifierTap(tap); }
  std::vector<Screen> screens() override { return d_.screens(); }
  std::optional<Screen> mainScreen() override { return d_.mainScreen(); }
  Point mouseLocation() override { return d_.mouseLocation(); }
  double doubleClickInterval() override { return d_.doubleClickInterval(); }
  void setScreenChangeHandler(std::function<void()> h) override { d_.setScreenChangeHandler(h); }
  Rect displayBounds(DisplayId display) override { return d_.displayBounds(display); }
  std::unique_ptr<ScreenCapturer> createScreenCapturer() override {
    return d_.createScreenCapturer();
  }
  std::optional<std::vector<CaptureDisplay>> capturableDisplays() override {
    return d_.capturableDisplays();
  }
  std::unique_ptr<ContinuousCapture> startContinuousCapture(DisplayId id,
                                                            const ContinuousCaptureSettings& s,
                                                            FrameHandler h,
                                                            PlatformError& e) override {
    return d_.startContinuousCapture(id, s, std::move(h), e);
  }

private:
  VirtualDesktop& d_;
};

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
  // Places the pointer at a global display position.
  void pointAt(double x, double y) { desktop.setMouseLocation({x, 1080 - y}); }
  std::vector<std::string> lines() const { return log.lines(); }

  ScriptedPlatform platform{desktop};
};

TEST_F(WindowLookupTest, WindowUnderCursorIsFrontMostTitledApplicationWindow) {
  VirtualWindow hidden = window(9, {0, 0, 1000, 1000}, "Hidden");
  hidden.onScreen = false;
  VirtualWindow ownerless = window(8, {0, 0, 1000, 1000});
  ownerless.info.ownerName.reset();
  desktop.setWindows({hidden, ownerless, window(1, {0, 0, 1000, 1000}, ""),
                      window(2, {0, 0, 1000, 1000}, std::nullopt),
                      window(3, {0, 0, 1000, 1000}, "Menu", 24), window(4, {100, 100, 50, 50}),
                      window(5, {0, 0, 800, 600})});
  pointAt(120, 120);
  EXPECT_EQ(windowUnderCursor(platform), 4u);
  pointAt(150, 120); // the far edge belongs to the next window
  EXPECT_EQ(windowUnderCursor(platform), 5u);
  pointAt(900, 120);
  EXPECT_EQ(windowUnderCursor(platform), std::nullopt);
  platform.windowListFails = true;
  pointAt(120, 120);
  EXPECT_EQ(windowUnderCursor(platform), std::nullopt);
  EXPECT_TRUE(lines().empty());
}

TEST_F(WindowLookupTest, DisplayUnderCursorFallsBackToPrimary) {
  pointAt(2000, 100);
  EXPECT_EQ(displayUnderCursor(platform), 2u);
  pointAt(1919, 100);
  EXPECT_EQ(displayUnderCursor(platform), 1u);
  pointAt(2000, 1050); // below display 2, on no screen
  EXPECT_EQ(displayUnderCursor(platform), 1u);

  desktop.setScreens({Screen{std::nullopt, {0, 0, 1920, 1080}, 1, "unnumbered"},
                      Screen{2, {1920, 56, 1280, 1024}, 1, "right"}});
  pointAt(100, 100);
  EXPECT_EQ(displayUnderCursor(platform), 2u);
  desktop.setScreens({Screen{std::nullopt, {0, 0, 1920, 1080}, 1, "unnumbered"}});
  EXPECT_EQ(displayUnderCursor(platform), std::nullopt);
}

TEST_F(WindowLookupTest, WindowBoundsAreDisplayLocalForLayerZeroOnly) {
  VirtualWindow offScreen = window(7, {1800, -40, 400, 300});
  offScreen.onScreen = false;
  desktop.setWindows({window(6, {10, 10, 5, 5}, "Panel", 3), window(6, {2000, 200, 300, 200}),
                      window(5, {100, 100, 200, 200}, "Menu", 24), offScreen});
  EXPECT_EQ(windowBoundsForID(platform, 6, 2), (Rect{80, 200, 300, 200}));
  EXPECT_EQ(windowBoundsForID(platform, 7, 2), (Rect{-120, -40, 400, 300}));
  EXPECT_EQ(windowBoundsForID(platform, 5, 1), std::nullopt);
  EXPECT_EQ(displayIDForWindow(platform, log, 5), 1u);
  EXPECT_EQ(windowBoundsForID(platform, 99, 1), std::nullopt);
  platform.windowListFails = true;
  EXPECT_EQ(windowBoundsForID(platform, 6, 2), std::nullopt);
  EXPECT_TRUE(lines().empty());
}

TEST_F(WindowLookupTest, CursorBoundsCentreOnPointerWithOriginClampedToDisplay) {
  pointAt(10, 10);
  EXPECT_EQ(cursorBoundsForID(platform, 1, 640, 320), (Rect{0, 0, 640, 320}));
  pointAt(1915, 1075);
  EXPECT_EQ(cursorBoundsForID(platform, 1, 640, 320), (Rect{1595, 915, 640, 320}));
  pointAt(960, 540);
  EXPECT_EQ(cursorBoundsForID(platform, 1), (Rect{760, 440, 400, 200}));
  pointAt(2000, 100);
  EXPECT_EQ(cursorBoundsForID(platform, 2, 640, 320), (Rect{0, 0, 640, 320}));
  pointAt(2600, 700);
  EXPECT_EQ(cursorBoundsForID(platform, 2, 640, 320), (Rect{360, 540, 640, 320}));
  pointAt(3100, 1000); // far past display 1: its origin stops at the far corner
  EXPECT_EQ(cursorBoundsForID(platform, 1, 640, 320), (Rect{1920, 840, 640, 320}));
}

TEST_F(WindowLookupTest, DisplayForWindowIsFirstActiveDisplayHoldingIt) {
  desktop.setWindows({window(1, {1800, 100, 400, 300}), window(2, {2000, 50, 0, 0}, "", 5)});
  EXPECT_EQ(displayIDForWindow(platform, log, 1), 1u);
  platform.displayListAnswers = {std::vector<DisplayId>{2, 1}, std::vector<DisplayId>{2, 1}};
  EXPECT_EQ(displayIDForWindow(platform, log, 1), 2u);
  // An empty window still belongs to the display that holds its corner.
  EXPECT_EQ(displayIDForWindow(platform, log, 2), 2u);
  EXPECT_TRUE(lines().empty());
}

TEST_F(WindowLookupTest, DisplayForWindowSaysWhyThereIsNone) {
  desktop.setWindows({window(7, {5000, 5000, 100, 100})});
  EXPECT_EQ(displayIDForWindow(platform, log, 4294967295u), std::nullopt);
  EXPECT_EQ(displayIDForWindow(platform, log, 7), std::nullopt);
  platform.displayListAnswers = {PlatformError{3, "the display server went away"}};
  EXPECT_EQ(displayIDForWindow(platform, log, 7), std::nullopt);
  platform.displayListAnswers = {std::vector<DisplayId>{1}, PlatformError{1001, ""}};
  EXPECT_EQ(displayIDForWindow(platform, log, 7), std::nullopt);
  platform.windowListFails = true;
  EXPECT_EQ(displayIDForWindow(platform, log, 7), std::nullopt);
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "Specified window ID 4294967295 not found.",
                         "No matching display found for window ID 7.",
                         "Error getting display list: the display server went away",
                         "Error getting active displays: 1001",
                         "Failed to retrieve window list.",
                     }));
}

} // namespace
} // namespace tovel
