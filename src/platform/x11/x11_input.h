#pragma once

#include <memory>

#include "platform/events.h"
#include "platform/x11/x11_connection.h"

namespace tovel {

// Synthetic input through XTest: pointer moves and buttons, keys by virtual key code, and pixel
// scrolling turned into wheel notches. Injected modifier presses whose release never comes are
// released by a watchdog 15 s after the press, since X would otherwise keep them down forever.
class X11Input {
public:
  explicit X11Input(ThreadConnections& connections);
  ~X11Input();

  // Positions are in global display coordinates (origin at the primary monitor's top-left).
  void post(const MouseEvent& event);
  void post(const KeyEvent& event);
  void post(const ScrollEvent& event);
  // Whether the left button is down, as the server sees it.
  bool primaryButtonDown();

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace tovel
