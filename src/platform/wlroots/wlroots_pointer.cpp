#include "platform/wlroots/wlroots_pointer.h"

#include <cmath>
#include <limits>

namespace tovel {

Point closestPointOnLayout(const MonitorLayout& layout, Point root) {
  std::optional<Point> best;
  double bestDistance = std::numeric_limits<double>::infinity();
  for (const Monitor& m : layout.monitors) {
    // Past a far edge, the compositor puts the pointer on the last whole pixel.
    double x = root.x < m.x ? m.x : root.x >= m.x + m.width ? m.x + m.width - 1 : root.x;
    double y = root.y < m.y ? m.y : root.y >= m.y + m.height ? m.y + m.height - 1 : root.y;
    double distance = (x - root.x) * (x - root.x) + (y - root.y) * (y - root.y);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = Point{x, y};
    }
  }
  return best.value_or(root);
}

double PointerRecord::onTheWire(double amount) {
  // wl_fixed_from_double: the nearest 1/256.
  return std::round(amount * 256.0) / 256.0;
}

void PointerRecord::placeAt(Point root) {
  std::lock_guard lock(mutex_);
  position_ = root;
}

Point PointerRecord::position() const {
  std::lock_guard lock(mutex_);
  return position_.value_or(Point{});
}

bool PointerRecord::known() const {
  std::lock_guard lock(mutex_);
  return position_.has_value();
}

PointerRecord::Step PointerRecord::step(const MonitorLayout& layout, Point target) const {
  Point from = position();
  Step step;
  step.dx = onTheWire(target.x - from.x);
  step.dy = onTheWire(target.y - from.y);
  step.to = closestPointOnLayout(layout, Point{from.x + step.dx, from.y + step.dy});
  return step;
}

void PointerRecord::moved(const Step& step) {
  std::lock_guard lock(mutex_);
  position_ = step.to;
}

void PointerRecord::layoutChanged(const MonitorLayout& layout) {
  std::lock_guard lock(mutex_);
  if (position_ && !monitorAt(layout, position_->x, position_->y))
    position_ = closestPointOnLayout(layout, *position_);
}

} // namespace tovel
