#include "platform/sim/virtual_capture_source.h"

#include <chrono>

namespace tovel {

namespace {

// The virtual desktop tells nobody when its picture changes; the capture looks this often.
constexpr auto kLookInterval = std::chrono::milliseconds(10);

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

} // namespace

std::optional<CapturedFrame> VirtualCaptureSource::grab(bool always) {
  VirtualDesktop::PictureVersion version = desktop_.pictureVersion();
  if (!always && version == rendered_)
    return std::nullopt;
  CapturedFrame frame;
  frame.timestamp = version.time;
  frame.captureTime = steadySeconds();
  frame.pointer = desktop_.mouseLocation();
  std::shared_ptr<BgraImage> picture = pool_.take(0, 0);
  desktop_.render(display_, *picture);
  if (picture->view().empty())
    return std::nullopt; // the display went away; it may come back
  rendered_ = version;
  frame.image = picture->view();
  frame.pixels = std::move(picture);
  return frame;
}

void VirtualCaptureSource::wait(std::optional<TimePoint> deadline) {
  TimePoint until = std::chrono::steady_clock::now() + kLookInterval;
  if (deadline && *deadline < until)
    until = *deadline;
  std::unique_lock lock(mutex_);
  woken_.wait_until(lock, until, [&] { return wakeRequested_; });
  wakeRequested_ = false;
}

void VirtualCaptureSource::wake() {
  std::lock_guard lock(mutex_);
  wakeRequested_ = true;
  woken_.notify_all();
}

} // namespace tovel
