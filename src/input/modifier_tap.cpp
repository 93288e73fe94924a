#include "input/modifier_tap.h"

namespace tovel {

namespace {

// A zero time means released (or never pressed); it must not count as a press at the epoch.
bool pressedRecently(double pressTime, double now) {
  return pressTime != 0 && now - pressTime < kModifierHoldSeconds;
}

bool pairHeld(double left, double right, double now) {
  return pressedRecently(left, now) || pressedRecently(right, now);
}

} // namespace

EventFlags modifierTapFlags(const ModifierState& state, double now, EventFlags current) {
  EventFlags flags = current;
  if (pairHeld(state.leftShift, state.rightShift, now))
    flags |= kShiftFlag;
  if (pairHeld(state.leftCommand, state.rightCommand, now))
    flags |= kCommandFlag;
  if (pairHeld(state.leftControl, state.rightControl, now))
    flags |= kControlFlag;
  if (pairHeld(state.leftOption, state.rightOption, now))
    flags |= kOptionFlag;
  return flags;
}

} // namespace tovel
