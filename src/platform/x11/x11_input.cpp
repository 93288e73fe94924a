#include "platform/x11/x11_input.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "platform/x11/x11_key_watchdog.h"
#include "platform/x11/x11_keymap.h"
#include "platform/x11/x11_monitors.h"
#include "platform/x11/x11_scroll.h"
#include "platform/x11/x11_typing.h"

namespace tovel {

namespace {

constexpr unsigned kWheelUp = 4;
constexpr unsigned kWheelDown = 5;
constexpr unsigned kWheelLeft = 6;
constexpr unsigned kWheelRight = 7;

// The X button a press or release goes to; none for moves and drags, which only move.
std::optional<unsigned> xButtonFor(MouseEventType type) {
  switch (type) {
  case MouseEventType::leftMouseDown:
  case MouseEventType::leftMouseUp:
    return 1;
  case MouseEventType::rightMouseDown:
  case MouseEventType::rightMouseUp:
    return 3;
  case MouseEventType::otherMouseDown:
  case MouseEventType::otherMouseUp:
    return 2;
  default:
    return std::nullopt;
  }
}

// The nearest pixel of a root-window axis of the given size.
int rootPixel(double coordinate, unsigned size) {
  double last = size > 0 ? double(size - 1) : 0;
  return int(std::clamp(std::floor(coordinate + 0.5), 0.0, last));
}

void postClicks(Display* display, unsigned button, int count) {
  for (int i = 0; i < count; ++i) {
    XTestFakeButtonEvent(display, button, True, CurrentTime);
    XTestFakeButtonEvent(display, button, False, CurrentTime);
  }
}

} // namespace

struct X11Input::Impl {
  Impl(ThreadConnections& connections, PendingPointer& pointer)
      : connections(connections), pointer(pointer), watchdog(connections) {}

  // The calling thread's connection, when it has XTest to post with.
  Display* display() { return haveXTest ? connections.forThisThread() : nullptr; }

  ThreadConnections& connections;
  PendingPointer& pointer;
  bool haveXTest = false;
  X11Keymap keymap;
  KeyWatchdog watchdog;
  std::mutex mutex; // the members below
  double verticalRemainder = 0;
  double horizontalRemainder = 0;
  std::set<unsigned> heldButtons;
};

X11Input::X11Input(ThreadConnections& connections, PendingPointer& pointer)
    : impl_(std::make_unique<Impl>(connections, pointer)) {
  if (Display* display = connections.forThisThread()) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    impl_->haveXTest = XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor);
  }
}

X11Input::~X11Input() {
  releaseAll();
}

void X11Input::releaseAll() {
  // Nothing injected stays down once the backend is gone: X would keep it down for good.
  Display* display = impl_->display();
  if (!display)
    return;
  impl_->watchdog.releaseAll(display);
  {
    std::lock_guard lock(impl_->mutex);
    for (unsigned button : impl_->heldButtons)
      XTestFakeButtonEvent(display, button, False, CurrentTime);
    impl_->heldButtons.clear();
  }
  impl_->keymap.restore(display);
  // Processed before this returns: the host exits right after, and a server that sees a client
  // hang up drops the requests it has not read yet.
  XSync(display, False);
}

void X11Input::post(const MouseEvent& event) {
  std::optional<unsigned> button = xButtonFor(event.type);
  // Presses and releases happen where the pointer is: their events carry its position anyway.
  // Moving it there first could even move it back: while a window manager holds pointer events
  // frozen (its click-to-focus grab), the position read for the event is the one from before
  // the moves still waiting in the server's queue.
  bool placed = !button && std::isfinite(event.position.x) && std::isfinite(event.position.y);
  Display* display = impl_->display();
  // A move to no place at all is dropped.
  if (!display || (!placed && !button))
    return;
  if (placed) {
    Point root = queryMonitors(display).globalToRoot(event.position);
    Window ignoredRoot;
    int originX = 0, originY = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    XGetGeometry(display, DefaultRootWindow(display), &ignoredRoot, &originX, &originY, &width,
                 &height, &border, &depth);
    RootPoint target{rootPixel(root.x, width), rootPixel(root.y, height)};
    // What the server reports until it has processed this move; only then is it done waiting.
    RootPoint before = queryPointer(display).position;
    XTestFakeMotionEvent(display, DefaultScreen(display), target.x, target.y, CurrentTime);
    impl_->pointer.moved(before, target);
    // Asked after the move, the server shows it at once unless pointer events are frozen. Only
    // a move still waiting may outlast this call: one already shown must not come back when the
    // person's own mouse later returns the pointer to where it was before it.
    impl_->pointer.resolve(queryPointer(display).position);
  }
  if (button) {
    bool down = isMouseDown(event.type);
    XTestFakeButtonEvent(display, *button, down ? True : False, CurrentTime);
    std::lock_guard lock(impl_->mutex);
    if (down)
      impl_->heldButtons.insert(*button);
    else
      impl_->heldButtons.erase(*button);
  }
  XFlush(display);
}

void X11Input::post(const KeyEvent& event) {
  Display* display = impl_->display();
  auto keysym = keysymForKeyCode(event.key);
  if (!display || !keysym)
    return;
  auto resolve = [&](const std::set<int>& held) {
    return impl_->keymap.keycodeFor(display, *keysym, held);
  };
  if (event.down)
    impl_->watchdog.press(display, event.key, resolve);
  else
    impl_->watchdog.release(display, event.key, resolve);
}

TypingProgress X11Input::typeText(std::u32string_view text) {
  Display* display = impl_->display();
  if (!display)
    return TypingProgress{text.size(), std::u32string(text), 0};
  return typeTextThroughXTest(display, impl_->keymap, impl_->watchdog, text);
}

void X11Input::post(const ScrollEvent& event) {
  Display* display = impl_->display();
  if (!display)
    return;
  NotchStep vertical, horizontal;
  {
    std::lock_guard lock(impl_->mutex);
    vertical = wheelNotches(impl_->verticalRemainder, event.wheel1);
    horizontal = wheelNotches(impl_->horizontalRemainder, event.wheel2);
    impl_->verticalRemainder = vertical.remainder;
    impl_->horizontalRemainder = horizontal.remainder;
  }
  // Positive amounts scroll towards the top and the left of the content.
  postClicks(display, vertical.notches > 0 ? kWheelUp : kWheelDown, std::abs(vertical.notches));
  postClicks(display, horizontal.notches > 0 ? kWheelLeft : kWheelRight,
             std::abs(horizontal.notches));
  XFlush(display);
}

bool X11Input::primaryButtonDown() {
  Display* display = impl_->connections.forThisThread();
  return display && (queryPointer(display).mask & Button1Mask) != 0;
}

} // namespace tovel
