#include "platform/wlroots/wlroots_keymap.h"

#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>

namespace tovel {

namespace {

constexpr Keysym kFunctionKeysym = 0x10081000 + 0x1D0; // XF86Fn
// XF86Fn's evdev code (0x1d0) lies beyond what Xwayland can take; it gets the last keycode.
constexpr std::uint32_t kFunctionKeycode = WlrootsKeymap::kMaxKeycode;
constexpr std::uint32_t kEvdevOffset = 8;

struct BaseKey {
  std::uint32_t evdev;
  Keysym base;
  Keysym shifted; // 0: none
};

// The keys of a US keyboard for the key-name table's keysyms (linux/input-event-codes.h).
constexpr BaseKey kBaseKeys[] = {
    {1, XK_Escape, 0},
    {2, XK_1, XK_exclam},
    {3, XK_2, XK_at},
    {4, XK_3, XK_numbersign},
    {5, XK_4, XK_dollar},
    {6, XK_5, XK_percent},
    {7, XK_6, XK_asciicircum},
    {8, XK_7, XK_ampersand},
    {9, XK_8, XK_asterisk},
    {10, XK_9, XK_parenleft},
    {11, XK_0, XK_parenright},
    {12, XK_minus, XK_underscore},
    {13, XK_equal, XK_plus},
    {14, XK_BackSpace, 0},
    {15, XK_Tab, 0},
    {16, XK_q, XK_Q},
    {17, XK_w, XK_W},
    {18, XK_e, XK_E},
    {19, XK_r, XK_R},
    {20, XK_t, XK_T},
    {21, XK_y, XK_Y},
    {22, XK_u, XK_U},
    {23, XK_i, XK_I},
    {24, XK_o, XK_O},
    {25, XK_p, XK_P},
    {26, XK_bracketleft, XK_braceleft},
    {27, XK_bracketright, XK_braceright},
    {28, XK_Return, 0},
    {29, XK_Control_L, 0},
    {30, XK_a, XK_A},
    {31, XK_s, XK_S},
    {32, XK_d, XK_D},
    {33, XK_f, XK_F},
    {34, XK_g, XK_G},
    {35, XK_h, XK_H},
    {36, XK_j, XK_J},
    {37, XK_k, XK_K},
    {38, XK_l, XK_L},
    {39, XK_semicolon, XK_colon},
    {40, XK_apostrophe, XK_quotedbl},
    {41, XK_grave, XK_asciitilde},
    {42, XK_Shift_L, 0},
    {43, XK_backslash, XK_bar},
    {44, XK_z, XK_Z},
    {45, XK_x, XK_X},
    {46, XK_c, XK_C},
    {47, XK_v, XK_V},
    {48, XK_b, XK_B},
    {49, XK_n, XK_N},
    {50, XK_m, XK_M},
    {51, XK_comma, XK_less},
    {52, XK_period, XK_greater},
    {53, XK_slash, XK_question},
    {54, XK_Shift_R, 0},
    {56, XK_Alt_L, 0},
    {57, XK_space, 0},
    {58, XK_Caps_Lock, 0},
    {59, XK_F1, 0},
    {60, XK_F2, 0},
    {61, XK_F3, 0},
    {62, XK_F4, 0},
    {63, XK_F5, 0},
    {64, XK_F6, 0},
    {65, XK_F7, 0},
    {66, XK_F8, 0},
    {67, XK_F9, 0},
    {68, XK_F10, 0},
    {87, XK_F11, 0},
    {88, XK_F12, 0},
    {97, XK_Control_R, 0},
    {100, XK_Alt_R, 0},
    {103, XK_Up, 0},
    {105, XK_Left, 0},
    {106, XK_Right, 0},
    {108, XK_Down, 0},
    {125, XK_Super_L, 0},
    {126, XK_Super_R, 0},
    {183, XK_F13, 0},
    {184, XK_F14, 0},
    {185, XK_F15, 0},
    {186, XK_F16, 0},
    {187, XK_F17, 0},
    {188, XK_F18, 0},
    {189, XK_F19, 0},
    {190, XK_F20, 0},
};

std::string keysymName(Keysym keysym) {
  char name[64];
  if (xkb_keysym_get_name(keysym, name, sizeof name) < 0)
    return "NoSymbol";
  return name;
}

std::string keyName(std::uint32_t keycode) {
  return "<K" + std::to_string(keycode) + ">";
}

} // namespace

WlrootsKeymap::WlrootsKeymap() {
  for (const BaseKey& base : kBaseKeys) {
    Key key;
    key.keycode = base.evdev + kEvdevOffset;
    key.base = base.base;
    if (base.shifted)
      key.shifted = base.shifted;
    key.alphabetic = base.base >= XK_a && base.base <= XK_z;
    keys_.push_back(key);
  }
  Key function;
  function.keycode = kFunctionKeycode;
  function.base = kFunctionKeysym;
  keys_.push_back(function);
  std::sort(keys_.begin(), keys_.end(),
            [](const Key& a, const Key& b) { return a.keycode < b.keycode; });
}

WlrootsKeymap::Key* WlrootsKeymap::find(Keysym keysym) {
  for (Key& key : keys_)
    if (key.base == keysym)
      return &key;
  return nullptr;
}

std::optional<std::uint32_t> WlrootsKeymap::assign(Keysym keysym,
                                                   const std::set<std::uint32_t>& held) {
  if (Key* key = find(keysym)) {
    key->lastUse = ++uses_;
    return key->keycode;
  }
  // The lowest free keycode, else the spare key used longest ago that is not down.
  std::optional<std::uint32_t> free;
  for (std::uint32_t code = kMinKeycode + 1; code <= kMaxKeycode && !free; ++code)
    if (std::none_of(keys_.begin(), keys_.end(), [&](const Key& k) { return k.keycode == code; }))
      free = code;
  if (free) {
    Key key;
    key.keycode = *free;
    key.base = keysym;
    key.spare = true;
    key.lastUse = ++uses_;
    keys_.insert(std::upper_bound(keys_.begin(), keys_.end(), key,
                                  [](const Key& a, const Key& b) { return a.keycode < b.keycode; }),
                 key);
    ++generation_;
    return *free;
  }
  Key* oldest = nullptr;
  for (Key& key : keys_)
    if (key.spare && !held.count(key.keycode) && (!oldest || key.lastUse < oldest->lastUse))
      oldest = &key;
  if (!oldest)
    return std::nullopt;
  oldest->base = keysym;
  oldest->lastUse = ++uses_;
  ++generation_;
  return oldest->keycode;
}

std::optional<std::uint32_t> WlrootsKeymap::keycodeFor(Keysym keysym,
                                                       const std::set<std::uint32_t>& held) {
  return assign(keysym, held);
}

std::vector<std::uint32_t> WlrootsKeymap::reserve(const std::vector<Keysym>& keysyms,
                                                  const std::set<std::uint32_t>& held) {
  // Keys given out now must not be taken again by a later keysym of the same batch.
  std::set<std::uint32_t> keep = held;
  std::vector<std::uint32_t> keycodes;
  for (Keysym keysym : keysyms) {
    std::optional<std::uint32_t> keycode = assign(keysym, keep);
    if (!keycode)
      break;
    keep.insert(*keycode);
    keycodes.push_back(*keycode);
  }
  return keycodes;
}

std::optional<Keysym> WlrootsKeymap::keysymAt(std::uint32_t keycode) const {
  for (const Key& key : keys_)
    if (key.keycode == keycode)
      return key.base;
  return std::nullopt;
}

std::string WlrootsKeymap::text() const {
  std::string keycodes, symbols;
  for (const Key& key : keys_) {
    keycodes += "    " + keyName(key.keycode) + " = " + std::to_string(key.keycode) + ";\n";
    std::string type = key.alphabetic ? "ALPHABETIC" : key.shifted ? "TWO_LEVEL" : "ONE_LEVEL";
    std::string levels = keysymName(key.base);
    if (key.shifted)
      levels += ", " + keysymName(*key.shifted);
    symbols += "    key " + keyName(key.keycode) + " { type = \"" + type +
               "\", symbols[Group1] = [ " + levels + " ] };\n";
  }
  // Which keys hold which modifier, for clients that work out virtual modifiers from it.
  struct ModifierKeys {
    const char* modifier;
    std::uint32_t mask;
  };
  for (ModifierKeys modifier :
       {ModifierKeys{"Shift", 0x1}, ModifierKeys{"Lock", kLockMask}, ModifierKeys{"Control", 0x4},
        ModifierKeys{"Mod1", 0x8}, ModifierKeys{"Mod4", 0x40}}) {
    std::string holders;
    for (const Key& key : keys_)
      if (modifierMask(key.base) == modifier.mask ||
          (modifier.mask == kLockMask && isLock(key.base)))
        holders += (holders.empty() ? "" : ", ") + keyName(key.keycode);
    if (!holders.empty())
      symbols += "    modifier_map " + std::string(modifier.modifier) + " { " + holders + " };\n";
  }
  return "xkb_keymap {\n"
         "  xkb_keycodes \"tovel\" {\n"
         "    minimum = " +
         std::to_string(kMinKeycode) + ";\n    maximum = " + std::to_string(kMaxKeycode) + ";\n" +
         keycodes +
         "  };\n"
         "  xkb_types \"tovel\" {\n"
         "    type \"ONE_LEVEL\" { modifiers = none; level_name[Level1] = \"Any\"; };\n"
         "    type \"TWO_LEVEL\" { modifiers = Shift; map[Shift] = Level2;\n"
         "      level_name[Level1] = \"Base\"; level_name[Level2] = \"Shift\"; };\n"
         "    type \"ALPHABETIC\" { modifiers = Shift + Lock; map[Shift] = Level2;\n"
         "      map[Lock] = Level2; level_name[Level1] = \"Base\"; level_name[Level2] = "
         "\"Caps\"; };\n"
         "  };\n"
         "  xkb_compatibility \"tovel\" {\n"
         "    interpret Caps_Lock { action = LockMods(modifiers = Lock); };\n"
         "    interpret Any + AnyOf(all) { action = SetMods(modifiers = modMapMods, clearLocks); "
         "};\n"
         "  };\n"
         "  xkb_symbols \"tovel\" {\n" +
         symbols +
         "  };\n"
         "};\n";
}

std::uint32_t WlrootsKeymap::modifierMask(Keysym keysym) {
  switch (keysym) {
  case XK_Shift_L:
  case XK_Shift_R:
    return 0x1;
  case XK_Control_L:
  case XK_Control_R:
    return 0x4;
  case XK_Alt_L:
  case XK_Alt_R:
    return 0x8;
  case XK_Super_L:
  case XK_Super_R:
    return 0x40;
  default:
    return 0;
  }
}

bool WlrootsKeymap::isLock(Keysym keysym) {
  return keysym == XK_Caps_Lock;
}

} // namespace tovel
