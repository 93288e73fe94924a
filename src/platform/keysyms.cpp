#include "platform/keysyms.h"

#include <X11/keysym.h>

namespace tovel {

namespace {

// XF86Fn; its header defines it through a helper macro that it undefines again.
constexpr Keysym kFunctionKeysym = 0x10081000 + 0x1D0;

struct KeysymEntry {
  KeyCode key;
  Keysym keysym;
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

std::optional<Keysym> keysymForKeyCode(KeyCode key) {
  for (const KeysymEntry& entry : kKeysyms)
    if (entry.key == key)
      return entry.keysym;
  return std::nullopt;
}

} // namespace tovel
