#include "platform/x11/x11_monitors.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>

namespace tovel {

MonitorLayout queryMonitors(Display* display) {
  MonitorLayout layout;
  if (!display)
    return layout;
  Window root = DefaultRootWindow(display);
  int eventBase = 0, errorBase = 0;
  if (XRRQueryExtension(display, &eventBase, &errorBase)) {
    int count = 0;
    XRRMonitorInfo* info = XRRGetMonitors(display, root, True, &count);
    for (int i = 0; info && i < count; ++i) {
      Monitor monitor;
      // Output ids are server resources that stay the same while the outputs exist.
      monitor.id = info[i].noutput > 0 ? DisplayId(info[i].outputs[0]) : DisplayId(i + 1);
      monitor.x = info[i].x;
      monitor.y = info[i].y;
      monitor.width = info[i].width;
      monitor.height = info[i].height;
      monitor.primary = info[i].primary;
      if (char* name = XGetAtomName(display, info[i].name)) {
        monitor.name = name;
        XFree(name);
      }
      layout.monitors.push_back(monitor);
    }
    if (info)
      XRRFreeMonitors(info);
  }
  if (layout.monitors.empty()) {
    Monitor whole;
    whole.id = 1;
    whole.width = DisplayWidth(display, DefaultScreen(display));
    whole.height = DisplayHeight(display, DefaultScreen(display));
    whole.primary = true;
    whole.name = "screen";
    layout.monitors.push_back(whole);
  }
  // The primary monitor first; with none marked primary, the first one counts as primary.
  std::stable_partition(layout.monitors.begin(), layout.monitors.end(),
                        [](const Monitor& m) { return m.primary; });
  layout.monitors.front().primary = true;
  return layout;
}

} // namespace tovel
