#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include <X11/X.h>

#include "platform/events.h"
#include "platform/keysyms.h"

using Display = struct _XDisplay;

namespace tovel {

// A copy of the server's core keyboard map: keysymsPerKeycode entries for each keycode from
// minKeycode on.
struct CoreKeymap {
  int minKeycode = 8;
  int keysymsPerKeycode = 0;
  std::vector<KeySym> keysyms;

  int maxKeycode() const;
  KeySym at(int keycode, int column) const;
};

// The keycode that types the keysym without any modifier (the keysym in the first column), the
// lowest one when several do.
std::optional<int> findKeycode(const CoreKeymap& map, KeySym keysym);
// A keycode that carries no keysym at all, the highest one: high codes are the least likely to be
// on anybody's keyboard.
std::optional<int> findSpareKeycode(const CoreKeymap& map);

// Turns keysyms into the server's keycodes. A keysym the keyboard does not have is bound to a
// spare keycode, so every key of the table and every typed character reaches the desktop whatever
// the layout. A binding stays until its keycode is needed for another keysym, once every spare
// keycode is bound, or until restore().
class X11Keymap {
public:
  using TimePoint = std::chrono::steady_clock::time_point;
  // How long a binding must have gone unused before its keycode is bound to something else: an
  // application may read the new keysym for a press of the old one that it has not handled yet.
  static constexpr std::chrono::milliseconds kRebindRest{500};

  // Reads the server's map on every call, so a layout change takes effect at the next key. The
  // keycodes in `held` are down and keep their keysyms.
  std::optional<int> keycodeFor(Display* display, KeySym keysym, const std::set<int>& held = {});

  // The keycode of a spare binding that types the keysym at its first level, with no modifier;
  // bound now when there is none yet. `wait` is set instead when the only keycode that could take
  // it was pressed too recently: it is free from then on.
  struct TypingKey {
    std::optional<int> keycode;
    bool fresh = false; // bound by this call
    std::optional<TimePoint> wait;
  };
  TypingKey keycodeForTyping(Display* display, KeySym keysym, const std::set<int>& held,
                             TimePoint now);
  // Notes that the keycode was pressed, if it is one of the bindings.
  void used(int keycode, TimePoint now);

  // Gives the spare keycodes back, unless something else has bound them since.
  void restore(Display* display);

private:
  struct Binding {
    int keycode;
    KeySym keysym;
    int modifierIndex; // -1 when the keycode was not added to a modifier
    TimePoint lastUse;
  };
  // The binding whose keycode can take another keysym now, or when it can; mutex held.
  std::optional<std::size_t> reusable(const std::set<int>& held, TimePoint now,
                                      std::optional<TimePoint>& wait) const;
  // Binds the keysym to the keycode's first level; mutex held.
  bool bind(Display* display, const CoreKeymap& map, int keycode, KeySym keysym);

  std::mutex mutex_;
  std::vector<Binding> bindings_;
};

} // namespace tovel
