#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/geometry.h"
#include "platform/image.h"
#include "platform/platform.h"

namespace tovel {

// One monitor of the desktop, in desktop pixels ("root" coordinates: the X root window, or the
// compositor's stage).
struct Monitor {
  DisplayId id = 0; // stable while the layout is unchanged
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool primary = false;
  std::string name;
};

// The monitors and the conversions between root coordinates and the host's global display
// coordinates, whose origin is the primary monitor's top-left corner.
struct MonitorLayout {
  std::vector<Monitor> monitors; // primary first, then in RandR order

  const Monitor* primary() const { return monitors.empty() ? nullptr : &monitors.front(); }
  const Monitor* find(DisplayId id) const;
  Point rootToGlobal(double x, double y) const;
  Point globalToRoot(Point global) const;
  // The monitor's rectangle in global display coordinates.
  Rect globalBounds(const Monitor& monitor) const;
  // That of the monitor showing the display; empty when none does.
  Rect globalBounds(DisplayId display) const;
  std::vector<DisplayId> displayIds() const;
};

// The part of a picture of the given size that a display-local rectangle covers (whole pixels);
// none when it covers nothing.
std::optional<PixelRect> clipToPicture(const std::optional<Rect>& rect, int width, int height);

// The screen that shows a monitor.
Screen makeScreen(const MonitorLayout& layout, const Monitor& monitor, double backingScale = 1.0);

// Screen coordinates put the origin at the primary monitor's bottom-left corner with y up, so a
// root position turns into one through global display coordinates and the primary's height.
Rect screenFrame(const MonitorLayout& layout, const Monitor& monitor);
Point rootToScreen(const MonitorLayout& layout, double rootX, double rootY);

// For logs, e.g. "DP-1 1920x1080 at (0, 0), display 66"; the position is in global coordinates.
std::string describeMonitor(const MonitorLayout& layout, const Monitor& monitor);

// Every monitor as a display to capture, described for logs.
std::vector<CaptureDisplay> captureDisplays(const MonitorLayout& layout);

// The monitor whose root rectangle holds the point (right and bottom edges excluded), if any.
const Monitor* monitorAt(const MonitorLayout& layout, double rootX, double rootY);

// Whether two layouts have the same monitors in the same order and places.
bool sameLayout(const MonitorLayout& a, const MonitorLayout& b);

} // namespace tovel
