#pragma once

#include <string_view>

#include "input/injection_state.h"

namespace tovel {

// Runs the control endpoint named by the request target ("/move", "/click", "/mousedown",
// "/mouseup", "/keydown", "/log", "/keyup", "/scroll", "/swipe", "/type") with the JSON object in
// the body. A body that is not a JSON object, an unknown target, or a missing or mistyped key does
// nothing.
void handleControlRequest(InputContext& input, std::string_view target, std::string_view body);

} // namespace tovel
