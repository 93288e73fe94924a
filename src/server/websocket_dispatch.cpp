#include "server/websocket_dispatch.h"

#include <string>

#include "input/gestures.h"
#include "input/mouse_button.h"
#include "server/input_commands.h"
#include "server/json_fields.h"

namespace tovel {

void handleWebSocketMessage(InputContext& input, std::string_view text, HeldInput& held) {
  nlohmann::json message = parseJson(text);
  if (!message.is_object())
    return;
  auto action = textField(message, "action");
  if (!action)
    return;

  if (*action == "move") {
    moveCommand(input, message);
  } else if (*action == "click") {
    auto button = textField(message, "button");
    if (!button)
      return;
    input.log.print("\nws click " + *button);
    MouseButton clicked = mouseButtonFromName(*button);
    injectClick(input, clicked);
    held.buttonUp(clicked);
  } else if (*action == "mousedown" || *action == "mouseup") {
    bool down = *action == "mousedown";
    auto button = textField(message, "button");
    input.log.print("\nws " + *action + " " + button.value_or("left"));
    MouseButton chosen = commandButton(button);
    injectButton(input, chosen, down);
    if (down)
      held.buttonDown(chosen);
    else
      held.buttonUp(chosen);
  } else if (*action == "keydown" || *action == "keyup") {
    bool down = *action == "keydown";
    auto key = textField(message, "key");
    if (!key)
      return;
    if (auto code = injectNamedKey(input, *key, down)) {
      if (down)
        held.keyDown(*code);
      else
        held.keyUp(*code);
    }
    input.log.print("ws " + *action + " " + *key);
  } else if (*action == "scroll") {
    auto step = gestureStepFields(message);
    if (!step)
      return;
    performScroll(input, step->x, step->y);
    if (step->done)
      input.log.print("ws scroll");
  } else if (*action == "swipe") {
    swipeCommand(input, message);
  } else if (*action == "type") {
    typeCommand(input, message, "ws ");
  } else if (*action == "log") {
    if (auto line = textField(message, "text"))
      input.log.print(*line);
  } else {
    input.log.print("Unknown WebSocket action: " + *action);
  }
}

} // namespace tovel
