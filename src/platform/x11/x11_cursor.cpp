#include "platform/x11/x11_cursor.h"

#include "platform/blend.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>

namespace tovel {

std::unique_ptr<X11Cursor> X11Cursor::create(Display* display) {
  int eventBase = 0, errorBase = 0, major = 2, minor = 0;
  if (!display || !XFixesQueryExtension(display, &eventBase, &errorBase) ||
      !XFixesQueryVersion(display, &major, &minor) || major < 2)
    return nullptr;
  XFixesSelectCursorInput(display, DefaultRootWindow(display), XFixesDisplayCursorNotifyMask);
  return std::unique_ptr<X11Cursor>(new X11Cursor(display, eventBase + XFixesCursorNotify));
}

X11Cursor::~X11Cursor() = default;

bool X11Cursor::handle(const XEvent& event) {
  if (event.type != notifyEvent_)
    return false;
  stale_ = true;
  return true;
}

void X11Cursor::fetch() {
  stale_ = false;
  XFixesCursorImage* image = XFixesGetCursorImage(display_);
  if (!image) {
    width_ = height_ = 0;
    return;
  }
  width_ = image->width;
  height_ = image->height;
  hotX_ = image->xhot;
  hotY_ = image->yhot;
  // Xlib hands the 32-bit pixels out as longs.
  argb_.assign(std::size_t(width_) * std::size_t(height_), 0);
  for (std::size_t i = 0; i < argb_.size(); ++i)
    argb_[i] = std::uint32_t(image->pixels[i]);
  XFree(image);
}

void X11Cursor::drawInto(std::uint8_t* pixels, std::size_t stride, const RootArea& area,
                         RootPoint pointer) {
  if (stale_)
    fetch();
  if (width_ == 0 || height_ == 0)
    return;
  blendPremultiplied(argb_.data(), width_, height_, pixels, stride, area.width, area.height,
                     pointer.x - hotX_ - area.x, pointer.y - hotY_ - area.y);
}

} // namespace tovel
