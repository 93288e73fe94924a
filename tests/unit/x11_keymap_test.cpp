#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include "input/key_names.h"
#include "platform/x11/x11_keymap.h"

namespace tovel {
namespace {

std::string keysymName(std::optional<KeySym> keysym) {
  const char* name = keysym ? XKeysymToString(*keysym) : nullptr;
  return name ? name : "?";
}

// The keysym a name must type where X has an obvious one: a printable character is its own
// keysym, "f5" is F5, "leftArrow" is Left.
std::optional<KeySym> obviousKeysym(std::string name) {
  if (name.size() == 1)
    return KeySym(static_cast<unsigned char>(name[0]));
  if (name.size() <= 3 && name[0] == 'f')
    return XStringToKeysym(("F" + name.substr(1)).c_str());
  if (name.ends_with("Arrow")) {
    name.resize(name.size() - 5);
    name[0] = char(std::toupper(name[0]));
    return XStringToKeysym(name.c_str());
  }
  return std::nullopt;
}

TEST(X11Keymap, EveryKeyNameTypesAKeysymOfItsOwn) {
  std::map<KeySym, KeyCode> owners;
  int obvious = 0;
  for (const auto& [name, code] : keyNameToKeyCode()) {
    auto keysym = keysymForKeyCode(code);
    ASSERT_TRUE(keysym && *keysym != NoSymbol) << name;
    if (auto expected = obviousKeysym(name)) {
      ++obvious;
      EXPECT_EQ(keysymName(keysym), keysymName(expected)) << name;
    }
    // Two codes typing the same keysym would make one of the keys unreachable.
    auto [it, inserted] = owners.emplace(*keysym, code);
    EXPECT_TRUE(inserted || it->second == code) << name << " shares " << keysymName(keysym);
  }
  EXPECT_EQ(obvious, 26 + 10 + 11 + 20 + 4);
  EXPECT_FALSE(keysymForKeyCode(65).has_value()); // a code the key table does not use

  // Left and right modifiers are distinct keys of one kind; X names the sides _L and _R.
  for (std::string kind : {"Shift", "Control", "Option", "Command"}) {
    std::string left = kind;
    left[0] = char(std::tolower(left[0]));
    std::string l = keysymName(keysymForKeyCode(*lookupKeyName(left)));
    std::string r = keysymName(keysymForKeyCode(*lookupKeyName("right" + kind)));
    EXPECT_TRUE(l.ends_with("_L") && r.ends_with("_R")) << l << " " << r;
    EXPECT_EQ(l.substr(0, l.size() - 2), r.substr(0, r.size() - 2));
  }
}

// A keysym is typed by the first keycode that has it in the unmodified column; a spare keycode
// is one empty in every column, the highest first.
TEST(X11Keymap, KeycodesComeFromTheUnmodifiedColumnAndSpareOnesAreEmptyInEveryColumn) {
  CoreKeymap map; // keycodes 8 to 12, two columns each
  map.keysymsPerKeycode = 2;
  map.keysyms = {
      NoSymbol, NoSymbol,   // 8
      XK_a,     XK_A,       // 9
      XK_1,     XK_exclam,  // 10
      NoSymbol, XK_Hyper_L, // 11: only with shift
      NoSymbol, NoSymbol,   // 12
  };
  EXPECT_EQ(findKeycode(map, XK_a), 9);
  EXPECT_EQ(findKeycode(map, XK_1), 10);
  // Keycode 10 alone types "1", not "!"; likewise a keysym reached only with a modifier.
  EXPECT_EQ(findKeycode(map, XK_exclam), std::nullopt);
  EXPECT_EQ(findKeycode(map, XK_Hyper_L), std::nullopt);
  EXPECT_EQ(findKeycode(map, NoSymbol), std::nullopt);
  EXPECT_EQ(findSpareKeycode(map), 12);
  map.keysyms[2 * 4] = XK_a; // keycode 12 types "a" too: the first one is used, and 12 is taken
  EXPECT_EQ(findKeycode(map, XK_a), 9);
  EXPECT_EQ(findSpareKeycode(map), 8);
  map.keysyms[2 * 4] = NoSymbol;
  map.keysyms[2 * 4 + 1] = XK_F13; // only the second column of 12 is bound: still taken
  EXPECT_EQ(findSpareKeycode(map), 8);
  map.keysyms[0] = XK_F14;
  EXPECT_EQ(findSpareKeycode(map), std::nullopt);
  EXPECT_EQ(findSpareKeycode(CoreKeymap{}), std::nullopt);
}

} // namespace
} // namespace tovel
