// First: it includes GoogleTest before Xlib, whose macros (None, Bool) clash with its names.
#include "system/x11/x11_test.h"

#include <X11/Xatom.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/x11/x11_screens.h"

namespace tovel::test {
namespace {

constexpr auto kOnScreen = WindowListOption::onScreenOnlyExcludingDesktop;
constexpr auto kAll = WindowListOption::all;

void setWindows(Display* display, Window on, const char* property,
                std::vector<unsigned long> items) {
  XChangeProperty(display, on, XInternAtom(display, property, False), XA_WINDOW, 32,
                  PropModeReplace, reinterpret_cast<unsigned char*>(items.data()),
                  int(items.size()));
}

// The backend's window list on a server with or without a window manager.
template <bool kWindowManager> class X11WindowsTest : public X11Test<kWindowManager> {
protected:
  std::vector<WindowInfo> list(WindowListOption option) {
    return windows.windowList(option).value_or(std::vector<WindowInfo>{});
  }
  int indexOf(WindowListOption option, WindowId id) { // -1 when not listed
    std::vector<WindowInfo> all = list(option);
    auto found = std::ranges::find(all, id, &WindowInfo::number);
    return found == all.end() ? -1 : int(found - all.begin());
  }
  WindowInfo find(WindowListOption option, WindowId id) {
    std::vector<WindowInfo> all = list(option);
    auto found = std::ranges::find(all, id, &WindowInfo::number);
    return found == all.end() ? WindowInfo{} : *found;
  }
  // A window of the test's own posing as a window manager's check window.
  Window pretendManager() {
    Display* display = this->display;
    Window manager = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    setWindows(display, manager, "_NET_SUPPORTING_WM_CHECK", {manager});
    setWindows(display, DefaultRootWindow(display), "_NET_SUPPORTING_WM_CHECK", {manager});
    XSync(display, False);
    return manager;
  }

  X11Windows windows{this->connections};
};
using X11UnmanagedWindows = X11WindowsTest<false>;
using X11ManagedWindows = X11WindowsTest<true>;

TEST_F(X11ManagedWindows, WindowsComeFrontMostFirstWithTheirFrames) {
  Witness a(server, {"--title", "Alpha window", "--geometry", "100,100,500,400"});
  Witness b(server, {"--title", "B", "--geometry", "300,250,500,400"});
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

TEST_F(X11ManagedWindows, OnScreenListLeavesOutMinimisedAndDesktopWindows) {
  Witness kept(server, {"--title", "Kept", "--geometry", "100,100,300,200"});
  Witness minimised(server, {"--title", "Minimised", "--geometry", "500,100,300,200"});
  Witness desktop(server, {"--title", "Desktop", "--geometry", "0,0,1920,1080"});
  Witness dock(server, {"--title", "Dock", "--geometry", "0,1040,1920,40"});
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

TEST_F(X11UnmanagedWindows, WithoutWindowManagerTheRootChildrenAreTheWindows) {
  server.run(kTwoMonitors);
  Witness lower(server, {"--title", "Lower", "--geometry", "100,200,400,300"});
  Witness upper(server, {"--title", "Upper", "--geometry", "1000,50,640,480"});
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

// A long list (far more windows than fit in one buffer of requests or replies, all asked about
// before the first answer is read), with a window manager's stacking list and without one, comes
// whole and in order; listed ids that answer some questions and not others (a pixmap has a
// geometry but no attributes or properties) or none (a destroyed window) are left out, and their
// errors stay with the list.
TEST_F(X11UnmanagedWindows, LongListsComeWholeInOrderWithoutWhatIsNotAWindow) {
  constexpr int kWindows = 1500;
  Window root = DefaultRootWindow(display), manager = pretendManager();
  std::vector<unsigned long> stacking; // bottom to top
  std::vector<Window> created;
  for (int i = 0; i < kWindows; ++i) {
    Window window = XCreateSimpleWindow(display, root, i % 1000, i % 700, 10 + i % 50, 20, 0, 0, 0);
    XStoreName(display, window, ("Window " + std::to_string(i)).c_str());
    if (i % 2)
      XMapWindow(display, window);
    created.push_back(window);
    stacking.push_back(window);
    if (i % 300 == 0) { // ids that are no windows among them, and one never used
      stacking.push_back(XCreatePixmap(display, root, 4, 4, DefaultDepth(display, 0)));
      Window gone = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
      XDestroyWindow(display, gone);
      stacking.insert(stacking.end(), {gone, 0x1fffff0});
    }
  }
  setWindows(display, root, "_NET_CLIENT_LIST_STACKING", stacking);
  XSync(display, False);
  auto expectAllListed = [&](const char* how) {
    testing::internal::CaptureStderr();
    std::optional<std::vector<WindowInfo>> list = windows.windowList(kAll);
    // Errors that escaped the list would reach the process's handler on the next round trip.
    XSync(connections.forThisThread(), False);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << how;
    ASSERT_TRUE(list) << how;
    ASSERT_EQ(list->size(), created.size()) << how;
    for (int i = 0; i < kWindows; ++i) {
      const WindowInfo& info = (*list)[kWindows - 1 - i]; // front-most first
      ASSERT_EQ(info.number, WindowId(created[i])) << how << " " << i;
      EXPECT_EQ(info.title, "Window " + std::to_string(i)) << how;
      EXPECT_EQ(info.bounds, (Rect{double(i % 1000), double(i % 700), 10.0 + i % 50, 20})) << how;
      EXPECT_EQ(info.layer, 0) << how;
    }
  };
  expectAllListed("managed");

  // Once the manager is gone, its check window no longer counts, nor does its (emptied) list:
  // the root's children are the windows, the same ones.
  setWindows(display, root, "_NET_CLIENT_LIST_STACKING", {});
  XDestroyWindow(display, manager);
  XSync(display, False);
  expectAllListed("unmanaged");
  EXPECT_EQ(list(kOnScreen).size(), std::size_t(kWindows / 2));
}

// Two threads read the list while listed windows are made and destroyed as fast as possible:
// what vanishes is skipped, and no error escapes.
TEST_F(X11UnmanagedWindows, WindowsThatVanishWhileTheListIsReadAreSkipped) {
  Window root = DefaultRootWindow(display), manager = pretendManager();
  testing::internal::CaptureStderr();
  std::atomic<bool> done = false;
  std::atomic<int> spoilt = 0; // lists that lost the window that stays
  auto reader = [&] {
    while (!done)
      spoilt += indexOf(kAll, manager) < 0;
  };
  std::thread first(reader), second(reader);
  for (int i = 0; i < 300; ++i) {
    Window transient = XCreateSimpleWindow(display, root, i, i, 20, 20, 0, 0, 0);
    XMapWindow(display, transient);
    setWindows(display, root, "_NET_CLIENT_LIST_STACKING", {manager, transient});
    XDestroyWindow(display, transient);
    XFlush(display);
  }
  XSync(display, False);
  done = true;
  first.join();
  second.join(); // their connections, closed with the threads, had any stray error delivered
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(spoilt, 0);
}

} // namespace
} // namespace tovel::test
