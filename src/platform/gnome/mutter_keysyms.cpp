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

// Whether Mutter types the keysym as itself in this layout.
bool mutterTypes(xkb_keymap* keymap, xkb_layout_index_t layout, Keysym keysym) {
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
  xkb_state_update_mask(state, 0, 0, 0, 0, 0, layout);
  if (modifier)
    xkb_state_update_key(state, modifier->keycode, XKB_KEY_DOWN);
  const xkb_keysym_t* syms = nullptr;
  int count = xkb_state_key_get_syms(state, found->keycode, &syms);
  bool typed = count == 1 && syms[0] == keysym;
  xkb_state_unref(state);
  return typed;
}

} // namespace

std::optional<Keysym> mutterKeysymFor(xkb_keymap* keymap, char32_t character) {
  if (!keymap)
    return std::nullopt;
  // Every keysym of the keymap that stands for the character, in the order Mutter meets them.
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
          if (characterOfKeysym(syms[i]) == character &&
              !(syms[i] >= XK_KP_Space && syms[i] <= XK_KP_Equal) &&
              std::find(candidates.begin(), candidates.end(), syms[i]) == candidates.end())
            candidates.push_back(syms[i]);
      }
  // The session may switch layouts at any time, and which one is active is not told to other
  // programs: a keysym counts only where every layout types it.
  for (Keysym keysym : candidates) {
    bool everywhere = layouts > 0;
    for (xkb_layout_index_t layout = 0; everywhere && layout < layouts; ++layout)
      everywhere = mutterTypes(keymap, layout, keysym);
    if (everywhere)
      return keysym;
  }
  return std::nullopt;
}

} // namespace tovel
