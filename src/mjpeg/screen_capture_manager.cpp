#include "mjpeg/screen_capture_manager.h"

namespace tovel {

ScreenCaptureManager::ScreenCaptureManager(Platform& platform, Log& log, CaptureDisplay display,
                                           CaptureHandler onCapture)
    : platform_(platform), log_(log), display_(std::move(display)),
      onCapture_(std::move(onCapture)) {}

ScreenCaptureManager::~ScreenCaptureManager() {
  stopCapture();
}

bool ScreenCaptureManager::startCapture() {
  ContinuousCaptureSettings settings;
  settings.minimumFrameInterval = minimumFrameInterval;

  PlatformError error;
  std::unique_ptr<ContinuousCapture> stream = platform_.startContinuousCapture(
      display_.id, settings, [this](const CapturedFrame& frame) { handleFrame(frame); }, error);
  if (!stream) {
    log_.print("Error starting capture: " + error.description);
    return false;
  }
  std::unique_ptr<ContinuousCapture> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::move(stream_);
    stream_ = std::move(stream);
  }
  if (previous)
    previous->stop();
  return true;
}

void ScreenCaptureManager::stopCapture() {
  std::unique_ptr<ContinuousCapture> stream;
  {
    std::lock_guard lock(mutex_);
    stream = std::move(stream_);
  }
  // Outside the lock: stopping waits for the frame in progress, whose handler may ask for the
  // state of this manager.
  if (stream)
    stream->stop();
}

bool ScreenCaptureManager::capturing() const {
  std::lock_guard lock(mutex_);
  return stream_ != nullptr;
}

void ScreenCaptureManager::handleFrame(const CapturedFrame& frame) {
  if (frame.image.empty())
    return;
  double now = frame.timestamp;
  if (lastCaptureTime_ && now - *lastCaptureTime_ < captureInterval)
    return;
  lastCaptureTime_ = now;
  onCapture_(frame);
}

} // namespace tovel
