#pragma once

#include <optional>

#include "platform/keyboard_layout.h"

using Display = struct _XDisplay;

namespace tovel {

// The keyboard as the X server's XKB state has it now: the keys of its active group, and the
// modifiers held (by any keyboard's keys), latched and locked.
struct X11KeyboardState {
  KeyboardLayout layout;
  int group = 0;
  ModifierMask base = 0;
  ModifierMask latched = 0;
  ModifierMask locked = 0;
};

// None when the server has no XKB or does not answer.
std::optional<X11KeyboardState> readKeyboardState(Display* display);

} // namespace tovel
