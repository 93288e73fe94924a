#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "common/log.h"
#include "platform/platform.h"

namespace tovel {

// Runs the continuous capture of one display for a follow-capture stream and passes on at most
// one frame per captureInterval, measured between the times the pictures were taken (so a late
// handler cannot make a picture look too early). The first frame always passes, so that a still
// screen, of which the capture sends no other, is shown at once.
class ScreenCaptureManager {
public:
  // Receives an admitted frame, on the capture thread; its picture is valid only during the call.
  using CaptureHandler = std::function<void(const CapturedFrame&)>;

  static constexpr double captureInterval = 0.1;
  // Frames the rule above would drop are not captured at all, and a capture that only delivers
  // changes grabs the newest picture when the interval ends, so the last change before the screen
  // goes still is never dropped. The margin absorbs the jitter of the capture's timing.
  static constexpr double minimumFrameInterval = captureInterval + 0.01;

  ScreenCaptureManager(Platform& platform, Log& log, CaptureDisplay display,
                       CaptureHandler onCapture);
  // Stops the capture.
  ~ScreenCaptureManager();
  ScreenCaptureManager(const ScreenCaptureManager&) = delete;
  ScreenCaptureManager& operator=(const ScreenCaptureManager&) = delete;

  // Joins the display's continuous capture, whose frames come at the display's own pixel size.
  // False, after printing why, when the capture cannot start.
  bool startCapture();
  // Ends the capture and waits for a frame being handled to finish (unless called from the
  // handler itself). Calling it again does nothing.
  void stopCapture();
  bool capturing() const;

  // One frame of the capture: passed to the handler unless it comes less than captureInterval
  // after the last one passed on. Called by the capture thread, one call at a time.
  void handleFrame(const CapturedFrame& frame);

private:
  Platform& platform_;
  Log& log_;
  const CaptureDisplay display_;
  const CaptureHandler onCapture_;
  std::optional<double> lastCaptureTime_; // touched by the capture thread only

  mutable std::mutex mutex_;
  std::unique_ptr<ContinuousCapture> stream_; // under mutex_
};

} // namespace tovel
