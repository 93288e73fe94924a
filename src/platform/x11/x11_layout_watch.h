#pragma once

using Display = struct _XDisplay;
union _XEvent;

namespace tovel {

// The server's reports of a changed monitor layout on one connection: RandR's screen, CRTC and
// output changes, and the root window's ConfigureNotify (monitors that clients define or delete
// show only as that).
class X11LayoutWatch {
public:
  // Asks the server for the reports.
  explicit X11LayoutWatch(Display* display);

  // False when the server has no RandR: the layout must then be asked for every time.
  bool reports() const { return eventBase_ >= 0; }
  // True, with Xlib's idea of the screen size brought up to date, when the event reports a
  // layout change.
  bool handle(_XEvent& event) const;

private:
  Display* display_;
  int eventBase_ = -1;
};

} // namespace tovel
