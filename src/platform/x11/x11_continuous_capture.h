#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/threaded_capture.h"
#include "platform/x11/x11_shm_grabber.h"

using Display = struct _XDisplay;

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

  // Reads the events the server has sent (all of the connection's events: it should be used for
  // nothing else). True when something was drawn since the last take().
  bool readEvents();
  // The root areas drawn since the last take(), which starts watching afresh.
  std::vector<RootArea> take();

private:
  struct State;
  explicit X11DamageWatcher(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Continuous capture of one monitor of an X server, on a thread of its own with a connection of
// its own. An unchanged screen is neither grabbed nor delivered: the first frame comes at once,
// later ones when the monitor's part of the screen was drawn on, never sooner than the minimum
// interval after the previous one. Frames are grabbed through XShm and scaled to the settings'
// size (the monitor's own size when the settings give none).
class X11ContinuousCapture final : public ThreadedCapture {
public:
  // Null, with the reason in error, when the display cannot be opened, lacks XDamage, has no
  // such monitor or pixels that cannot be read, or the settings ask for an absurd size.
  static std::unique_ptr<X11ContinuousCapture> start(const std::string& displayName,
                                                     DisplayId display,
                                                     const ContinuousCaptureSettings& settings,
                                                     FrameHandler handler, PlatformError& error);

private:
  struct Worker;
  X11ContinuousCapture() = default;
};

} // namespace tovel
