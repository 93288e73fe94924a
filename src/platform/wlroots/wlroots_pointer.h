#pragma once

#include <mutex>
#include <optional>

#include "platform/geometry.h"
#include "platform/monitor_layout.h"

namespace tovel {

// The nearest place to a root position that lies on a monitor, as the compositor's cursor finds
// it: a point on a monitor stays where it is, one beside them all goes to the nearest pixel of the
// nearest monitor. The position itself on an empty layout.
Point closestPointOnLayout(const MonitorLayout& layout, Point root);

// Where the pointer is, as far as the host can know under the wlroots protocols: they give it no
// report of the pointer at all. It knows where its own relative moves took the pointer, because
// the compositor applies them the way this record does (the amount to its 1/256 fixed point, the
// result kept on the layout); the first position is where the host put the pointer at start-up.
// Moves of a physical mouse, of other clients, or by the compositor itself (a warp to a focused
// window) are not seen: the pointer then is elsewhere, and the host's own relative moves still
// arrive as sent. Safe to use from any thread.
class PointerRecord {
public:
  // Root coordinates (the compositor's layout).
  void placeAt(Point root);
  Point position() const;
  bool known() const;
  // The amount the compositor will move by when the host asks for `delta` (what the wire carries),
  // and the place it takes the pointer to on the layout.
  struct Step {
    double dx = 0, dy = 0;
    Point to;
  };
  Step step(const MonitorLayout& layout, Point target) const;
  void moved(const Step& step);
  // Keeps the position on a changed layout, as the compositor does with its cursor.
  void layoutChanged(const MonitorLayout& layout);

  // What the wire carries of an amount: 24.8 fixed point.
  static double onTheWire(double amount);

private:
  mutable std::mutex mutex_;
  std::optional<Point> position_;
};

} // namespace tovel
