#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "common/log.h"
#include "platform/clock.h"
#include "platform/platform.h"

namespace tovel {

// Wall-clock times (seconds since 1970) of the last injected press of each modifier key; 0 once
// the key has been released, or if it never was pressed.
struct ModifierState {
  double leftShift = 0;
  double rightShift = 0;
  double leftControl = 0;
  double rightControl = 0;
  double leftOption = 0;
  double rightOption = 0;
  double leftCommand = 0;
  double rightCommand = 0;
};

// Click history of one mouse button.
struct ClickHistory {
  std::int64_t clickCount = 0; // the click number the next events of this button carry
  std::optional<double> lastUpTime;
  std::optional<double> lastDownTime;
};

// The injection state shared by every input channel (HTTP, WebSocket, console). All of it is used
// on the main event loop only, so it needs no lock.
struct InjectionState {
  ModifierState modifierState;
  std::map<MouseButton, ClickHistory> buttonClickState{
      {kLeftButton, {}}, {kRightButton, {}}, {kCenterButton, {}}};
  double accumulatedDeltaX = 0;
  double accumulatedDeltaY = 0;
  std::string gestureDetected; // "", "downStart", "upStart", "downEnd" or "upEnd"
  double gestureDeltaX = 0;
  double gestureDeltaY = 0;
};

class TextTyper;

// What the injection operations work with: the desktop, the time, the state and the console, and
// the host's typer of texts, which paces long ones (none: texts are typed at once).
struct InputContext {
  Platform& platform;
  Clock& clock;
  InjectionState& state;
  Log& log;
  TextTyper* typer = nullptr;
};

} // namespace tovel
