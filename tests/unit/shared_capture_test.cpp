#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <future>

#include "mjpeg/follow_capture_stream.h"
#include "mjpeg/screen_capture_manager.h"
#include "mp4/live_screen_streamer.h"
#include "support/threads.h"
#include "support/unit_collector.h"
#include "support/virtual_input.h"
#include "support/wait.h"

namespace tovel {
namespace {

using namespace std::chrono_literals;
using test::captureThreads;
using test::waitUntil;

// Every frame a handler is given, pixels and all.
struct Frames : test::Collected<CapturedFrame> {
  FrameHandler handler() {
    return [this](const CapturedFrame& frame) { add(frame); };
  }
};

std::unique_ptr<ContinuousCapture> subscribe(VirtualDesktop& desktop, FrameHandler handler,
                                             ContinuousCaptureSettings settings) {
  PlatformError error;
  auto capture = desktop.startContinuousCapture(1, settings, std::move(handler), error);
  EXPECT_NE(capture, nullptr) << error.description;
  return capture;
}

void expectGaps(const std::vector<CapturedFrame>& frames, double interval) {
  for (std::size_t i = 1; i < frames.size(); ++i)
    EXPECT_GE(frames[i].captureTime - frames[i - 1].captureTime, interval - 1e-3) << i;
}

// The colour (0xRRGGBB) inside the window of SharedCaptureTest.
std::uint32_t windowColour(const CapturedFrame& frame) {
  const std::uint8_t* p = frame.image.pixel(100, 100);
  return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
}

struct CaptureTest : test::VirtualInputTest {
  asio::io_context io;
  H264EncoderSettings small{.width = 320, .height = 192};
};

// A small screen, cheap to render even in sanitizer builds, its left half covered by a window
// whose colour the tests change.
struct SharedCaptureTest : CaptureTest {
  SharedCaptureTest() {
    desktop.setScreens({Screen{1, Rect{0, 0, 640, 360}, 1.0, "small"}});
    paint(0xff00ff00);
    desktop.setMouseLocation(Point{600, 20});
  }
  void paint(std::uint32_t colour) {
    desktop.setWindows({{.info = {1, Rect{0, 0, 320, 360}, {}, {}, {}}, .colour = colour}});
  }
  void letTheCaptureLook() {
    std::uint64_t checks = desktop.pictureChecks();
    ASSERT_TRUE(waitUntil([&] { return desktop.pictureChecks() >= checks + 5; }));
  }
};

TEST_F(SharedCaptureTest,
       SubscribersShareOneCaptureThatLooksOftenTakesPicturesOnChangeAndEndsWithThem) {
  Frames fast, slow;
  auto first = subscribe(desktop, fast.handler(), {0});
  auto second = subscribe(desktop, slow.handler(), {3600}); // one frame an hour, unless it asks
  ASSERT_TRUE(fast.waitForCount(1) && slow.waitForCount(1));
  EXPECT_EQ(captureThreads(), 1);

  // A still screen: the capture looks and takes no picture.
  std::uint64_t rendered = desktop.renderCount();
  letTheCaptureLook();
  EXPECT_EQ(desktop.renderCount(), rendered);
  EXPECT_EQ(fast.items().size(), 1u);

  // A change reaches the subscriber that is due at once, with its own owned pixels.
  paint(0xffff0000);
  ASSERT_TRUE(fast.waitForCount(2));
  // The slow one gets the newest picture when it asks, however soon after its last.
  second->requestFrame();
  ASSERT_TRUE(slow.waitForCount(2));

  std::vector<CapturedFrame> frames = fast.items(), slowFrames = slow.items();
  EXPECT_EQ(windowColour(frames[0]), 0x00ff00u); // still intact, though kept past its call
  EXPECT_EQ(windowColour(frames[1]), 0xff0000u);
  EXPECT_EQ(frames[1].pointer, (Point{600, 20}));
  EXPECT_EQ(windowColour(slowFrames[1]), 0xff0000u);
  EXPECT_EQ(desktop.renderCount(), rendered + 1); // one picture for both
  EXPECT_GT(slowFrames[1].captureTime, frames[1].captureTime - 1e-9);

  // The capture stops with its last subscriber (and starts again with the next: Mp4Stream tests).
  first->stop();
  EXPECT_EQ(captureThreads(), 1);
  second.reset();
  EXPECT_EQ(captureThreads(), 0); // gone when the last stop returns
  PlatformError error;
  EXPECT_EQ(desktop.startContinuousCapture(7, {0.1}, fast.handler(), error), nullptr);
  EXPECT_FALSE(error.description.empty());
}

TEST_F(SharedCaptureTest,
       AnUnchangedPictureComesAgainWithTheTimeOfNowWhenAskedOrAfterTheLongestWait) {
  Frames asking, waiting, neither;
  auto asks = subscribe(desktop, asking.handler(), {0});
  auto waits = subscribe(desktop, waiting.handler(), {0, 0.05});
  auto other = subscribe(desktop, neither.handler(), {0});
  ASSERT_TRUE(asking.waitForCount(1) && waiting.waitForCount(1) && neither.waitForCount(1));
  std::uint64_t rendered = desktop.renderCount();
  letTheCaptureLook();
  asks->requestFrame();
  ASSERT_TRUE(asking.waitForCount(2) && waiting.waitForCount(3));
  EXPECT_EQ(neither.items().size(), 1u);
  EXPECT_EQ(desktop.renderCount(), rendered); // not taken again
  for (Frames* subscriber : {&asking, &waiting}) {
    auto frames = subscriber->items();
    expectGaps(frames, subscriber == &waiting ? 0.05 : 1e-3 + 1e-9);
    for (const CapturedFrame& frame : frames) {
      EXPECT_EQ(frame.pixels, frames[0].pixels);
      EXPECT_EQ(frame.timestamp, clock.now()); // the clock stands still
    }
  }
}

TEST_F(SharedCaptureTest, EachSubscriberGetsFramesNoCloserThanItsInterval) {
  // The real clock moves the virtual picture all the time.
  SystemClock realTime;
  VirtualDesktop moving(realTime);
  moving.setScreens({Screen{1, Rect{0, 0, 160, 90}, 1.0, "tiny"}});
  Frames quick, tenth;
  auto a = subscribe(moving, quick.handler(), {0.02}),
       b = subscribe(moving, tenth.handler(), {0.1});
  ASSERT_TRUE(a && b && tenth.waitForCount(4));
  a.reset();
  b.reset();
  expectGaps(quick.items(), 0.02);
  expectGaps(tenth.items(), 0.1);
  EXPECT_GT(quick.items().size(), tenth.items().size());
}

TEST_F(SharedCaptureTest, ASubscriberMayEndItsSubscriptionFromItsOwnHandler) {
  std::promise<void> published, ended;
  std::future<void> ready = published.get_future();
  std::unique_ptr<ContinuousCapture> capture;
  int calls = 0;
  auto endItself = [&](const CapturedFrame&) {
    ++calls;
    ready.wait(); // until `capture` holds the subscription
    capture.reset();
    ended.set_value();
  };
  capture = subscribe(desktop, endItself, {0});
  ASSERT_NE(capture, nullptr);
  published.set_value();
  ASSERT_EQ(ended.get_future().wait_for(60s), std::future_status::ready);
  // The thread ends by itself once the handler returns.
  EXPECT_TRUE(waitUntil([] { return captureThreads() == 0; }));
  EXPECT_EQ(calls, 1);
}

TEST_F(CaptureTest, ManagerAdmitsOneFramePerTenthOfASecondAndCapturesAtTheDisplaysOwnSize) {
  Frames admitted;
  ScreenCaptureManager admitting(desktop, log, *displayUnderCursor2(desktop), admitted.handler());
  std::uint8_t pixel[4] = {};
  // The first at once, however soon; the one at 1000.5 has no picture: ignored, uses no slot.
  for (double time : {1000.0, 1000.05, 1000.5, 1000.55, 1000.6, 1000.66}) {
    CapturedFrame frame;
    frame.image = time == 1000.5 ? ImageView{} : ImageView{pixel, 1, 1, 4};
    frame.timestamp = time;
    admitting.handleFrame(frame);
  }
  std::vector<double> times;
  for (const CapturedFrame& frame : admitted.items())
    times.push_back(frame.timestamp);
  EXPECT_EQ(times, (std::vector<double>{1000.0, 1000.55, 1000.66}));

  // It captures at the display's own size and passes the pointer on. The main screen has two
  // pixels per point; the captured one has its own scale of 1.
  desktop.setScreens({Screen{1, Rect{0, 0, 320, 200}, 2.0, "main"},
                      Screen{2, Rect{320, 0, 160, 100}, 1.0, "side"}});
  desktop.setMouseLocation(Point{400, 50});
  Frames frames;
  ScreenCaptureManager manager(desktop, log, *displayUnderCursor2(desktop), frames.handler());
  ASSERT_TRUE(manager.startCapture());
  ASSERT_TRUE(frames.waitForCount(1));
  manager.stopCapture();
  EXPECT_FALSE(manager.capturing());
  CapturedFrame first = frames.items()[0];
  EXPECT_EQ(std::tuple(first.image.width, first.image.height, first.pointer),
            std::tuple(160, 100, std::optional(Point{400, 50})));
}

TEST_F(CaptureTest, DisplayUnderCursor2IsTheCapturableDisplayOfTheScreenHoldingThePointer) {
  desktop.setScreens({Screen{1, Rect{0, 0, 1920, 1080}, 1.0, "a"},
                      Screen{2, Rect{1920, 0, 1280, 1024}, 1.0, "b"},
                      Screen{std::nullopt, Rect{-800, 0, 800, 600}, 1.0, "no number"}});
  desktop.setMouseLocation(Point{1920, 10}); // the first screen's right edge is not its own
  auto display = displayUnderCursor2(desktop);
  ASSERT_TRUE(display);
  EXPECT_TRUE(display->id == 2 && display->width == 1280 && display->height == 1024);
  for (Point off : {Point{-10, 10}, Point{10, 2000}}) {
    desktop.setMouseLocation(off);
    EXPECT_FALSE(displayUnderCursor2(desktop)) << off.x << "," << off.y;
  }
}

TEST_F(CaptureTest, AFailedHeadSendIsPrintedAndStartsNothing) {
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  asio::ip::tcp::socket client(io);
  client.connect(acceptor.local_endpoint());
  auto connection = Connection::create(io, acceptor.accept());
  FollowCaptureStreams streams(desktop, log);
  connection->cancel();
  streams.handleRequest(connection, HttpRequest{"GET", "/screen.mjpg?screen=true", "", ""});
  waitUntil(
      [&] {
        io.run_one_for(50ms);
        return !log.lines().empty();
      },
      5s);
  EXPECT_EQ(log.lines(), (Lines{"Error sending headers: Operation canceled"}));
  EXPECT_EQ(connection->state(), Connection::State::cancelled);
  EXPECT_TRUE(streams.liveStreams().empty());
}

// Its start-up lines: HostBinary.EachWayARunEndsPrintsItsOwnLinesAndStatus; refusing a second
// start: Mp4Stream.AStillScreenGivesAPictureAtOnceAndCaptureRunsOnlyWhileThereAreClients.
TEST_F(CaptureTest, StreamerNumbersEveryFrameMadeStopsWithItselfAndWithoutADisplayCapturesNothing) {
  {
    LiveScreenStreamer streamer(desktop, log, io, small);
    EXPECT_EQ(streamer.sequenceNumber(), 1u);
    for (int i = 0; i < 3; ++i)
      streamer.handleEncodedFrame(EncodedFrame{{0, 0, 0, 1, 0x65}, i == 0, 10.0 + i / 60.0});
    EXPECT_EQ(streamer.sequenceNumber(), 4u);
    streamer.handleEncodedFrame(EncodedFrame{{}, false, 11.0}); // nothing made: no number used
    EXPECT_EQ(streamer.sequenceNumber(), 4u);
    // Each fragment's capture time is kept for measuring delays, and only for fragments made.
    EXPECT_EQ(streamer.captureTimeOf(1), 10.0);
    EXPECT_EQ(streamer.captureTimeOf(3), 10.0 + 2 / 60.0);
    EXPECT_EQ(streamer.captureTimeOf(4), std::nullopt);
    EXPECT_EQ(streamer.captureTimeOf(0), std::nullopt);
    io.run(); // the fragments reach no client, and nothing breaks
    streamer.startStreaming();
    EXPECT_EQ(captureThreads(), 1);
  }
  EXPECT_EQ(captureThreads(), 0);
  log.clear();
  desktop.setMouseLocation(Point{-500, -500});
  LiveScreenStreamer streamer(desktop, log, io, small);
  streamer.startStreaming();
  EXPECT_EQ(log.lines(),
            (Lines{"No display found under cursor.", "Compression session created successfully",
                   "Stream started successfully"}));
  EXPECT_TRUE(streamer.isStreaming());
  EXPECT_EQ(captureThreads(), 0);
}

} // namespace
} // namespace tovel
