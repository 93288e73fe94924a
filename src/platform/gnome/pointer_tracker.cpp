#include "platform/gnome/pointer_tracker.h"

#include <algorithm>
#include <cmath>

namespace tovel {

namespace {

// A report in whole pixels shows a move when it is within a pixel of it.
bool shows(Point report, Point move) {
  return std::abs(report.x - move.x) < 1 && std::abs(report.y - move.y) < 1;
}

} // namespace

void PointerTracker::moving(Point target) {
  std::lock_guard lock(mutex_);
  pending_.push_back(target);
  if (pending_.size() > kMostPending)
    pending_.pop_front();
}

void PointerTracker::reported(Point position) {
  std::lock_guard lock(mutex_);
  if (lastReport_ == position)
    return;
  lastReport_ = position;
  // Reports come in the order of the moves: the oldest move it shows, and every move before it,
  // has landed.
  auto shown = std::find_if(pending_.begin(), pending_.end(),
                            [&](Point move) { return shows(position, move); });
  if (shown != pending_.end()) {
    current_ = *shown;
    pending_.erase(pending_.begin(), std::next(shown));
    return;
  }
  // Moved by someone else, or put elsewhere by the compositor: the host's moves on their way are
  // overtaken.
  pending_.clear();
  if (!current_ || !shows(position, *current_))
    current_ = position;
}

void PointerTracker::forgetMoves() {
  std::lock_guard lock(mutex_);
  pending_.clear();
}

std::optional<Point> PointerTracker::position() const {
  std::lock_guard lock(mutex_);
  return pending_.empty() ? current_ : pending_.back();
}

} // namespace tovel
