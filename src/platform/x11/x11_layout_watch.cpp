#include "platform/x11/x11_layout_watch.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace tovel {

X11LayoutWatch::X11LayoutWatch(Display* display) : display_(display) {
  int errorBase = 0;
  if (!XRRQueryExtension(display, &eventBase_, &errorBase)) {
    eventBase_ = -1;
    return;
  }
  Window root = DefaultRootWindow(display);
  XRRSelectInput(display, root,
                 RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
  XSelectInput(display, root, StructureNotifyMask);
}

bool X11LayoutWatch::handle(XEvent& event) const {
  bool layoutEvent =
      (eventBase_ >= 0 && (event.type == eventBase_ + RRScreenChangeNotify ||
                           event.type == eventBase_ + RRNotify)) ||
      (event.type == ConfigureNotify && event.xconfigure.window == DefaultRootWindow(display_));
  if (layoutEvent)
    XRRUpdateConfiguration(&event);
  return layoutEvent;
}

} // namespace tovel
