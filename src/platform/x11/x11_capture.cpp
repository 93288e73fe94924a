// PLACEHOLDER: being written.
#include "platform/x11/x11_capture.h"
namespace tovel {
X11Capture::X11Capture(ThreadConnections& connections) : connections_(connections) {}
X11Capture::~X11Capture() = default;
std::unique_ptr<ScreenCapturer> X11Capture::createScreenCapturer() { return nullptr; }
std::optional<std::vector<CaptureDisplay>> X11Capture::capturableDisplays() { return std::nullopt; }
std::unique_ptr<ContinuousCapture> X11Capture::startContinuousCapture(DisplayId,
                                                                      const ContinuousCaptureSettings&,
                                                                      FrameHandler, PlatformError&) {
  return nullptr;
}
} // namespace tovel
