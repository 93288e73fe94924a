#pragma once

#include <string_view>

#include "platform/events.h"

namespace tovel {

// The button a client names: "middle" and "center" are the center button, "right" the right
// button, anything else the left button. Exact, case-sensitive comparison.
MouseButton mouseButtonFromName(std::string_view name);

} // namespace tovel
