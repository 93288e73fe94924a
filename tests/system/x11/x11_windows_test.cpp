// GoogleTest first: Xlib defines macros (None, Bool) that clash with its names.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/x11_screens.h"
#include "support/process.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kOnScreen = WindowListOption::onScreenOnlyExcludingDesktop;

template <class Condition> bool eventually(Condition condition) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!condition() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  return condition();
}

// A witness client showing one window; id is its X window once it is shown.
struct Witness {
  Witness(const XvfbServer& server, const std::string& title, const std::string& geometry)
      : process(TOVEL_X_WITNESS, {"--title", title, "--geometry", geometry},
                ChildProcess::Input::emptyFile, server.environment()) {
    if (process.waitForOutput("ready 0x", 10s)) {
      std::string output = process.output();
      hex = output.substr(output.find("ready ") + 6);
      hex.resize(hex.find_first_of(" \n"));
      id = WindowId(std::strtoul(hex.c_str(), nullptr, 16));
    }
  }

  ChildProcess process;
  std::string hex;
  WindowId id = 0;
};

std::vector<WindowInfo> list(X11Windows& windows, WindowListOption option) {
  return windows.windowList(option).value_or(std::vector<WindowInfo>{});
}

// Position in the list, or -1.
int indexOf(const std::vector<WindowInfo>& list, WindowId id) {
  for (std::size_t i = 0; i < list.size(); ++i)
    if (list[i].number == id)
      return int(i);
  return -1;
}

WindowInfo find(const std::vector<WindowInfo>& list, WindowId id) {
  int i = indexOf(list, id);
  return i < 0 ? WindowInfo{} : list[std::size_t(i)];
}

// The front-most titled ordinary window holding the point, as the pointer lookup picks it.
std::optional<WindowId> windowAt(const std::vector<WindowInfo>& list, Point global) {
  for (const WindowInfo& info : list)
    if (info.number && info.bounds && info.layer == 0 && info.ownerName &&
        info.bounds->contains(global) && info.title && !info.title->empty())
      return *info.number;
  return std::nullopt;
}

TEST(X11Windows, ManagedWindowsComeFrontMostFirstWithTheirFrames) {
  XvfbServer server({1920, 1080, true});
  ASSERT_TRUE(server.running());
  ThreadConnections connections(server.display());
  X11Windows windows(connections);
  X11Screens screens(connections);
  Witness a(server, "Alpha window", "100,100,500,400");
  Witness b(server, "B", "300,250,500,400");
  ASSERT_TRUE(a.id && b.id);

  WindowInfo info;
  ASSERT_TRUE(eventually([&] {
    info = find(list(windows, kOnScreen), a.id);
    return info.bounds && info.bounds->width > 500; // decorated
  }));
  EXPECT_EQ(info.title, "Alpha window");
  EXPECT_EQ(info.ownerName, "Witness");
  EXPECT_EQ(info.layer, 0);
  // The bounds add to the client area, as xwininfo sees it, exactly the frame extents the
  // window manager announces (openbox draws a title bar).
  std::string numbers =
      server.run("xwininfo -id " + a.hex + " | awk '/Absolute upper-left/{printf \"%s \", $4} " +
                 "/Width|Height/{printf \"%s \", $2}'; xprop -id " + a.hex +
                 " _NET_FRAME_EXTENTS | tr -d , | cut -d= -f2");
  double x, y, width, height, l, r, t, bottom;
  ASSERT_EQ(std::sscanf(numbers.c_str(), "%lf %lf %lf %lf %lf %lf %lf %lf", &x, &y, &width, &height,
                        &l, &r, &t, &bottom),
            8);
  EXPECT_EQ(width, 500);
  EXPECT_GT(t, 0);
  EXPECT_EQ(info.bounds, (Rect{x - l, y - t, width + l + r, height + t + bottom}));

  server.run("xdotool mousemove 450 400"); // inside both
  auto pointer = [&] {
    Point p = screens.mouseLocation();
    return Point{p.x, screens.screens().front().frame.height - p.y};
  };
  for (const Witness* front : {&a, &b, &a}) {
    const Witness* back = front == &a ? &b : &a;
    server.run("xdotool windowactivate --sync " + front->hex);
    EXPECT_TRUE(eventually([&] {
      std::vector<WindowInfo> l = list(windows, kOnScreen);
      return indexOf(l, front->id) >= 0 && indexOf(l, front->id) < indexOf(l, back->id);
    })) << front->hex;
    EXPECT_EQ(windowAt(list(windows, kOnScreen), pointer()), front->id);
  }
  // Outside the front window but inside the back one.
  server.run("xdotool mousemove 750 620");
  EXPECT_EQ(windowAt(list(windows, kOnScreen), pointer()), b.id);
}

TEST(X11Windows, OnScreenListLeavesOutMinimisedAndDesktopWindows) {
  XvfbServer server({1920, 1080, true});
  ASSERT_TRUE(server.running());
  ThreadConnections connections(server.display());
  X11Windows windows(connections);
  Witness kept(server, "Kept", "100,100,300,200");
  Witness minimised(server, "Minimised", "500,100,300,200");
  Witness desktop(server, "Desktop", "0,0,1920,1080");
  Witness dock(server, "Dock", "0,1040,1920,40");
  ASSERT_TRUE(kept.id && minimised.id && desktop.id && dock.id);
  server.run("xdotool windowminimize --sync " + minimised.hex);
  for (auto [witness, type] : {std::pair{&desktop, "DESKTOP"}, std::pair{&dock, "DOCK"}})
    server.run("xprop -id " + witness->hex + " -f _NET_WM_WINDOW_TYPE 32a -set " +
               "_NET_WM_WINDOW_TYPE _NET_WM_WINDOW_TYPE_" + type);

  std::vector<WindowInfo> onScreen;
  ASSERT_TRUE(eventually([&] {
    onScreen = list(windows, kOnScreen);
    return indexOf(onScreen, kept.id) >= 0 && indexOf(onScreen, minimised.id) < 0 &&
           indexOf(onScreen, desktop.id) < 0;
  }));
  EXPECT_EQ(find(onScreen, dock.id).layer, 20);
  std::vector<WindowInfo> all = list(windows, WindowListOption::all);
  EXPECT_EQ(find(all, minimised.id).layer, 0);
  EXPECT_LT(find(all, desktop.id).layer.value_or(0), -1000000);
}

TEST(X11Windows, WithoutWindowManagerTheRootChildrenAreListed) {
  XvfbServer server({3840, 1080, false});
  ASSERT_TRUE(server.running());
  // The primary monitor is the right half, so root x 100 is global x -1820.
  server.run("xrandr --setmonitor left 1920/508x1080/286+0+0 none; "
             "xrandr --setmonitor '*right' 1920/508x1080/286+1920+0 screen");
  ThreadConnections connections(server.display());
  X11Windows windows(connections);
  Witness lower(server, "Lower", "100,200,400,300");
  Witness upper(server, "Upper", "2000,50,640,480");
  ASSERT_TRUE(lower.id && upper.id);
  Display* display = XOpenDisplay(server.display().c_str()); // a pop-up menu of its own
  ASSERT_NE(display, nullptr);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  Window popup =
      XCreateWindow(display, DefaultRootWindow(display), 2100, 100, 50, 60, 2, CopyFromParent,
                    InputOutput, CopyFromParent, CWOverrideRedirect, &attributes);
  XMapWindow(display, popup);
  XSync(display, False);

  std::vector<WindowInfo> onScreen = list(windows, kOnScreen);
  EXPECT_EQ(find(onScreen, lower.id).bounds, (Rect{-1820, 200, 400, 300}));
  EXPECT_EQ(find(onScreen, upper.id).bounds, (Rect{80, 50, 640, 480}));
  EXPECT_EQ(find(onScreen, popup).bounds, (Rect{180, 100, 54, 64})); // border included
  EXPECT_EQ(find(onScreen, popup).layer, 101);
  EXPECT_LT(indexOf(onScreen, popup), indexOf(onScreen, upper.id));
  EXPECT_LT(indexOf(onScreen, upper.id), indexOf(onScreen, lower.id));

  server.run("xdotool windowunmap --sync " + upper.hex);
  EXPECT_EQ(indexOf(list(windows, kOnScreen), upper.id), -1);
  EXPECT_GE(indexOf(list(windows, WindowListOption::all), upper.id), 0);
  XCloseDisplay(display);
}

// Windows that are gone, or vanish while the list is read, must not end the process.
TEST(X11Windows, VanishedWindowsAreSkipped) {
  XvfbServer server;
  ASSERT_TRUE(server.running());
  ThreadConnections connections(server.display());
  X11Windows windows(connections);
  Witness witness(server, "Survivor", "10,10,100,100");
  ASSERT_NE(witness.id, 0u);

  // Pose as a window manager listing the witness, a destroyed window and an id never used.
  Display* display = XOpenDisplay(server.display().c_str());
  ASSERT_NE(display, nullptr);
  Window root = DefaultRootWindow(display);
  Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  Atom stacking = XInternAtom(display, "_NET_CLIENT_LIST_STACKING", False);
  Window manager = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
  Window gone = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
  XDestroyWindow(display, gone);
  auto setWindows = [&](Window on, Atom property, std::vector<unsigned long> items) {
    XChangeProperty(display, on, property, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(items.data()), int(items.size()));
  };
  setWindows(manager, check, {manager});
  setWindows(root, check, {manager});
  setWindows(root, stacking, {witness.id, gone, 0x1fffff0});
  XSync(display, False);
  std::vector<WindowInfo> managed = list(windows, WindowListOption::all);
  ASSERT_EQ(managed.size(), 1u);
  EXPECT_EQ(managed[0].title, "Survivor");

  // Two reading threads while listed windows are made and destroyed as fast as possible.
  std::atomic<bool> done = false;
  auto reader = [&] {
    while (!done)
      windows.windowList(WindowListOption::all);
  };
  std::thread first(reader), second(reader);
  for (int i = 0; i < 300; ++i) {
    Window transient = XCreateSimpleWindow(display, root, i, i, 20, 20, 0, 0, 0);
    XMapWindow(display, transient);
    setWindows(root, stacking, {witness.id, transient});
    XDestroyWindow(display, transient);
    XFlush(display);
  }
  XSync(display, False);
  done = true;
  first.join();
  second.join();

  // The check window of a manager that quit no longer counts, nor does its (emptied) client
  // list: the root's children are listed.
  setWindows(root, stacking, {});
  XDestroyWindow(display, manager);
  XSync(display, False);
  EXPECT_GE(indexOf(list(windows, kOnScreen), witness.id), 0);
  XCloseDisplay(display);
}

} // namespace
} // namespace tovel::test
