#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/keysyms.h"

namespace tovel {

// A set of the eight real modifiers, in X's bits: Shift 0x1, Lock 0x2, Control 0x4, Mod1 0x8 to
// Mod5 0x80.
using ModifierMask = std::uint32_t;

// One group of a keyboard layout as typing sees it: for every key, what each of its levels types
// and the modifier sets that select the level. Filled from the X server's XKB map or from an
// xkbcommon keymap, so that one choice serves both.
struct LayoutLevel {
  Keysym keysym = 0;                   // 0 when the level types nothing
  std::vector<ModifierMask> modifiers; // each of these, and no other modifier, selects the level
};
struct LayoutKey {
  int keycode = 0;
  std::vector<LayoutLevel> levels;
};
using KeyboardLayout = std::vector<LayoutKey>;

// A key that types a character, and the modifiers to type it with: exactly these, no others.
struct KeyStroke {
  int keycode = 0;
  int level = 0;
  Keysym keysym = 0;
  ModifierMask modifiers = 0;
  bool operator==(const KeyStroke&) const = default;
};

// The character a keysym types when its key is pressed; none for one that types none (modifiers,
// function keys, dead keys). Return and Tab type '\n' and '\t' here, as typing means them.
std::optional<char32_t> characterOfKeysym(Keysym keysym);
// Whether the keysym is one of the keypad's (KP_Space to KP_Equal), which applications may read as
// the keypad rather than as its character.
bool isKeypadKeysym(Keysym keysym);

// The keysym that stands for a character on a key of its own: Return and Tab for '\n' and '\t', a
// Latin-1 character its own keysym, any other the Unicode keysym 0x01000000 + code point.
Keysym keysymForCharacter(char32_t character);

// The key of the layout that types the character, with the fewest modifiers and, among those,
// the lowest level and keycode. Keypad keys are left out (applications may read them as the
// keypad), and so are levels that need Control, Mod1 (Alt) or Mod4 (Super), which applications
// take for shortcuts. None when no key of the layout types it so.
std::optional<KeyStroke> chooseKeyStroke(const KeyboardLayout& layout, char32_t character);

} // namespace tovel
