#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/capture_hub.h"
#include "platform/platform.h"
#include "platform/x11/x11_connection.h"

namespace tovel {

// Screen capture of an X server: single grabs through shared memory (XShm) into reused
// segments, and one continuous capture per monitor, shared by its subscribers, that uses XDamage
// so an unchanged screen costs almost nothing.
class X11Capture {
public:
  explicit X11Capture(ThreadConnections& connections);
  ~X11Capture();

  // A capturer with a connection of its own; null when the display cannot be opened or its
  // pixels cannot be read as BGRA.
  std::unique_ptr<ScreenCapturer> createScreenCapturer();
  // The RandR monitors, primary first.
  std::optional<std::vector<CaptureDisplay>> capturableDisplays();
  std::unique_ptr<ContinuousCapture>
  startContinuousCapture(DisplayId display, const ContinuousCaptureSettings& settings,
                         FrameHandler handler, PlatformError& error);

  // Monitors whose continuous capture is running.
  std::size_t runningCaptures() { return captures_.runningCaptures(); }

private:
  ThreadConnections& connections_;
  CaptureHub captures_;
};

} // namespace tovel
