#pragma once

#include "input/injection_state.h"

namespace tovel {

// Screen coordinates (y up) to global display coordinates (y down).
Point convertToCGEventCoordinates(Platform& platform, Point nseventLocation);

// The pointer position in global display coordinates.
Point adjustedMouseLocation(Platform& platform);

double getDoubleClickTime(Platform& platform);

// Moves the pointer by the deltas (points, x right, y down); a drag when the left button is down.
void performMouseMove(InputContext& input, double deltaX, double deltaY, MouseButton button);

// Press and release at the pointer, counting quick repeats as multiple clicks.
void performMouseDown(InputContext& input, MouseButton button);
void performMouseUp(InputContext& input, MouseButton button);

} // namespace tovel
