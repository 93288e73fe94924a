// GoogleTest first: Xlib defines macros (None, Bool) that clash with its names.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/x11_screens.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

// Far more windows than fit in one buffer of requests or replies, all asked about before the
// first answer is read.
constexpr int kWindows = 1500;

void setWindows(Display* display, Window on, const char* property,
                std::vector<unsigned long> items) {
  XChangeProperty(display, on, XInternAtom(display, property, False), XA_WINDOW, 32,
                  PropModeReplace, reinterpret_cast<unsigned char*>(items.data()),
                  int(items.size()));
}

// A server with a window of the test's own posing as a window manager, and the backend's list.
class X11WindowList : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(server.running());
    ASSERT_NE(display, nullptr);
    manager = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
    setWindows(display, manager, "_NET_SUPPORTING_WM_CHECK", {manager});
    setWindows(display, root, "_NET_SUPPORTING_WM_CHECK", {manager});
    XSync(display, False);
  }
  ~X11WindowList() override {
    if (display)
      XCloseDisplay(display);
  }

  XvfbServer server;
  Display* display = XOpenDisplay(server.display().c_str());
  Window root = display ? DefaultRootWindow(display) : 0, manager = 0;
  ThreadConnections connections{server.display()};
  X11Windows windows{connections};
};

// A long list, with a window manager's stacking list and without one, comes whole and in order;
// listed ids that answer some questions and not others (a pixmap has a geometry but no attributes
// or properties) or none (a destroyed window) are left out, and their errors stay with the list.
TEST_F(X11WindowList, LongListsComeWholeInOrderWithoutWhatIsNotAWindow) {
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
    std::optional<std::vector<WindowInfo>> list = windows.windowList(WindowListOption::all);
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

  std::vector<WindowInfo> onScreen =
      windows.windowList(WindowListOption::onScreenOnlyExcludingDesktop)
          .value_or(std::vector<WindowInfo>{});
  EXPECT_EQ(onScreen.size(), std::size_t(kWindows / 2));
}

// Two threads read the list while listed windows are made and destroyed as fast as possible:
// what vanishes is skipped, and no error escapes.
TEST_F(X11WindowList, WindowsThatVanishWhileTheListIsReadAreSkipped) {
  testing::internal::CaptureStderr();
  std::atomic<bool> done = false;
  std::atomic<int> spoilt = 0; // lists that lost the window that stays
  auto reader = [&] {
    while (!done) {
      auto list = windows.windowList(WindowListOption::all).value_or(std::vector<WindowInfo>{});
      spoilt += std::ranges::none_of(list, [&](auto& w) { return w.number == WindowId(manager); });
    }
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
