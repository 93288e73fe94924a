#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/sim/manual_clock.h"
#include "platform/sim/virtual_desktop.h"
#include "support/threads.h"

namespace tovel {
namespace {

using namespace std::chrono_literals;

using test::captureThreads;

// Real time, a day ahead: stamps that can only have come from this clock.
class DayAheadClock final : public Clock {
public:
  double now() override { return system_.now() + 86400; }
  void sleepFor(double seconds) override { system_.sleepFor(seconds); }

private:
  SystemClock system_;
};

// What each delivered frame looked like.
class Recorder {
public:
  struct Seen {
    double timestamp;
    int width, height;
    bool leftGreen, rightGreen; // in the middle of each half
    std::optional<Point> pointer;
  };

  FrameHandler handler() {
    return [this](const CapturedFrame& frame) {
      // Green give or take the rounding of the scaler's fixed-point arithmetic.
      const ImageView& i = frame.image;
      auto green = [&](int x) {
        const std::uint8_t* p = i.pixel(x, i.height / 2);
        return p[0] < 8 && p[1] > 247 && p[2] < 8;
      };
      std::lock_guard lock(mutex_);
      frames_.push_back({frame.timestamp, i.width, i.height, green(i.width / 4),
                         green(i.width * 3 / 4), frame.pointer});
      arrived_.notify_all();
    };
  }
  std::vector<Seen> seen() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  // Waits until the frames so far pass the test; false when they do not within a generous time.
  bool waitUntil(const std::function<bool(const std::vector<Seen>&)>& test) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, 60s, [&] { return test(frames_); });
  }
  bool waitForCount(std::size_t count) {
    return waitUntil([&](const std::vector<Seen>& frames) { return frames.size() >= count; });
  }

private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Seen> frames_;
};

// A small screen, cheap to render even in sanitizer builds, its left half covered by a window.
void setUp(VirtualDesktop& desktop) {
  desktop.setScreens({Screen{1, Rect{0, 0, 640, 360}, 1.0, "small"}});
  VirtualWindow window;
  window.info.number = 1;
  window.info.bounds = Rect{0, 0, 320, 360};
  window.colour = 0xff00ff00;
  desktop.setWindows({window});
}

TEST(VirtualContinuousCapture, DeliversScaledFramesAtTheIntervalUntilStopped) {
  DayAheadClock clock;
  VirtualDesktop desktop(clock);
  setUp(desktop);
  desktop.setMouseLocation(Point{100, 50});
  Recorder recorder;
  PlatformError error;
  double started = clock.now();
  auto capture = desktop.startContinuousCapture(1, {480, 270, 0.1}, recorder.handler(), error);
  ASSERT_NE(capture, nullptr) << error.description;
  // Each frame carries the pointer as it was when the picture was taken.
  ASSERT_TRUE(recorder.waitForCount(3));
  desktop.setMouseLocation(Point{500, 300});
  ASSERT_TRUE(recorder.waitUntil([](const std::vector<Recorder::Seen>& frames) {
    return frames.size() >= 6 && frames.back().pointer == (Point{500, 300});
  }));
  EXPECT_EQ(captureThreads(), 1);
  capture->stop();
  double stopped = clock.now();
  // stop() returns once the thread is gone, so no frame can follow.
  EXPECT_EQ(captureThreads(), 0);

  auto frames = recorder.seen();
  EXPECT_EQ(frames.front().pointer, (Point{100, 50}));
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Recorder::Seen& f = frames[i];
    EXPECT_TRUE(f.width == 480 && f.height == 270 && f.leftGreen && !f.rightGreen) << i;
    EXPECT_TRUE(f.timestamp >= started && f.timestamp <= stopped) << i;
    EXPECT_TRUE(f.pointer == (Point{100, 50}) || f.pointer == (Point{500, 300})) << i;
    if (i > 0) {
      EXPECT_GE(f.timestamp - frames[i - 1].timestamp, 0.099) << "frame " << i;
    }
  }
}

TEST(VirtualContinuousCapture, RefusesWhatItCannotCaptureAndPacesByRealTime) {
  ManualClock clock(1'700'000'000.0);
  VirtualDesktop desktop(clock);
  setUp(desktop);
  Recorder recorder;
  PlatformError error;
  for (auto [display, width] : {std::pair{7, 480}, std::pair{1, 1'000'000}}) {
    error = {};
    EXPECT_EQ(desktop.startContinuousCapture(display, {width, 270, 0.1}, recorder.handler(), error),
              nullptr);
    EXPECT_FALSE(error.description.empty()) << display << " " << width;
  }
  EXPECT_TRUE(recorder.seen().empty());
  // Frames keep coming while the desktop's clock stands still, and carry its time.
  auto capture = desktop.startContinuousCapture(1, {0, 0, 0.05}, recorder.handler(), error);
  ASSERT_NE(capture, nullptr) << error.description;
  ASSERT_TRUE(recorder.waitForCount(3));
  clock.set(1'800'000'000.0);
  ASSERT_TRUE(recorder.waitUntil([](const std::vector<Recorder::Seen>& frames) {
    return frames.back().timestamp == 1'800'000'000.0;
  }));
  capture.reset();

  auto frames = recorder.seen();
  EXPECT_EQ(frames.front().width, 640); // no size asked: the display's own
  EXPECT_EQ(frames.front().timestamp, 1'700'000'000.0);
}

TEST(VirtualContinuousCapture, CanBeDestroyedFromItsOwnHandler) {
  ManualClock clock;
  VirtualDesktop desktop(clock);
  setUp(desktop);
  std::promise<void> published, destroyed;
  std::shared_future<void> ready = published.get_future().share();
  std::unique_ptr<ContinuousCapture> capture;
  std::atomic<int> calls{0};
  PlatformError error;
  capture = desktop.startContinuousCapture(
      1, {64, 36, 0.01},
      [&](const CapturedFrame&) {
        ++calls;
        ready.wait();
        capture.reset();
        destroyed.set_value();
      },
      error);
  ASSERT_NE(capture, nullptr) << error.description;
  published.set_value();
  ASSERT_EQ(destroyed.get_future().wait_for(60s), std::future_status::ready);
  // The thread ends by itself once the handler returns; until then nothing else may call it.
  for (auto deadline = std::chrono::steady_clock::now() + 60s;
       captureThreads() > 0 && std::chrono::steady_clock::now() < deadline;)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(captureThreads(), 0);
  EXPECT_EQ(calls, 1);
}

} // namespace
} // namespace tovel
