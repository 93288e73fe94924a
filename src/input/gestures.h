#pragma once

#include "input/injection_state.h"

namespace tovel {

// Scrolls by whole pixels, carrying the fractions over to the next call.
void performScroll(InputContext& input, double deltaX, double deltaY);

// One sample of a swipe gesture (offsets from its start, x right, y down); done marks the last.
void performSwipe(InputContext& input, double deltaX, double deltaY, bool done);

} // namespace tovel
