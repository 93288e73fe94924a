#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/keysyms.h"

namespace tovel {

// The keymap the host's virtual keyboard uploads to the compositor, which hands it to every client
// as the keyboard's own. It has a key for every keysym of the key-name table, on the keycode of
// that key on a US keyboard and with its shifted symbol (so shift+1 types "!" as anywhere else),
// and a key of its own for any other keysym asked for, each on a spare keycode: any character can
// be typed whatever the user's layout. Keycodes are XKB's (evdev + 8), 8 to 255 so that Xwayland
// can take the keymap too. A keysym keeps its keycode once it has one, unless all spare keycodes
// are taken: then the one used longest ago that is not held down is given to the new keysym.
// Pure, for testing.
class WlrootsKeymap {
public:
  static constexpr std::uint32_t kMinKeycode = 8;
  static constexpr std::uint32_t kMaxKeycode = 255;

  WlrootsKeymap();

  // The key that types the keysym at its first level: a key of the table, else its own key,
  // which it gets now if it has none (the keymap then changes). None when every spare keycode is
  // in `held`.
  std::optional<std::uint32_t> keycodeFor(Keysym keysym, const std::set<std::uint32_t>& held = {});
  // A key for each keysym in order, those without one getting one of their own, in one change of
  // the keymap, up to the first keysym for which no spare key is left (the keys in `held` and
  // those of the keysyms before it are not given away): the keys of the keysyms from the first
  // on that have one.
  std::vector<std::uint32_t> reserve(const std::vector<Keysym>& keysyms,
                                     const std::set<std::uint32_t>& held = {});
  // The keysym a keycode types at its first level, if it has one.
  std::optional<Keysym> keysymAt(std::uint32_t keycode) const;

  // Changes with every change of the keymap's text.
  std::uint64_t generation() const { return generation_; }
  // The keymap in XKB's text format (what the compositor compiles).
  std::string text() const;

  // The real modifier (an XKB mask: Shift 1, Lock 2, Control 4, Mod1 8, Mod4 64) that a keysym's
  // key holds while down; 0 for other keys. Caps Lock locks rather than holds: see isLock.
  static std::uint32_t modifierMask(Keysym keysym);
  static bool isLock(Keysym keysym);
  static constexpr std::uint32_t kLockMask = 0x2;

private:
  struct Key {
    std::uint32_t keycode = 0;
    Keysym base = 0;
    std::optional<Keysym> shifted; // second level
    bool alphabetic = false;       // Caps Lock shifts it too
    bool spare = false;            // one of the keys given out on demand
    std::uint64_t lastUse = 0;
  };
  Key* find(Keysym keysym);
  std::optional<std::uint32_t> assign(Keysym keysym, const std::set<std::uint32_t>& held);

  std::vector<Key> keys_; // by keycode
  std::uint64_t uses_ = 0;
  std::uint64_t generation_ = 1;
};

} // namespace tovel
