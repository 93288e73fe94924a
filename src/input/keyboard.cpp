#include "input/keyboard.h"

#include "input/key_names.h"
#include "input/text_typing.h"

namespace tovel {

namespace {

// The press-time field of a modifier key, or null for any other key.
double* modifierField(ModifierState& state, KeyCode key) {
  switch (key) {
  case keycode::shift:
    return &state.leftShift;
  case keycode::rightShift:
    return &state.rightShift;
  case keycode::leftControl:
    return &state.leftControl;
  case keycode::rightControl:
    return &state.rightControl;
  case keycode::option:
    return &state.leftOption;
  case keycode::rightOption:
    return &state.rightOption;
  case keycode::command:
    return &state.leftCommand;
  case keycode::rightCommand:
    return &state.rightCommand;
  default:
    return nullptr;
  }
}

void postKey(InputContext& input, KeyCode key, bool down) {
  auto event = input.platform.createKeyboardEvent(key, down);
  if (!event)
    return;
  // Arrow keys come out flagged as keypad keys, which some applications treat differently from
  // a plain arrow press.
  event->flags &= ~kNumericPadFlag;
  input.platform.post(*event);
}

void postUnchanged(InputContext& input, KeyCode key, bool down) {
  if (auto event = input.platform.createKeyboardEvent(key, down))
    input.platform.post(*event);
}

} // namespace

void performKeyDown(InputContext& input, KeyCode key) {
  if (deferredBehindText(input, [&input, key] { performKeyDown(input, key); }))
    return;
  if (double* field = modifierField(input.state.modifierState, key))
    *field = input.clock.now();
  postKey(input, key, true);
}

void performKeyUp(InputContext& input, KeyCode key) {
  if (deferredBehindText(input, [&input, key] { performKeyUp(input, key); }))
    return;
  if (double* field = modifierField(input.state.modifierState, key))
    *field = 0;
  postKey(input, key, false);
}

void sendKeyPress(InputContext& input, KeyCode key, EventFlags flags) {
  if (deferredBehindText(input, [&input, key, flags] { sendKeyPress(input, key, flags); }))
    return;
  // The pauses give the receiving application time to see control as held before the key.
  postUnchanged(input, keycode::leftControl, true);
  input.clock.sleepFor(0.010);
  postUnchanged(input, key, true);
  input.clock.sleepFor(0.020);
  postUnchanged(input, key, false);
  postUnchanged(input, keycode::leftControl, false);
}

} // namespace tovel
