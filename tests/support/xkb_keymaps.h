#pragma once

#include <xkbcommon/xkbcommon.h>

#include <memory>
#include <string>

#include "platform/keyboard_layout.h"

namespace tovel::test {

using XkbKeymap = std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)>;

// The keymap xkeyboard-config builds for these layouts ("us", "de", "us,de") on a pc105 keyboard
// with the evdev rules, as X servers and compositors compile it.
XkbKeymap compileKeymap(const std::string& layouts);

// One group of an xkbcommon keymap as typing sees it on X: keycodes up to 255.
KeyboardLayout layoutOf(xkb_keymap* keymap, xkb_layout_index_t layout = 0);

} // namespace tovel::test
