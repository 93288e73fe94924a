#include "server/websocket_dispatch.h"

#include <string>

#include "input/gestures.h"
#include "input/key_names.h"
#include "input/keyboard.h"
#include "input/mouse_button.h"
#include "input/pointer.h"
#include "server/json_fields.h"

namespace tovel {

void handleWebSocketMessage(InputContext& input, std::string_view text) {
  nlohmann::json message = parseJson(text);
  if (!message.is_object())
    return;
  auto action = textField(message, "action");
  if (!action)
    return;

  if (*action == "move") {
    auto x = numberField(message, "x");
    auto y = numberField(message, "y");
    if (!x || !y)
      return;
    auto button = textField(message, "button").value_or("left");
    performMouseMove(input, *x, *y, mouseButtonFromName(button));
  } else if (*action == "click") {
    auto button = textField(message, "button");
    if (!button)
      return;
    input.log.print("\nws click " + *button);
    MouseButton b = mouseButtonFromName(*button);
    performMouseDown(input, b);
    performMouseUp(input, b);
  } else if (*action == "mousedown" || *action == "mouseup") {
    bool down = *action == "mousedown";
    auto button = textField(message, "button");
    input.log.print("\nws " + *action + " " + button.value_or("left"));
    MouseButton b = button ? mouseButtonFromName(*button) : kLeftButton;
    if (down)
      performMouseDown(input, b);
    else
      performMouseUp(input, b);
  } else if (*action == "keydown" || *action == "keyup") {
    bool down = *action == "keydown";
    auto key = textField(message, "key");
    if (!key)
      return;
    if (auto code = lookupKeyName(*key)) {
      if (down)
        performKeyDown(input, *code);
      else
        performKeyUp(input, *code);
    }
    input.log.print("ws " + *action + " " + *key);
  } else if (*action == "scroll") {
    auto x = numberField(message, "x");
    auto y = numberField(message, "y");
    auto done = booleanField(message, "done");
    if (!x || !y || !done)
      return;
    performScroll(input, *x, *y);
    if (*done)
      input.log.print("ws scroll");
  } else if (*action == "swipe") {
    auto x = numberField(message, "x");
    auto y = numberField(message, "y");
    auto done = booleanField(message, "done");
    if (!x || !y || !done)
      return;
    performSwipe(input, *x, *y, *done);
  } else if (*action == "log") {
    if (auto line = textField(message, "text"))
      input.log.print(*line);
  } else {
    input.log.print("Unknown WebSocket action: " + *action);
  }
}

} // namespace tovel
