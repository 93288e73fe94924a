#pragma once

using Display = struct _XDisplay;

namespace tovel {

// Catches the X protocol errors of one connection while it lives. Xlib's default handler ends the
// process on any error, yet a window can vanish between two requests about it; inside a trap such
// an error only makes the request fail. Errors of connections without a trap go to the handler
// that was installed before the first trap.
//
// Traps may nest and may be used on several connections at once (one per thread).
class XErrorTrap {
public:
  explicit XErrorTrap(Display* display);
  ~XErrorTrap();
  XErrorTrap(const XErrorTrap&) = delete;
  XErrorTrap& operator=(const XErrorTrap&) = delete;

  // Whether an error arrived since the trap was made. Waits for the server to answer every
  // request sent so far, so errors of requests without a reply are counted too.
  bool failed();

private:
  Display* display_;
  unsigned long errorsBefore_;
};

// Makes X protocol errors outside any trap a message on standard error instead of the end of the
// process, and the loss of the X server a clear message and exit status 1. Called once at start,
// before any trap is made.
void installX11ErrorHandlers();

} // namespace tovel
