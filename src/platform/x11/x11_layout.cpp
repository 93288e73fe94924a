#include "platform/x11/x11_layout.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

namespace tovel {

namespace {

// The group a key's levels come from when the keyboard is in `group`: a key with fewer groups
// wraps, clamps or redirects it as its own settings say.
int keyGroup(XkbDescPtr xkb, int keycode, int group) {
  int groups = XkbKeyNumGroups(xkb, keycode);
  if (group < groups)
    return group;
  unsigned char info = XkbKeyGroupInfo(xkb, keycode);
  switch (XkbOutOfRangeGroupAction(info)) {
  case XkbClampIntoRange:
    return groups - 1;
  case XkbRedirectIntoRange: {
    int target = XkbOutOfRangeGroupNumber(info);
    return target < groups ? target : 0;
  }
  default:
    return group % groups;
  }
}

KeyboardLayout readLayout(XkbDescPtr xkb, int group) {
  KeyboardLayout layout;
  for (int keycode = xkb->min_key_code; keycode <= xkb->max_key_code; ++keycode) {
    if (XkbKeyNumGroups(xkb, keycode) == 0)
      continue;
    int keyGroupIndex = keyGroup(xkb, keycode, group);
    XkbKeyTypePtr type = XkbKeyKeyType(xkb, keycode, keyGroupIndex);
    LayoutKey key{keycode, {}};
    key.levels.resize(type->num_levels);
    for (int level = 0; level < type->num_levels; ++level)
      key.levels[std::size_t(level)].keysym =
          Keysym(XkbKeySymEntry(xkb, keycode, level, keyGroupIndex));
    // A state that matches no entry of the type selects the first level.
    bool noneSelectsFirst = true;
    for (int i = 0; i < type->map_count; ++i) {
      const XkbKTMapEntryRec& entry = type->map[i];
      if (!entry.active || entry.level >= type->num_levels)
        continue;
      key.levels[entry.level].modifiers.push_back(entry.mods.mask);
      noneSelectsFirst = noneSelectsFirst && entry.mods.mask != 0;
    }
    if (noneSelectsFirst && !key.levels.empty())
      key.levels[0].modifiers.insert(key.levels[0].modifiers.begin(), 0);
    layout.push_back(std::move(key));
  }
  return layout;
}

} // namespace

std::optional<X11KeyboardState> readKeyboardState(Display* display) {
  int opcode = 0, event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
  if (!display || !XkbQueryExtension(display, &opcode, &event, &error, &major, &minor))
    return std::nullopt;
  XkbStateRec state;
  if (XkbGetState(display, XkbUseCoreKbd, &state) != Success)
    return std::nullopt;
  XkbDescPtr xkb = XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
  if (!xkb)
    return std::nullopt;
  X11KeyboardState keyboard;
  keyboard.group = state.group;
  keyboard.base = state.base_mods;
  keyboard.latched = state.latched_mods;
  keyboard.locked = state.locked_mods;
  keyboard.layout = readLayout(xkb, state.group);
  XkbFreeKeyboard(xkb, 0, True);
  return keyboard;
}

} // namespace tovel
