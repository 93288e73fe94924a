// GoogleTest first: Xlib defines macros (None, Bool) that clash with its names.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/x11_screens.h"
#include "support/process.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

template <class Condition> bool eventually(Condition condition) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!condition() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  return condition();
}

// Splits a 3840x1080 root into two monitors side by side, the right one primary.
void makeTwoMonitors(const XvfbServer& server) {
  server.run("xrandr --setmonitor left 1920/508x1080/286+0+0 none; "
             "xrandr --setmonitor '*right' 1920/508x1080/286+1920+0 screen");
}

TEST(X11Screens, OneMonitorIsThePrimaryScreenAndItsDisplay) {
  XvfbServer server;
  ASSERT_TRUE(server.running());
  ThreadConnections connections(server.display());
  X11Screens screens(connections);

  std::vector<Screen> list = screens.screens();
  ASSERT_EQ(list.size(), 1u);
  ASSERT_TRUE(list[0].number);
  DisplayId id = *list[0].number;
  EXPECT_EQ(list[0].frame, (Rect{0, 0, 1920, 1080}));
  EXPECT_NE(list[0].description.find("1920x1080 at (0, 0)"), std::string::npos);
  EXPECT_EQ(std::get<std::vector<DisplayId>>(screens.activeDisplayList()), std::vector{id});
  EXPECT_EQ(screens.displayBounds(id), (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(screens.displayBounds(id + 1), Rect{});
  EXPECT_EQ(screens.mainScreen()->number, id);

  server.run("xdotool mousemove 100 200");
  EXPECT_EQ(screens.mouseLocation(), (Point{100, 880}));
}

TEST(X11Screens, TwoMonitorsPutThePrimaryFirstAndMeasureFromIt) {
  XvfbServer server({3840, 1080, true});
  ASSERT_TRUE(server.running());
  makeTwoMonitors(server);
  ThreadConnections connections(server.display());
  X11Screens screens(connections);

  std::vector<Screen> list = screens.screens();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].frame, (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(list[1].frame, (Rect{-1920, 0, 1920, 1080}));
  EXPECT_EQ(list[0].description.rfind("right ", 0), 0u) << list[0].description;
  DisplayId right = list[0].number.value(), left = list[1].number.value();
  EXPECT_EQ(std::get<std::vector<DisplayId>>(screens.activeDisplayList()),
            (std::vector{right, left}));
  EXPECT_EQ(screens.displayBounds(left), (Rect{-1920, 0, 1920, 1080}));

  server.run("xdotool mousemove 100 200");
  EXPECT_EQ(screens.mouseLocation(), (Point{-1820, 880}));
  server.run("xdotool mousemove 2000 1079");
  EXPECT_EQ(screens.mouseLocation(), (Point{80, 1}));

  // The main screen holds the active window.
  EXPECT_EQ(screens.mainScreen()->number, right);
  ChildProcess witness(TOVEL_X_WITNESS, {"--title", "L", "--geometry", "100,100,300,200"},
                       ChildProcess::Input::emptyFile, server.environment());
  ASSERT_TRUE(witness.waitForOutput("ready", 10s));
  server.run("xdotool search --name '^L$' windowactivate --sync");
  EXPECT_TRUE(eventually([&] { return screens.mainScreen()->number == left; }));
}

TEST(X11Screens, DoubleClickIntervalComesFromTheSettingsManager) {
  XvfbServer server;
  ASSERT_TRUE(server.running());
  ThreadConnections connections(server.display());
  EXPECT_EQ(X11Screens(connections).doubleClickInterval(), 0.4);

  // Become the settings manager, publishing (LSB first) a string, then Net/DoubleClickTime 250.
  Display* display = XOpenDisplay(server.display().c_str());
  ASSERT_NE(display, nullptr);
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
  XCloseDisplay(display);
}

TEST(X11Screens, ScreenChangeHandlerSeesRealChangesOnly) {
  XvfbServer server({3840, 1080, false});
  ASSERT_TRUE(server.running());
  ThreadConnections connections(server.display());
  auto screens = std::make_unique<X11Screens>(connections);
  std::mutex mutex;
  std::vector<std::size_t> seen; // the number of monitors at each call
  std::atomic<int> second = 0;
  screens->setScreenChangeHandler([&] {
    std::lock_guard lock(mutex);
    seen.push_back(screens->screens().size());
  });
  auto calls = [&] {
    std::lock_guard lock(mutex);
    return seen;
  };

  // A root ConfigureNotify with nothing changed behind it, then a real change.
  Display* display = XOpenDisplay(server.display().c_str());
  ASSERT_NE(display, nullptr);
  XEvent fake{};
  fake.xconfigure.type = ConfigureNotify;
  fake.xconfigure.event = fake.xconfigure.window = DefaultRootWindow(display);
  XSendEvent(display, DefaultRootWindow(display), False, StructureNotifyMask, &fake);
  XCloseDisplay(display);
  server.run("xrandr --setmonitor left 1920/508x1080/286+0+0 none");
  ASSERT_TRUE(eventually([&] { return !calls().empty(); }));
  EXPECT_EQ(calls(), std::vector<std::size_t>{2});

  // Once replaced, the old handler is never called again.
  screens->setScreenChangeHandler([&] { ++second; });
  server.run("xrandr --delmonitor left");
  ASSERT_TRUE(eventually([&] { return second >= 1; }));
  EXPECT_EQ(calls().size(), 1u);

  // Replacing and clearing the handler while the layout keeps changing.
  std::atomic<bool> done = false;
  std::thread changer([&] {
    for (int i = 0; i < 10; ++i)
      server.run("xrandr --setmonitor left 1920/508x1080/286+0+0 none; xrandr --delmonitor left");
    done = true;
  });
  for (int i = 0; !done; ++i) {
    screens->setScreenChangeHandler(i % 3 ? std::function<void()>([&] { ++second; }) : nullptr);
    std::this_thread::sleep_for(1ms);
  }
  changer.join();
  screens.reset(); // stops the watcher; a hang here fails by the test's time-out
}

} // namespace
} // namespace tovel::test
