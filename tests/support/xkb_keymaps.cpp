#include "support/xkb_keymaps.h"

#include <algorithm>

namespace tovel::test {

XkbKeymap compileKeymap(const std::string& layouts) {
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
  xkb_rule_names names{"evdev", "pc105", layouts.c_str(), "", ""};
  xkb_keymap* keymap =
      context ? xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr;
  xkb_context_unref(context);
  return XkbKeymap(keymap, xkb_keymap_unref);
}

KeyboardLayout layoutOf(xkb_keymap* keymap, xkb_layout_index_t layout) {
  KeyboardLayout out;
  // X has no keycodes above 255 (evdev's keymaps do).
  for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap);
       key <= std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap), 255); ++key) {
    xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, key, layout);
    if (levels == 0)
      continue;
    LayoutKey entry{int(key), {}};
    for (xkb_level_index_t level = 0; level < levels; ++level) {
      LayoutLevel typed;
      const xkb_keysym_t* syms = nullptr;
      if (xkb_keymap_key_get_syms_by_level(keymap, key, layout, level, &syms) == 1)
        typed.keysym = syms[0];
      xkb_mod_mask_t masks[64];
      std::size_t count = xkb_keymap_key_get_mods_for_level(keymap, key, layout, level, masks, 64);
      // xkbcommon numbers the eight real modifiers first, in X's order.
      for (std::size_t i = 0; i < count; ++i)
        typed.modifiers.push_back(masks[i] & 0xff);
      entry.levels.push_back(typed);
    }
    out.push_back(entry);
  }
  return out;
}

} // namespace tovel::test
