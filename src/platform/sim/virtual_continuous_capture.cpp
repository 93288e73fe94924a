#include "platform/sim/virtual_continuous_capture.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/sim/virtual_desktop.h"

namespace tovel {

namespace {

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
    Point pointer = desktop.mouseLocation();
    desktop.render(display, rendered);
    if (rendered.view().empty())
      return; // the display went away; it may come back
    std::optional<ImageView> frame = atSettingsSize(rendered.view(), settings, scaled);
    if (!frame || stopRequested())
      return;
    handler(CapturedFrame{*frame, timestamp, pointer});
  }
};

std::unique_ptr<VirtualContinuousCapture>
VirtualContinuousCapture::start(VirtualDesktop& desktop, Clock& clock, DisplayId display,
                                const ContinuousCaptureSettings& settings, FrameHandler handler,
                                PlatformError& error) {
  if (!acceptable(handler, settings, error))
    return nullptr;
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

  std::unique_ptr<VirtualContinuousCapture> capture(new VirtualContinuousCapture);
  if (!capture->startThread([worker] { worker->run(); }, [worker] { worker->requestStop(); },
                            error))
    return nullptr;
  return capture;
}

} // namespace tovel
