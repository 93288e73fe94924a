#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/geometry.h"
#include "platform/image.h"
#include "platform/x11/x11_monitors.h"

using Display = struct _XDisplay;

namespace tovel {

// A rectangle of the root window, in root pixels.
struct RootArea {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  friend bool operator==(const RootArea&, const RootArea&) = default;
};

// The part of the root window to grab for a monitor, or for a monitor-local rectangle of it in
// points (scale 1 on X: points are pixels). A fractional rectangle grows to whole pixels; the
// result is clipped to the monitor and to the root. None when nothing of it is left.
std::optional<RootArea> captureArea(const Monitor& monitor, const std::optional<Rect>& rect,
                                    int rootWidth, int rootHeight);

// The root window's size in pixels, asked of the server (the layout may have changed since the
// connection was opened). None when the query fails.
std::optional<RootArea> rootWindowArea(Display* display);

// Grabs areas of the root window as 32-bit BGRA. Through MIT-SHM the server writes straight into
// one shared-memory segment that is kept across grabs and only replaced by a larger one when an
// area needs more room; without MIT-SHM (a remote display) it falls back to XGetImage. The fourth
// byte of each pixel is padding: depth-24 servers leave it 0x00 or 0xff.
//
// A root window whose pixels are not 32-bit B, G, R, X is converted from its TrueColor masks
// (depth 15, 16 or 24 at 16, 24 or 32 bits per pixel, either byte order); other visuals are not
// supported. Bound to one connection, used by one thread at a time.
class X11ShmGrabber {
public:
  // Null, with the reason in `why`, when the root's pixel format cannot be turned into BGRA.
  static std::unique_ptr<X11ShmGrabber> create(Display* display, std::string* why = nullptr);
  ~X11ShmGrabber();
  X11ShmGrabber(const X11ShmGrabber&) = delete;
  X11ShmGrabber& operator=(const X11ShmGrabber&) = delete;

  // The area must lie inside the root window. The picture stays valid until the next grab or
  // until the grabber goes away. None when the server refuses the grab.
  std::optional<ImageView> grab(const RootArea& area);

  // A picture of its own: writable, valid as long as `owner` is held, on any thread, even after
  // the grabber is gone. Through shared memory the server writes straight into one of a few
  // segments that come back for reuse when let go, so nothing is copied; otherwise (or while all
  // segments are held) the pixels are copied into a picture of their own.
  struct OwnedPicture {
    std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    std::size_t stride = 0;
    std::shared_ptr<void> owner;
  };
  std::optional<OwnedPicture> grabOwned(const RootArea& area);

  bool usesSharedMemory() const;
  // Whether pixels are rewritten to BGRA rather than handed out as the server wrote them.
  bool converts() const;

private:
  struct State;
  explicit X11ShmGrabber(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

} // namespace tovel
