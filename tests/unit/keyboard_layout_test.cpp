#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <optional>
#include <string>

#include "common/utf8_text.h"
#include "platform/gnome/mutter_keysyms.h"
#include "platform/keyboard_layout.h"
#include "support/xkb_keymaps.h"

namespace tovel {
namespace {

using test::compileKeymap;

// "AD01 level 2 mods 0x80": the key (by its XKB name), the level and the modifiers a character
// is typed with; "none" when the layout has no key for it.
std::string describe(xkb_keymap* keymap, const std::optional<KeyStroke>& stroke) {
  if (!stroke)
    return "none";
  char mods[8];
  std::snprintf(mods, sizeof mods, "0x%x", stroke->modifiers);
  return std::string(xkb_keymap_key_get_name(keymap, xkb_keycode_t(stroke->keycode))) + " level " +
         std::to_string(stroke->level) + " mods " + mods;
}

// Real layouts as xkeyboard-config has them: a character comes from the key and level that
// type it with the fewest modifiers (Shift 0x1, Mod5 0x80 for AltGr), never from the keypad.
TEST(KeyboardLayout, CharactersComeFromTheirKeyAndLevel) {
  const struct {
    const char* layout;
    char32_t character;
    const char* expected;
  } cases[] = {
      {"us", U'a', "AC01 level 0 mods 0x0"},
      {"us", U'A', "AC01 level 1 mods 0x1"},
      {"us", U'@', "AE02 level 1 mods 0x1"},
      {"us", U'1', "AE01 level 0 mods 0x0"},
      {"us", U'*', "AE08 level 1 mods 0x1"},
      {"us", U'\n', "RTRN level 0 mods 0x0"},
      {"us", U'\t', "TAB level 0 mods 0x0"},
      {"us", U' ', "SPCE level 0 mods 0x0"},
      {"us", U'é', "none"},
      {"de", U'z', "AD06 level 0 mods 0x0"},
      {"de", U'y', "AB01 level 0 mods 0x0"},
      {"de", U'Z', "AD06 level 1 mods 0x1"},
      {"de", U'@', "AD01 level 2 mods 0x80"},
      {"de", U'€', "AD03 level 2 mods 0x80"},
      {"de", U'"', "AE02 level 1 mods 0x1"},
      {"de", U'ß', "AE11 level 0 mods 0x0"},
      {"de", U'Ω', "AD01 level 3 mods 0x81"},
      {"de", U'ç', "none"},
      {"fr", U'1', "AE01 level 1 mods 0x1"},
      {"fr", U'é', "AE02 level 0 mods 0x0"},
      {"fr", U'@', "AE10 level 2 mods 0x80"},
      {"fr", U'q', "AC01 level 0 mods 0x0"},
      {"fr", U'ç', "AE09 level 0 mods 0x0"},
      {"fr", U'ñ', "none"},
  };
  for (const auto& c : cases) {
    auto keymap = compileKeymap(c.layout);
    ASSERT_TRUE(keymap) << c.layout;
    EXPECT_EQ(describe(keymap.get(), chooseKeyStroke(test::layoutOf(keymap.get()), c.character)),
              c.expected)
        << c.layout << " " << encodeUtf8(c.character);
  }
}

// What Mutter's remote desktop is handed: the keysym of the character when it types it as that
// character in every layout of the session, and nothing when it would not: a layout without it,
// or a level above the third (Mutter types that key unmodified, another character).
TEST(KeyboardLayout, MutterGetsTheKeysymsItTypesRight) {
  const struct {
    const char* layouts;
    char32_t character;
    std::optional<Keysym> expected;
  } cases[] = {
      {"us", U'a', XK_a},         {"us", U'A', XK_A},
      {"us", U'@', XK_at},        {"us", U'\n', XK_Return},
      {"us", U'é', std::nullopt}, {"de", U'@', XK_at},
      {"de", U'€', XK_EuroSign},  {"de", U'ß', XK_ssharp},
      {"de", U'Ω', std::nullopt}, {"fr", U'é', XK_eacute},
      {"fr", U'1', XK_1},         {"us,de", U'@', XK_at},
      {"us,de", U'z', XK_z},      {"us,de", U'ß', std::nullopt},
  };
  for (const auto& c : cases) {
    auto keymap = compileKeymap(c.layouts);
    ASSERT_TRUE(keymap) << c.layouts;
    EXPECT_EQ(mutterKeysymFor(keymap.get(), c.character), c.expected)
        << c.layouts << " " << encodeUtf8(c.character);
  }
}

TEST(KeyboardLayout, CharactersWithoutAKeyHaveAKeysymOfTheirOwn) {
  EXPECT_EQ(keysymForCharacter(U'é'), Keysym(XK_eacute));
  EXPECT_EQ(keysymForCharacter(U'Ω'), 0x010003A9u);
  EXPECT_EQ(keysymForCharacter(U'😀'), 0x0101F600u);
  EXPECT_EQ(keysymForCharacter(U'\n'), Keysym(XK_Return));
  for (char32_t c : {U'é', U'Ω', U'😀', U'\n', U'\t', U'a'})
    EXPECT_EQ(characterOfKeysym(keysymForCharacter(c)), c);
  // Keys that type no character.
  for (Keysym keysym : {XK_Shift_L, XK_BackSpace, XK_dead_acute, XK_ISO_Left_Tab, XK_F1})
    EXPECT_EQ(characterOfKeysym(keysym), std::nullopt) << keysym;
}

} // namespace
} // namespace tovel
