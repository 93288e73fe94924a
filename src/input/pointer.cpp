#include "input/pointer.h"

#include "input/text_typing.h"

namespace tovel {

namespace {

struct ButtonEventTypes {
  MouseEventType dragged;
  MouseEventType down;
  MouseEventType up;
};

// Buttons the table does not know are sent with the left button's event types.
ButtonEventTypes eventTypesFor(MouseButton button) {
  switch (button) {
  case kRightButton:
    return {MouseEventType::rightMouseDragged, MouseEventType::rightMouseDown,
            MouseEventType::rightMouseUp};
  case kCenterButton:
    return {MouseEventType::otherMouseDragged, MouseEventType::otherMouseDown,
            MouseEventType::otherMouseUp};
  default:
    return {MouseEventType::leftMouseDragged, MouseEventType::leftMouseDown,
            MouseEventType::leftMouseUp};
  }
}

// Screens are values here, so identity is the display number when both have one.
bool sameScreen(const Screen& a, const Screen& b) {
  if (a.number && b.number)
    return *a.number == *b.number;
  return !a.number && !b.number && a.frame == b.frame && a.description == b.description;
}

ClickHistory* historyFor(InjectionState& state, MouseButton button) {
  auto it = state.buttonClickState.find(button);
  return it == state.buttonClickState.end() ? nullptr : &it->second;
}

} // namespace

Point convertToCGEventCoordinates(Platform& platform, Point nseventLocation) {
  std::vector<Screen> screens = platform.screens();
  if (screens.empty())
    return nseventLocation;
  const Screen& primary = screens.front();
  double height = primary.frame.height;
  std::optional<Screen> main = platform.mainScreen();
  double y = height - nseventLocation.y;
  if (!main || !sameScreen(*main, primary))
    y += primary.frame.y;
  return Point{nseventLocation.x, y};
}

Point adjustedMouseLocation(Platform& platform) {
  return convertToCGEventCoordinates(platform, platform.mouseLocation());
}

double getDoubleClickTime(Platform& platform) {
  return platform.doubleClickInterval();
}

void performMouseMove(InputContext& input, double deltaX, double deltaY, MouseButton button) {
  if (deferredBehindText(input, [&input, deltaX, deltaY, button] {
        performMouseMove(input, deltaX, deltaY, button);
      }))
    return;
  Point current = adjustedMouseLocation(input.platform);
  // Deliberately not clamped: the desktop decides where a pointer off every screen ends up.
  Point target{current.x + deltaX, current.y + deltaY};
  if (auto moved = input.platform.createMouseEvent(MouseEventType::mouseMoved, target, button))
    input.platform.post(*moved);
  // Applications only see a drag while the primary button is held, whichever button was named.
  if (input.platform.primaryButtonDown()) {
    if (auto dragged =
            input.platform.createMouseEvent(eventTypesFor(button).dragged, target, button))
      input.platform.post(*dragged);
  }
}

void performMouseDown(InputContext& input, MouseButton button) {
  if (deferredBehindText(input, [&input, button] { performMouseDown(input, button); }))
    return;
  auto event = input.platform.createMouseEvent(eventTypesFor(button).down,
                                               adjustedMouseLocation(input.platform), button);
  double now = input.clock.now();
  double interval = getDoubleClickTime(input.platform);
  if (ClickHistory* history = historyFor(input.state, button)) {
    // Multi-clicks are measured from the previous release, as the system does for real buttons.
    if (history->lastUpTime && now - *history->lastUpTime < interval) {
      history->clickCount += 1;
      if (event)
        event->clickState = history->clickCount;
    } else {
      history->clickCount = 1;
    }
    history->lastDownTime = now;
  }
  if (event)
    input.platform.post(*event);
}

void performMouseUp(InputContext& input, MouseButton button) {
  if (deferredBehindText(input, [&input, button] { performMouseUp(input, button); }))
    return;
  auto event = input.platform.createMouseEvent(eventTypesFor(button).up,
                                               adjustedMouseLocation(input.platform), button);
  double now = input.clock.now();
  double interval = getDoubleClickTime(input.platform);
  if (ClickHistory* history = historyFor(input.state, button)) {
    // The release of a multi-click carries the same count as its press.
    if (history->lastUpTime && now - *history->lastUpTime < interval) {
      input.log.print("Double-click Up");
      if (event)
        event->clickState = history->clickCount;
    } else {
      history->clickCount = 1;
    }
    history->lastUpTime = now;
  }
  if (event)
    input.platform.post(*event);
}

} // namespace tovel
