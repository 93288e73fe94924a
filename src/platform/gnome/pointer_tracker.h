#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/geometry.h"

namespace tovel {

// Where the pointer is, from the moves the host sends and the positions the compositor reports
// beside its pictures (whole pixels, a frame or more later). A move stands until a report shows
// it, so that quick moves build on each other, fractions and all; any other report is where the
// pointer is, whoever moved it. Positions are root coordinates. Used by any thread.
class PointerTracker {
public:
  // A move about to be sent.
  void moving(Point target);
  // A reported position. The same position again, from another stream or a stream connected
  // again, tells nothing new.
  void reported(Point position);
  // Moves that no report has shown yet will not be shown (they went to a session that ended).
  void forgetMoves();
  // The newest move not shown yet, else the last report (the move it showed, when it showed one);
  // none before anything is known.
  std::optional<Point> position() const;

private:
  // Beyond this many unshown moves the compositor is not showing them (a cursor on no recorded
  // monitor): the oldest are dropped.
  static constexpr std::size_t kMostPending = 64;

  mutable std::mutex mutex_;  // the members below
  std::deque<Point> pending_; // sent, oldest first, not shown yet
  std::optional<Point> current_;
  std::optional<Point> lastReport_;
};

} // namespace tovel
