#pragma once

#include <optional>

#include "common/log.h"
#include "platform/platform.h"

namespace tovel {

// Which window and display a picture stream shows. Every call asks the platform afresh; nothing
// is cached.

// The front-most titled application window (layer 0) under the pointer.
std::optional<WindowId> windowUnderCursor(Platform& platform);

// The display of the screen under the pointer, else the primary display's; none only when the
// platform reports no screen with a display number.
std::optional<DisplayId> displayUnderCursor(Platform& platform);

// Where the window (layer 0 only) lies relative to the display's top-left corner, not clamped.
std::optional<Rect> windowBoundsForID(Platform& platform, WindowId window, DisplayId display);

// A width x height rectangle centred on the pointer, in the display's own coordinates, with its
// origin clamped to the display (its far edges may reach past it).
Rect cursorBoundsForID(Platform& platform, DisplayId display, double width = 400,
                       double height = 200);

// The first active display that holds the window's top-left corner or overlaps it. Says why on
// the console when there is none.
std::optional<DisplayId> displayIDForWindow(Platform& platform, Log& log, WindowId window);

} // namespace tovel
