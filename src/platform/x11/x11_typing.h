#pragma once

#include <string_view>

#include "platform/platform.h"

using Display = struct _XDisplay;

namespace tovel {

class X11Keymap;
class KeyWatchdog;

// Types a prefix of the text through XTest as Platform::typeText says: a character of the
// keyboard's active group with its key and exactly the modifiers of its level (set as the locked
// modifiers for the key, with the held injected modifiers let go, latches cleared, and all put
// back afterwards); any other one through a spare keycode bound to its keysym. Ends with a round
// trip, so that the server has taken every key before the next part comes.
TypingProgress typeTextThroughXTest(Display* display, X11Keymap& keymap, KeyWatchdog& watchdog,
                                    std::u32string_view text);

} // namespace tovel
