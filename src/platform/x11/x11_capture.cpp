#include "platform/x11/x11_capture.h"

#include "platform/x11/x11_capture_source.h"
#include "platform/x11/x11_monitors.h"
#include "platform/x11/x11_screen_capturer.h"

namespace tovel {

namespace {

std::string describe(const Monitor& monitor) {
  return (monitor.name.empty() ? std::string("monitor") : monitor.name) + " (" +
         std::to_string(monitor.width) + "x" + std::to_string(monitor.height) + " at " +
         std::to_string(monitor.x) + "," + std::to_string(monitor.y) +
         (monitor.primary ? ", primary)" : ")");
}

} // namespace

X11Capture::X11Capture(ThreadConnections& connections)
    : connections_(connections),
      captures_([this](DisplayId display, PlatformError& error) -> std::unique_ptr<CaptureSource> {
        return X11CaptureSource::open(connections_.displayName(), display, error);
      }) {}

X11Capture::~X11Capture() = default;

std::unique_ptr<ScreenCapturer> X11Capture::createScreenCapturer() {
  return X11ScreenCapturer::open(connections_.displayName());
}

std::optional<std::vector<CaptureDisplay>> X11Capture::capturableDisplays() {
  Display* x = connections_.forThisThread();
  if (!x)
    return std::nullopt;
  std::vector<CaptureDisplay> displays;
  for (const Monitor& monitor : queryMonitors(x).monitors)
    displays.push_back(
        CaptureDisplay{monitor.id, monitor.width, monitor.height, describe(monitor)});
  return displays;
}

std::unique_ptr<ContinuousCapture>
X11Capture::startContinuousCapture(DisplayId display, const ContinuousCaptureSettings& settings,
                                   FrameHandler handler, PlatformError& error) {
  return captures_.subscribe(display, settings, std::move(handler), error);
}

} // namespace tovel
