#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/keysyms.h"
#include "platform/platform.h"
#include "platform/wlroots/wlroots_keymap.h"

struct zwlr_virtual_pointer_v1;
struct zwp_virtual_keyboard_v1;

namespace tovel {

class WaylandClient;

// Synthetic input through a virtual pointer and a virtual keyboard of the compositor's seat.
// Pointer moves are relative, applied where the pointer really is; buttons are evdev codes;
// scrolling is finger scrolling in pixels, ended (axis_stop) when no scroll has come for a moment.
// The keyboard's keymap is the host's own (WlrootsKeymap), uploaded again whenever a keysym needs
// a key of its own; modifiers go with `modifiers`, as the compositor does not work them out for a
// virtual keyboard. The compositor keeps an injected key down until its release, so a press
// whose release has not come within 15 s is released. Every request is sent at once.
class WlrootsInput {
public:
  explicit WlrootsInput(WaylandClient& client);
  ~WlrootsInput();
  WlrootsInput(const WlrootsInput&) = delete;
  WlrootsInput& operator=(const WlrootsInput&) = delete;

  // Moves by an amount in the compositor's logical pixels (as the wire carries it).
  void move(double dx, double dy);
  // Puts the pointer at a place of the layout's bounding box (x, y from its top-left corner).
  void place(std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height);
  void button(std::uint32_t evdevButton, bool down);
  // Pixel amounts, positive towards the top and the left of the content.
  void scroll(std::int32_t vertical, std::int32_t horizontal);
  // A key of the key-name table (or any keysym) pressed or released.
  void key(Keysym keysym, bool down);
  bool primaryButtonDown();

  // See Platform::typeText (wlroots_typing.cpp). Each character is typed on a key of its own at
  // the first level, with no modifier applying; the keys a part of the text needs are added to
  // the keymap in one upload before any of them is pressed.
  TypingProgress typeText(std::u32string_view text);

  // Lets go of every key and button still held by injection, and ends a scroll.
  void releaseAll();

private:
  struct HeldKey {
    std::uint32_t keycode = 0;
    std::uint64_t press = 0;
  };
  void uploadKeymapIfChanged();
  void sendKey(std::uint32_t keycode, bool down);
  void sendModifiers();
  void releaseKey(Keysym keysym);
  void finishScrollLater();
  // One axis's amount in a frame being built, or its stop (amount 0).
  void axis(std::uint32_t time, std::uint32_t axis, std::int32_t amount);
  void stopScrolling();
  std::set<std::uint32_t> heldKeycodes() const;
  // The key typing the keysym, given one of the spare keys held keys do not use if it has none
  // (the keymap uploaded again then).
  std::optional<std::uint32_t> keycodeForUnheld(Keysym keysym);
  static std::uint32_t now();

  WaylandClient& client_;
  zwlr_virtual_pointer_v1* pointer_ = nullptr;
  zwp_virtual_keyboard_v1* keyboard_ = nullptr;

  std::mutex mutex_; // everything below, and the order of the requests
  WlrootsKeymap keymap_;
  std::uint64_t uploaded_ = 0; // keymap generation the compositor has
  std::set<std::uint32_t> heldButtons_;
  std::map<Keysym, HeldKey> heldKeys_;
  std::uint64_t presses_ = 0;
  std::uint32_t depressed_ = 0;
  std::uint32_t locked_ = 0;
  std::uint64_t scrolls_ = 0;
  bool scrolling_ = false;
  // Typing: the compositor's answer awaited, to the keymap or to the keys of the last part sent;
  // when a part may be pressed after a new keymap; when the compositor had handed each key typed
  // on (a key rests from then before it gets another keysym).
  std::optional<std::uint64_t> typingAnswer_;
  bool keymapUnanswered_ = false;
  std::vector<std::uint32_t> unanswered_;
  std::chrono::steady_clock::time_point typableFrom_;
  std::map<std::uint32_t, std::chrono::steady_clock::time_point> typedAt_;
};

} // namespace tovel
