#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <tuple>
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

TEST(FollowOptions, ReadsSizeScreenAndHighres) {
  // Target, follow size, output factor and JPEG compression.
  const std::tuple<const char*, Size, double, double> cases[] = {
      {"/screen.mjpg?screen=true&size=640x480&quality=low", {640, 480}, 1.5, 0.1},
      {"/screen.mjpg?screen=true&size=640", {800, 600}, 1.5, 0.1}, // not two numbers
      {"/screen.mjpg?screen=true&size=640x480x2", {800, 600}, 1.5, 0.1},
      {"/screen.mjpg?screen=true&size=1x2&size=320.5x200", {320.5, 200}, 1.5, 0.1}, // the last
      {"/screen.mjpg?screen=true&size=640x480&size=", {800, 600}, 1.5, 0.1},
      {"/screen.mjpg?follow=true&DISABLED", {800, 600}, 1.0, 0.1},
      {"/screen.mjpg?screen=true&highres=true", {800, 600}, 2.0, 0.6}};
  for (auto [target, size, factor, compression] : cases) {
    FollowOptions options = parseFollowOptions(target);
    EXPECT_EQ(options.followSize, size) << target;
    EXPECT_EQ(options.outputFactor(), factor) << target;
    EXPECT_EQ(options.jpegCompression(), compression) << target;
  }
}

TEST(FollowGeometry, RectCropAndOutput) {
  const Rect screen{0, 0, 1440, 900};
  // Around the pointer, on the screen: pinned left, and to the bottom since 590 + 600 > 900.
  EXPECT_EQ(calculateFollowRect({10, 10}, {800, 600}, screen), (Rect{0, 300, 800, 600}));
  EXPECT_EQ(calculateFollowRect({720, 450}, {800, 600}, screen), (Rect{320, 150, 800, 600}));
  EXPECT_EQ(calculateFollowRect({1430, 890}, {800, 600}, screen), (Rect{640, 0, 800, 600}));
  // At least twice the screen: pinned to the minimum edges wherever the pointer is.
  EXPECT_EQ(calculateFollowRect({1430, 10}, {3000, 2000}, screen), (Rect{0, 0, 3000, 2000}));
  // Less than that: the maximum-edge rule may move it past the minimum edges instead.
  EXPECT_EQ(calculateFollowRect({1430, 10}, {2000, 1000}, screen), (Rect{-560, -100, 2000, 1000}));

  auto crop = [](const char* target, Point cursor, Size display, int width, int height) {
    return followCropRect(parseFollowOptions(target), cursor, display, width, height);
  };
  const Point cursor{10, 10};
  const Size display{1440, 900};
  // The crop at the picture's own scale: at one pixel per point the follow rectangle itself, at
  // two its double.
  EXPECT_EQ(crop("", cursor, display, 1440, 900), (PixelRect{0, 300, 800, 600}));
  EXPECT_EQ(crop("", cursor, display, 2880, 1800), (PixelRect{0, 600, 1600, 1200}));
  // Fractional pixel edges widen to whole pixels.
  EXPECT_EQ(crop("", {683, 384}, {1366, 768}, 2049, 1152), (PixelRect{424, 126, 1201, 900}));
  EXPECT_EQ(crop("screen=true", cursor, display, 2880, 1800), (PixelRect{0, 0, 2880, 1800}));
  // A follow size larger than the display shows all of it, wherever its rectangle went; nothing
  // at all gives no crop.
  EXPECT_EQ(crop("size=2000x1000", cursor, display, 1440, 900), (PixelRect{0, 0, 1440, 900}));
  EXPECT_FALSE(crop("size=0x0", cursor, display, 1440, 900));
  EXPECT_FALSE(crop("size=nanx5", cursor, display, 1440, 900));
  EXPECT_FALSE(crop("", cursor, display, 0, 0));

  auto output = [](const char* target, int width, int height) {
    return followOutputSize(parseFollowOptions(target), width, height);
  };
  EXPECT_EQ(output("follow=true", 1600, 1200), (PixelSize{800, 600})); // a double-scale capture
  EXPECT_EQ(output("screen=true&highres=true", 1920, 1080), (PixelSize{1600, 900}));
  EXPECT_EQ(output("screen=true&size=640x480", 1440, 900), (PixelSize{960, 600}));
  EXPECT_FALSE(output("screen=true&size=0x0", 1920, 1080));
  // Past about 8K UHD the picture keeps its shape at that size.
  for (const char* huge : {"screen=true&highres=true&size=8192x8192", "screen=true&size=1e9x1e9"})
    EXPECT_EQ(output(huge, 1920, 1080), (PixelSize{7723, 4344})) << huge;
}

struct CaptureTest : ::testing::Test {
  ManualClock clock;
  VirtualDesktop desktop{clock};
  MemoryLog log;
};

TEST_F(CaptureTest, ManagerAdmitsOneFramePerTenthOfASecondByCaptureTime) {
  std::vector<double> admitted;
  double taken = 0;
  ScreenCaptureManager manager(desktop, log, *displayUnderCursor2(desktop),
                               [&](const CapturedFrame&) { admitted.push_back(taken); });
  std::uint8_t pixel[4] = {};
  // The first at once, however soon; the one at 1000.5 has no picture: ignored, uses no slot.
  for (double time : {1000.0, 1000.05, 1000.5, 1000.55, 1000.6, 1000.66}) {
    taken = time;
    CapturedFrame frame;
    frame.image = time == 1000.5 ? ImageView{} : ImageView{pixel, 1, 1, 4};
    frame.timestamp = time;
    manager.handleFrame(frame);
  }
  EXPECT_EQ(admitted, (std::vector<double>{1000.0, 1000.55, 1000.66}));
}

TEST_F(CaptureTest, ManagerCapturesAtTheDisplaysOwnSizeAndPassesThePointerOn) {
  // The main screen has two pixels per point; the captured one has its own scale of 1.
  desktop.setScreens({Screen{1, Rect{0, 0, 320, 200}, 2.0, "main"},
                      Screen{2, Rect{320, 0, 160, 100}, 1.0, "side"}});
  desktop.setMouseLocation(Point{400, 50});
  std::promise<std::tuple<int, int, std::optional<Point>>> first;
  std::atomic<bool> seen = false;
  ScreenCaptureManager manager(
      desktop, log, *displayUnderCursor2(desktop), [&](const CapturedFrame& frame) {
        if (!seen.exchange(true))
          first.set_value({frame.image.width, frame.image.height, frame.pointer});
      });
  ASSERT_TRUE(manager.startCapture());
  auto arrived = first.get_future();
  ASSERT_EQ(arrived.wait_for(30s), std::future_status::ready);
  manager.stopCapture();
  EXPECT_FALSE(manager.capturing());
  EXPECT_EQ(arrived.get(), std::tuple(160, 100, std::optional(Point{400, 50})));
}

TEST_F(CaptureTest, DisplayUnderCursor2IsTheCapturableDisplayOfTheScreenHoldingThePointer) {
  desktop.setScreens({Screen{1, Rect{0, 0, 1920, 1080}, 1.0, "a"},
                      Screen{2, Rect{1920, 0, 1280, 1024}, 1.0, "b"},
                      Screen{std::nullopt, Rect{-800, 0, 800, 600}, 1.0, "no number"}});
  desktop.setMouseLocation(Point{1920, 10}); // the first screen's right edge is not its own
  auto display = displayUnderCursor2(desktop);
  ASSERT_TRUE(display);
  EXPECT_TRUE(display->id == 2 && display->width == 1280 && display->height == 1024);
  desktop.setMouseLocation(Point{-10, 10});
  EXPECT_FALSE(displayUnderCursor2(desktop));
  desktop.setMouseLocation(Point{10, 2000});
  EXPECT_FALSE(displayUnderCursor2(desktop));
}

TEST_F(CaptureTest, AFailedHeadSendIsPrintedAndStartsNothing) {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  asio::ip::tcp::socket client(io);
  client.connect(acceptor.local_endpoint());
  auto connection = Connection::create(io, acceptor.accept());
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
