#include "platform/monitor_layout.h"

#include <algorithm>
#include <cmath>

namespace tovel {

const Monitor* MonitorLayout::find(DisplayId id) const {
  for (const Monitor& monitor : monitors)
    if (monitor.id == id)
      return &monitor;
  return nullptr;
}

Point MonitorLayout::rootToGlobal(double x, double y) const {
  const Monitor* p = primary();
  return p ? Point{x - p->x, y - p->y} : Point{x, y};
}

Point MonitorLayout::globalToRoot(Point global) const {
  const Monitor* p = primary();
  return p ? Point{global.x + p->x, global.y + p->y} : global;
}

Rect MonitorLayout::globalBounds(const Monitor& monitor) const {
  Point origin = rootToGlobal(monitor.x, monitor.y);
  return Rect{origin.x, origin.y, double(monitor.width), double(monitor.height)};
}

Rect MonitorLayout::globalBounds(DisplayId display) const {
  const Monitor* monitor = find(display);
  return monitor ? globalBounds(*monitor) : Rect{};
}

std::vector<DisplayId> MonitorLayout::displayIds() const {
  std::vector<DisplayId> ids;
  for (const Monitor& monitor : monitors)
    ids.push_back(monitor.id);
  return ids;
}

std::vector<CaptureDisplay> captureDisplays(const MonitorLayout& layout) {
  std::vector<CaptureDisplay> displays;
  for (const Monitor& monitor : layout.monitors)
    displays.push_back(CaptureDisplay{monitor.id, monitor.width, monitor.height,
                                      describeMonitor(layout, monitor)});
  return displays;
}

namespace {

double primaryHeight(const MonitorLayout& layout) {
  const Monitor* primary = layout.primary();
  return primary ? primary->height : 0;
}

std::string formatNumber(double value) {
  return std::to_string(static_cast<long long>(value));
}

} // namespace

std::optional<PixelRect> clipToPicture(const std::optional<Rect>& rect, int width, int height) {
  double x0 = 0, y0 = 0, x1 = width, y1 = height;
  if (rect) {
    if (!std::isfinite(rect->x) || !std::isfinite(rect->y) || !std::isfinite(rect->width) ||
        !std::isfinite(rect->height))
      return std::nullopt;
    x0 = std::max(x0, std::floor(rect->minX()));
    y0 = std::max(y0, std::floor(rect->minY()));
    x1 = std::min(x1, std::ceil(rect->maxX()));
    y1 = std::min(y1, std::ceil(rect->maxY()));
  }
  if (!(x1 > x0) || !(y1 > y0))
    return std::nullopt;
  return PixelRect{int(x0), int(y0), int(x1 - x0), int(y1 - y0)};
}

Screen makeScreen(const MonitorLayout& layout, const Monitor& monitor, double backingScale) {
  Screen screen;
  screen.number = monitor.id;
  screen.frame = screenFrame(layout, monitor);
  screen.backingScale = backingScale;
  screen.description = describeMonitor(layout, monitor);
  return screen;
}

Rect screenFrame(const MonitorLayout& layout, const Monitor& monitor) {
  Rect global = layout.globalBounds(monitor);
  return Rect{global.x, primaryHeight(layout) - (global.y + global.height), global.width,
              global.height};
}

Point rootToScreen(const MonitorLayout& layout, double rootX, double rootY) {
  Point global = layout.rootToGlobal(rootX, rootY);
  return Point{global.x, primaryHeight(layout) - global.y};
}

std::string describeMonitor(const MonitorLayout& layout, const Monitor& monitor) {
  Rect global = layout.globalBounds(monitor);
  return (monitor.name.empty() ? std::string("monitor") : monitor.name) + " " +
         formatNumber(global.width) + "x" + formatNumber(global.height) + " at (" +
         formatNumber(global.x) + ", " + formatNumber(global.y) + "), display " +
         std::to_string(monitor.id);
}

const Monitor* monitorAt(const MonitorLayout& layout, double rootX, double rootY) {
  for (const Monitor& monitor : layout.monitors) {
    Rect root{double(monitor.x), double(monitor.y), double(monitor.width), double(monitor.height)};
    if (root.contains(Point{rootX, rootY}))
      return &monitor;
  }
  return nullptr;
}

bool sameLayout(const MonitorLayout& a, const MonitorLayout& b) {
  return std::equal(a.monitors.begin(), a.monitors.end(), b.monitors.begin(), b.monitors.end(),
                    [](const Monitor& x, const Monitor& y) {
                      return x.id == y.id && x.x == y.x && x.y == y.y && x.width == y.width &&
                             x.height == y.height && x.primary == y.primary && x.name == y.name;
                    });
}

} // namespace tovel
