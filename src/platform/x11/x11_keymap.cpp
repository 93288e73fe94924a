#include "platform/x11/x11_keymap.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include "platform/x11/x11_error_trap.h"

namespace tovel {

namespace {

// XF86Fn; its header defines it through a helper macro that it undefines again.
constexpr KeySym kFunctionKeysym = 0x10081000 + 0x1D0;

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

struct KeysymEntry {
  KeyCode key;
  KeySym keysym;
};

constexpr KeysymEntry kKeysyms[] = {
    // Letters
    {0, XK_a},
    {11, XK_b},
    {8, XK_c},
    {2, XK_d},
    {14, XK_e},
    {3, XK_f},
    {5, XK_g},
    {4, XK_h},
    {34, XK_i},
    {38, XK_j},
    {40, XK_k},
    {37, XK_l},
    {46, XK_m},
    {45, XK_n},
    {31, XK_o},
    {35, XK_p},
    {12, XK_q},
    {15, XK_r},
    {1, XK_s},
    {17, XK_t},
    {32, XK_u},
    {9, XK_v},
    {13, XK_w},
    {7, XK_x},
    {16, XK_y},
    {6, XK_z},
    // Digits
    {18, XK_1},
    {19, XK_2},
    {20, XK_3},
    {21, XK_4},
    {23, XK_5},
    {22, XK_6},
    {26, XK_7},
    {28, XK_8},
    {25, XK_9},
    {29, XK_0},
    // Editing keys; the key labelled delete on that keyboard erases backwards.
    {49, XK_space},
    {36, XK_Return},
    {53, XK_Escape},
    {51, XK_BackSpace},
    {48, XK_Tab},
    // Modifiers; command is the key with the logo, which X calls Super.
    {56, XK_Shift_L},
    {60, XK_Shift_R},
    {59, XK_Control_L},
    {62, XK_Control_R},
    {58, XK_Alt_L},
    {61, XK_Alt_R},
    {55, XK_Super_L},
    {54, XK_Super_R},
    {57, XK_Caps_Lock},
    // fn is no modifier to applications; XF86Fn is what Linux keyboards report for it, and
    // applications ignore it as they never see fn on its own.
    {63, kFunctionKeysym},
    // Arrows
    {123, XK_Left},
    {124, XK_Right},
    {125, XK_Down},
    {126, XK_Up},
    // Function keys
    {122, XK_F1},
    {120, XK_F2},
    {99, XK_F3},
    {118, XK_F4},
    {96, XK_F5},
    {97, XK_F6},
    {98, XK_F7},
    {100, XK_F8},
    {101, XK_F9},
    {109, XK_F10},
    {103, XK_F11},
    {111, XK_F12},
    {105, XK_F13},
    {107, XK_F14},
    {113, XK_F15},
    {106, XK_F16},
    {64, XK_F17},
    {79, XK_F18},
    {80, XK_F19},
    {90, XK_F20},
    // Punctuation
    {50, XK_grave},
    {27, XK_minus},
    {24, XK_equal},
    {33, XK_bracketleft},
    {30, XK_bracketright},
    {42, XK_backslash},
    {41, XK_semicolon},
    {39, XK_apostrophe},
    {43, XK_comma},
    {47, XK_period},
    {44, XK_slash}};

} // namespace

std::optional<KeySym> keysymForKeyCode(KeyCode key) {
  for (const KeysymEntry& entry : kKeysyms)
    if (entry.key == key)
      return entry.keysym;
  return std::nullopt;
}

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
