#pragma once

#include <string_view>

#include "input/held_input.h"
#include "input/injection_state.h"

namespace tovel {

// Acts on one WebSocket message: a JSON object whose "action" names an input operation ("move",
// "click", "mousedown", "mouseup", "keydown", "keyup", "scroll", "swipe", "type", "log"). Text that
// is not such an object is ignored; an unknown action is reported on the console. Buttons and keys
// it presses or releases are noted in held, the session's record of what it holds down.
void handleWebSocketMessage(InputContext& input, std::string_view text, HeldInput& held);

} // namespace tovel
