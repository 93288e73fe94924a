#include "platform/screen_queries.h"

namespace tovel {

std::optional<Screen> screenHoldingPointer(Platform& platform) {
  Point pointer = platform.mouseLocation();
  for (Screen& screen : platform.screens())
    if (screen.frame.contains(pointer))
      return std::move(screen);
  return std::nullopt;
}

std::optional<Screen> screenOfDisplay(Platform& platform, DisplayId display) {
  for (Screen& screen : platform.screens())
    if (screen.number == display)
      return std::move(screen);
  return std::nullopt;
}

} // namespace tovel
