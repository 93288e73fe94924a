#pragma once

#include <mutex>
#include <optional>

using Display = struct _XDisplay;

namespace tovel {

// A position of the root window, in pixels.
struct RootPoint {
  int x = 0;
  int y = 0;
  friend bool operator==(const RootPoint&, const RootPoint&) = default;
};

// The pointer as the server reports it to one connection.
struct PointerReport {
  RootPoint position;
  unsigned mask = 0;        // buttons and modifiers held
  bool onThisScreen = true; // false when it is on another X screen than the default one
};

PointerReport queryPointer(Display* display);

// Where the backend last sent the pointer, until the server shows it there. While a client holds
// pointer events frozen (a window manager's click-to-focus grab is a synchronous one), the server
// queues injected moves and keeps reporting the position from before them; a relative move
// measured from that report would undo the moves still queued. Safe to use from any thread.
class PendingPointer {
public:
  // A move to `target` was sent while the server reported `reported`. The sender asks the
  // server again right after (resolve), so that only a move the server holds back stays pending.
  void moved(RootPoint reported, RootPoint target);
  // The pointer's position given what the server reports now: the pending target while the
  // report is still the one from before the move; the report otherwise (the target was reached,
  // the user moved the pointer, or the server put it elsewhere), which ends the wait.
  RootPoint resolve(RootPoint reported);

private:
  struct Move {
    RootPoint before;
    RootPoint target;
  };
  std::mutex mutex_;
  std::optional<Move> pending_; // under mutex_
};

} // namespace tovel
