#include "platform/x11/x11_screen_capturer.h"

#include <X11/Xlib.h>

namespace tovel {

std::unique_ptr<X11ScreenCapturer> X11ScreenCapturer::open(const std::string& displayName) {
  std::unique_ptr<X11ScreenCapturer> capturer(new X11ScreenCapturer);
  capturer->connection_ = XConnection::open(displayName);
  if (!capturer->connection_)
    return nullptr;
  Display* x = capturer->connection_->get();
  capturer->grabber_ = X11ShmGrabber::create(x);
  if (!capturer->grabber_)
    return nullptr;
  capturer->damage_ = X11DamageWatcher::create(x);
  capturer->layoutWatch_.emplace(x);
  return capturer;
}

X11ScreenCapturer::~X11ScreenCapturer() {
  // Server resources before the connection they live on.
  damage_.reset();
  grabber_.reset();
  connection_.reset();
}

void X11ScreenCapturer::readEvents() {
  Display* x = connection_->get();
  while (XPending(x) > 0) {
    XEvent event;
    XNextEvent(x, &event);
    if (layoutWatch_->handle(event)) {
      layout_.reset();
      lastArea_.reset();
    } else if (damage_) {
      damage_->handle(event);
    }
  }
}

std::optional<RootArea> X11ScreenCapturer::areaFor(DisplayId display,
                                                   const std::optional<Rect>& rect) {
  // A grab outside the root is an X error, so without RandR's reports the layout is asked for
  // every time; with them, also when the display is not in the kept one (a report may be on its
  // way).
  Display* x = connection_->get();
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!layout_ || !root_ || !layoutWatch_->reports()) {
      layout_ = queryMonitors(x);
      root_ = rootWindowArea(x);
      if (!root_)
        return std::nullopt;
    } else if (attempt == 0 && !layout_->find(display)) {
      layout_.reset();
      continue;
    }
    const Monitor* monitor = layout_->find(display);
    if (!monitor)
      return std::nullopt;
    return captureArea(*monitor, rect, root_->width, root_->height);
  }
  return std::nullopt;
}

bool X11ScreenCapturer::unchangedSinceLastCapture(DisplayId display,
                                                  const std::optional<Rect>& rect) {
  if (!damage_ || !lastArea_)
    return false;
  readEvents();
  if (damage_->damaged() || !lastArea_)
    return false;
  return areaFor(display, rect) == lastArea_;
}

std::optional<ImageView> X11ScreenCapturer::capture(DisplayId display,
                                                    const std::optional<Rect>& rect) {
  readEvents();
  lastArea_.reset();
  std::optional<RootArea> area = areaFor(display, rect);
  if (!area)
    return std::nullopt;
  // Cleared before the grab, so that drawing during the grab counts as a change.
  if (damage_)
    damage_->clear();
  std::optional<ImageView> picture = grabber_->grab(*area);
  if (!picture) {
    layout_.reset(); // perhaps the screen changed under it: asked for again next time
    return std::nullopt;
  }
  lastArea_ = area;
  return picture;
}

} // namespace tovel
