#include "platform/x11/x11_keymap.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include "platform/x11/x11_error_trap.h"

namespace tovel {

namespace {

CoreKeymap readKeymap(Display* display) {
  CoreKeymap map;
  int minKeycode = 0, maxKeycode = 0;
  XDisplayKeycodes(display, &minKeycode, &maxKeycode);
  int count = maxKeycode - minKeycode + 1;
  if (count <= 0)
    return map;
  int perKeycode = 0;
  KeySym* keysyms = XGetKeyboardMapping(display, ::KeyCode(minKeycode), count, &perKeycode);
  if (!keysyms)
    return map;
  map.minKeycode = minKeycode;
  map.keysymsPerKeycode = perKeycode;
  map.keysyms.assign(keysyms, keysyms + std::size_t(count) * std::size_t(perKeycode));
  XFree(keysyms);
  return map;
}

bool keycodeCarries(const CoreKeymap& map, int keycode, KeySym a, KeySym b) {
  for (int column = 0; column < map.keysymsPerKeycode; ++column) {
    KeySym keysym = map.at(keycode, column);
    if (keysym == a || keysym == b)
      return true;
  }
  return false;
}

// The modifier a modifier keysym must belong to for applications to see it as one: a key bound
// to a spare keycode is no modifier until it is in the modifier map. Alt and Super join whichever
// modifier their other-side key is in, as layouts differ there. -1 for a keysym that is no
// modifier.
int modifierIndexFor(Display* display, const CoreKeymap& map, KeySym keysym) {
  KeySym familyA = NoSymbol, familyB = NoSymbol;
  int fallback = -1;
  switch (keysym) {
  case XK_Shift_L:
  case XK_Shift_R:
    return ShiftMapIndex;
  case XK_Caps_Lock:
    return LockMapIndex;
  case XK_Control_L:
  case XK_Control_R:
    return ControlMapIndex;
  case XK_Alt_L:
  case XK_Alt_R:
    familyA = XK_Alt_L, familyB = XK_Alt_R, fallback = Mod1MapIndex;
    break;
  case XK_Super_L:
  case XK_Super_R:
    familyA = XK_Super_L, familyB = XK_Super_R, fallback = Mod4MapIndex;
    break;
  default:
    return -1;
  }
  XModifierKeymap* modifiers = XGetModifierMapping(display);
  if (!modifiers)
    return fallback;
  int found = fallback;
  int perModifier = modifiers->max_keypermod;
  for (int entry = 0; entry < 8 * perModifier; ++entry) {
    int keycode = modifiers->modifiermap[entry];
    if (keycode != 0 && keycodeCarries(map, keycode, familyA, familyB)) {
      found = entry / perModifier;
      break;
    }
  }
  XFreeModifiermap(modifiers);
  return found;
}

bool changeModifier(Display* display, int keycode, int index, bool add) {
  XModifierKeymap* modifiers = XGetModifierMapping(display);
  if (!modifiers)
    return false;
  modifiers = add ? XInsertModifiermapEntry(modifiers, ::KeyCode(keycode), index)
                  : XDeleteModifiermapEntry(modifiers, ::KeyCode(keycode), index);
  // Refused (busy) while a key of the map is down; the key then still types, only unmodified.
  bool changed = XSetModifierMapping(display, modifiers) == MappingSuccess;
  XFreeModifiermap(modifiers);
  return changed;
}

} // namespace

int CoreKeymap::maxKeycode() const {
  if (keysymsPerKeycode <= 0)
    return minKeycode - 1;
  return minKeycode + int(keysyms.size() / std::size_t(keysymsPerKeycode)) - 1;
}

KeySym CoreKeymap::at(int keycode, int column) const {
  if (keycode < minKeycode || keycode > maxKeycode() || column < 0 || column >= keysymsPerKeycode)
    return NoSymbol;
  return keysyms[std::size_t(keycode - minKeycode) * std::size_t(keysymsPerKeycode) +
                 std::size_t(column)];
}

std::optional<int> findKeycode(const CoreKeymap& map, KeySym keysym) {
  if (keysym == NoSymbol)
    return std::nullopt;
  for (int keycode = map.minKeycode; keycode <= map.maxKeycode(); ++keycode)
    if (map.at(keycode, 0) == keysym)
      return keycode;
  return std::nullopt;
}

std::optional<int> findSpareKeycode(const CoreKeymap& map) {
  for (int keycode = map.maxKeycode(); keycode >= map.minKeycode; --keycode) {
    bool empty = true;
    for (int column = 0; column < map.keysymsPerKeycode && empty; ++column)
      empty = map.at(keycode, column) == NoSymbol;
    if (empty)
      return keycode;
  }
  return std::nullopt;
}

std::optional<std::size_t> X11Keymap::reusable(const std::set<int>& held, TimePoint now,
                                               std::optional<TimePoint>& wait) const {
  std::optional<std::size_t> oldest;
  for (std::size_t i = 0; i < bindings_.size(); ++i) {
    const Binding& binding = bindings_[i];
    // Modifiers stay: taking one out of the modifier map is refused while any key of it is down.
    if (binding.modifierIndex >= 0 || held.count(binding.keycode))
      continue;
    if (!oldest || binding.lastUse < bindings_[*oldest].lastUse)
      oldest = i;
  }
  if (oldest && now - bindings_[*oldest].lastUse < kRebindRest) {
    wait = bindings_[*oldest].lastUse + kRebindRest;
    return std::nullopt;
  }
  return oldest;
}

bool X11Keymap::bind(Display* display, const CoreKeymap& map, int keycode, KeySym keysym) {
  // A letter with a capital gets both, as on a real key, so that it still types its capital with
  // shift; a capital or a caseless keysym is the same at both levels. (A keycode holding a single
  // letter would type its small form unmodified.)
  KeySym lower = keysym, upper = keysym;
  XConvertCase(keysym, &lower, &upper);
  KeySym second = keysym == lower && upper != lower ? upper : keysym;
  KeySym keysyms[2] = {keysym, second};
  // Another client may change the map between our read and our write; an error that causes must
  // only cost this key.
  XErrorTrap trap(display);
  XChangeKeyboardMapping(display, keycode, 2, keysyms, 1);
  if (trap.failed())
    return false;
  int modifierIndex = modifierIndexFor(display, map, keysym);
  if (modifierIndex >= 0 && !changeModifier(display, keycode, modifierIndex, true))
    modifierIndex = -1;
  auto now = std::chrono::steady_clock::now();
  for (Binding& binding : bindings_)
    if (binding.keycode == keycode) {
      binding = {keycode, keysym, modifierIndex, now};
      return true;
    }
  bindings_.push_back({keycode, keysym, modifierIndex, now});
  return true;
}

std::optional<int> X11Keymap::keycodeFor(Display* display, KeySym keysym,
                                         const std::set<int>& held) {
  if (!display || keysym == NoSymbol)
    return std::nullopt;
  std::lock_guard lock(mutex_);
  CoreKeymap map = readKeymap(display);
  auto now = std::chrono::steady_clock::now();
  if (auto keycode = findKeycode(map, keysym)) {
    for (Binding& binding : bindings_)
      if (binding.keycode == *keycode)
        binding.lastUse = now;
    return keycode;
  }
  std::optional<int> keycode = findSpareKeycode(map);
  if (!keycode) {
    // A key must not be lost: the binding that rested longest goes, rested enough or not.
    std::optional<TimePoint> wait;
    std::optional<std::size_t> index = reusable(held, now, wait);
    if (!index && wait)
      index = reusable(held, *wait, wait);
    if (index)
      keycode = bindings_[*index].keycode;
  }
  if (!keycode || !bind(display, map, *keycode, keysym))
    return std::nullopt;
  return keycode;
}

X11Keymap::TypingKey X11Keymap::keycodeForTyping(Display* display, KeySym keysym,
                                                 const std::set<int>& held, TimePoint now) {
  TypingKey key;
  if (!display || keysym == NoSymbol)
    return key;
  std::lock_guard lock(mutex_);
  CoreKeymap map = readKeymap(display);
  // Only a key of ours will do: one of the layout's types the keysym in its first group only,
  // and another group may be active.
  for (Binding& binding : bindings_)
    if (binding.keysym == keysym && map.at(binding.keycode, 0) == keysym) {
      binding.lastUse = now;
      key.keycode = binding.keycode;
      return key;
    }
  std::optional<int> keycode = findSpareKeycode(map);
  if (!keycode) {
    std::optional<std::size_t> index = reusable(held, now, key.wait);
    if (!index)
      return key;
    keycode = bindings_[*index].keycode;
  }
  if (bind(display, map, *keycode, keysym)) {
    key.keycode = keycode;
    key.fresh = true;
  }
  return key;
}

void X11Keymap::used(int keycode, TimePoint now) {
  std::lock_guard lock(mutex_);
  for (Binding& binding : bindings_)
    if (binding.keycode == keycode)
      binding.lastUse = now;
}

void X11Keymap::restore(Display* display) {
  std::lock_guard lock(mutex_);
  if (!display || bindings_.empty())
    return;
  XErrorTrap trap(display);
  CoreKeymap map = readKeymap(display);
  for (const Binding& binding : bindings_) {
    if (map.at(binding.keycode, 0) != binding.keysym)
      continue;
    if (binding.modifierIndex >= 0)
      changeModifier(display, binding.keycode, binding.modifierIndex, false);
    KeySym nothing = NoSymbol;
    XChangeKeyboardMapping(display, binding.keycode, 1, &nothing, 1);
  }
  bindings_.clear();
}

} // namespace tovel
