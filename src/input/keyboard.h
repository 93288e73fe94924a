#pragma once

#include "input/injection_state.h"

namespace tovel {

// Press or release one key; modifier presses are remembered for the modifier tap.
void performKeyDown(InputContext& input, KeyCode key);
void performKeyUp(InputContext& input, KeyCode key);

// A whole key press wrapped in a left-control press (about 30 ms). The flags do not change the
// events posted.
void sendKeyPress(InputContext& input, KeyCode key, EventFlags flags);

} // namespace tovel
