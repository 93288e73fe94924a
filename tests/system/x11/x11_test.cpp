// The X11 backend against a private Xvfb server of each test's own.
// GoogleTest first: Xlib defines macros (None, Bool) that clash with its names.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XRes.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <latch>
#include <mutex>
#include <thread>

#include "common/log.h"
#include "common/utf8_text.h"
#include "input/injection_state.h"
#include "input/key_names.h"
#include "input/pointer.h"
#include "platform/sim/manual_clock.h"
#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_desktop.h"
#include "platform/x11/x11_error_trap.h"
#include "platform/x11/x11_keymap.h"
#include "platform/x11/x11_monitors.h"
#include "platform/x11/x11_screens.h"
#include "platform/x11/x11_shm_grabber.h"
#include "support/process.h"
#include "support/threads.h"
#include "support/wait.h"
#include "support/witness_text.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

// The backend uses a connection per thread: Xlib must know before the first call, as at start.
const bool xThreadsReady = [] {
  XInitThreads();
  installX11ErrorHandlers();
  return true;
}();

// Splits the root into two monitors side by side, the right one primary: root x 960 is global 0.
constexpr const char* kTwoMonitors = "xrandr --setmonitor left 960/254x1080/286+0+0 none; "
                                     "xrandr --setmonitor '*right' 960/254x1080/286+960+0 screen";
constexpr std::uint32_t kRed = 0xff0000, kGreen = 0x00ff00, kBlue = 0x0000ff; // RGB
constexpr auto kOnScreen = WindowListOption::onScreenOnlyExcludingDesktop;
constexpr auto kAll = WindowListOption::all;

std::string hex(std::uint32_t colour) {
  char rgb[8];
  std::snprintf(rgb, sizeof rgb, "%06x", colour);
  return rgb;
}

// A witness client (tovel_x_witness with these arguments) showing its window; id is that window.
struct Witness {
  Witness(const XvfbServer& server, const std::vector<std::string>& arguments)
      : process(TOVEL_X_WITNESS, arguments, ChildProcess::Input::emptyFile, server.environment()) {
    EXPECT_TRUE(process.waitForOutput("ready 0x", 10s)) << arguments.front();
    std::string output = process.output();
    std::sscanf(output.c_str() + std::min(output.find("ready "), output.size()), "ready %lx", &id);
  }
  std::string name() const { return std::to_string(id); } // for xdotool, xprop and xwininfo

  ChildProcess process;
  unsigned long id = 0;
};

// Every pixel of the box [x0, y0, x1, y1) (empty: the whole picture) has the colour (padding byte
// aside), but for those less than 64 pixels from `spared` both ways, where a cursor may be drawn.
::testing::AssertionResult filled(const ImageView& image, std::uint32_t colour,
                                  std::array<int, 4> box = {}, std::optional<Point> spared = {}) {
  if (box == std::array<int, 4>{})
    box = {0, 0, image.width, image.height};
  for (int y = box[1]; y < box[3]; ++y)
    for (int x = box[0]; x < box[2]; ++x) {
      const std::uint8_t* p = image.pixel(x, y);
      std::uint32_t rgb = p[2] << 16 | p[1] << 8 | p[0];
      if (rgb != colour &&
          !(spared && std::abs(x - spared->x) < 64 && std::abs(y - spared->y) < 64))
        return ::testing::AssertionFailure()
               << "pixel " << x << "," << y << " is " << std::hex << rgb;
    }
  return ::testing::AssertionSuccess();
}

// Shared-memory segments this process created that still exist (the fifth column is the creator).
int ownSegments() {
  return std::stoi(
      commandOutput("awk '$5 == " + std::to_string(::getpid()) + "' /proc/sysvipc/shm | wc -l"));
}

DisplayId onlyDisplay(X11Capture& capture) {
  auto displays = capture.capturableDisplays();
  return displays && displays->size() == 1 ? displays->front().id : 0;
}

// Keeps a copy of every delivered frame.
struct FrameLog {
  struct Frame {
    double timestamp;
    BgraImage picture;
    std::optional<Point> pointer;
  };

  FrameHandler handler() {
    return [this](const CapturedFrame& frame) {
      Frame copy{frame.timestamp, BgraImage(frame.image.width, frame.image.height), frame.pointer};
      for (int y = 0; y < frame.image.height; ++y)
        std::memcpy(copy.picture.row(y), frame.image.pixel(0, y), copy.picture.stride());
      std::lock_guard lock(mutex);
      frames.push_back(std::move(copy));
    };
  }
  // The first frame from number `from` on that passes the test, once it has come. (With no capture
  // running, `frames` may be read directly.)
  std::optional<Frame> waitFor(std::size_t from,
                               const std::function<bool(const Frame&)>& test = nullptr) {
    std::optional<Frame> found;
    waitUntil([&] {
      std::lock_guard lock(mutex);
      for (; from < frames.size() && !found; ++from)
        if (!test || test(frames[from]))
          found = frames[from];
      return found.has_value();
    });
    return found;
  }

  std::mutex mutex;
  std::vector<Frame> frames;
};

// A 1920x1080 server, with or without a window manager, the test's own connection and the backend.
template <bool kWindowManager = false> class X11Test : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_NE(display, nullptr); }

  Witness square(const std::string& geometry, std::uint32_t colour) {
    return Witness(server, {"--geometry", geometry, "--colour", hex(colour)});
  }
  // The window's place in the front-to-back list (-1 when not listed) and what the list says of it.
  std::pair<int, WindowInfo> entry(WindowListOption option, WindowId id) {
    std::vector<WindowInfo> all = windows.windowList(option).value_or(std::vector<WindowInfo>{});
    auto found = std::ranges::find(all, id, &WindowInfo::number);
    return found == all.end() ? std::pair(-1, WindowInfo{})
                              : std::pair(int(found - all.begin()), *found);
  }
  int indexOf(WindowListOption option, WindowId id) { return entry(option, id).first; }
  WindowInfo find(WindowListOption option, WindowId id) { return entry(option, id).second; }
  void setWindows(Window on, const char* property, std::vector<unsigned long> items) {
    XChangeProperty(display, on, XInternAtom(display, property, False), XA_WINDOW, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(items.data()),
                    int(items.size()));
  }
  // A window of the test's own posing as a window manager's check window.
  Window pretendManager() {
    Window manager = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    setWindows(manager, "_NET_SUPPORTING_WM_CHECK", {manager});
    setWindows(DefaultRootWindow(display), "_NET_SUPPORTING_WM_CHECK", {manager});
    XSync(display, False);
    return manager;
  }
  // Starts a continuous capture of the display, delivering to the log.
  bool start(DisplayId id, ContinuousCaptureSettings settings = {}) {
    running = capture.startContinuousCapture(id, settings, log.handler(), error);
    return running != nullptr;
  }

  XvfbServer server{{.windowManager = kWindowManager}};
  Display* display = server.probe();
  ThreadConnections connections{server.display()};
  X11Screens screens{connections};
  X11Windows windows{connections};
  X11Capture capture{connections};
  FrameLog log;
  PlatformError error;
  std::unique_ptr<ContinuousCapture> running;
};
using X11Unmanaged = X11Test<false>;
using X11Managed = X11Test<true>;

// --- Connections --------------------------------------------------------------------------------

TEST_F(X11Unmanaged, AThreadsConnectionGoesWithTheThreadOrWithTheObjectWhicheverGoesFirst) {
  // The server's clients, as X-Resource counts them (a closed connection a moment late).
  auto clientsNow = [&] {
    int count = -1;
    XResClient* clients = nullptr;
    if (XResQueryClients(display, &count, &clients))
      XFree(clients);
    return count;
  };
  auto clientsReach = [&](int count) { return waitUntil([&] { return clientsNow() == count; }); };
  // Held throughout: the first connection of the process brings one that it keeps for good.
  auto held = XConnection::open(server.display());
  const int before = clientsNow();
  ASSERT_GT(before, 0);
  auto connections = std::make_unique<ThreadConnections>(server.display());

  // Threads that come and go, several at a time: each has one connection while it runs.
  for (int round = 0; round < 3; ++round) {
    std::latch opened(6), go(1);
    std::atomic<int> kept = 0; // threads given the same connection twice
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
      threads.emplace_back([&] {
        Display* first = connections->forThisThread();
        kept += first && connections->forThisThread() == first;
        opened.count_down();
        go.wait();
      });
    opened.wait();
    EXPECT_EQ(kept, 6);
    EXPECT_EQ(connections->openCount(), 6u);
    EXPECT_TRUE(clientsReach(before + 6));
    go.count_down();
    for (std::thread& thread : threads)
      thread.join();
    EXPECT_EQ(connections->openCount(), 0u) << "round " << round;
    EXPECT_TRUE(clientsReach(before)) << "round " << round;
  }

  // A thread with connections of two objects: both close when it ends. The first object goes
  // while that thread and this one (which outlives the test) run, and takes their connections.
  auto other = std::make_unique<ThreadConnections>(server.display());
  std::latch opened(1), objectGone(1);
  std::thread lingering([&] {
    connections->forThisThread();
    other->forThisThread();
    opened.count_down();
    objectGone.wait();
  });
  opened.wait();
  ASSERT_NE(connections->forThisThread(), nullptr);
  EXPECT_TRUE(clientsReach(before + 3));
  connections.reset();
  EXPECT_TRUE(clientsReach(before + 1));
  objectGone.count_down();
  lingering.join();
  EXPECT_EQ(other->openCount(), 0u);
  EXPECT_TRUE(clientsReach(before));
}

// Threads whose connections open and close all the time, each making its first extension call
// (RandR's) while others close theirs, as capture threads and workers do: what the X libraries
// keep for the whole process must stay whole. A heap it damages ends the process here or later.
TEST_F(X11Unmanaged, ConnectionsOpenAndCloseOnManyThreadsAtOnce) {
  std::atomic<int> wrong = 0; // connections that did not see the one monitor
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 60; ++i) {
        auto connection = XConnection::open(server.display());
        wrong += !connection || queryMonitors(connection->get()).monitors.size() != 1;
      }
    });
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(wrong, 0);
}

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
  for (auto [root, global] :
       {std::pair{"100 200", Point{-860, 880}}, {"1000 1079", Point{40, 1}}}) {
    server.run(std::string("xdotool mousemove ") + root);
    EXPECT_EQ(screens.mouseLocation(), global) << root;
  }

  // The main screen holds the active window.
  EXPECT_EQ(screens.mainScreen()->number, right);
  Witness witness(server, {"--geometry", "100,100,300,200"});
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
  // afterwards must not hang (the test's time-out).
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
  // The bounds are xwininfo's client area plus the frame extents openbox announces (a title bar).
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

  for (auto [front, back] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
    server.run("xdotool windowactivate --sync " + front->name());
    EXPECT_TRUE(waitUntil([&] {
      int f = indexOf(kOnScreen, front->id), k = indexOf(kOnScreen, back->id);
      return f >= 0 && f < k;
    })) << front->name();
  }
}

TEST_F(X11Managed, OnScreenListLeavesOutMinimisedAndDesktopWindows) {
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

TEST_F(X11Unmanaged, WithoutWindowManagerTheRootChildrenAreTheWindows) {
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

// A list longer than a buffer of requests or replies, all asked before the first answer is read,
// comes whole and in order, with a manager's stacking list and without; ids that are no window (a
// pixmap, a destroyed window) are left out, their errors kept to the list.
TEST_F(X11Unmanaged, LongListsComeWholeInOrderWithoutWhatIsNotAWindow) {
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
  setWindows(root, "_NET_CLIENT_LIST_STACKING", stacking);
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

  // With the manager gone, neither its check window nor its (emptied) list counts: the root's
  // children are the same windows.
  setWindows(root, "_NET_CLIENT_LIST_STACKING", {});
  XDestroyWindow(display, manager);
  XSync(display, False);
  expectAllListed("unmanaged");
  EXPECT_EQ(windows.windowList(kOnScreen)->size(), std::size_t(kWindows / 2));
}

// Two threads read the list while listed windows come and go as fast as possible: what vanishes
// is skipped, and no error escapes.
TEST_F(X11Unmanaged, WindowsThatVanishWhileTheListIsReadAreSkipped) {
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
    setWindows(root, "_NET_CLIENT_LIST_STACKING", {manager, transient});
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

// --- Capture ------------------------------------------------------------------------------------

TEST_F(X11Unmanaged, GrabsClippedRectanglesIntoOneKeptSegmentAndTellsWhatChanged) {
  server.run("xsetroot -solid '#ff0000'");
  auto displays = capture.capturableDisplays();
  ASSERT_TRUE(displays && displays->size() == 1);
  EXPECT_EQ(std::pair(displays->front().width, displays->front().height), std::pair(1920, 1080));
  DisplayId display = displays->front().id;
  int segments = ownSegments();
  auto capturer = capture.createScreenCapturer();
  ASSERT_NE(capturer, nullptr);

  const Rect corner{0, 0, 100, 100};
  EXPECT_FALSE(capturer->unchangedSinceLastCapture(display, corner)) << "nothing captured yet";
  ASSERT_TRUE(capturer->capture(display, corner));
  EXPECT_EQ(ownSegments(), segments + 1);
  EXPECT_TRUE(capturer->unchangedSinceLastCapture(display, corner));
  EXPECT_FALSE(capturer->unchangedSinceLastCapture(display, Rect{0, 0, 100, 101}));
  EXPECT_FALSE(capturer->unchangedSinceLastCapture(display, std::nullopt));
  // Drawing anywhere counts, and the next capture starts afresh.
  Witness green = square("100,200,300,150", kGreen);
  EXPECT_FALSE(capturer->unchangedSinceLastCapture(display, corner));
  ASSERT_TRUE(capturer->capture(display, corner));
  EXPECT_TRUE(capturer->unchangedSinceLastCapture(display, corner));

  auto whole = capturer->capture(display, std::nullopt);
  ASSERT_TRUE(whole && whole->width == 1920 && whole->height == 1080);
  EXPECT_TRUE(filled(*whole, kRed, {0, 0, 1920, 200}));
  EXPECT_TRUE(filled(*whole, kGreen, {100, 200, 400, 350}));
  EXPECT_EQ(ownSegments(), segments + 1) << "the outgrown segment is still there";
  const std::uint8_t* pixels = whole->data;

  // Fractional edges grow outwards to whole pixels (99..401 x 199..351); a rectangle partly
  // outside keeps what is inside, in its place.
  const struct {
    Rect asked;
    int width, height;
    std::array<int, 4> green, red;
  } grabs[] = {{{99.5, 199.5, 301, 151}, 302, 152, {1, 1, 301, 151}, {301, 0, 302, 152}},
               {{-50, 150, 200, 100}, 150, 100, {100, 50, 150, 100}, {0, 0, 100, 100}}};
  for (const auto& grab : grabs) {
    auto picture = capturer->capture(display, grab.asked);
    ASSERT_TRUE(picture && picture->width == grab.width && picture->height == grab.height);
    EXPECT_EQ(picture->data, pixels);
    EXPECT_TRUE(filled(*picture, kGreen, grab.green)) << grab.width;
    EXPECT_TRUE(filled(*picture, kRed, grab.red)) << grab.width;
  }
  for (Rect nothing :
       {Rect{1920, 0, 10, 10}, Rect{-20, -20, 20, 20}, Rect{10, 10, 0, 10}, Rect{NAN, 10, 5, 10}})
    EXPECT_FALSE(capturer->capture(display, nothing));
  EXPECT_FALSE(capturer->capture(display + 1000, std::nullopt));
  EXPECT_FALSE(capturer->unchangedSinceLastCapture(display, Rect{2000, 0, 10, 10}));
  EXPECT_EQ(ownSegments(), segments + 1);

  // So does a new monitor layout, which draws nothing; the new monitor is captured at once.
  ASSERT_TRUE(capturer->capture(display, corner));
  server.run("xrandr --setmonitor half 960/254x1080/286+0+0 screen");
  EXPECT_FALSE(capturer->unchangedSinceLastCapture(display, corner));
  ASSERT_EQ(onlyDisplay(capture), display) << "the monitor keeps its output's number";
  auto picture = capturer->capture(display, std::nullopt);
  ASSERT_TRUE(picture && picture->width == 960);
  EXPECT_TRUE(capturer->unchangedSinceLastCapture(display, std::nullopt));
  capturer.reset();
  EXPECT_EQ(ownSegments(), segments);
}

TEST(X11Capture, CopesWithOtherDepthsAndMissingExtensions) {
  XvfbServer shallow({.width = 640, .height = 480, .depth = 16});
  XvfbServer bare({.width = 640,
                   .height = 480,
                   .arguments = {"-extension", "MIT-SHM", "-extension", "DAMAGE"}});
  for (XvfbServer* server : {&shallow, &bare}) {
    auto connection = XConnection::open(server->display());
    ASSERT_NE(connection, nullptr) << server->display();
    auto grabber = X11ShmGrabber::create(connection->get());
    ASSERT_NE(grabber, nullptr);
    EXPECT_EQ(grabber->converts(), server == &shallow);
    EXPECT_EQ(grabber->usesSharedMemory(), server == &shallow);
    for (std::uint32_t colour : {kRed, kGreen}) {
      server->run("xsetroot -solid '#" + hex(colour) + "'");
      auto picture = grabber->grab(RootArea{10, 20, 300, 200});
      ASSERT_TRUE(picture && picture->width == 300 && picture->height == 200);
      EXPECT_TRUE(filled(*picture, colour)) << server->display();
    }
  }

  // Continuous capture refuses a server without DAMAGE and an unknown display.
  FrameLog log;
  for (auto [server, offset, why] :
       {std::tuple{&bare, 0, "DAMAGE"}, std::tuple{&shallow, 1000, "no display"}}) {
    ThreadConnections connections(server->display());
    X11Capture capture(connections);
    PlatformError error;
    EXPECT_EQ(capture.startContinuousCapture(onlyDisplay(capture) + DisplayId(offset), {0.1},
                                             log.handler(), error),
              nullptr);
    EXPECT_NE(error.description.find(why), std::string::npos) << error.description;
  }
  EXPECT_TRUE(log.frames.empty());
}

TEST_F(X11Unmanaged, CapturesEachMonitorOnItsOwn) {
  server.run(std::string("xsetroot -solid '#ff0000'; ") + kTwoMonitors);
  Witness green = square("1000,100,200,100", kGreen);
  auto displays = capture.capturableDisplays();
  ASSERT_TRUE(displays && displays->size() == 2);
  DisplayId right = (*displays)[0].id, left = (*displays)[1].id; // the primary first
  EXPECT_EQ((*displays)[0].width, 960);
  auto capturer = capture.createScreenCapturer();
  ASSERT_NE(capturer, nullptr);

  auto inRight = capturer->capture(right, std::nullopt);
  ASSERT_TRUE(inRight && inRight->width == 960);
  EXPECT_TRUE(filled(*inRight, kGreen, {40, 100, 240, 200}));
  EXPECT_TRUE(filled(*inRight, kRed, {0, 0, 40, 1080}));
  // Clipped to the monitor, not to the root: nothing of the right one leaks in.
  auto leftEdge = capturer->capture(left, Rect{950, 100, 100, 100});
  ASSERT_TRUE(leftEdge && leftEdge->width == 10);
  EXPECT_TRUE(filled(*leftEdge, kRed));

  // Frames carry the pointer in screen coordinates: root (1000, 100) is (40, 1080 - 100).
  server.run("xdotool mousemove 1000 100");
  ASSERT_TRUE(start(right)) << error.description;
  auto frame = log.waitFor(0);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->pointer, (Point{40, 980}));
  // A capture of one monitor ignores drawing on the other: the next frame is the one of the
  // drawing on its own, made after that on the other.
  Witness onLeft = square("0,0,960,1080", kBlue);
  Witness onRight = square("1000,10,10,10", kBlue);
  frame = log.waitFor(1);
  ASSERT_TRUE(frame);
  EXPECT_TRUE(filled(frame->picture.view(), kBlue, {40, 10, 50, 20}));
  // The pointer is read when the picture is taken, not when the capture started.
  server.run("xdotool mousemove 10 1070; xsetroot -solid '#00ff00'");
  frame = log.waitFor(2, [](auto& f) {
    return filled(f.picture.view(), kGreen, {300, 300, 960, 1080});
  });
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->pointer, (Point{-950, 10}));

  // The monitor shrinks and moves while it is captured: the pictures follow it.
  server.run(
      "xrandr --delmonitor right; xrandr --setmonitor '*right' 480/127x1080/286+1440+0 screen");
  Witness onMoved = square("1450,10,10,10", kBlue);
  EXPECT_TRUE(log.waitFor(3, [](auto& f) {
    return f.picture.width() == 480 && filled(f.picture.view(), kBlue, {10, 10, 20, 20});
  })) << "no picture of the moved monitor";
}

TEST_F(X11Unmanaged, DeliversFramesOnlyWhenSomethingChangedWithTheCursorDrawnIn) {
  server.run("xsetroot -solid '#ff0000'; xdotool mousemove 500 300");
  double started =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  ASSERT_TRUE(start(onlyDisplay(capture), {0.05})) << error.description;

  auto first = log.waitFor(0);
  ASSERT_TRUE(first);
  EXPECT_EQ(std::pair(first->picture.width(), first->picture.height()), std::pair(1920, 1080));
  EXPECT_TRUE(filled(first->picture.view(), kRed, {}, Point{500, 300}));
  // The root grab holds no cursor; the capture draws it where the pointer is.
  EXPECT_FALSE(filled(first->picture.view(), kRed, {490, 290, 510, 310})) << "no cursor drawn";
  EXPECT_GE(first->timestamp, started);
  EXPECT_LT(first->timestamp, started + 2);

  // Nothing comes while the screen is still: the next frame is the one of the next change.
  server.run("xsetroot -solid '#0000ff'");
  auto second = log.waitFor(1);
  ASSERT_TRUE(second);
  EXPECT_TRUE(filled(second->picture.view(), kBlue, {}, Point{500, 300}))
      << "a frame came while nothing changed";
  Witness green = square("600,400,200,200", kGreen);
  EXPECT_TRUE(log.waitFor(2, [](auto& f) {
    return filled(f.picture.view(), kGreen, {600, 400, 800, 600}) &&
           filled(f.picture.view(), kBlue, {50, 50, 150, 150});
  }));
}

TEST_F(X11Unmanaged, CaptureStopsWhileWaitingAndLeavesNothingBehind) {
  ASSERT_EQ(captureThreads(), 0);
  int segments = ownSegments();
  // A day between frames: after the change below only stop()'s wake-up ends the thread's wait
  // (a missed one fails by the test's time-out).
  ASSERT_TRUE(start(onlyDisplay(capture), {86400})) << error.description;
  ASSERT_TRUE(log.waitFor(0));
  EXPECT_EQ(captureThreads(), 1);
  EXPECT_EQ(ownSegments(), segments + 1);
  server.run("xsetroot -solid '#00ff00'");
  running->stop();
  // stop() returns once the thread has gone with its segment: no frame can follow.
  EXPECT_EQ(captureThreads(), 0);
  EXPECT_EQ(ownSegments(), segments);
  EXPECT_EQ(log.frames.size(), 1u);
}

// --- Input --------------------------------------------------------------------------------------

// A server with a focused witness reporting what reaches it, and the backend, whose requests
// travel on its own connection: tests wait until the server shows their effect.
class X11InputTest : public X11Unmanaged {
protected:
  void SetUp() override {
    X11Unmanaged::SetUp();
    ASSERT_TRUE(witness.process.waitForOutput("FocusIn", 10s));
    desktop = X11Desktop::open(server.display());
    ASSERT_NE(desktop, nullptr);
  }

  // The keycodes that are down, and a wait until exactly `count` are.
  std::vector<int> keysDown() {
    char bits[32];
    XQueryKeymap(display, bits);
    std::vector<int> down;
    for (int keycode = 0; keycode < 256; ++keycode)
      if (bits[keycode / 8] & (1 << (keycode % 8)))
        down.push_back(keycode);
    return down;
  }
  std::vector<int> waitForKeysDown(std::size_t count) {
    std::vector<int> down;
    EXPECT_TRUE(waitUntil([&] { return (down = keysDown()).size() == count; })) << down.size();
    return down;
  }
  // The keysym each keycode types unmodified, as the server has them now.
  std::vector<KeySym> keymap() {
    int min = 0, max = 0, perKeycode = 0;
    XDisplayKeycodes(display, &min, &max);
    KeySym* keysyms = XGetKeyboardMapping(display, ::KeyCode(min), max - min + 1, &perKeycode);
    std::vector<KeySym> column(256, NoSymbol);
    for (int keycode = min; keysyms && keycode <= max; ++keycode)
      column[std::size_t(keycode)] = keysyms[(keycode - min) * perKeycode];
    XFree(keysyms);
    return column;
  }
  KeySym keysymOf(int keycode) { return keymap()[std::size_t(keycode)]; }
  bool keyboardHas(KeySym keysym) { return std::ranges::count(keymap(), keysym) > 0; }
  unsigned mask() { return std::get<2>(server.pointer()); }
  void key(const std::string& name, bool down) {
    desktop->post(makeKeyEvent(*lookupKeyName(name), down));
  }
  void mouse(MouseEventType type, double x, double y) {
    desktop->post(makeMouseEvent(type, Point{x, y}, kLeftButton));
  }
  // Types the text as the host does, pausing where the backend asks to; whether the witness then
  // got it, as all it was typed.
  bool typed(const std::u32string& text) {
    std::string expected;
    for (std::size_t done = 0; done < text.size();) {
      TypingProgress progress = desktop->typeText(std::u32string_view(text).substr(done));
      EXPECT_TRUE(progress.untypable.empty());
      done += progress.handled;
      std::this_thread::sleep_for(std::chrono::duration<double>(progress.resumeAfter));
    }
    for (char32_t c : text)
      expected += encodeUtf8(c);
    return waitUntil([&] { return witnessTypedText(witness.process.output()) == expected; }, 30s);
  }
  int spareKeycodes() { return std::stoi(server.run("xmodmap -pke | awk 'NF == 3' | wc -l")); }

  Witness witness{server, {"--focus"}};
  std::unique_ptr<X11Desktop> desktop;
};

TEST_F(X11InputTest, EveryKeyNameReachesAKeyOfItsKeysymAndNothingStaysBound) {
  std::vector<std::pair<std::string, int>> bound; // names the keyboard lacked, and their keycode
  for (const auto& [name, code] : keyNameToKeyCode()) {
    KeySym keysym = *keysymForKeyCode(code);
    bool present = keyboardHas(keysym);
    key(name, true);
    std::vector<int> down = waitForKeysDown(1);
    ASSERT_EQ(down.size(), 1u) << name;
    EXPECT_EQ(keysymOf(down[0]), keysym) << name << " went down on keycode " << down[0];
    key(name, false);
    EXPECT_TRUE(waitForKeysDown(0).empty()) << name << " stayed down";
    if (!present)
      bound.emplace_back(name, down[0]);
  }
  // Xvfb's keyboard lacks some of them, so the binding of spare keycodes was exercised too.
  ASSERT_FALSE(bound.empty());

  // A key stays on its keycode: moving "a" between its press and release (pressed again in
  // between, as a repeat does) leaves no key down. It moves to the first bound key's keycode,
  // which is then no longer ours to give back.
  key("a", true);
  std::vector<int> down = waitForKeysDown(1);
  ASSERT_EQ(down.size(), 1u);
  auto [takenName, taken] = bound.front();
  server.run("xmodmap -e 'keycode " + std::to_string(down[0]) + " = b B' -e 'keycode " +
             std::to_string(taken) + " = a A'");
  key("a", true);
  key("a", false);
  waitForKeysDown(0);
  // The next press follows the new layout, and the key whose keycode was taken finds another.
  key("a", true);
  EXPECT_EQ(waitForKeysDown(1), std::vector{taken});
  key("a", false);
  key(takenName, true);
  down = waitForKeysDown(1);
  ASSERT_EQ(down.size(), 1u);
  EXPECT_EQ(keysymOf(down[0]), *keysymForKeyCode(*lookupKeyName(takenName)));
  key(takenName, false);

  // Keys left down are released, and the spare keycodes given back, when the backend goes away.
  key("shift", true);
  key("f13", true);
  waitForKeysDown(2);
  desktop.reset();
  EXPECT_TRUE(keysDown().empty());
  for (const auto& [name, keycode] : bound) {
    EXPECT_EQ(keysymOf(keycode), keycode == taken ? KeySym(XK_a) : KeySym(NoSymbol)) << name;
    EXPECT_FALSE(keyboardHas(*keysymForKeyCode(*lookupKeyName(name)))) << name;
  }
}

TEST_F(X11InputTest, AModifierMissingFromTheLayoutIsBoundAsAModifier) {
  // A layout whose right Control key is a menu key: it has no Control_R.
  server.run("xmodmap -e 'clear control' -e 'keycode 105 = Menu' -e 'add control = Control_L'");
  ASSERT_FALSE(keyboardHas(XK_Control_R));

  key("rightControl", true);
  std::vector<int> down = waitForKeysDown(1);
  ASSERT_EQ(down.size(), 1u);
  EXPECT_EQ(keysymOf(down[0]), KeySym(XK_Control_R));
  // Held, it modifies like the left Control key does.
  EXPECT_TRUE(waitUntil([&] { return (mask() & ControlMask) != 0; }));
  key("rightControl", false);
  EXPECT_TRUE(waitUntil([&] { return (mask() & ControlMask) == 0; }));

  desktop.reset();
  EXPECT_EQ(keysymOf(down[0]), KeySym(NoSymbol));
  // Nor is it left in the modifier map, which lists keycodes as "(0x..)".
  char entry[16];
  std::snprintf(entry, sizeof entry, "(0x%x)", unsigned(down[0]));
  std::string modifiers = server.run("xmodmap -pm");
  EXPECT_EQ(modifiers.find(entry), std::string::npos) << modifiers;
}

TEST_F(X11InputTest, PointerGoesToTheGlobalPositionWithinTheRootWindow) {
  // Global (0, 0) is root (960, 0), on the primary right half. A position that is no number
  // moves nothing; the next real one still does.
  server.run(kTwoMonitors);
  using enum MouseEventType;
  const struct {
    MouseEventType type;
    double x, y;
    int rootX, rootY;
  } moves[] = {{mouseMoved, 10, 20, 970, 20},          {leftMouseDragged, -900.4, 33.6, 60, 34},
               {mouseMoved, -5000, 1e300, 0, 1079},    {mouseMoved, 5000, -7, 1919, 0},
               {mouseMoved, std::nan(""), 5, 1919, 0}, {mouseMoved, 5, INFINITY, 1919, 0},
               {mouseMoved, 100, 200, 1060, 200}};
  for (const auto& move : moves) {
    mouse(move.type, move.x, move.y);
    EXPECT_TRUE(server.pointerReaches(move.rootX, move.rootY)) << move.x << "," << move.y;
  }
  // A press or release without a place still happens, where the pointer is, so none is lost.
  mouse(leftMouseDown, std::nan(""), 0);
  EXPECT_TRUE(desktop->primaryButtonDown());
  mouse(leftMouseUp, 0, -INFINITY);
  EXPECT_FALSE(desktop->primaryButtonDown());
  EXPECT_TRUE(server.pointerReaches(1060, 200));

  // A press happens where the pointer is, whatever its event carries (a position read before
  // queued moves must not move the pointer back); only the left button counts as primary.
  mouse(rightMouseDown, 40, 50);
  EXPECT_TRUE(server.pointerReaches(1060, 200));
  EXPECT_FALSE(desktop->primaryButtonDown());
  EXPECT_TRUE(waitUntil([&] { return (mask() & Button3Mask) != 0; }));
  // The right button, still held, is let go when the backend goes away.
  desktop.reset();
  EXPECT_EQ(mask() & (Button1Mask | Button2Mask | Button3Mask), 0u);
}

TEST_F(X11InputTest, RelativeMovesAddUpWhilePointerEventsAreFrozen) {
  // A synchronous grab, like a window manager's click-to-focus grab: the server queues pointer
  // events, injected ones too, until the grab lets them go.
  auto freeze = [&](bool frozen) {
    if (frozen)
      EXPECT_EQ(XGrabPointer(display, DefaultRootWindow(display), False, ButtonPressMask,
                             GrabModeSync, GrabModeAsync, None, None, CurrentTime),
                GrabSuccess);
    else {
      XAllowEvents(display, AsyncPointer, CurrentTime);
      XUngrabPointer(display, CurrentTime);
    }
    XSync(display, False);
  };
  server.run("xdotool mousemove 500 400");
  ASSERT_TRUE(server.pointerReaches(500, 400));
  freeze(true);

  ManualClock clock;
  InjectionState state;
  MemoryLog log;
  InputContext input{*desktop, clock, state, log};
  for (int i = 0; i < 50; ++i)
    performMouseMove(input, 2, 1, kLeftButton);
  // The moves really are held back: the server still shows the pointer where it was.
  EXPECT_EQ(server.pointer(), std::tuple(500, 400, 0u));
  freeze(false);
  EXPECT_TRUE(server.pointerReaches(600, 450));

  // Once the server shows the target, its reports count again: a move made by someone else is
  // where the next relative move starts.
  EXPECT_EQ(desktop->mouseLocation(), (Point{600, 1080 - 450}));
  server.run("xdotool mousemove 20 30");
  ASSERT_TRUE(server.pointerReaches(20, 30));
  performMouseMove(input, 5, 5, kLeftButton);
  EXPECT_TRUE(server.pointerReaches(25, 35));

  // Frozen again, a move back to where the server still shows the pointer leaves nothing to
  // wait for: the next move starts from there.
  freeze(true);
  performMouseMove(input, 10, 0, kLeftButton);
  performMouseMove(input, -10, 0, kLeftButton);
  freeze(false);
  performMouseMove(input, 1, 1, kLeftButton);
  EXPECT_TRUE(server.pointerReaches(26, 36));
}

// With a second layout active, its characters come from its keys; the first one's, which the
// active group lacks, from keys of their own (the first group's keys would type the second's).
TEST_F(X11InputTest, TypingUsesTheActiveGroup) {
  server.run("setxkbmap -layout de,ru");
  XkbLockGroup(display, XkbUseCoreKbd, 1);
  XSync(display, False);
  EXPECT_TRUE(typed(U"фaЖ@z")) << witness.process.output();
}

// More characters than spare keycodes: rested bindings are taken back for new ones, every
// character arrives as itself, and none stays bound.
TEST_F(X11InputTest, TypingBeyondTheSpareKeycodesLeavesNoneBound) {
  int spare = spareKeycodes();
  ASSERT_GT(spare, 5);
  std::u32string text;
  for (int i = 0; i < spare + 12; ++i) {
    text += char32_t(0x4E00 + i); // CJK ideographs, which no layout has
    text += U"ж "[i % 2];         // and one bound early and used all along
  }
  EXPECT_TRUE(typed(text)) << witness.process.output();
  desktop.reset();
  EXPECT_EQ(spareKeycodes(), spare);
}

} // namespace
} // namespace tovel::test
