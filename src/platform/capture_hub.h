#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/shared_capture.h"

namespace tovel {

// Keeps one shared capture per display for a desktop: the first subscriber of a display starts
// its capture, later ones join it, and the capture stops with its last subscriber.
class CaptureHub {
public:
  // Makes the source of a display's pictures; null, with the reason in error, when the display
  // cannot be captured.
  using SourceFactory =
      std::function<std::unique_ptr<CaptureSource>(DisplayId display, PlatformError& error)>;

  explicit CaptureHub(SourceFactory makeSource) : makeSource_(std::move(makeSource)) {}

  std::unique_ptr<ContinuousCapture> subscribe(DisplayId display,
                                               const ContinuousCaptureSettings& settings,
                                               FrameHandler handler, PlatformError& error);

  // Displays whose capture is running.
  std::size_t runningCaptures();

private:
  SourceFactory makeSource_;
  std::mutex mutex_;
  std::map<DisplayId, std::weak_ptr<SharedCapture>> captures_;
};

} // namespace tovel
