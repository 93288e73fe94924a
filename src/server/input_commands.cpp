#include "server/input_commands.h"

#include "input/gestures.h"
#include "input/key_names.h"
#include "input/keyboard.h"
#include "input/mouse_button.h"
#include "input/pointer.h"
#include "input/text_typing.h"
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

void typeClientText(InputContext& input, std::string_view utf8, const char* prefix) {
  auto checked = checkTypedText(utf8);
  if (auto* reason = std::get_if<std::string>(&checked)) {
    input.log.print("Ignored type command: " + *reason);
    return;
  }
  auto& text = std::get<std::u32string>(checked);
  if (prefix)
    input.log.print(std::string(prefix) + "type " + std::to_string(text.size()) +
                    (text.size() == 1 ? " character" : " characters"));
  performTypeText(input, std::move(text));
}

void typeCommand(InputContext& input, const nlohmann::json& command, const char* prefix) {
  std::optional<std::string> text = command.is_object() ? textField(command, "text") : std::nullopt;
  if (!text) {
    input.log.print("Ignored type command: no text string");
    return;
  }
  typeClientText(input, *text, prefix);
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
