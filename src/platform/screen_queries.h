#pragma once

#include <optional>

#include "platform/platform.h"

namespace tovel {

// The first screen, in system order, whose frame holds the pointer (maximum edges excluded).
std::optional<Screen> screenHoldingPointer(Platform& platform);

// The first screen that shows the given display.
std::optional<Screen> screenOfDisplay(Platform& platform, DisplayId display);

} // namespace tovel
