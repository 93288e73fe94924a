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

void PointerTracker::moving(Point target, Clock::time_point sent) {
  std::lock_guard lock(mutex_);
  pending_.push_back(Move{target, sent});
  if (pending_.size() > kMostPending)
    pending_.pop_front();
}

void PointerTracker::reported(Point position, std::optional<Clock::time_point> taken) {
  std::lock_guard lock(mutex_);
  if (lastReport_ == position || (taken && lastTaken_ && *taken < *lastTaken_))
    return;
  lastReport_ = position;
  if (taken)
    lastTaken_ = taken;
  // Reports come in the order of the moves: the oldest move it shows, and every move before it,
  // has landed.
  auto shown = std::find_if(pending_.begin(), pending_.end(),
                            [&](const Move& move) { return shows(position, move.target); });
  if (shown != pending_.end()) {
    current_ = shown->target;
    pending_.erase(pending_.begin(), std::next(shown));
    return;
  }
  // A report from before the moves on their way leaves them: they will land all the same. It was
  // taken before they were sent (the first pictures' report, late), or it still shows the place
  // they go from (the compositor has not had them yet), or it is the first report of all: the
  // cursor shows itself on the first move, where it was before that move. Any other was moved by
  // someone else, or put elsewhere by the compositor: the moves are overtaken.
  bool showsCurrent = current_ && shows(position, *current_);
  bool beforeTheMoves = !pending_.empty() && ((taken && *taken < pending_.front().sent) ||
                                              !current_ || showsCurrent);
  if (!beforeTheMoves)
    pending_.clear();
  if (!showsCurrent)
    current_ = position;
}

void PointerTracker::forgetMoves() {
  std::lock_guard lock(mutex_);
  pending_.clear();
}

std::optional<Point> PointerTracker::position() const {
  std::lock_guard lock(mutex_);
  return pending_.empty() ? current_ : pending_.back().target;
}

} // namespace tovel
