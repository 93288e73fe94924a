#pragma once

#include <memory>

#include "platform/clock.h"
#include "platform/threaded_capture.h"

namespace tovel {

class VirtualDesktop;

// Continuous capture of a virtual display: its picture rendered at the minimum interval, in real
// time, on a thread of its own, scaled to the settings' size (the display's own size when the
// settings give none). Timestamps come from the desktop's clock, which a test may hold still;
// pacing always follows the steady clock.
class VirtualContinuousCapture final : public ThreadedCapture {
public:
  // Null, with the reason in error, for an unknown display or an absurd frame size.
  static std::unique_ptr<VirtualContinuousCapture>
  start(VirtualDesktop& desktop, Clock& clock, DisplayId display,
        const ContinuousCaptureSettings& settings, FrameHandler handler, PlatformError& error);

private:
  struct Worker;
  VirtualContinuousCapture() = default;
};

} // namespace tovel
