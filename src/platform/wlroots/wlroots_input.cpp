#include "platform/wlroots/wlroots_input.h"

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "platform/wlroots/wayland_client.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace tovel {

namespace {

// A pause this long between two scrolls ends the gesture (the finger left the touchpad): the
// application may then start its kinetic scrolling.
constexpr auto kScrollGestureGap = std::chrono::milliseconds(150);
// An injected key whose release has not come this long after its press is released.
constexpr auto kKeyHoldLimit = std::chrono::seconds(15);
constexpr std::uint32_t kEvdevOffset = 8;

} // namespace

WlrootsInput::WlrootsInput(WaylandClient& client) : client_(client) {
  pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(client.pointerManager(),
                                                                    client.seat());
  keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(client.keyboardManager(),
                                                                      client.seat());
  std::lock_guard lock(mutex_);
  uploadKeymapIfChanged();
  client_.flush();
}

WlrootsInput::~WlrootsInput() {
  releaseAll();
  zwlr_virtual_pointer_v1_destroy(pointer_);
  zwp_virtual_keyboard_v1_destroy(keyboard_);
  client_.flush();
}

std::uint32_t WlrootsInput::now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::uint32_t(std::uint64_t(t.tv_sec) * 1000 + std::uint64_t(t.tv_nsec) / 1'000'000);
}

void WlrootsInput::move(double dx, double dy) {
  std::lock_guard lock(mutex_);
  zwlr_virtual_pointer_v1_motion(pointer_, now(), wl_fixed_from_double(dx),
                                 wl_fixed_from_double(dy));
  zwlr_virtual_pointer_v1_frame(pointer_);
  client_.flush();
}

void WlrootsInput::place(std::uint32_t x, std::uint32_t y, std::uint32_t width,
                         std::uint32_t height) {
  std::lock_guard lock(mutex_);
  zwlr_virtual_pointer_v1_motion_absolute(pointer_, now(), x, y, width, height);
  zwlr_virtual_pointer_v1_frame(pointer_);
  client_.flush();
}

void WlrootsInput::button(std::uint32_t evdevButton, bool down) {
  std::lock_guard lock(mutex_);
  zwlr_virtual_pointer_v1_button(pointer_, now(), evdevButton,
                                 down ? WL_POINTER_BUTTON_STATE_PRESSED
                                      : WL_POINTER_BUTTON_STATE_RELEASED);
  zwlr_virtual_pointer_v1_frame(pointer_);
  if (down)
    heldButtons_.insert(evdevButton);
  else
    heldButtons_.erase(evdevButton);
  client_.flush();
}

bool WlrootsInput::primaryButtonDown() {
  std::lock_guard lock(mutex_);
  return heldButtons_.count(0x110) > 0; // BTN_LEFT
}

void WlrootsInput::scroll(std::int32_t vertical, std::int32_t horizontal) {
  if (vertical == 0 && horizontal == 0)
    return;
  {
    std::lock_guard lock(mutex_);
    std::uint32_t time = now();
    // The compositor's positive axis goes down and right, the content the other way.
    if (vertical != 0)
      axis(time, WL_POINTER_AXIS_VERTICAL_SCROLL, -vertical);
    if (horizontal != 0)
      axis(time, WL_POINTER_AXIS_HORIZONTAL_SCROLL, -horizontal);
    zwlr_virtual_pointer_v1_frame(pointer_);
    client_.flush();
    ++scrolls_;
    scrolling_ = true;
  }
  finishScrollLater();
}

void WlrootsInput::axis(std::uint32_t time, std::uint32_t axis, std::int32_t amount) {
  // wlroots gives the source to the axis named last, and a compositor on it aborts when one frame
  // mixes sources: so the source comes after its axis, as well as before it for the others.
  zwlr_virtual_pointer_v1_axis_source(pointer_, WL_POINTER_AXIS_SOURCE_FINGER);
  if (amount != 0)
    zwlr_virtual_pointer_v1_axis(pointer_, time, axis, wl_fixed_from_int(amount));
  else
    zwlr_virtual_pointer_v1_axis_stop(pointer_, time, axis);
  zwlr_virtual_pointer_v1_axis_source(pointer_, WL_POINTER_AXIS_SOURCE_FINGER);
}

void WlrootsInput::stopScrolling() {
  std::uint32_t time = now();
  axis(time, WL_POINTER_AXIS_VERTICAL_SCROLL, 0);
  axis(time, WL_POINTER_AXIS_HORIZONTAL_SCROLL, 0);
  zwlr_virtual_pointer_v1_frame(pointer_);
}

void WlrootsInput::finishScrollLater() {
  std::uint64_t seen;
  {
    std::lock_guard lock(mutex_);
    seen = scrolls_;
  }
  client_.postAfter(kScrollGestureGap, [this, seen] {
    std::lock_guard lock(mutex_);
    if (!scrolling_ || scrolls_ != seen)
      return;
    scrolling_ = false;
    stopScrolling();
    client_.flush();
  });
}

// --- Keyboard ----------------------------------------------------------------------------------

void WlrootsInput::uploadKeymapIfChanged() {
  if (uploaded_ == keymap_.generation())
    return;
  std::string text = keymap_.text();
  int fd = memfd_create("tovel-keymap", MFD_CLOEXEC);
  if (fd < 0)
    return;
  // The compositor maps the file; the terminating zero is part of the size.
  std::size_t size = text.size() + 1;
  if (::write(fd, text.c_str(), size) == ssize_t(size)) {
    zwp_virtual_keyboard_v1_keymap(keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   std::uint32_t(size));
    uploaded_ = keymap_.generation();
  }
  ::close(fd); // sent as a duplicate
}

std::optional<std::uint32_t> WlrootsInput::keycodeForUnheld(Keysym keysym) {
  std::optional<std::uint32_t> keycode = keymap_.keycodeFor(keysym, heldKeycodes());
  if (keycode)
    uploadKeymapIfChanged();
  return keycode;
}

std::set<std::uint32_t> WlrootsInput::heldKeycodes() const {
  std::set<std::uint32_t> held;
  for (const auto& [keysym, key] : heldKeys_)
    held.insert(key.keycode);
  return held;
}

void WlrootsInput::sendKey(std::uint32_t keycode, bool down) {
  zwp_virtual_keyboard_v1_key(keyboard_, now(), keycode - kEvdevOffset,
                              down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                   : WL_KEYBOARD_KEY_STATE_RELEASED);
}

void WlrootsInput::sendModifiers() {
  std::uint32_t depressed = 0;
  for (const auto& [keysym, key] : heldKeys_)
    depressed |= WlrootsKeymap::modifierMask(keysym);
  depressed_ = depressed;
  zwp_virtual_keyboard_v1_modifiers(keyboard_, depressed_, 0, locked_, 0);
}

void WlrootsInput::key(Keysym keysym, bool down) {
  std::lock_guard lock(mutex_);
  if (!down) {
    releaseKey(keysym);
    client_.flush();
    return;
  }
  auto held = heldKeys_.find(keysym);
  std::uint32_t keycode;
  if (held != heldKeys_.end()) {
    keycode = held->second.keycode; // a repeat: its release must reach the same key
  } else if (std::optional<std::uint32_t> assigned = keycodeForUnheld(keysym)) {
    keycode = *assigned;
  } else {
    return;
  }
  std::uint64_t press = ++presses_;
  heldKeys_[keysym] = HeldKey{keycode, press};
  sendKey(keycode, true);
  if (WlrootsKeymap::isLock(keysym))
    locked_ ^= WlrootsKeymap::kLockMask;
  if (WlrootsKeymap::modifierMask(keysym) || WlrootsKeymap::isLock(keysym))
    sendModifiers();
  client_.flush();
  client_.postAfter(std::chrono::duration_cast<std::chrono::milliseconds>(kKeyHoldLimit),
                    [this, keysym, press] {
                      std::lock_guard lock(mutex_);
                      auto found = heldKeys_.find(keysym);
                      if (found == heldKeys_.end() || found->second.press != press)
                        return;
                      releaseKey(keysym);
                      client_.flush();
                    });
}

void WlrootsInput::releaseKey(Keysym keysym) {
  auto held = heldKeys_.find(keysym);
  std::uint32_t keycode;
  if (held != heldKeys_.end()) {
    keycode = held->second.keycode;
    heldKeys_.erase(held);
  } else if (std::optional<std::uint32_t> assigned = keycodeForUnheld(keysym)) {
    // A release without a press still reaches its key, as it would on a real keyboard.
    keycode = *assigned;
  } else {
    return;
  }
  sendKey(keycode, false);
  if (WlrootsKeymap::modifierMask(keysym))
    sendModifiers();
}

void WlrootsInput::releaseAll() {
  std::lock_guard lock(mutex_);
  for (std::uint32_t button : heldButtons_)
    zwlr_virtual_pointer_v1_button(pointer_, now(), button, WL_POINTER_BUTTON_STATE_RELEASED);
  if (!heldButtons_.empty())
    zwlr_virtual_pointer_v1_frame(pointer_);
  heldButtons_.clear();
  bool modifiers = false;
  for (const auto& [keysym, key] : heldKeys_) {
    sendKey(key.keycode, false);
    modifiers = modifiers || WlrootsKeymap::modifierMask(keysym);
  }
  heldKeys_.clear();
  if (modifiers)
    sendModifiers();
  if (scrolling_) {
    scrolling_ = false;
    stopScrolling();
  }
  client_.flush();
}

} // namespace tovel
