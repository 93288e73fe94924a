#include "platform/x11/x11_cursor.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>

namespace tovel {

void blendPremultiplied(const std::uint32_t* argb, int width, int height, std::uint8_t* pixels,
                        std::size_t stride, int pixelsWidth, int pixelsHeight, int x, int y) {
  int x0 = std::max(0, -x), y0 = std::max(0, -y);
  int x1 = std::min(width, pixelsWidth - x), y1 = std::min(height, pixelsHeight - y);
  for (int row = y0; row < y1; ++row) {
    const std::uint32_t* in = argb + std::size_t(row) * std::size_t(width);
    std::uint8_t* out = pixels + std::size_t(y + row) * stride + std::size_t(x + x0) * 4;
    for (int column = x0; column < x1; ++column, out += 4) {
      std::uint32_t p = in[column];
      unsigned alpha = p >> 24;
      if (alpha == 0)
        continue;
      unsigned keep = 255 - alpha;
      // Rounded division by 255 of the destination's share.
      auto over = [keep](unsigned source, unsigned destination) {
        unsigned d = destination * keep + 128;
        return std::uint8_t(std::min(255u, source + ((d + (d >> 8)) >> 8)));
      };
      out[0] = over(p & 0xff, out[0]);
      out[1] = over((p >> 8) & 0xff, out[1]);
      out[2] = over((p >> 16) & 0xff, out[2]);
    }
  }
}

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
