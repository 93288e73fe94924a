#include "platform/x11/x11_capture.h"

#include "platform/x11/x11_capture_source.h"
#include "platform/x11/x11_monitors.h"
#include "platform/x11/x11_shm_grabber.h"

namespace tovel {

namespace {

// Single grabs on a connection of its own: its shared-memory segment is attached to that
// connection, and whichever thread holds the capturer may use it.
class X11ScreenCapturer final : public ScreenCapturer {
public:
  X11ScreenCapturer(std::unique_ptr<XConnection> connection, std::unique_ptr<X11ShmGrabber> grabber)
      : connection_(std::move(connection)), grabber_(std::move(grabber)) {}

  ~X11ScreenCapturer() override { grabber_.reset(); } // the segment before its connection

  std::optional<ImageView> capture(DisplayId display, const std::optional<Rect>& rect) override {
    // Asked afresh every time: monitors and the root size change at run time, and a grab outside
    // the root is an X error.
    Display* x = connection_->get();
    MonitorLayout layout = queryMonitors(x);
    const Monitor* monitor = layout.find(display);
    std::optional<RootArea> root = rootWindowArea(x);
    if (!monitor || !root)
      return std::nullopt;
    std::optional<RootArea> area = captureArea(*monitor, rect, root->width, root->height);
    if (!area)
      return std::nullopt;
    return grabber_->grab(*area);
  }

private:
  std::unique_ptr<XConnection> connection_;
  std::unique_ptr<X11ShmGrabber> grabber_;
};

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
  auto connection = XConnection::open(connections_.displayName());
  if (!connection)
    return nullptr;
  auto grabber = X11ShmGrabber::create(connection->get());
  if (!grabber)
    return nullptr;
  return std::make_unique<X11ScreenCapturer>(std::move(connection), std::move(grabber));
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
