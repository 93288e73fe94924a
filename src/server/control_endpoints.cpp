#include "server/control_endpoints.h"

#include <optional>
#include <string>

#include "input/gestures.h"
#include "input/key_names.h"
#include "input/keyboard.h"
#include "input/mouse_button.h"
#include "input/pointer.h"
#include "server/json_fields.h"

namespace tovel {

void handleControlRequest(InputContext& input, std::string_view target, std::string_view body) {
  nlohmann::json object = parseJson(body);
  if (!object.is_object())
    return;

  if (target == "/move") {
    auto x = numberField(object, "x");
    auto y = numberField(object, "y");
    if (!x || !y)
      return;
    auto button = textField(object, "button").value_or("left");
    performMouseMove(input, *x, *y, mouseButtonFromName(button));
  } else if (target == "/click") {
    auto button = textField(object, "button");
    if (!button)
      return;
    input.log.print("\nclick " + *button);
    MouseButton b = mouseButtonFromName(*button);
    performMouseDown(input, b);
    performMouseUp(input, b);
  } else if (target == "/mousedown" || target == "/mouseup") {
    bool down = target == "/mousedown";
    std::string word = down ? "mousedown" : "mouseup";
    auto button = textField(object, "button");
    input.log.print("\n" + word + " " + button.value_or("left"));
    MouseButton b = button ? mouseButtonFromName(*button) : kLeftButton;
    if (down)
      performMouseDown(input, b);
    else
      performMouseUp(input, b);
  } else if (target == "/keydown" || target == "/keyup") {
    bool down = target == "/keydown";
    auto key = textField(object, "key");
    if (!key)
      return;
    if (auto code = lookupKeyName(*key)) {
      if (down)
        performKeyDown(input, *code);
      else
        performKeyUp(input, *code);
    }
    input.log.print((down ? "keydown " : "keyup ") + *key);
  } else if (target == "/log") {
    if (auto text = textField(object, "text"))
      input.log.print(*text);
  } else if (target == "/scroll") {
    auto x = numberField(object, "x");
    auto y = numberField(object, "y");
    auto done = booleanField(object, "done");
    if (!x || !y || !done)
      return;
    if (*done)
      input.log.print("scroll");
    performScroll(input, *x, *y);
  } else if (target == "/swipe") {
    auto x = numberField(object, "x");
    auto y = numberField(object, "y");
    auto done = booleanField(object, "done");
    if (!x || !y || !done)
      return;
    performSwipe(input, *x, *y, *done);
  }
}

} // namespace tovel
