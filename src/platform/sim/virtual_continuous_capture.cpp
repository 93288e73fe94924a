#include "platform/sim/virtual_continuous_capture.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <string>
#include <system_error>

#include "platform/scale.h"
#include "platform/sim/virtual_desktop.h"

namespace tovel {

namespace {

constexpr int kLargestFrameSide = 16384;
// Nothing tells the virtual screen apart from an unchanged one, so without a floor a zero
// interval would keep a core busy rendering.
constexpr double kShortestInterval = 1.0 / 120;

} // namespace

struct VirtualContinuousCapture::Worker {
  Worker(VirtualDesktop& d, Clock& c) : desktop(d), clock(c) {}

  VirtualDesktop& desktop;
  Clock& clock;
  DisplayId display = 0;
  ContinuousCaptureSettings settings;
  FrameHandler handler;

  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false; // under mutex
  std::atomic<std::thread::id> thread;

  BgraImage rendered;
  BgraImage scaled;

  void requestStop() {
    std::lock_guard lock(mutex);
    stopping = true;
    wake.notify_all();
  }

  bool stopRequested() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  void run() {
    using Steady = std::chrono::steady_clock;
    thread = std::this_thread::get_id();
    pthread_setname_np(pthread_self(), "tovel-capture"); // shows in top -H and /proc
    const auto interval = std::chrono::duration_cast<Steady::duration>(
        std::chrono::duration<double>(settings.minimumFrameInterval));
    Steady::time_point due = Steady::now();
    while (true) {
      {
        std::unique_lock lock(mutex);
        if (wake.wait_until(lock, due, [&] { return stopping; }))
          break;
      }
      Steady::time_point started = Steady::now();
      deliverFrame();
      // Measured from the start of a frame, so frames never come closer than the interval.
      due = started + interval;
    }
  }

  void deliverFrame() {
    double timestamp = clock.now(); // the moment the picture shows
    desktop.render(display, rendered);
    ImageView frame = rendered.view();
    if (frame.empty())
      return; // the display went away; it may come back
    int width = settings.width > 0 ? settings.width : frame.width;
    int height = settings.height > 0 ? settings.height : frame.height;
    if (width != frame.width || height != frame.height) {
      if (!scaleBgra(frame, scaled, width, height))
        return;
      frame = scaled.view();
    }
    if (stopRequested())
      return;
    handler(CapturedFrame{frame, timestamp});
  }
};

std::unique_ptr<VirtualContinuousCapture>
VirtualContinuousCapture::start(VirtualDesktop& desktop, Clock& clock, DisplayId display,
                                const ContinuousCaptureSettings& settings, FrameHandler handler,
                                PlatformError& error) {
  if (!handler) {
    error = PlatformError{EINVAL, "no frame handler"};
    return nullptr;
  }
  if (settings.width > kLargestFrameSide || settings.height > kLargestFrameSide) {
    error = PlatformError{EINVAL, "frame size " + std::to_string(settings.width) + "x" +
                                      std::to_string(settings.height) + " is too large"};
    return nullptr;
  }
  bool known = false;
  if (auto displays = desktop.capturableDisplays())
    for (const CaptureDisplay& d : *displays)
      known = known || d.id == display;
  if (!known) {
    error = PlatformError{ENODEV, "no display " + std::to_string(display)};
    return nullptr;
  }
  auto worker = std::make_shared<Worker>(desktop, clock);
  worker->display = display;
  worker->settings = settings;
  double interval = settings.minimumFrameInterval;
  worker->settings.minimumFrameInterval = std::isfinite(interval)
                                              ? std::clamp(interval, kShortestInterval, 86400.0)
                                              : kShortestInterval;
  worker->handler = std::move(handler);

  std::unique_ptr<VirtualContinuousCapture> capture(new VirtualContinuousCapture(worker));
  try {
    capture->thread_ = std::thread([worker] { worker->run(); });
  } catch (const std::system_error& e) {
    error = PlatformError{e.code().value(), "cannot start the capture thread"};
    return nullptr;
  }
  return capture;
}

VirtualContinuousCapture::VirtualContinuousCapture(std::shared_ptr<Worker> worker)
    : worker_(std::move(worker)) {}

VirtualContinuousCapture::~VirtualContinuousCapture() {
  stop();
  if (thread_.joinable())
    thread_.detach(); // destroyed by its own handler: the thread finishes on its own
}

void VirtualContinuousCapture::stop() {
  worker_->requestStop();
  if (std::this_thread::get_id() == worker_->thread.load())
    return;
  std::lock_guard lock(stopMutex_);
  if (thread_.joinable())
    thread_.join();
}

} // namespace tovel
