#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/shared_capture.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_cursor.h"
#include "platform/x11/x11_damage_watcher.h"
#include "platform/x11/x11_layout_watch.h"
#include "platform/x11/x11_monitors.h"
#include "platform/x11/x11_pointer.h"
#include "platform/x11/x11_shm_grabber.h"

namespace tovel {

// The pictures of one monitor of an X server for its shared capture, on a connection of its own
// that lives and dies with the capture thread. XDamage says when anything was drawn, so an
// unchanged screen is neither grabbed nor sent; the pointer is looked at every few milliseconds,
// and the cursor, which root grabs never hold, is drawn into every picture at the pointer.
class X11CaptureSource final : public CaptureSource {
public:
  // Null, with the reason in error, when the display cannot be opened, lacks XDamage, has no such
  // monitor or pixels that cannot be read.
  static std::unique_ptr<X11CaptureSource> open(const std::string& displayName, DisplayId display,
                                                PlatformError& error);
  ~X11CaptureSource() override;

  bool changed() override;
  std::optional<CapturedFrame> grab(bool always) override;
  void wait(std::optional<TimePoint> deadline) override;
  void wake() override;
  double clockNow() override;

private:
  X11CaptureSource() = default;
  void readEvents();

  std::unique_ptr<XConnection> connection_;
  // On the connection above, so they go before it.
  std::unique_ptr<X11DamageWatcher> damage_;
  std::unique_ptr<X11ShmGrabber> grabber_;
  std::unique_ptr<X11Cursor> cursor_; // null without XFixes cursor reports: no cursor drawn
  DisplayId display_ = 0;
  int wakeFd_ = -1;
  std::optional<RootPoint> pointer_; // where the last picture has it; none when off this screen
  // The monitor's area on the root window, kept until RandR or the root reports a change: asking
  // for it on every picture cost two round trips between the moment a picture is due and the
  // moment it is taken, which held the stream under its rate.
  std::optional<RootArea> area_;
  MonitorLayout layout_;    // the monitors when area_ was found
  std::optional<X11LayoutWatch> layoutWatch_; // without reports the area is asked for every time
};

} // namespace tovel
