#include <gtest/gtest.h>

#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>

#include "common/utf8_text.h"
#include "input/key_names.h"
#include "platform/gnome/mutter_keysyms.h"
#include "platform/keyboard_layout.h"
#include "platform/keysyms.h"
#include "platform/wlroots/wlroots_keymap.h"

namespace tovel {
namespace {

using XkbKeymap = std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)>;

// The keymap of these layouts ("us", "de", "us,de") and XKB options ("ctrl:nocaps") on a pc105
// keyboard with the evdev rules.
XkbKeymap compileKeymap(const std::string& layouts, const std::string& options = "") {
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
  xkb_rule_names names{"evdev", "pc105", layouts.c_str(), "", options.c_str()};
  xkb_keymap* keymap =
      context ? xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr;
  xkb_context_unref(context);
  return XkbKeymap(keymap, xkb_keymap_unref);
}

// The first group of a keymap as typing sees it on X, which has no keycodes above 255.
KeyboardLayout layoutOf(xkb_keymap* keymap) {
  KeyboardLayout out;
  for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap);
       key <= std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap), 255); ++key) {
    LayoutKey entry{int(key), {}};
    for (xkb_level_index_t level = 0; level < xkb_keymap_num_levels_for_key(keymap, key, 0);
         ++level) {
      LayoutLevel typed;
      const xkb_keysym_t* syms = nullptr;
      if (xkb_keymap_key_get_syms_by_level(keymap, key, 0, level, &syms) == 1)
        typed.keysym = syms[0];
      xkb_mod_mask_t masks[64];
      std::size_t count = xkb_keymap_key_get_mods_for_level(keymap, key, 0, level, masks, 64);
      // xkbcommon numbers the eight real modifiers first, in X's order.
      for (std::size_t i = 0; i < count; ++i)
        typed.modifiers.push_back(masks[i] & 0xff);
      entry.levels.push_back(typed);
    }
    if (!entry.levels.empty())
      out.push_back(entry);
  }
  return out;
}

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

// On X a character comes from the key and level with the fewest modifiers (Shift 0x1, AltGr Mod5
// 0x80) in the first layout, never the keypad. Mutter gets its keysym only where every layout
// types it so; not above the third level, which Mutter types unmodified.
TEST(KeyboardLayout, CharactersComeFromTheirKeyAndLevelAndMutterGetsTheKeysymsItTypesRight) {
  const std::tuple<const char*, char32_t, const char*, std::optional<Keysym>> cases[] = {
      {"us", U'a', "AC01 level 0 mods 0x0", XK_a},
      {"us", U'A', "AC01 level 1 mods 0x1", XK_A},
      {"us", U'@', "AE02 level 1 mods 0x1", XK_at},
      {"us", U'1', "AE01 level 0 mods 0x0", XK_1},
      {"us", U'*', "AE08 level 1 mods 0x1", XK_asterisk},
      {"us", U'\n', "RTRN level 0 mods 0x0", XK_Return},
      {"us", U'\t', "TAB level 0 mods 0x0", XK_Tab},
      {"us", U' ', "SPCE level 0 mods 0x0", XK_space},
      {"us", U'é', "none", std::nullopt},
      {"de", U'z', "AD06 level 0 mods 0x0", XK_z},
      {"de", U'y', "AB01 level 0 mods 0x0", XK_y},
      {"de", U'Z', "AD06 level 1 mods 0x1", XK_Z},
      {"de", U'@', "AD01 level 2 mods 0x80", XK_at},
      {"de", U'€', "AD03 level 2 mods 0x80", XK_EuroSign},
      {"de", U'"', "AE02 level 1 mods 0x1", XK_quotedbl},
      {"de", U'ß', "AE11 level 0 mods 0x0", XK_ssharp},
      {"de", U'Ω', "AD01 level 3 mods 0x81", std::nullopt},
      {"de", U'ç', "none", std::nullopt},
      {"fr", U'1', "AE01 level 1 mods 0x1", XK_1},
      {"fr", U'é', "AE02 level 0 mods 0x0", XK_eacute},
      {"fr", U'@', "AE10 level 2 mods 0x80", XK_at},
      {"fr", U'q', "AC01 level 0 mods 0x0", XK_q},
      {"fr", U'ç', "AE09 level 0 mods 0x0", XK_ccedilla},
      {"fr", U'ñ', "none", std::nullopt},
      {"us,de", U'@', "AE02 level 1 mods 0x1", XK_at},
      {"us,de", U'z', "AB01 level 0 mods 0x0", XK_z},
      {"us,de", U'ß', "none", std::nullopt},
  };
  for (auto [layouts, character, stroke, keysym] : cases) {
    SCOPED_TRACE(std::string(layouts) + " " + encodeUtf8(character));
    auto keymap = compileKeymap(layouts);
    ASSERT_TRUE(keymap);
    EXPECT_EQ(describe(keymap.get(), chooseKeyStroke(layoutOf(keymap.get()), character)), stroke);
    EXPECT_EQ(mutterKeysymFor(keymap.get(), character), keysym);
  }
  // Under Caps Lock, which Mutter applies to what it types, a letter comes from the other case's
  // keysym wherever the locked key then types it.
  const std::tuple<const char*, char32_t, std::optional<Keysym>> locked[] = {
      {"us", U'a', XK_A},         {"us", U'A', XK_a},          {"us", U'1', XK_1},
      {"us", U'@', XK_at},        {"de", U'ä', XK_Adiaeresis}, {"de", U'Ä', XK_adiaeresis},
      {"de", U'ß', std::nullopt}, {"fr", U'é', XK_eacute},     {"us,de", U'z', XK_Z},
  };
  for (auto [layouts, character, keysym] : locked) {
    auto keymap = compileKeymap(layouts);
    EXPECT_EQ(mutterKeysymFor(keymap.get(), character, true), keysym)
        << layouts << " " << encodeUtf8(character);
  }
  // A Caps Lock key that another option made a Control key is not there to press.
  EXPECT_TRUE(mutterHasKey(compileKeymap("us").get(), XK_Caps_Lock));
  EXPECT_FALSE(mutterHasKey(compileKeymap("us", "ctrl:nocaps").get(), XK_Caps_Lock));
}

TEST(KeyboardLayout, CharactersAndTheirKeysymsConvertBothWays) {
  const std::pair<char32_t, Keysym> pairs[] = {{U'é', XK_eacute},  {U'Ω', 0x010003A9},
                                               {U'😀', 0x0101F600}, {U'\n', XK_Return},
                                               {U'\t', XK_Tab},    {U'a', XK_a}};
  for (auto [character, keysym] : pairs) {
    EXPECT_EQ(keysymForCharacter(character), keysym) << keysym;
    EXPECT_EQ(characterOfKeysym(keysym), character) << keysym;
  }
  // Keys that type no character.
  for (Keysym keysym : {XK_Shift_L, XK_BackSpace, XK_dead_acute, XK_ISO_Left_Tab, XK_F1})
    EXPECT_EQ(characterOfKeysym(keysym), std::nullopt) << keysym;
}

// The keymap as a client of the compositor compiles it, and what a key types with the modifiers
// (an XKB mask of real modifiers) down, or whether holding it holds the modifier.
struct CompiledKeymap {
  explicit CompiledKeymap(const WlrootsKeymap& source)
      : keymap(xkb_keymap_new_from_string(context.get(), source.text().c_str(),
                                          XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS),
               xkb_keymap_unref) {}
  xkb_keysym_t type(std::uint32_t keycode, std::uint32_t modifiers = 0) const {
    State s(xkb_state_new(keymap.get()), xkb_state_unref);
    xkb_state_update_mask(s.get(), modifiers & ~WlrootsKeymap::kLockMask, 0,
                          modifiers & WlrootsKeymap::kLockMask, 0, 0, 0);
    return xkb_state_key_get_one_sym(s.get(), keycode);
  }
  bool holds(std::uint32_t keycode, const char* modifier) const {
    State s(xkb_state_new(keymap.get()), xkb_state_unref);
    xkb_state_update_key(s.get(), keycode, XKB_KEY_DOWN);
    return xkb_state_mod_name_is_active(s.get(), modifier, XKB_STATE_MODS_EFFECTIVE) > 0;
  }
  using State = std::unique_ptr<xkb_state, decltype(&xkb_state_unref)>;
  std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context{
      xkb_context_new(XKB_CONTEXT_NO_DEFAULT_INCLUDES), xkb_context_unref};
  XkbKeymap keymap;
};

// Every key name typing its keysym through the compositor, with Shift and Lock as on a US keyboard:
// Sway's DesktopChecks (KeyNamesTypeTheirKeysyms..., TextArrives...). Here the keycodes X clients
// can use, Control typing the unmodified keysym, and the modifier keys holding their modifiers.
TEST(WlrootsKeymap, EveryKeyNameHasAnXKeycodeAndModifiersWorkAsOnAUsKeyboard) {
  WlrootsKeymap keymap;
  CompiledKeymap compiled(keymap);
  ASSERT_TRUE(compiled.keymap) << keymap.text();
  for (const auto& [name, code] : keyNameToKeyCode())
    EXPECT_LE(keymap.keycodeFor(*keysymForKeyCode(code)).value_or(256), 255u) << name;
  EXPECT_EQ(compiled.type(*keymap.keycodeFor(XK_a), 0x4), XK_a);
  for (auto [keysym, modifier] : {std::pair{XK_Shift_R, XKB_MOD_NAME_SHIFT},
                                  {XK_Control_L, XKB_MOD_NAME_CTRL},
                                  {XK_Alt_R, XKB_MOD_NAME_ALT},
                                  {XK_Super_L, XKB_MOD_NAME_LOGO}})
    EXPECT_TRUE(compiled.holds(*keymap.keycodeFor(keysym), modifier)) << modifier;
}

TEST(WlrootsKeymap, AnyCharacterGetsAKeyOfItsOwnThatItKeeps) {
  WlrootsKeymap keymap;
  std::uint64_t before = keymap.generation();
  std::vector<Keysym> text;
  for (char32_t c : std::u32string(U"café 日本 😀"))
    text.push_back(xkb_utf32_to_keysym(c));
  ASSERT_EQ(keymap.reserve(text).size(), text.size());
  EXPECT_EQ(keymap.generation(), before + 4); // é 日 本 😀; the others are on the table's keys
  std::optional<std::uint32_t> smile = keymap.keycodeFor(xkb_utf32_to_keysym(U'😀'));
  CompiledKeymap compiled(keymap);
  ASSERT_TRUE(compiled.keymap) << keymap.text();
  for (Keysym keysym : text)
    EXPECT_EQ(compiled.type(*keymap.keycodeFor(keysym)), keysym) << keysym;
  std::uint64_t settled = keymap.generation();
  ASSERT_EQ(keymap.reserve(text).size(), text.size());
  EXPECT_EQ(keymap.generation(), settled);
  EXPECT_EQ(keymap.keycodeFor(xkb_utf32_to_keysym(U'😀')), smile);
}

TEST(WlrootsKeymap, WhenAllSpareKeysAreTakenTheOneUsedLongestAgoAndNotHeldIsGivenAgain) {
  WlrootsKeymap keymap;
  std::vector<std::uint32_t> given;
  for (Keysym keysym = 0x1004e00;; ++keysym) { // CJK ideographs until the keys run out
    std::uint64_t before = keymap.generation();
    std::optional<std::uint32_t> keycode = keymap.keycodeFor(keysym);
    ASSERT_TRUE(keycode);
    if (std::ranges::count(given, *keycode)) {
      ASSERT_GT(keymap.generation(), before);
      break;
    }
    given.push_back(*keycode);
  }
  ASSERT_GT(given.size(), 100u);
  // The first spare key went to the newest keysym; with it and the second held, the third goes.
  std::set<std::uint32_t> held{given[0], given[1]};
  EXPECT_EQ(keymap.keycodeFor(0x1009000, held), given[2]);
  held.insert(given.begin(), given.end());
  EXPECT_EQ(keymap.keycodeFor(0x1009001, held), std::nullopt);
  // The table's keys are never given away.
  EXPECT_EQ(keymap.keysymAt(*keymap.keycodeFor(XK_a)), Keysym(XK_a));
  EXPECT_TRUE(CompiledKeymap(keymap).keymap);
}

// Without giving a key of the batch or a held one away; what it got types right.
TEST(WlrootsKeymap, ABatchBeyondTheSpareKeysStopsAtTheFirstKeysymWithoutAKey) {
  WlrootsKeymap keymap;
  std::uint32_t held = *keymap.keycodeFor(0x1003400);
  std::vector<Keysym> batch{XK_a};
  for (Keysym keysym = 0x1004e00; batch.size() < 300; ++keysym)
    batch.push_back(keysym);
  std::vector<std::uint32_t> keycodes = keymap.reserve(batch, {held});
  ASSERT_GT(keycodes.size(), 100u);
  ASSERT_LT(keycodes.size(), batch.size());
  CompiledKeymap compiled(keymap);
  ASSERT_TRUE(compiled.keymap);
  for (std::size_t i = 0; i < keycodes.size(); ++i)
    EXPECT_EQ(compiled.type(keycodes[i]), batch[i]) << i;
  EXPECT_EQ(compiled.type(held), 0x1003400u);
}

} // namespace
} // namespace tovel
