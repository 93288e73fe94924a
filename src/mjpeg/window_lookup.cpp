#include "mjpeg/window_lookup.h"

#include <string>
#include <variant>
#include <vector>

#include "input/pointer.h"

namespace tovel {

namespace {

// The platform's words for what went wrong, or its code when it gave none.
std::string errorText(const PlatformError& error) {
  return error.description.empty() ? std::to_string(error.code) : error.description;
}

} // namespace

std::optional<WindowId> windowUnderCursor(Platform& platform) {
  Point pointer = convertToCGEventCoordinates(platform, platform.mouseLocation());
  std::optional<std::vector<WindowInfo>> windows =
      platform.windowList(WindowListOption::onScreenOnlyExcludingDesktop);
  if (!windows)
    return std::nullopt;
  for (const WindowInfo& window : *windows) {
    if (!window.number || !window.bounds || !window.layer || !window.ownerName)
      continue;
    // Menus, panels and overlays live in other layers; untitled windows are rarely worth showing.
    if (*window.layer != 0 || !window.bounds->contains(pointer))
      continue;
    if (!window.title || window.title->empty())
      continue;
    return *window.number;
  }
  return std::nullopt;
}

std::optional<DisplayId> displayUnderCursor(Platform& platform) {
  std::vector<Screen> screens = platform.screens();
  Point pointer = platform.mouseLocation();
  for (const Screen& screen : screens)
    if (screen.number && screen.frame.contains(pointer))
      return screen.number;
  if (!screens.empty() && screens.front().number)
    return screens.front().number;
  // A primary screen without a display number should not happen; any numbered one beats none.
  for (const Screen& screen : screens)
    if (screen.number)
      return screen.number;
  return std::nullopt;
}

std::optional<Rect> windowBoundsForID(Platform& platform, WindowId window, DisplayId display) {
  std::optional<std::vector<WindowInfo>> windows = platform.windowList(WindowListOption::all);
  if (!windows)
    return std::nullopt;
  Rect d = platform.displayBounds(display);
  for (const WindowInfo& info : *windows) {
    if (info.number != window || !info.bounds || !info.layer || *info.layer != 0)
      continue;
    const Rect& b = *info.bounds;
    // Left unclamped so that the capture shows the part that is on the display.
    return Rect{b.x - d.x, b.y - d.y, b.width, b.height};
  }
  return std::nullopt;
}

Rect cursorBoundsForID(Platform& platform, DisplayId display, double width, double height) {
  Point pointer = convertToCGEventCoordinates(platform, platform.mouseLocation());
  double x = pointer.x - width / 2;
  double y = pointer.y - height / 2;
  Rect d = platform.displayBounds(display);
  std::vector<Screen> screens = platform.screens();
  // The primary display's origin is the global origin already.
  if (screens.empty() || screens.front().number != display) {
    x -= d.x;
    y -= d.y;
  }
  // Only the origin is kept on the display; the capture clips whatever reaches past its far edges.
  if (x < 0)
    x = 0;
  else if (x > d.width)
    x = d.width;
  if (y < 0)
    y = 0;
  else if (y > d.height)
    y = d.height;
  return Rect{x, y, width, height};
}

std::optional<DisplayId> displayIDForWindow(Platform& platform, Log& log, WindowId window) {
  std::optional<std::vector<WindowInfo>> windows = platform.windowList(WindowListOption::all);
  if (!windows) {
    log.print("Failed to retrieve window list.");
    return std::nullopt;
  }
  std::optional<Rect> bounds;
  for (const WindowInfo& info : *windows) {
    if (info.number == window && info.bounds && info.layer) {
      bounds = info.bounds;
      break;
    }
  }
  if (!bounds) {
    log.print("Specified window ID " + std::to_string(window) + " not found.");
    return std::nullopt;
  }

  // Displays are counted first and then listed, and each query can fail on its own (a display
  // being unplugged in between), so each failure is reported as what it was.
  auto counted = platform.activeDisplayList();
  if (const PlatformError* error = std::get_if<PlatformError>(&counted)) {
    log.print("Error getting display list: " + errorText(*error));
    return std::nullopt;
  }
  auto listed = platform.activeDisplayList();
  if (const PlatformError* error = std::get_if<PlatformError>(&listed)) {
    log.print("Error getting active displays: " + errorText(*error));
    return std::nullopt;
  }

  Point topLeft{bounds->x, bounds->y};
  for (DisplayId display : std::get<std::vector<DisplayId>>(listed)) {
    Rect d = platform.displayBounds(display);
    if (d.contains(topLeft) || d.intersects(*bounds))
      return display;
  }
  log.print("No matching display found for window ID " + std::to_string(window) + ".");
  return std::nullopt;
}

} // namespace tovel
