#pragma once

#include <string>
#include <vector>

#include "platform/geometry.h"
#include "platform/platform.h"

using Display = struct _XDisplay;

namespace tovel {

// One monitor of the X screen, in root-window pixels.
struct Monitor {
  DisplayId id = 0; // stable while the layout is unchanged
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool primary = false;
  std::string name;
};

// The monitors and the conversions between X root coordinates and the host's global display
// coordinates, whose origin is the primary monitor's top-left corner.
struct MonitorLayout {
  std::vector<Monitor> monitors; // primary first, then in RandR order

  const Monitor* primary() const { return monitors.empty() ? nullptr : &monitors.front(); }
  const Monitor* find(DisplayId id) const;
  Point rootToGlobal(double x, double y) const;
  Point globalToRoot(Point global) const;
  // The monitor's rectangle in global display coordinates.
  Rect globalBounds(const Monitor& monitor) const;
};

// The monitors RandR reports (each numbered by its first output, so numbers survive as long as
// the outputs do); when RandR has none, the whole root window as one monitor numbered 1.
MonitorLayout queryMonitors(Display* display);

} // namespace tovel
