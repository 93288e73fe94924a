#pragma once

#include <memory>
#include <string_view>

#include "platform/events.h"
#include "platform/platform.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_pointer.h"

namespace tovel {

// Synthetic input through XTest: pointer moves and buttons, keys by virtual key code, and pixel
// scrolling turned into wheel notches. Injected key presses whose release never comes are released
// by a watchdog 15 s after the press, since X would otherwise keep them down (and repeating)
// forever.
class X11Input {
public:
  // Moves are recorded in `pointer` until the server shows them.
  X11Input(ThreadConnections& connections, PendingPointer& pointer);
  ~X11Input();

  // Positions are in global display coordinates (origin at the primary monitor's top-left).
  void post(const MouseEvent& event);
  void post(const KeyEvent& event);
  void post(const ScrollEvent& event);
  // See Platform::typeText.
  TypingProgress typeText(std::u32string_view text);
  // Whether the left button is down, as the server sees it.
  bool primaryButtonDown();
  // Releases every key and button still held by injection and gives back borrowed key codes.
  // Done on destruction too; the host calls it before it exits without running destructors.
  void releaseAll();

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace tovel
