// First: it includes GoogleTest before Xlib, whose macros (None, Bool) clash with its names.
#include "system/x11/x11_test.h"

#include <atomic>
#include <thread>

#include "platform/x11/x11_screens.h"

namespace tovel::test {
namespace {

// The backend's screens on a server with or without a window manager.
template <bool kWindowManager> class X11ScreensTest : public X11Test<kWindowManager> {
protected:
  X11Screens screens{this->connections};
};
using X11UnmanagedScreens = X11ScreensTest<false>;
using X11ManagedScreens = X11ScreensTest<true>;

TEST_F(X11ManagedScreens, MonitorsComePrimaryFirstAndScreenCoordinatesMeasureFromIt) {
  std::vector<Screen> list = screens.screens();
  ASSERT_EQ(list.size(), 1u);
  ASSERT_TRUE(list[0].number);
  DisplayId whole = *list[0].number;
  EXPECT_EQ(list[0].frame, (Rect{0, 0, 1920, 1080}));
  EXPECT_NE(list[0].description.find("1920x1080 at (0, 0)"), std::string::npos);
  EXPECT_EQ(std::get<std::vector<DisplayId>>(screens.activeDisplayList()), std::vector{whole});
  EXPECT_EQ(screens.displayBounds(whole), (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(screens.displayBounds(whole + 1), Rect{});
  EXPECT_EQ(screens.mainScreen()->number, whole);

  server.run(kTwoMonitors);
  list = screens.screens();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].frame, (Rect{0, 0, 960, 1080}));
  EXPECT_EQ(list[1].frame, (Rect{-960, 0, 960, 1080}));
  EXPECT_EQ(list[0].description.rfind("right ", 0), 0u) << list[0].description;
  DisplayId right = list[0].number.value(), left = list[1].number.value();
  EXPECT_EQ(std::get<std::vector<DisplayId>>(screens.activeDisplayList()),
            (std::vector{right, left}));
  EXPECT_EQ(screens.displayBounds(left), (Rect{-960, 0, 960, 1080}));

  server.run("xdotool mousemove 100 200");
  EXPECT_EQ(screens.mouseLocation(), (Point{-860, 880}));
  server.run("xdotool mousemove 1000 1079");
  EXPECT_EQ(screens.mouseLocation(), (Point{40, 1}));

  // The main screen holds the active window.
  EXPECT_EQ(screens.mainScreen()->number, right);
  Witness witness(server, {"--geometry", "100,100,300,200"});
  server.run("xdotool windowactivate --sync " + witness.name());
  EXPECT_TRUE(waitUntil([&] { return screens.mainScreen()->number == left; }));
}

TEST_F(X11UnmanagedScreens, DoubleClickIntervalComesFromTheSettingsManager) {
  EXPECT_EQ(X11Screens(connections).doubleClickInterval(), 0.4);
  // Become the settings manager, publishing (LSB first) a string, then Net/DoubleClickTime 250.
  Window manager = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  Atom settings = XInternAtom(display, "_XSETTINGS_SETTINGS", False);
  std::string blob("\0\0\0\0\1\0\0\0\2\0\0\0"                 // header
                   "\1\0\5\0Net/A\0\0\0\1\0\0\0\3\0\0\0abc\0" // string
                   "\0\0\23\0Net/DoubleClickTime\0\2\0\0\0\xfa\0\0\0",
                   12 + 24 + 32); // integer
  XChangeProperty(display, manager, settings, settings, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(blob.data()), int(blob.size()));
  XSetSelectionOwner(display, XInternAtom(display, "_XSETTINGS_S0", False), manager, CurrentTime);
  XSync(display, False);
  EXPECT_EQ(X11Screens(connections).doubleClickInterval(), 0.25);
  XDestroyWindow(display, manager); // the manager quits
  XSync(display, False);
  EXPECT_EQ(X11Screens(connections).doubleClickInterval(), 0.4);
}

TEST_F(X11UnmanagedScreens, ScreenChangeHandlerSeesRealChangesOnly) {
  std::atomic<int> first = 0, second = 0;
  std::atomic<std::size_t> monitors = 0; // as the first handler saw them
  screens.setScreenChangeHandler([&] {
    monitors = screens.screens().size();
    ++first;
  });
  // A root ConfigureNotify with nothing changed behind it, then a real change.
  XEvent fake{};
  fake.xconfigure.type = ConfigureNotify;
  fake.xconfigure.event = fake.xconfigure.window = DefaultRootWindow(display);
  XSendEvent(display, DefaultRootWindow(display), False, StructureNotifyMask, &fake);
  XSync(display, False);
  server.run("xrandr --setmonitor left 960/254x1080/286+0+0 none");
  ASSERT_TRUE(waitUntil([&] { return first > 0; }));
  EXPECT_EQ(first, 1);
  EXPECT_EQ(monitors, 2u);

  // Once replaced, the old handler is never called again.
  screens.setScreenChangeHandler([&] { ++second; });
  server.run("xrandr --delmonitor left");
  ASSERT_TRUE(waitUntil([&] { return second >= 1; }));
  EXPECT_EQ(first, 1);

  // Replacing and clearing the handler while the layout keeps changing; stopping the watcher
  // afterwards must not hang (a hang fails by the test's time-out).
  std::atomic<bool> done = false;
  std::thread changer([&] {
    for (int i = 0; i < 10; ++i)
      server.run("xrandr --setmonitor left 960/254x1080/286+0+0 none; xrandr --delmonitor left");
    done = true;
  });
  for (int i = 0; !done; ++i) {
    screens.setScreenChangeHandler(i % 3 ? std::function<void()>([&] { ++second; }) : nullptr);
    std::this_thread::sleep_for(1ms);
  }
  changer.join();
  screens.setScreenChangeHandler(nullptr);
}

} // namespace
} // namespace tovel::test
