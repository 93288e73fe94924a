#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/clock.h"
#include "platform/picture_pool.h"
#include "platform/shared_capture.h"
#include "platform/sim/virtual_desktop.h"

namespace tovel {

// The pictures of one virtual display for its shared capture: rendered when the desktop's picture
// changed (a window, the pointer, the screens, or the clock, which moves the background), like a
// real desktop that reports what was drawn. Frames carry the desktop clock's time, which a test
// may hold still.
class VirtualCaptureSource final : public CaptureSource {
public:
  VirtualCaptureSource(VirtualDesktop& desktop, Clock& clock, DisplayId display)
      : desktop_(desktop), clock_(clock), display_(display) {}

  bool changed() override { return desktop_.pictureVersion() != rendered_; }
  std::optional<CapturedFrame> grab(bool always) override;
  void wait(std::optional<TimePoint> deadline) override;
  void wake() override;
  double clockNow() override { return clock_.now(); }

private:
  VirtualDesktop& desktop_;
  Clock& clock_;
  const DisplayId display_;
  VirtualDesktop::PictureVersion rendered_;
  PicturePool pool_;

  std::mutex mutex_;
  std::condition_variable woken_;
  bool wakeRequested_ = false; // under mutex_
};

} // namespace tovel
