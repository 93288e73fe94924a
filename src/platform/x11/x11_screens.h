#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "platform/platform.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_pointer.h"

namespace tovel {

// Screens, displays and the pointer of an X server, from RandR monitors. Screens come primary
// first with frames in screen coordinates (y up, origin at the primary's bottom-left corner);
// display bounds are global display coordinates (y down, origin at the primary's top-left).
class X11Screens {
public:
  // With `pointer`, the pointer's location is where the backend last sent it until the server
  // shows it there.
  explicit X11Screens(ThreadConnections& connections, PendingPointer* pointer = nullptr);
  ~X11Screens();

  std::vector<Screen> screens();
  // The screen holding the focused window, else the primary one.
  std::optional<Screen> mainScreen();
  Point mouseLocation();
  // The XSETTINGS value Net/DoubleClickTime when a settings manager runs, else 0.4 s.
  double doubleClickInterval();
  // The handler runs on a thread of this object whenever the monitor layout changes.
  void setScreenChangeHandler(std::function<void()> handler);

  Rect displayBounds(DisplayId display);
  std::variant<std::vector<DisplayId>, PlatformError> activeDisplayList();

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The window list: front-most first, from the window manager's stacking list, or without one
// from the root window's mapped children.
class X11Windows {
public:
  explicit X11Windows(ThreadConnections& connections);
  ~X11Windows();

  std::optional<std::vector<WindowInfo>> windowList(WindowListOption option);

private:
  ThreadConnections& connections_;
};

} // namespace tovel
