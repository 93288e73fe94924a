#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include "platform/sim/manual_clock.h"
#include "platform/sim/virtual_desktop.h"
#include "support/threads.h"
#include "support/unit_collector.h"
#include "support/wait.h"

namespace tovel {
namespace {

using namespace std::chrono_literals;

using test::captureThreads;
using test::waitUntil;

// Every frame a subscriber is given, pixels and all.
struct Subscriber : test::Collected<CapturedFrame> {
  FrameHandler handler() {
    return [this](const CapturedFrame& frame) { add(frame); };
  }
  std::vector<CapturedFrame> frames() { return items(); }
};

void expectGaps(const std::vector<CapturedFrame>& frames, double interval) {
  for (std::size_t i = 1; i < frames.size(); ++i)
    EXPECT_GE(frames[i].captureTime - frames[i - 1].captureTime, interval - 1e-3) << i;
}

std::uint32_t colourAt(const CapturedFrame& frame, int x, int y) {
  const std::uint8_t* p = frame.image.pixel(x, y);
  return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
}

struct SharedCaptureTest : ::testing::Test {
  // A small screen, cheap to render even in sanitizer builds, its left half covered by a window
  // whose colour the tests change.
  SharedCaptureTest() {
    desktop.setScreens({Screen{1, Rect{0, 0, 640, 360}, 1.0, "small"}});
    paint(0xff00ff00);
    desktop.setMouseLocation(Point{600, 20});
  }
  void paint(std::uint32_t colour) {
    VirtualWindow window;
    window.info.number = 1;
    window.info.bounds = Rect{0, 0, 320, 360};
    window.colour = colour;
    desktop.setWindows({window});
  }
  std::unique_ptr<ContinuousCapture> subscribe(Subscriber& subscriber, double interval,
                                               double longest = 0) {
    PlatformError error;
    auto capture =
        desktop.startContinuousCapture(1, {interval, longest}, subscriber.handler(), error);
    EXPECT_NE(capture, nullptr) << error.description;
    return capture;
  }
  void letTheCaptureLook() {
    std::uint64_t checks = desktop.pictureChecks();
    ASSERT_TRUE(waitUntil([&] { return desktop.pictureChecks() >= checks + 5; }));
  }

  ManualClock clock{1'700'000'000.0};
  VirtualDesktop desktop{clock};
};

TEST_F(SharedCaptureTest,
       SubscribersShareOneCaptureThatLooksOftenTakesPicturesOnChangeAndEndsWithThem) {
  Subscriber fast, slow;
  auto first = subscribe(fast, 0);
  auto second = subscribe(slow, 3600); // one frame an hour, unless it asks
  ASSERT_TRUE(fast.waitForCount(1) && slow.waitForCount(1));
  EXPECT_EQ(captureThreads(), 1);

  // A still screen: the capture looks and takes no picture.
  std::uint64_t rendered = desktop.renderCount();
  letTheCaptureLook();
  EXPECT_EQ(desktop.renderCount(), rendered);
  EXPECT_EQ(fast.frames().size(), 1u);

  // A change reaches the subscriber that is due at once, with its own owned pixels.
  paint(0xffff0000);
  ASSERT_TRUE(fast.waitForCount(2));
  // The slow one gets the newest picture when it asks, however soon after its last.
  second->requestFrame();
  ASSERT_TRUE(slow.waitForCount(2));

  std::vector<CapturedFrame> frames = fast.frames();
  EXPECT_EQ(colourAt(frames[0], 100, 100), 0x00ff00u); // still intact, though kept past its call
  EXPECT_EQ(colourAt(frames[1], 100, 100), 0xff0000u);
  EXPECT_EQ(frames[0].image.width, 640);
  EXPECT_EQ(frames[1].pointer, (Point{600, 20}));
  EXPECT_EQ(colourAt(slow.frames()[1], 100, 100), 0xff0000u);
  EXPECT_EQ(desktop.renderCount(), rendered + 1); // one picture for both
  EXPECT_GT(slow.frames()[1].captureTime, frames[1].captureTime - 1e-9);

  // The capture stops with its last subscriber and starts again with the next.
  first->stop();
  EXPECT_EQ(captureThreads(), 1);
  second.reset();
  EXPECT_EQ(captureThreads(), 0); // gone when the last stop returns
  Subscriber third;
  auto again = subscribe(third, 0);
  ASSERT_TRUE(third.waitForCount(1));
  EXPECT_EQ(captureThreads(), 1);
  PlatformError error;
  EXPECT_EQ(desktop.startContinuousCapture(7, {0.1}, third.handler(), error), nullptr);
  EXPECT_FALSE(error.description.empty());
}

TEST_F(SharedCaptureTest,
       AnUnchangedPictureComesAgainWithTheTimeOfNowWhenAskedOrAfterTheLongestWait) {
  Subscriber asking, waiting, neither;
  auto asks = subscribe(asking, 0);
  auto waits = subscribe(waiting, 0, 0.05);
  auto other = subscribe(neither, 0);
  ASSERT_TRUE(asking.waitForCount(1) && waiting.waitForCount(1) && neither.waitForCount(1));
  std::uint64_t rendered = desktop.renderCount();
  clock.advance(0); // nothing moves
  letTheCaptureLook();
  asks->requestFrame();
  ASSERT_TRUE(asking.waitForCount(2) && waiting.waitForCount(3));
  EXPECT_EQ(neither.frames().size(), 1u);
  EXPECT_EQ(desktop.renderCount(), rendered); // not taken again
  for (Subscriber* subscriber : {&asking, &waiting}) {
    auto frames = subscriber->frames();
    expectGaps(frames, subscriber == &waiting ? 0.05 : 1e-3 + 1e-9);
    for (const CapturedFrame& frame : frames) {
      EXPECT_EQ(frame.pixels, frames[0].pixels);
      EXPECT_EQ(frame.timestamp, 1'700'000'000.0);
    }
  }
}

TEST_F(SharedCaptureTest, EachSubscriberGetsFramesNoCloserThanItsInterval) {
  // The real clock moves the virtual picture all the time.
  SystemClock realTime;
  VirtualDesktop moving(realTime);
  moving.setScreens({Screen{1, Rect{0, 0, 160, 90}, 1.0, "tiny"}});
  Subscriber quick, tenth;
  PlatformError error;
  auto a = moving.startContinuousCapture(1, {0.02}, quick.handler(), error);
  auto b = moving.startContinuousCapture(1, {0.1}, tenth.handler(), error);
  ASSERT_TRUE(a && b) << error.description;
  ASSERT_TRUE(tenth.waitForCount(4));
  a.reset();
  b.reset();
  expectGaps(quick.frames(), 0.02);
  expectGaps(tenth.frames(), 0.1);
  EXPECT_GT(quick.frames().size(), tenth.frames().size());
}

TEST_F(SharedCaptureTest, ASubscriberMayEndItsSubscriptionFromItsOwnHandler) {
  std::promise<void> published, ended;
  std::shared_future<void> ready = published.get_future().share();
  std::unique_ptr<ContinuousCapture> capture;
  int calls = 0;
  PlatformError error;
  capture = desktop.startContinuousCapture(
      1, {0},
      [&](const CapturedFrame&) {
        ++calls;
        ready.wait();
        capture.reset();
        ended.set_value();
      },
      error);
  ASSERT_NE(capture, nullptr) << error.description;
  published.set_value();
  ASSERT_EQ(ended.get_future().wait_for(60s), std::future_status::ready);
  // The thread ends by itself once the handler returns.
  EXPECT_TRUE(waitUntil([] { return captureThreads() == 0; }));
  EXPECT_EQ(calls, 1);
}

} // namespace
} // namespace tovel
