#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/geometry.h"

namespace tovel {

// Where the pointer is, from the moves the host sends and the positions the compositor reports
// beside its pictures (whole pixels, a frame or more later). A move stands until a report shows
// it, so that quick moves build on each other, fractions and all; once a report has shown where
// the pointer was, a report taken after the moves were sent that shows none of them is where the
// pointer is, whoever moved it. Positions are root coordinates. Used by any thread.
class PointerTracker {
public:
  using Clock = std::chrono::steady_clock;

  // A move about to be sent.
  void moving(Point target, Clock::time_point sent = Clock::now());
  // A reported position, with when the compositor took it where known. The same position again,
  // from another stream or a stream connected again, tells nothing new; nor does one taken before
  // a report already had.
  void reported(Point position, std::optional<Clock::time_point> taken = std::nullopt);
  // Moves that no report has shown yet will not be shown (they went to a session that ended).
  void forgetMoves();
  // The newest move not shown yet, else the last report (the move it showed, when it showed one);
  // none before anything is known.
  std::optional<Point> position() const;

private:
  // Beyond this many unshown moves the compositor is not showing them (a cursor on no recorded
  // monitor): the oldest are dropped.
  static constexpr std::size_t kMostPending = 64;

  struct Move {
    Point target;
    Clock::time_point sent;
  };

  mutable std::mutex mutex_; // the members below
  std::deque<Move> pending_; // sent, oldest first, not shown yet
  std::optional<Point> current_;
  std::optional<Point> lastReport_;
  std::optional<Clock::time_point> lastTaken_;
};

} // namespace tovel
