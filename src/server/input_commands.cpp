#include "server/input_commands.h"

#include "input/gestures.h"
#include "input/key_names.h"
#include "input/keyboard.h"
#include "input/mouse_button.h"
#include "input/pointer.h"
#include "server/json_fields.h"

namespace tovel {

std::optional<GestureStep> gestureStepFields(const nlohmann::json& command) {
  auto x = numberField(command, "x");
  auto y = numberField(command, "y");
  auto done = booleanField(command, "done");
  if (!x || !y || !done)
    return std::nullopt;
  return GestureStep{*x, *y, *done};
}

void moveCommand(InputContext& input, const nlohmann::json& command) {
  auto x = numberField(command, "x");
  auto y = numberField(command, "y");
  if (!x || !y)
    return;
  auto button = textField(command, "button").value_or("left");
  performMouseMove(input, *x, *y, mouseButtonFromName(button));
}

void swipeCommand(InputContext& input, const nlohmann::json& command) {
  if (auto step = gestureStepFields(command))
    performSwipe(input, step->x, step->y, step->done);
}

MouseButton commandButton(const std::optional<std::string>& name) {
  return name ? mouseButtonFromName(*name) : kLeftButton;
}

void injectButton(InputContext& input, MouseButton button, bool down) {
  if (down)
    performMouseDown(input, button);
  else
    performMouseUp(input, button);
}

void injectClick(InputContext& input, MouseButton button) {
  performMouseDown(input, button);
  performMouseUp(input, button);
}

std::optional<KeyCode> injectNamedKey(InputContext& input, const std::string& name, bool down) {
  std::optional<KeyCode> code = lookupKeyName(name);
  if (!code)
    return std::nullopt;
  if (down)
    performKeyDown(input, *code);
  else
    performKeyUp(input, *code);
  return code;
}

} // namespace tovel
