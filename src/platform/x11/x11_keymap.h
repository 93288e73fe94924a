#pragma once

#include <mutex>
#include <optional>
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
// spare keycode, so every key of the table reaches the desktop whatever the layout; those
// bindings are undone by restore().
class X11Keymap {
public:
  // Reads the server's map on every call, so a layout change takes effect at the next key.
  std::optional<int> keycodeFor(Display* display, KeySym keysym);
  // Gives the spare keycodes back, unless something else has bound them since.
  void restore(Display* display);

private:
  struct Binding {
    int keycode;
    KeySym keysym;
    int modifierIndex; // -1 when the keycode was not added to a modifier
  };
  std::mutex mutex_;
  std::vector<Binding> bindings_;
};

} // namespace tovel
