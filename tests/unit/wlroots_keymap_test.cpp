#include <gtest/gtest.h>

#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

#include "input/key_names.h"
#include "platform/keysyms.h"
#include "platform/wlroots/wlroots_keymap.h"
#include "platform/wlroots/wlroots_pointer.h"
#include "support/xkb_keymaps.h"

namespace tovel {
namespace {

// The keymap as a client of the compositor compiles it, and what a key types with the modifiers
// (an XKB mask of real modifiers) down, or whether holding it holds the modifier.
struct CompiledKeymap {
  explicit CompiledKeymap(const std::string& text)
      : keymap(xkb_keymap_new_from_string(context.get(), text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                          XKB_KEYMAP_COMPILE_NO_FLAGS),
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
  test::XkbKeymap keymap;
};

TEST(WlrootsKeymap, EveryKeyNameTypesItsKeysymAndShiftAndModifiersWorkAsOnAUsKeyboard) {
  WlrootsKeymap keymap;
  CompiledKeymap compiled(keymap.text());
  ASSERT_TRUE(compiled.keymap) << keymap.text();
  for (const auto& [name, code] : keyNameToKeyCode()) {
    Keysym keysym = *keysymForKeyCode(code);
    std::optional<std::uint32_t> keycode = keymap.keycodeFor(keysym);
    ASSERT_TRUE(keycode) << name;
    EXPECT_LE(*keycode, 255u) << name;
    EXPECT_EQ(compiled.type(*keycode), keysym) << name;
  }
  struct Case {
    Keysym key;
    std::uint32_t modifiers;
    Keysym typed;
  };
  for (Case c : {Case{XK_a, 0x1, XK_A}, Case{XK_a, 0x2, XK_A}, Case{XK_1, 0x1, XK_exclam},
                 Case{XK_1, 0x2, XK_1}, Case{XK_slash, 0x1, XK_question}, Case{XK_a, 0x4, XK_a}})
    EXPECT_EQ(compiled.type(*keymap.keycodeFor(c.key), c.modifiers), c.typed) << c.key;
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
  CompiledKeymap compiled(keymap.text());
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
    if (std::find(given.begin(), given.end(), *keycode) != given.end()) {
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
  CompiledKeymap compiled(keymap.text());
  EXPECT_TRUE(compiled.keymap);
}

// A batch of more keysyms than spare keys gets keys up to the first that finds none, without
// giving a key of the batch or a held one away; what it got types right.
TEST(WlrootsKeymap, ABatchBeyondTheSpareKeysStopsAtTheFirstKeysymWithoutAKey) {
  WlrootsKeymap keymap;
  std::uint32_t held = *keymap.keycodeFor(0x1003400);
  std::vector<Keysym> batch{XK_a};
  for (Keysym keysym = 0x1004e00; batch.size() < 300; ++keysym)
    batch.push_back(keysym);
  std::vector<std::uint32_t> keycodes = keymap.reserve(batch, {held});
  ASSERT_GT(keycodes.size(), 100u);
  ASSERT_LT(keycodes.size(), batch.size());
  CompiledKeymap compiled(keymap.text());
  ASSERT_TRUE(compiled.keymap);
  for (std::size_t i = 0; i < keycodes.size(); ++i)
    EXPECT_EQ(compiled.type(keycodes[i]), batch[i]) << i;
  EXPECT_EQ(compiled.type(held), 0x1003400u);
}

// The host's record of the pointer stays on the layout as the compositor keeps its cursor there.
TEST(WlrootsPointer, MovesOffTheLayoutEndOnItsNearestPixel) {
  MonitorLayout layout;
  layout.monitors = {Monitor{1, 0, 0, 1920, 1080, true, "A"},
                     Monitor{2, 1920, 0, 1024, 768, false, "B"}};
  struct Case {
    Point from, target, to;
  };
  for (Case c :
       {Case{{100, 100}, {110.5, 90.25}, {110.5, 90.25}}, Case{{100, 100}, {-50, 2000}, {0, 1079}},
        Case{{1900, 100}, {2000, 900}, {1919, 900}}, Case{{1900, 1000}, {2500, 1000}, {2500, 767}},
        Case{{100, 100}, {1919.5, 1079.75}, {1919.5, 1079.75}},
        Case{{1900, 100}, {3100, -5}, {2943, 0}}}) {
    PointerRecord record;
    record.placeAt(c.from);
    PointerRecord::Step step = record.step(layout, c.target);
    EXPECT_EQ(step.dx, PointerRecord::onTheWire(c.target.x - c.from.x));
    record.moved(step);
    EXPECT_EQ(record.position(), c.to) << c.target.x << "," << c.target.y;
  }
}

} // namespace
} // namespace tovel
