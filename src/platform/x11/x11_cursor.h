#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/image.h"
#include "platform/x11/x11_pointer.h"
#include "platform/x11/x11_shm_grabber.h"

using Display = struct _XDisplay;
union _XEvent;

namespace tovel {

// The pointer's picture, for drawing it into grabs of the root window, which never hold it. The
// image is asked of the server (XFixes) only when the server reports that the cursor's shape
// changed; drawing it is a small blend. Bound to one connection, used by one thread at a time.
class X11Cursor {
public:
  // Null when the server lacks XFixes 2, which reports cursor changes.
  static std::unique_ptr<X11Cursor> create(Display* display);
  ~X11Cursor();
  X11Cursor(const X11Cursor&) = delete;
  X11Cursor& operator=(const X11Cursor&) = delete;

  // Notes an event of the connection; true when it was a cursor change.
  bool handle(const _XEvent& event);
  // Whether the shape changed since it was last drawn.
  bool changed() const { return stale_; }

  // Draws the cursor with its hot spot at `pointer` (root pixels) into a picture of the root
  // area `area`, clipped to the picture.
  void drawInto(std::uint8_t* pixels, std::size_t stride, const RootArea& area, RootPoint pointer);

private:
  X11Cursor(Display* display, int notifyEvent) : display_(display), notifyEvent_(notifyEvent) {}
  void fetch();

  Display* display_;
  int notifyEvent_;
  bool stale_ = true;
  int width_ = 0;
  int height_ = 0;
  int hotX_ = 0;
  int hotY_ = 0;
  std::vector<std::uint32_t> argb_; // premultiplied, row by row
};

} // namespace tovel
