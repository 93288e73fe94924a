#include "platform/gnome/gnome_input.h"

#include <X11/keysym.h>

#include <chrono>
#include <cmath>

#include "platform/gnome/gnome_bus.h"
#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/gnome/wayland_keymap.h"
#include "platform/keysyms.h"

namespace tovel {

namespace {

// A pause this long between two scrolls ends the gesture (the finger left the touchpad): the
// application may then start its kinetic scrolling.
constexpr auto kScrollGestureGap = std::chrono::milliseconds(150);
// An injected key whose release has not come this long after its press is released.
constexpr auto kKeyHoldLimit = std::chrono::seconds(15);

std::optional<int> evdevButtonFor(MouseEventType type) {
  switch (type) {
  case MouseEventType::leftMouseDown:
  case MouseEventType::leftMouseUp:
    return kEvdevLeftButton;
  case MouseEventType::rightMouseDown:
  case MouseEventType::rightMouseUp:
    return kEvdevRightButton;
  case MouseEventType::otherMouseDown:
  case MouseEventType::otherMouseUp:
    return kEvdevMiddleButton;
  default:
    return std::nullopt;
  }
}

} // namespace

GnomeInput::GnomeInput(GnomeBus& bus, Placer place, MoveObserver moving)
    : bus_(bus), place_(std::move(place)), moving_(std::move(moving)) {}

void GnomeInput::useSession(MutterRemoteDesktop* session) {
  std::lock_guard lock(mutex_);
  session_ = session;
  heldButtons_.clear();
  heldKeys_.clear();
  scrolling_ = false;
  capsLockWait_.reset();
}

GnomeInput::~GnomeInput() = default;

void GnomeInput::compositorGone() {
  std::lock_guard lock(mutex_);
  keymapStale_ = true;
}

std::optional<Point> GnomeInput::post(const MouseEvent& event) {
  std::lock_guard lock(mutex_);
  if (!session_)
    return std::nullopt;
  if (std::optional<int> button = evdevButtonFor(event.type)) {
    // Presses and releases happen where the pointer is.
    bool down = isMouseDown(event.type);
    session_->button(*button, down);
    if (down)
      heldButtons_.insert(*button);
    else
      heldButtons_.erase(*button);
    return std::nullopt;
  }
  if (!std::isfinite(event.position.x) || !std::isfinite(event.position.y))
    return std::nullopt;
  // The place belongs to this session's streams: the session is not replaced meanwhile.
  std::optional<StreamPoint> target = place_(event.position);
  if (!target)
    return std::nullopt;
  moving_(target->global);
  session_->moveTo(target->stream, target->x, target->y);
  return target->global;
}

void GnomeInput::post(const KeyEvent& event) {
  std::optional<Keysym> keysym = keysymForKeyCode(event.key);
  if (!keysym)
    return;
  std::lock_guard lock(mutex_);
  if (!session_)
    return;
  if (event.down) {
    std::uint64_t press = ++presses_;
    heldKeys_[*keysym] = press;
    // Each press of Caps Lock turns it on or off (off once its release has come).
    if (*keysym == XK_Caps_Lock)
      capsLockWait_ =
          CapsLockWait{(capsLockWait_ ? capsLockWait_->changes : session_->capsLockChanges()) + 1,
                       std::chrono::steady_clock::now()};
    session_->key(*keysym, true);
    bus_.postAfter(std::chrono::duration_cast<std::chrono::milliseconds>(kKeyHoldLimit),
                   [this, keysym = *keysym, press] {
                     std::lock_guard lock(mutex_);
                     auto held = heldKeys_.find(keysym);
                     if (held == heldKeys_.end() || held->second != press || !session_)
                       return;
                     heldKeys_.erase(held);
                     session_->key(keysym, false);
                   });
  } else {
    heldKeys_.erase(*keysym);
    session_->key(*keysym, false);
  }
}

void GnomeInput::post(const ScrollEvent& event) {
  if (event.wheel1 == 0 && event.wheel2 == 0)
    return;
  // Positive amounts scroll towards the top and the left of the content, where the compositor's
  // positive axis goes down and right.
  {
    std::lock_guard lock(mutex_);
    if (!session_)
      return;
    session_->scroll(-double(event.wheel2), -double(event.wheel1), kAxisSourceFinger);
    ++scrolls_;
    scrolling_ = true;
  }
  finishScrollLater();
}

void GnomeInput::finishScrollLater() {
  std::uint64_t seen;
  {
    std::lock_guard lock(mutex_);
    seen = scrolls_;
  }
  bus_.postAfter(kScrollGestureGap, [this, seen] {
    std::lock_guard lock(mutex_);
    if (!scrolling_ || scrolls_ != seen || !session_)
      return;
    scrolling_ = false;
    session_->scroll(0, 0, kAxisSourceFinger | kAxisFinish);
  });
}

bool GnomeInput::primaryButtonDown() {
  std::lock_guard lock(mutex_);
  return heldButtons_.count(kEvdevLeftButton) > 0;
}

void GnomeInput::releaseAll() {
  std::lock_guard lock(mutex_);
  if (session_) {
    for (int button : heldButtons_)
      session_->button(button, false);
    for (const auto& [keysym, press] : heldKeys_)
      session_->key(keysym, false);
  }
  heldButtons_.clear();
  heldKeys_.clear();
}

} // namespace tovel
