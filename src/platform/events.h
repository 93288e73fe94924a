#pragma once

#include <cstdint>
#include <optional>

#include "platform/geometry.h"

namespace tovel {

// Mouse buttons as clients and the injection logic number them.
using MouseButton = std::uint32_t;
inline constexpr MouseButton kLeftButton = 0;
inline constexpr MouseButton kRightButton = 1;
inline constexpr MouseButton kCenterButton = 2;

// Virtual key code of the host keyboard (see the key-name table).
using KeyCode = std::uint16_t;

// Modifier flags carried by an event.
using EventFlags = std::uint64_t;
inline constexpr EventFlags kShiftFlag = 0x20000;
inline constexpr EventFlags kControlFlag = 0x40000;
inline constexpr EventFlags kOptionFlag = 0x80000;
inline constexpr EventFlags kCommandFlag = 0x100000;
inline constexpr EventFlags kNumericPadFlag = 0x800000;

enum class MouseEventType : std::uint32_t {
  leftMouseDown = 1,
  leftMouseUp = 2,
  rightMouseDown = 3,
  rightMouseUp = 4,
  mouseMoved = 5,
  leftMouseDragged = 6,
  rightMouseDragged = 7,
  otherMouseDown = 25,
  otherMouseUp = 26,
  otherMouseDragged = 27,
};

inline bool isMouseDown(MouseEventType type) {
  return type == MouseEventType::leftMouseDown || type == MouseEventType::rightMouseDown ||
         type == MouseEventType::otherMouseDown;
}

inline bool isMouseUp(MouseEventType type) {
  return type == MouseEventType::leftMouseUp || type == MouseEventType::rightMouseUp ||
         type == MouseEventType::otherMouseUp;
}

// A pointer event at a position in global display coordinates (origin at the primary display's
// top-left corner, y down). clickState is unset until the injection logic sets it; unset means
// "as created" (a single click).
struct MouseEvent {
  MouseEventType type = MouseEventType::mouseMoved;
  Point position;
  MouseButton button = kLeftButton;
  std::optional<std::int64_t> clickState;
  EventFlags flags = 0;
};

struct KeyEvent {
  KeyCode key = 0;
  bool down = true;
  EventFlags flags = 0;
};

// A pixel scroll: wheel1 vertical, wheel2 horizontal, wheel3 always 0.
struct ScrollEvent {
  std::int32_t wheel1 = 0;
  std::int32_t wheel2 = 0;
  std::int32_t wheel3 = 0;
};

// Events as a desktop creates them before anything is added: no click state, no flags.

inline MouseEvent makeMouseEvent(MouseEventType type, Point position, MouseButton button) {
  MouseEvent event;
  event.type = type;
  event.position = position;
  event.button = button;
  return event;
}

inline KeyEvent makeKeyEvent(KeyCode key, bool down) {
  KeyEvent event;
  event.key = key;
  event.down = down;
  return event;
}

inline ScrollEvent makeScrollEvent(std::int32_t wheel1, std::int32_t wheel2) {
  return ScrollEvent{wheel1, wheel2, 0};
}

} // namespace tovel
