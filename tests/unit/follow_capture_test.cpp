#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "mjpeg/follow_capture_stream.h"
#include "mjpeg/screen_capture_manager.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/virtual_desktop.h"

namespace tovel {
namespace {

using namespace std::chrono_literals;

TEST(FollowRect, CentresOnThePointerAndStaysOnTheScreen) {
  struct Case {
    Point cursor; // y up
    Size follow;
    Rect screen;
    Rect expected; // y down
  } cases[] = {
      // Pinned left, and pinned to the bottom edge since 590 + 600 > 900.
      {{10, 10}, {800, 600}, {0, 0, 1440, 900}, {0, 300, 800, 600}},
      {{720, 450}, {800, 600}, {0, 0, 1440, 900}, {320, 150, 800, 600}},
      // Top-right corner.
      {{1430, 890}, {800, 600}, {0, 0, 1440, 900}, {640, 0, 800, 600}},
      // At least twice the screen: pinned to the minimum edges wherever the pointer is.
      {{1430, 10}, {3000, 2000}, {0, 0, 1440, 900}, {0, 0, 3000, 2000}},
      {{10, 890}, {3000, 2000}, {0, 0, 1440, 900}, {0, 0, 3000, 2000}},
      // Less than that: the maximum-edge rule may move it past the minimum edges instead.
      {{1430, 10}, {2000, 1000}, {0, 0, 1440, 900}, {-560, -100, 2000, 1000}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(calculateFollowRect(c.cursor, c.follow, c.screen), c.expected)
        << c.cursor.x << "," << c.cursor.y;
}

TEST(FollowOptions, ReadsSizeScreenAndHighres) {
  struct Case {
    const char* target;
    Size size;
    double factor, compression;
  } cases[] = {
      {"/screen.mjpg?screen=true&size=640x480&quality=low", {640, 480}, 1.5, 0.1},
      {"/screen.mjpg?screen=true&size=640", {800, 600}, 1.5, 0.1},
      {"/screen.mjpg?screen=true&size=640x480x2", {800, 600}, 1.5, 0.1},
      {"/screen.mjpg?screen=true&size=1x2&size=320.5x200", {320.5, 200}, 1.5, 0.1}, // the last
      {"/screen.mjpg?screen=true&size=640x480&size=", {800, 600}, 1.5, 0.1},
      {"/screen.mjpg?follow=true&DISABLED", {800, 600}, 1.0, 0.1},
      {"/screen.mjpg?screen=true&highres=true", {800, 600}, 2.0, 0.6},
  };
  for (const Case& c : cases) {
    FollowOptions options = parseFollowOptions(c.target);
    EXPECT_EQ(options.followSize, c.size) << c.target;
    EXPECT_EQ(options.outputFactor(), c.factor) << c.target;
    EXPECT_EQ(options.jpegCompression(), c.compression) << c.target;
  }
}

TEST(FollowCrop, UsesThePicturesOwnScale) {
  FollowOptions follow;
  FollowOptions screen = parseFollowOptions("screen=true");
  Point cursor{10, 10};
  Size display{1440, 900};
  // At one pixel per point the follow rectangle itself, at two its double.
  EXPECT_EQ(followCropRect(follow, cursor, display, 1440, 900), (PixelRect{0, 300, 800, 600}));
  EXPECT_EQ(followCropRect(follow, cursor, display, 2880, 1800), (PixelRect{0, 600, 1600, 1200}));
  // Fractional pixel edges widen to whole pixels.
  EXPECT_EQ(followCropRect(follow, Point{683, 384}, Size{1366, 768}, 2049, 1152),
            (PixelRect{424, 126, 1201, 900}));
  EXPECT_EQ(followCropRect(screen, cursor, display, 2880, 1800), (PixelRect{0, 0, 2880, 1800}));
  // A follow size larger than the display shows all of it, wherever its rectangle went; nothing
  // at all gives no crop.
  FollowOptions huge = parseFollowOptions("size=2000x1000");
  EXPECT_EQ(followCropRect(huge, cursor, display, 1440, 900), (PixelRect{0, 0, 1440, 900}));
  EXPECT_FALSE(followCropRect(parseFollowOptions("size=0x0"), cursor, display, 1440, 900));
  EXPECT_FALSE(followCropRect(parseFollowOptions("size=nanx5"), cursor, display, 1440, 900));
  EXPECT_FALSE(followCropRect(follow, cursor, display, 0, 0));
}

TEST(FollowCrop, OutputFitsTheFollowSizeTimesTheFactor) {
  auto output = [](const char* target, int width, int height) {
    return followOutputSize(parseFollowOptions(target), width, height);
  };
  EXPECT_EQ(output("follow=true", 1600, 1200), (PixelSize{800, 600})); // a double-scale capture
  EXPECT_EQ(output("screen=true&highres=true", 1920, 1080), (PixelSize{1600, 900}));
  EXPECT_EQ(output("screen=true&size=640x480", 1440, 900), (PixelSize{960, 600}));
  EXPECT_FALSE(output("screen=true&size=0x0", 1920, 1080));
  EXPECT_FALSE(output("screen=true&size=1e9x1e9", 1920, 1080));
}

TEST(ScreenCaptureManager, AdmitsOneFramePerTenthOfASecond) {
  ManualClock clock(1000.0);
  VirtualDesktop desktop(clock);
  MemoryLog log;
  std::vector<double> admitted;
  double taken = 0;
  ScreenCaptureManager manager(desktop, log, *displayUnderCursor2(desktop),
                               [&](const ImageView&) { admitted.push_back(taken); });
  std::uint8_t pixel[4] = {};
  // Pictures taken at these times, whenever they reach the manager.
  auto sampleAt = [&](double time) {
    taken = time;
    manager.handleFrame(CapturedFrame{ImageView{pixel, 1, 1, 4}, time});
  };
  sampleAt(1000.0);                                        // the first at once, however soon
  sampleAt(1000.05);                                       // 0.05 s after it
  manager.handleFrame(CapturedFrame{ImageView{}, 1000.5}); // no picture: ignored, uses no slot
  sampleAt(1000.55);
  sampleAt(1000.6);
  sampleAt(1000.66);
  EXPECT_EQ(admitted, (std::vector<double>{1000.0, 1000.55, 1000.66}));
}

TEST(ScreenCaptureManager, CapturesAtTheMainScreensScale) {
  ManualClock clock;
  VirtualDesktop desktop(clock);
  MemoryLog log;
  // The main screen has two pixels per point; the captured one has its own scale of 1.
  desktop.setScreens({Screen{1, Rect{0, 0, 320, 200}, 2.0, "main"},
                      Screen{2, Rect{320, 0, 160, 100}, 1.0, "side"}});
  desktop.setMouseLocation(Point{400, 50});
  std::atomic<int> width = 0, height = 0;
  ScreenCaptureManager manager(desktop, log, *displayUnderCursor2(desktop),
                               [&](const ImageView& image) {
                                 width = image.width;
                                 height = image.height;
                               });
  ASSERT_TRUE(manager.startCapture());
  for (auto deadline = std::chrono::steady_clock::now() + 5s;
       width == 0 && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(40ms))
    clock.advance(0.1);
  manager.stopCapture();
  EXPECT_FALSE(manager.capturing());
  EXPECT_EQ(width, 320);
  EXPECT_EQ(height, 200);
}

TEST(DisplayUnderCursor2, IsTheCapturableDisplayOfTheScreenHoldingThePointer) {
  ManualClock clock;
  VirtualDesktop desktop(clock);
  desktop.setScreens({Screen{1, Rect{0, 0, 1920, 1080}, 1.0, "a"},
                      Screen{2, Rect{1920, 0, 1280, 1024}, 1.0, "b"},
                      Screen{std::nullopt, Rect{-800, 0, 800, 600}, 1.0, "no number"}});
  desktop.setMouseLocation(Point{1920, 10}); // the first screen's right edge is not its own
  auto display = displayUnderCursor2(desktop);
  ASSERT_TRUE(display);
  EXPECT_EQ(display->id, 2u);
  EXPECT_EQ(display->width, 1280);
  EXPECT_EQ(display->height, 1024);
  desktop.setMouseLocation(Point{-10, 10});
  EXPECT_FALSE(displayUnderCursor2(desktop));
  desktop.setMouseLocation(Point{10, 2000});
  EXPECT_FALSE(displayUnderCursor2(desktop));
}

TEST(FollowCaptureRoute, AFailedHeadSendIsPrintedAndStartsNothing) {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  asio::ip::tcp::socket client(io);
  client.connect(acceptor.local_endpoint());
  auto connection = Connection::create(io, acceptor.accept());

  ManualClock clock;
  VirtualDesktop desktop(clock);
  MemoryLog log;
  FollowCaptureStreams streams(desktop, log);
  connection->cancel();
  streams.handleRequest(connection, HttpRequest{"GET", "/screen.mjpg?screen=true", "", ""});
  for (auto deadline = std::chrono::steady_clock::now() + 5s;
       log.lines().empty() && std::chrono::steady_clock::now() < deadline;)
    io.run_one_for(50ms);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Error sending headers: Operation canceled"}));
  EXPECT_EQ(connection->state(), Connection::State::cancelled);
  EXPECT_TRUE(streams.liveStreams().empty());
}

} // namespace
} // namespace tovel
