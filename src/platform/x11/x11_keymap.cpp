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

std::optional<int> X11Keymap::keycodeFor(Display* display, KeySym keysym) {
  if (!display || keysym == NoSymbol)
    return std::nullopt;
  std::lock_guard lock(mutex_);
  CoreKeymap map = readKeymap(display);
  if (auto keycode = findKeycode(map, keysym))
    return keycode;
  auto spare = findSpareKeycode(map);
  if (!spare)
    return std::nullopt;
  // Both cases on the key, as on a real one, so a letter bound here still types its capital with
  // shift.
  KeySym lower = keysym, upper = keysym;
  XConvertCase(keysym, &lower, &upper);
  KeySym keysyms[2] = {keysym, lower != upper ? upper : NoSymbol};
  // Another client may change the map between our read and our write; an error that causes must
  // only cost this key.
  XErrorTrap trap(display);
  XChangeKeyboardMapping(display, *spare, 2, keysyms, 1);
  if (trap.failed())
    return std::nullopt;
  int modifierIndex = modifierIndexFor(display, map, keysym);
  if (modifierIndex >= 0 && !changeModifier(display, *spare, modifierIndex, true))
    modifierIndex = -1;
  bindings_.push_back({*spare, keysym, modifierIndex});
  return spare;
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
