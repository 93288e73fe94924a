#include "platform/wlroots/wlroots_desktop.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "platform/keysyms.h"
#include "platform/wlroots/wlroots_capture.h"

namespace tovel {

namespace {

constexpr double kDefaultDoubleClickInterval = 0.4;
// How long start-up and exit wait for the compositor to have handled what was sent.
constexpr auto kSyncTimeout = std::chrono::seconds(2);

std::optional<std::uint32_t> evdevButtonFor(MouseEventType type) {
  switch (type) {
  case MouseEventType::leftMouseDown:
  case MouseEventType::leftMouseUp:
    return 0x110; // BTN_LEFT
  case MouseEventType::rightMouseDown:
  case MouseEventType::rightMouseUp:
    return 0x111; // BTN_RIGHT
  case MouseEventType::otherMouseDown:
  case MouseEventType::otherMouseUp:
    return 0x112; // BTN_MIDDLE
  default:
    return std::nullopt;
  }
}

} // namespace

std::unique_ptr<WlrootsDesktop> WlrootsDesktop::open(std::string& error) {
  std::unique_ptr<WlrootsDesktop> desktop(new WlrootsDesktop);
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  desktop->waylandDisplay_ = wayland ? wayland : "";
  desktop->client_ = WaylandClient::connect(error);
  if (!desktop->client_)
    return nullptr;
  std::string missing = desktop->client_->missingGlobals();
  if (!missing.empty()) {
    error = "the compositor offers no " + missing;
    return nullptr;
  }
  MonitorLayout layout = desktop->client_->layout();
  const Monitor* primary = layout.primary();
  if (!primary) {
    error = "the compositor has no output";
    return nullptr;
  }
  WlrootsDesktop* self = desktop.get();
  desktop->input_ = std::make_unique<WlrootsInput>(*desktop->client_);
  desktop->hub_ = std::make_unique<CaptureHub>(
      [self](DisplayId display, PlatformError& failure) -> std::unique_ptr<CaptureSource> {
        std::optional<Monitor> monitor = self->monitor(display);
        if (!monitor) {
          failure = PlatformError{ENODEV, "no output for display " + std::to_string(display)};
          return nullptr;
        }
        return WlrootsCaptureSource::open(
            *monitor, [self]() -> std::optional<Point> { return self->mouseLocation(); }, failure);
      });

  // No protocol tells a client where the pointer is: it is put where the host's record begins,
  // the middle of the primary output, and followed from there.
  int left = primary->x, top = primary->y, right = primary->x + primary->width,
      bottom = primary->y + primary->height;
  for (const Monitor& m : layout.monitors) {
    left = std::min(left, m.x);
    top = std::min(top, m.y);
    right = std::max(right, m.x + m.width);
    bottom = std::max(bottom, m.y + m.height);
  }
  int centreX = primary->x + primary->width / 2, centreY = primary->y + primary->height / 2;
  desktop->input_->place(std::uint32_t(centreX - left), std::uint32_t(centreY - top),
                         std::uint32_t(right - left), std::uint32_t(bottom - top));
  desktop->pointer_.placeAt(Point{double(centreX), double(centreY)});

  desktop->client_->setLayoutHandler([self](const MonitorLayout& changed) {
    self->pointer_.layoutChanged(changed);
    std::lock_guard lock(self->handlerMutex_);
    if (self->screenHandler_)
      self->screenHandler_();
  });
  desktop->client_->startThread();
  if (!desktop->client_->sync(kSyncTimeout)) {
    error = "the compositor does not answer";
    return nullptr;
  }
  return desktop;
}

WlrootsDesktop::~WlrootsDesktop() {
  hub_.reset();
  input_.reset();
  client_.reset();
}

void WlrootsDesktop::releaseHeldInput() {
  input_->releaseAll();
  client_->sync(kSyncTimeout);
}

std::optional<Monitor> WlrootsDesktop::monitor(DisplayId display) const {
  MonitorLayout layout = client_->layout();
  if (const Monitor* found = layout.find(display))
    return *found;
  return std::nullopt;
}

std::optional<MouseEvent> WlrootsDesktop::createMouseEvent(MouseEventType type, Point position,
                                                           MouseButton button) {
  return makeMouseEvent(type, position, button);
}

std::optional<KeyEvent> WlrootsDesktop::createKeyboardEvent(KeyCode key, bool keyDown) {
  return makeKeyEvent(key, keyDown);
}

std::optional<ScrollEvent> WlrootsDesktop::createScrollWheelEvent(std::int32_t wheel1,
                                                                  std::int32_t wheel2) {
  return makeScrollEvent(wheel1, wheel2);
}

void WlrootsDesktop::post(const MouseEvent& event) {
  if (std::optional<std::uint32_t> button = evdevButtonFor(event.type)) {
    // Presses and releases happen where the pointer is.
    input_->button(*button, isMouseDown(event.type));
    return;
  }
  if (!std::isfinite(event.position.x) || !std::isfinite(event.position.y))
    return;
  MonitorLayout layout = client_->layout();
  PointerRecord::Step step = pointer_.step(layout, layout.globalToRoot(event.position));
  // The drag that follows a move to the same place has nothing left to move.
  if (step.dx == 0 && step.dy == 0)
    return;
  input_->move(step.dx, step.dy);
  pointer_.moved(step);
}

void WlrootsDesktop::post(const KeyEvent& event) {
  if (std::optional<Keysym> keysym = keysymForKeyCode(event.key))
    input_->key(*keysym, event.down);
}

void WlrootsDesktop::post(const ScrollEvent& event) {
  input_->scroll(event.wheel1, event.wheel2);
}

std::vector<Screen> WlrootsDesktop::screens() {
  MonitorLayout layout = client_->layout();
  std::vector<Screen> screens;
  for (const Monitor& monitor : layout.monitors)
    screens.push_back(makeScreen(layout, monitor, client_->backingScale(monitor.id)));
  return screens;
}

std::optional<Screen> WlrootsDesktop::mainScreen() {
  // Without the windows, the screen with the pointer stands for the one with the focused window.
  MonitorLayout layout = client_->layout();
  const Monitor* chosen = layout.primary();
  if (!chosen)
    return std::nullopt;
  Point root = pointer_.position();
  if (const Monitor* holder = monitorAt(layout, root.x, root.y))
    chosen = holder;
  return makeScreen(layout, *chosen, client_->backingScale(chosen->id));
}

Point WlrootsDesktop::mouseLocation() {
  Point root = pointer_.position();
  return rootToScreen(client_->layout(), root.x, root.y);
}

double WlrootsDesktop::doubleClickInterval() {
  // The compositors keep no such setting; toolkits use their own, mostly this.
  return kDefaultDoubleClickInterval;
}

void WlrootsDesktop::setScreenChangeHandler(std::function<void()> handler) {
  std::lock_guard lock(handlerMutex_);
  screenHandler_ = std::move(handler);
}

Rect WlrootsDesktop::displayBounds(DisplayId display) {
  return client_->layout().globalBounds(display);
}

std::variant<std::vector<DisplayId>, PlatformError> WlrootsDesktop::activeDisplayList() {
  if (client_->broken())
    return PlatformError{ECONNRESET, "the Wayland compositor has gone"};
  return client_->layout().displayIds();
}

std::optional<std::vector<WindowInfo>> WlrootsDesktop::windowList(WindowListOption) {
  return std::vector<WindowInfo>{};
}

std::unique_ptr<ScreenCapturer> WlrootsDesktop::createScreenCapturer() {
  return std::make_unique<WlrootsScreenCapturer>(
      [this](DisplayId display) { return monitor(display); });
}

std::optional<std::vector<CaptureDisplay>> WlrootsDesktop::capturableDisplays() {
  return captureDisplays(client_->layout());
}

std::unique_ptr<ContinuousCapture>
WlrootsDesktop::startContinuousCapture(DisplayId display, const ContinuousCaptureSettings& settings,
                                       FrameHandler handler, PlatformError& error) {
  return hub_->subscribe(display, settings, std::move(handler), error);
}

} // namespace tovel
