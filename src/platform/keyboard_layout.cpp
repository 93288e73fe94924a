#include "platform/keyboard_layout.h"

#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

#include <bit>
#include <tuple>

namespace tovel {

namespace {

// Control, Mod1 and Mod4: shortcuts, not characters, in applications.
constexpr ModifierMask kShortcutModifiers = 0x4 | 0x8 | 0x40;
constexpr ModifierMask kLock = 0x2;

} // namespace

bool isKeypadKeysym(Keysym keysym) {
  return keysym >= XK_KP_Space && keysym <= XK_KP_Equal;
}

std::optional<char32_t> characterOfKeysym(Keysym keysym) {
  if (keysym == XK_Return)
    return U'\n';
  if (keysym == XK_Tab)
    return U'\t';
  char32_t character = xkb_keysym_to_utf32(keysym);
  if (character < 0x20 || (character >= 0x7f && character < 0xa0))
    return std::nullopt;
  return character;
}

Keysym keysymForCharacter(char32_t character) {
  if (character == U'\n')
    return XK_Return;
  if (character == U'\t')
    return XK_Tab;
  if ((character >= 0x20 && character < 0x7f) || (character >= 0xa0 && character <= 0xff))
    return Keysym(character);
  return 0x01000000 + Keysym(character);
}

std::optional<KeyStroke> chooseKeyStroke(const KeyboardLayout& layout, char32_t character) {
  std::optional<KeyStroke> best;
  // Fewer modifiers first; Lock (caps lock) after Shift where both select a level.
  auto rank = [](const KeyStroke& s) {
    return std::tuple(std::popcount(s.modifiers), (s.modifiers & kLock) != 0, s.level, s.keycode);
  };
  for (const LayoutKey& key : layout)
    for (std::size_t level = 0; level < key.levels.size(); ++level) {
      const LayoutLevel& entry = key.levels[level];
      if (isKeypadKeysym(entry.keysym) || characterOfKeysym(entry.keysym) != character)
        continue;
      for (ModifierMask modifiers : entry.modifiers) {
        if (modifiers & kShortcutModifiers)
          continue;
        KeyStroke stroke{key.keycode, int(level), entry.keysym, modifiers};
        if (!best || rank(stroke) < rank(*best))
          best = stroke;
      }
    }
  return best;
}

} // namespace tovel
