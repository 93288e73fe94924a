#include "platform/gnome/mutter_keysyms.h"

#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <vector>

#include "platform/keyboard_layout.h"

namespace tovel {

namespace {

struct Found {
  xkb_keycode_t keycode;
  xkb_level_index_t level;
};

// Mutter's search: keycodes upwards (its last keycode left out, as Mutter leaves it), levels
// upwards, in one layout.
std::optional<Found> mutterFinds(xkb_keymap* keymap, xkb_layout_index_t layout, Keysym keysym) {
  for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap); key < xkb_keymap_max_keycode(keymap);
       ++key)
    for (xkb_level_index_t level = 0; level < xkb_keymap_num_levels_for_key(keymap, key, layout);
         ++level) {
      const xkb_keysym_t* syms = nullptr;
      int count = xkb_keymap_key_get_syms_by_level(keymap, key, layout, level, &syms);
      for (int i = 0; i < count; ++i)
        if (syms[i] == keysym)
          return Found{key, level};
    }
  return std::nullopt;
}

// Whether Mutter types the character with the keysym in this layout, with these modifiers locked.
bool mutterTypes(xkb_keymap* keymap, xkb_layout_index_t layout, Keysym keysym, char32_t character,
                 xkb_mod_mask_t locked) {
  std::optional<Found> found = mutterFinds(keymap, layout, keysym);
  if (!found || found->level > 2)
    return false;
  std::optional<Found> modifier;
  if (found->level > 0) {
    modifier = mutterFinds(keymap, layout, found->level == 1 ? XK_Shift_L : XK_ISO_Level3_Shift);
    if (!modifier)
      return false;
  }
  // What the keys do, as the compositor's own state would have it.
  xkb_state* state = xkb_state_new(keymap);
  if (!state)
    return false;
  xkb_state_update_mask(state, 0, 0, locked, 0, 0, layout);
  if (modifier)
    xkb_state_update_key(state, modifier->keycode, XKB_KEY_DOWN);
  const xkb_keysym_t* syms = nullptr;
  int count = xkb_state_key_get_syms(state, found->keycode, &syms);
  bool typed = count == 1 && characterOfKeysym(syms[0]) == character && !isKeypadKeysym(syms[0]);
  xkb_state_unref(state);
  return typed;
}

} // namespace

std::optional<Keysym> mutterKeysymFor(xkb_keymap* keymap, char32_t character, bool capsLock) {
  if (!keymap)
    return std::nullopt;
  xkb_mod_index_t lock = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_CAPS);
  xkb_mod_mask_t locked = capsLock && lock != XKB_MOD_INVALID ? 1u << lock : 0;
  auto standsFor = [&](xkb_keysym_t keysym) {
    return characterOfKeysym(keysym) == character ||
           (locked && (characterOfKeysym(xkb_keysym_to_upper(keysym)) == character ||
                       characterOfKeysym(xkb_keysym_to_lower(keysym)) == character));
  };
  // Every keysym of the keymap that stands for the character (or, under Caps Lock, for the other
  // case of it), in the order Mutter meets them.
  std::vector<Keysym> candidates;
  xkb_layout_index_t layouts = xkb_keymap_num_layouts(keymap);
  for (xkb_layout_index_t layout = 0; layout < layouts; ++layout)
    for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap); key < xkb_keymap_max_keycode(keymap);
         ++key)
      for (xkb_level_index_t level = 0; level < xkb_keymap_num_levels_for_key(keymap, key, layout);
           ++level) {
        const xkb_keysym_t* syms = nullptr;
        int count = xkb_keymap_key_get_syms_by_level(keymap, key, layout, level, &syms);
        for (int i = 0; i < count; ++i)
          if (standsFor(syms[i]) && !isKeypadKeysym(syms[i]) &&
              std::find(candidates.begin(), candidates.end(), syms[i]) == candidates.end())
            candidates.push_back(syms[i]);
      }
  // The session may switch layouts at any time, and which one is active is not told to other
  // programs: a keysym counts only where every layout types it.
  for (Keysym keysym : candidates) {
    bool everywhere = layouts > 0;
    for (xkb_layout_index_t layout = 0; everywhere && layout < layouts; ++layout)
      everywhere = mutterTypes(keymap, layout, keysym, character, locked);
    if (everywhere)
      return keysym;
  }
  return std::nullopt;
}

bool mutterHasKey(xkb_keymap* keymap, Keysym keysym) {
  for (xkb_layout_index_t layout = 0; keymap && layout < xkb_keymap_num_layouts(keymap); ++layout)
    if (mutterFinds(keymap, layout, keysym))
      return true;
  return false;
}

} // namespace tovel
