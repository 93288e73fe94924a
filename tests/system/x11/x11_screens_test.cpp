// GoogleTest first: Xlib defines macros (None, Bool) that clash with its names.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/x11_screens.h"
#include "support/process.h"
#include "support/wait.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kOnScreen = WindowListOption::onScreenOnlyExcludingDesktop;
constexpr auto kAll = WindowListOption::all;
// Splits the root into two monitors side by side, the right one primary: root x 960 is global 0.
constexpr const char* kTwoMonitors = "xrandr --setmonitor left 960/254x1080/286+0+0 none; "
                                     "xrandr --setmonitor '*right' 960/254x1080/286+960+0 screen";

// A witness client showing one window; id is its X window once it is shown.
struct Witness {
  Witness(const XvfbServer& server, const std::string& title, const std::string& geometry)
      : process(TOVEL_X_WITNESS, {"--title", title, "--geometry", geometry},
                ChildProcess::Input::emptyFile, server.environment()) {
    EXPECT_TRUE(process.waitForOutput("ready 0x", 10s)) << title;
    std::string output = process.output();
    std::sscanf(output.c_str() + std::min(output.find("ready "), output.size()), "ready %lx", &id);
  }
  std::string name() const { return std::to_string(id); } // for xdotool, xprop and xwininfo

  ChildProcess process;
  unsigned long id = 0;
};

// A 1920x1080 server with or without a window manager, the backend's screens and windows on it,
// and a connection of the test's own.
template <bool kWindowManager> class X11Server : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(server.running());
    ASSERT_NE(display, nullptr);
  }
  ~X11Server() override {
    if (display)
      XCloseDisplay(display);
  }

  std::vector<WindowInfo> list(WindowListOption option) {
    return windows.windowList(option).value_or(std::vector<WindowInfo>{});
  }
  int indexOf(WindowListOption option, WindowId id) { // -1 when not listed
    std::vector<WindowInfo> all = list(option);
    for (std::size_t i = 0; i < all.size(); ++i)
      if (all[i].number == id)
        return int(i);
    return -1;
  }
  WindowInfo find(WindowListOption option, WindowId id) {
    for (const WindowInfo& info : list(option))
      if (info.number == id)
        return info;
    return {};
  }

  XvfbServer server{{.windowManager = kWindowManager}};
  ThreadConnections connections{server.display()};
  X11Screens screens{connections};
  X11Windows windows{connections};
  Display* display = XOpenDisplay(server.display().c_str());
};
using X11Unmanaged = X11Server<false>;
using X11Managed = X11Server<true>;

// --- Screens ------------------------------------------------------------------------------------

TEST_F(X11Managed, MonitorsComePrimaryFirstAndScreenCoordinatesMeasureFromIt) {
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
  Witness witness(server, "L", "100,100,300,200");
  server.run("xdotool windowactivate --sync " + witness.name());
  EXPECT_TRUE(waitUntil([&] { return screens.mainScreen()->number == left; }));
}

TEST_F(X11Unmanaged, DoubleClickIntervalComesFromTheSettingsManager) {
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

TEST_F(X11Unmanaged, ScreenChangeHandlerSeesRealChangesOnly) {
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

// --- Windows ------------------------------------------------------------------------------------

TEST_F(X11Managed, WindowsComeFrontMostFirstWithTheirFrames) {
  Witness a(server, "Alpha window", "100,100,500,400");
  Witness b(server, "B", "300,250,500,400");
  WindowInfo info;
  ASSERT_TRUE(waitUntil([&] {
    info = find(kOnScreen, a.id);
    return info.bounds && info.bounds->width > 500; // decorated
  }));
  EXPECT_EQ(info.title, "Alpha window");
  EXPECT_EQ(info.ownerName, "Witness");
  EXPECT_EQ(info.layer, 0);
  // The bounds add to the client area, as xwininfo sees it, exactly the frame extents the
  // window manager announces (openbox draws a title bar).
  std::string numbers =
      server.run("xwininfo -id " + a.name() + " | awk '/Absolute upper-left/{printf \"%s \", $4} " +
                 "/Width|Height/{printf \"%s \", $2}'; xprop -id " + a.name() +
                 " _NET_FRAME_EXTENTS | tr -d , | cut -d= -f2");
  double x, y, width, height, l, r, t, bottom;
  ASSERT_EQ(std::sscanf(numbers.c_str(), "%lf %lf %lf %lf %lf %lf %lf %lf", &x, &y, &width, &height,
                        &l, &r, &t, &bottom),
            8);
  EXPECT_GT(t, 0);
  EXPECT_EQ(info.bounds, (Rect{x - l, y - t, width + l + r, height + t + bottom}));

  for (const Witness* front : {&a, &b}) {
    const Witness* back = front == &a ? &b : &a;
    server.run("xdotool windowactivate --sync " + front->name());
    EXPECT_TRUE(waitUntil([&] {
      int f = indexOf(kOnScreen, front->id), k = indexOf(kOnScreen, back->id);
      return f >= 0 && f < k;
    })) << front->name();
  }
}

TEST_F(X11Managed, OnScreenListLeavesOutMinimisedAndDesktopWindows) {
  Witness kept(server, "Kept", "100,100,300,200");
  Witness minimised(server, "Minimised", "500,100,300,200");
  Witness desktop(server, "Desktop", "0,0,1920,1080");
  Witness dock(server, "Dock", "0,1040,1920,40");
  server.run("xdotool windowminimize --sync " + minimised.name());
  for (auto [witness, type] : {std::pair{&desktop, "DESKTOP"}, std::pair{&dock, "DOCK"}})
    server.run("xprop -id " + witness->name() + " -f _NET_WM_WINDOW_TYPE 32a -set " +
               "_NET_WM_WINDOW_TYPE _NET_WM_WINDOW_TYPE_" + type);

  ASSERT_TRUE(waitUntil([&] {
    return indexOf(kOnScreen, kept.id) >= 0 && indexOf(kOnScreen, minimised.id) < 0 &&
           indexOf(kOnScreen, desktop.id) < 0;
  }));
  EXPECT_EQ(find(kOnScreen, dock.id).layer, 20);
  EXPECT_EQ(find(kAll, minimised.id).layer, 0);
  EXPECT_LT(find(kAll, desktop.id).layer.value_or(0), -1000000);
}

TEST_F(X11Unmanaged, WithoutWindowManagerTheRootChildrenAreTheWindows) {
  server.run(kTwoMonitors);
  Witness lower(server, "Lower", "100,200,400,300");
  Witness upper(server, "Upper", "1000,50,640,480");
  XSetWindowAttributes attributes{}; // a pop-up menu of the test's own
  attributes.override_redirect = True;
  Window popup =
      XCreateWindow(display, DefaultRootWindow(display), 1100, 100, 50, 60, 2, CopyFromParent,
                    InputOutput, CopyFromParent, CWOverrideRedirect, &attributes);
  XMapWindow(display, popup);
  XSync(display, False);

  EXPECT_EQ(find(kOnScreen, lower.id).bounds, (Rect{-860, 200, 400, 300}));
  EXPECT_EQ(find(kOnScreen, upper.id).bounds, (Rect{40, 50, 640, 480}));
  EXPECT_EQ(find(kOnScreen, popup).bounds, (Rect{140, 100, 54, 64})); // border included
  EXPECT_EQ(find(kOnScreen, popup).layer, 101);
  EXPECT_LT(indexOf(kOnScreen, popup), indexOf(kOnScreen, upper.id));
  EXPECT_LT(indexOf(kOnScreen, upper.id), indexOf(kOnScreen, lower.id));

  server.run("xdotool windowunmap --sync " + upper.name());
  EXPECT_EQ(indexOf(kOnScreen, upper.id), -1);
  EXPECT_GE(indexOf(kAll, upper.id), 0);
}

} // namespace
} // namespace tovel::test
