#include "platform/x11/x11_desktop.h"

#include <X11/Xlib.h>

namespace tovel {

std::unique_ptr<X11Desktop> X11Desktop::open(const std::string& displayName) {
  auto connections = std::make_unique<ThreadConnections>(displayName);
  if (!connections->forThisThread())
    return nullptr;
  return std::unique_ptr<X11Desktop>(new X11Desktop(std::move(connections)));
}

X11Desktop::X11Desktop(std::unique_ptr<ThreadConnections> connections)
    : connections_(std::move(connections)), input_(*connections_, pointer_),
      screens_(*connections_, &pointer_), windows_(*connections_), capture_(*connections_) {}

X11Desktop::~X11Desktop() = default;

std::optional<MouseEvent> X11Desktop::createMouseEvent(MouseEventType type, Point position,
                                                       MouseButton button) {
  return makeMouseEvent(type, position, button);
}

std::optional<KeyEvent> X11Desktop::createKeyboardEvent(KeyCode key, bool keyDown) {
  return makeKeyEvent(key, keyDown);
}

std::optional<ScrollEvent> X11Desktop::createScrollWheelEvent(std::int32_t wheel1,
                                                              std::int32_t wheel2) {
  return makeScrollEvent(wheel1, wheel2);
}

} // namespace tovel
