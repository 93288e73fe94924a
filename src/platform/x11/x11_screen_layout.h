#pragma once

#include <string>

#include "platform/geometry.h"
#include "platform/x11/x11_monitors.h"

namespace tovel {

// Screen coordinates put the origin at the primary monitor's bottom-left corner with y up, so a
// root position turns into one through global display coordinates and the primary's height.
Rect screenFrame(const MonitorLayout& layout, const Monitor& monitor);
Point rootToScreen(const MonitorLayout& layout, double rootX, double rootY);

// For logs, e.g. "DP-1 1920x1080 at (0, 0), display 66"; the position is in global coordinates.
std::string describeMonitor(const MonitorLayout& layout, const Monitor& monitor);

// The monitor whose root rectangle holds the point (right and bottom edges excluded), if any.
const Monitor* monitorAt(const MonitorLayout& layout, double rootX, double rootY);

// Whether two layouts have the same monitors in the same order and places.
bool sameLayout(const MonitorLayout& a, const MonitorLayout& b);

} // namespace tovel
