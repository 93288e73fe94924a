#pragma once

#include <memory>
#include <optional>

#include "platform/platform.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_damage_watcher.h"
#include "platform/x11/x11_layout_watch.h"
#include "platform/x11/x11_monitors.h"
#include "platform/x11/x11_shm_grabber.h"

namespace tovel {

// Single grabs on a connection of its own: its shared-memory segment is attached to that
// connection, and whichever thread holds the capturer may use it. The monitors and the root size
// are kept until RandR or the root reports a change; XDamage tells whether anything was drawn
// since the last grab.
class X11ScreenCapturer final : public ScreenCapturer {
public:
  // Null when the display cannot be opened or its pixels cannot be read as BGRA.
  static std::unique_ptr<X11ScreenCapturer> open(const std::string& displayName);
  ~X11ScreenCapturer() override;

  std::optional<ImageView> capture(DisplayId display, const std::optional<Rect>& rect) override;
  bool unchangedSinceLastCapture(DisplayId display, const std::optional<Rect>& rect) override;

private:
  X11ScreenCapturer() = default;
  void readEvents();
  std::optional<RootArea> areaFor(DisplayId display, const std::optional<Rect>& rect);

  std::unique_ptr<XConnection> connection_;
  // On the connection above, so they go before it.
  std::unique_ptr<X11ShmGrabber> grabber_;
  std::unique_ptr<X11DamageWatcher> damage_; // null without XDamage: every capture is fresh
  std::optional<X11LayoutWatch> layoutWatch_;
  std::optional<MonitorLayout> layout_; // none: to be asked for
  std::optional<RootArea> root_;
  std::optional<RootArea> lastArea_; // what the last capture grabbed, while it still stands
};

} // namespace tovel
