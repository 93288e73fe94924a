#include "input/gestures.h"

#include <cmath>

#include "input/key_names.h"
#include "input/keyboard.h"
#include "input/text_typing.h"

namespace tovel {

namespace {

// A swipe counts once it has gone this far.
constexpr double kEndThreshold = 25;   // whole gesture, judged when it ends
constexpr double kStartThreshold = 50; // vertical start, and restart after a turn
constexpr double kTurnThreshold = 20;  // going back against a vertical swipe

// Scroll counts go out as signed 32-bit integers; anything that would not truncate into that range
// (or is not a number at all) is refused.
bool fitsScrollCount(double value) {
  return std::isfinite(value) && value > -2147483649.0 && value < 2147483648.0;
}

void swipe(InputContext& input, const char* line, KeyCode key) {
  input.log.print(line);
  sendKeyPress(input, key, kControlFlag);
}

// Control with the arrow opposite to a horizontal swipe: the desktop switches spaces that way.
void classifyFinishedGesture(InputContext& input, double dx, double dy) {
  if (std::abs(dx) > std::abs(dy)) {
    if (dx < -kEndThreshold)
      swipe(input, "swipe left", keycode::rightArrow);
    else if (dx > kEndThreshold)
      swipe(input, "swipe right", keycode::leftArrow);
  } else {
    if (dy > kEndThreshold)
      swipe(input, "swipe down", keycode::downArrow);
    else if (dy < -kEndThreshold)
      swipe(input, "swipe up", keycode::upArrow);
  }
}

} // namespace

void performScroll(InputContext& input, double deltaX, double deltaY) {
  if (deferredBehindText(input, [&input, deltaX, deltaY] { performScroll(input, deltaX, deltaY); }))
    return;
  InjectionState& state = input.state;
  double totalX = state.accumulatedDeltaX + deltaX;
  double totalY = state.accumulatedDeltaY + deltaY;
  // Refuse before touching the carried fractions, so one bad call does not spoil later scrolls.
  if (!fitsScrollCount(totalX) || !fitsScrollCount(totalY))
    return;
  auto wholeX = static_cast<std::int32_t>(totalX);
  auto wholeY = static_cast<std::int32_t>(totalY);
  state.accumulatedDeltaX = totalX - wholeX;
  state.accumulatedDeltaY = totalY - wholeY;
  if (auto event = input.platform.createScrollWheelEvent(wholeY, wholeX))
    input.platform.post(*event);
}

void performSwipe(InputContext& input, double deltaX, double deltaY, bool done) {
  if (deferredBehindText(
          input, [&input, deltaX, deltaY, done] { performSwipe(input, deltaX, deltaY, done); }))
    return;
  InjectionState& state = input.state;
  std::string& gesture = state.gestureDetected;
  double& reference = state.gestureDeltaY;
  double dy = deltaY;

  if (done) {
    // A vertical swipe already acted while it was in progress.
    if (!gesture.empty()) {
      gesture.clear();
      return;
    }
    classifyFinishedGesture(input, deltaX, deltaY);
    return;
  }

  if (std::abs(dy) > std::abs(deltaX) && gesture.empty()) {
    if (dy > kStartThreshold) {
      reference = dy;
      gesture = "downStart";
      swipe(input, "swipe down", keycode::downArrow);
    } else if (dy < -kStartThreshold) {
      reference = dy;
      gesture = "upStart";
      swipe(input, "swipe up", keycode::upArrow);
    }
    return;
  }

  // The reference follows the extreme in the watched direction, so a turn is measured from the
  // furthest point reached rather than from where the swipe started.
  if (gesture == "downStart") {
    if (dy > reference)
      reference = dy;
    if (dy - reference < -kTurnThreshold) {
      gesture = "downEnd";
      swipe(input, "swipe up", keycode::upArrow);
    }
  } else if (gesture == "upStart") {
    if (dy < reference)
      reference = dy;
    if (dy - reference > kTurnThreshold) {
      gesture = "upEnd";
      swipe(input, "swipe up", keycode::upArrow);
    }
  } else if (gesture == "downEnd") {
    if (dy < reference)
      reference = dy;
    if (dy - reference > kStartThreshold) {
      gesture = "downStart";
      reference = dy;
      swipe(input, "swipe down", keycode::downArrow);
    }
  } else if (gesture == "upEnd") {
    if (dy > reference)
      reference = dy;
    if (dy - reference < -kStartThreshold) {
      gesture = "upStart";
      reference = dy;
      swipe(input, "swipe up", keycode::upArrow);
    }
  }
}

} // namespace tovel
