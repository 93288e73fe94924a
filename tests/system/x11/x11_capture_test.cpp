// First: it includes GoogleTest before Xlib, whose macros (None, Bool) clash with its names.
#include "system/x11/x11_test.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_shm_grabber.h"
#include "support/threads.h"

namespace tovel::test {
namespace {

constexpr std::uint32_t kRed = 0xff0000, kGreen = 0x00ff00, kBlue = 0x0000ff; // RGB

// Every pixel of [x0, x1) x [y0, y1), or of the whole picture, has the colour, but for those less
// than 64 pixels away from `spared` in both directions, where a cursor there may be drawn. The
// fourth byte is padding and is not looked at.
::testing::AssertionResult filled(const ImageView& image, int x0, int y0, int x1, int y1,
                                  std::uint32_t colour, std::optional<Point> spared = {}) {
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      const std::uint8_t* p = image.pixel(x, y);
      std::uint32_t rgb = p[2] << 16 | p[1] << 8 | p[0];
      if (rgb != colour &&
          !(spared && std::abs(x - spared->x) < 64 && std::abs(y - spared->y) < 64))
        return ::testing::AssertionFailure()
               << "pixel " << x << "," << y << " is " << std::hex << rgb;
    }
  return ::testing::AssertionSuccess();
}
std::string hex(std::uint32_t colour) {
  char rgb[8];
  std::snprintf(rgb, sizeof rgb, "%06x", colour);
  return rgb;
}

::testing::AssertionResult filled(const ImageView& image, std::uint32_t colour,
                                  std::optional<Point> spared = {}) {
  return filled(image, 0, 0, image.width, image.height, colour, spared);
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
  using Test = std::function<bool(const Frame&)>;

  FrameHandler handler() {
    return [this](const CapturedFrame& frame) {
      Frame copy{frame.timestamp, BgraImage(frame.image.width, frame.image.height), frame.pointer};
      for (int y = 0; y < frame.image.height; ++y)
        std::memcpy(copy.picture.row(y), frame.image.pixel(0, y), copy.picture.stride());
      std::lock_guard lock(mutex);
      frames.push_back(std::move(copy));
    };
  }
  std::size_t size() {
    std::lock_guard lock(mutex);
    return frames.size();
  }
  // The first frame from number `from` on that passes the test, once it has come.
  std::optional<Frame> waitFor(
      std::size_t from, const Test& test = [](const Frame&) { return true; }) {
    std::optional<Frame> found;
    waitUntil([&] {
      std::lock_guard lock(mutex);
      for (; from < frames.size() && !found; ++from)
        if (test(frames[from]))
          found = frames[from];
      return found.has_value();
    });
    return found;
  }

  std::mutex mutex;
  std::vector<Frame> frames;
};

class X11CaptureTest : public X11Test<> {
protected:
  Witness square(const std::string& geometry, std::uint32_t colour) {
    return Witness(server, {"--geometry", geometry, "--colour", hex(colour)});
  }
  // Starts a continuous capture of the display, delivering to the log.
  bool start(DisplayId display, ContinuousCaptureSettings settings = {}) {
    running = capture.startContinuousCapture(display, settings, log.handler(), error);
    return running != nullptr;
  }

  X11Capture capture{connections};
  FrameLog log;
  PlatformError error;
  std::unique_ptr<ContinuousCapture> running;
};

// --- Single grabs -------------------------------------------------------------------------------

TEST_F(X11CaptureTest, GrabsClippedRectanglesIntoOneKeptSegmentAndTellsWhatChanged) {
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
  EXPECT_TRUE(filled(*whole, 0, 0, 1920, 200, kRed));
  EXPECT_TRUE(filled(*whole, 100, 200, 400, 350, kGreen));
  EXPECT_EQ(ownSegments(), segments + 1) << "the outgrown segment is still there";
  const std::uint8_t* pixels = whole->data;

  // Fractional edges grow outwards to whole pixels: 99..401 x 199..351.
  auto fractional = capturer->capture(display, Rect{99.5, 199.5, 301, 151});
  ASSERT_TRUE(fractional && fractional->width == 302 && fractional->height == 152);
  EXPECT_EQ(fractional->data, pixels);
  EXPECT_TRUE(filled(*fractional, 1, 1, 301, 151, kGreen));
  EXPECT_TRUE(filled(*fractional, 301, 0, 302, 152, kRed));

  // Partly outside: what is inside remains, in its place.
  auto topLeft = capturer->capture(display, Rect{-50, 150, 200, 100});
  ASSERT_TRUE(topLeft && topLeft->width == 150 && topLeft->height == 100);
  EXPECT_TRUE(filled(*topLeft, 100, 50, 150, 100, kGreen));
  EXPECT_TRUE(filled(*topLeft, 0, 0, 100, 100, kRed));

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
  EXPECT_EQ(log.size(), 0u);
}

TEST_F(X11CaptureTest, CapturesEachMonitorOnItsOwn) {
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
  EXPECT_TRUE(filled(*inRight, 40, 100, 240, 200, kGreen));
  EXPECT_TRUE(filled(*inRight, 0, 0, 40, 1080, kRed));
  // Clipped to the monitor, not to the root: nothing of the right one leaks in.
  auto leftEdge = capturer->capture(left, Rect{950, 100, 100, 100});
  ASSERT_TRUE(leftEdge && leftEdge->width == 10);
  EXPECT_TRUE(filled(*leftEdge, kRed));

  // Frames carry the pointer in screen coordinates: root (1000, 100) is global (40, 100), and
  // they count up from the primary's bottom edge, 1080 - 100.
  server.run("xdotool mousemove 1000 100");
  ASSERT_TRUE(start(right)) << error.description;
  auto frame = log.waitFor(0);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->pointer, (Point{40, 980}));
  // A continuous capture of one monitor ignores drawing on the other: the frame after the first
  // is the one that shows the drawing on its own monitor, made after that on the other.
  Witness onLeft = square("0,0,960,1080", kBlue);
  Witness onRight = square("1000,10,10,10", kBlue);
  frame = log.waitFor(1);
  ASSERT_TRUE(frame);
  EXPECT_TRUE(filled(frame->picture.view(), 40, 10, 50, 20, kBlue));
  // The pointer is read when the picture is taken, not when the capture started.
  server.run("xdotool mousemove 10 1070; xsetroot -solid '#00ff00'");
  frame =
      log.waitFor(2, [](auto& f) { return filled(f.picture.view(), 300, 300, 960, 1080, kGreen); });
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->pointer, (Point{-950, 10}));

  // The monitor shrinks and moves while it is captured: the pictures follow it.
  server.run(
      "xrandr --delmonitor right; xrandr --setmonitor '*right' 480/127x1080/286+1440+0 screen");
  Witness onMoved = square("1450,10,10,10", kBlue);
  EXPECT_TRUE(log.waitFor(3, [](const FrameLog::Frame& f) {
    return f.picture.width() == 480 && filled(f.picture.view(), 10, 10, 20, 20, kBlue);
  })) << "no picture of the moved monitor";
}

// --- Continuous capture -------------------------------------------------------------------------

TEST_F(X11CaptureTest, DeliversFramesOnlyWhenSomethingChangedWithTheCursorDrawnIn) {
  server.run("xsetroot -solid '#ff0000'; xdotool mousemove 500 300");
  double started =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  ASSERT_TRUE(start(onlyDisplay(capture), {0.05})) << error.description;

  auto first = log.waitFor(0);
  ASSERT_TRUE(first);
  EXPECT_EQ(std::pair(first->picture.width(), first->picture.height()), std::pair(1920, 1080));
  EXPECT_TRUE(filled(first->picture.view(), kRed, Point{500, 300}));
  // The root grab holds no cursor; the capture draws it where the pointer is.
  EXPECT_FALSE(filled(first->picture.view(), 490, 290, 510, 310, kRed)) << "no cursor drawn";
  EXPECT_GE(first->timestamp, started);
  EXPECT_LT(first->timestamp, started + 2);

  // Nothing comes while the screen is still: the next frame is the one of the next change.
  server.run("xsetroot -solid '#0000ff'");
  auto second = log.waitFor(1);
  ASSERT_TRUE(second);
  EXPECT_TRUE(filled(second->picture.view(), kBlue, Point{500, 300}))
      << "a frame came while nothing changed";
  Witness green = square("600,400,200,200", kGreen);
  EXPECT_TRUE(log.waitFor(2, [](const FrameLog::Frame& f) {
    return filled(f.picture.view(), 600, 400, 800, 600, kGreen) &&
           filled(f.picture.view(), 50, 50, 150, 150, kBlue);
  }));

  // The pointer moving over a still screen is a change too: the cursor goes with it.
  std::size_t seen = log.size();
  server.run("xdotool mousemove 1500 900");
  auto moved = log.waitFor(seen, [](auto& f) { return f.pointer == (Point{1500, 180}); });
  ASSERT_TRUE(moved);
  EXPECT_TRUE(filled(moved->picture.view(), 400, 200, 600, 400, kBlue)) << "cursor left behind";
  EXPECT_FALSE(filled(moved->picture.view(), 1490, 890, 1510, 910, kBlue)) << "no cursor drawn";
}

TEST_F(X11CaptureTest, StopsWhileWaitingAndLeavesNothingBehind) {
  ASSERT_EQ(captureThreads(), 0);
  int segments = ownSegments();
  // A day between frames: after the change below the thread waits for the next one to be due,
  // and only the wake-up can end that wait (a missed one fails by the test's time-out).
  ASSERT_TRUE(start(onlyDisplay(capture), {86400})) << error.description;
  ASSERT_TRUE(log.waitFor(0));
  EXPECT_EQ(captureThreads(), 1);
  EXPECT_EQ(ownSegments(), segments + 1);
  server.run("xsetroot -solid '#00ff00'");
  running->stop();
  // stop() returns once the thread has gone with its segment: no frame can follow.
  EXPECT_EQ(captureThreads(), 0);
  EXPECT_EQ(ownSegments(), segments);
  EXPECT_EQ(log.size(), 1u);
}

} // namespace
} // namespace tovel::test
