#pragma once

#include <memory>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/platform.h"

namespace tovel {

class VirtualDesktop;

// Continuous capture of a virtual display: its picture rendered at the minimum interval, in real
// time, on a thread of its own, scaled to the settings' size (the display's own size when the
// settings give none). Timestamps come from the desktop's clock, which a test may hold still;
// pacing always follows the steady clock.
class VirtualContinuousCapture final : public ContinuousCapture {
public:
  // Null, with the reason in error, for an unknown display or an absurd frame size.
  static std::unique_ptr<VirtualContinuousCapture>
  start(VirtualDesktop& desktop, Clock& clock, DisplayId display,
        const ContinuousCaptureSettings& settings, FrameHandler handler, PlatformError& error);
  ~VirtualContinuousCapture() override;

  // Ends the thread and waits for a handler call in progress; called from the handler itself, no
  // further call starts and the thread ends when the handler returns.
  void stop() override;

private:
  struct Worker;
  explicit VirtualContinuousCapture(std::shared_ptr<Worker> worker);

  std::shared_ptr<Worker> worker_;
  std::mutex stopMutex_;
  std::thread thread_;
};

} // namespace tovel
