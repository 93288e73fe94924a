#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "platform/x11/x11_connection.h"

namespace tovel {

// Screen capture of an X server: single grabs through shared memory (XShm) into reused
// segments, and continuous capture threads that use XDamage so an unchanged screen costs almost
// nothing.
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

private:
  ThreadConnections& connections_;
};

} // namespace tovel
