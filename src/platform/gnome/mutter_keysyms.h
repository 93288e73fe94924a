#pragma once

#include <optional>

#include "platform/keysyms.h"

struct xkb_keymap;

namespace tovel {

// The keysym to hand Mutter's remote desktop (NotifyKeyboardKeysym) for a character, so that it
// types that character whichever layout of the keymap is active; none when no keysym does.
//
// Mutter types a keysym with the first key, and the first level of it, that has the keysym in the
// active layout, searching keycodes upwards; it presses Shift_L's key for the second level and
// ISO_Level3_Shift's for the third, and drops a keysym the layout lacks. For any higher level it
// types the key unmodified, which is another character: such keysyms do not count, nor do those
// whose modifier key does not in fact select their level.
//
// Mutter applies the session's Caps Lock to the keys it types: with `capsLock` on, a letter comes
// from the keysym of the other case where that is what the locked key then types.
std::optional<Keysym> mutterKeysymFor(xkb_keymap* keymap, char32_t character,
                                      bool capsLock = false);
// Whether Mutter finds a key for the keysym in some layout of the keymap (it drops the others).
bool mutterHasKey(xkb_keymap* keymap, Keysym keysym);

} // namespace tovel
