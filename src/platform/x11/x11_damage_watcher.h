#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/x11/x11_shm_grabber.h"

using Display = struct _XDisplay;
union _XEvent;

namespace tovel {

// Learns from XDamage what was drawn on the root window (any window's drawing counts). Asking
// costs no round trip while nothing changed: the server sends one event when the first drawing
// after a take() happens. Bound to one connection, used by one thread at a time.
class X11DamageWatcher {
public:
  // Null, with the reason in `why`, when the server lacks XDamage or XFixes 2.
  static std::unique_ptr<X11DamageWatcher> create(Display* display, std::string* why = nullptr);
  ~X11DamageWatcher();
  X11DamageWatcher(const X11DamageWatcher&) = delete;
  X11DamageWatcher& operator=(const X11DamageWatcher&) = delete;

  // Notes an event of the connection; true when it was this watcher's.
  bool handle(const _XEvent& event);
  // Reads the events the server has sent, all of the connection's; for a connection used for
  // nothing else. True when something was drawn since the last take().
  bool readEvents();
  bool damaged() const;
  // The root areas drawn since the last take(), which starts watching afresh.
  std::vector<RootArea> take();
  // Starts watching afresh without asking where the drawing was: no round trip.
  void clear();

private:
  struct State;
  explicit X11DamageWatcher(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

} // namespace tovel
