#include "server/control_endpoints.h"

#include <optional>
#include <string>

#include "input/gestures.h"
#include "input/mouse_button.h"
#include "server/input_commands.h"
#include "server/json_fields.h"
#include "server/utf8.h"

namespace tovel {

void handleControlRequest(InputContext& input, std::string_view target, std::string_view body) {
  if (target == "/type") {
    // Refused text is said so, whatever is wrong with it.
    if (!isValidUtf8(body))
      input.log.print("Ignored type command: the text is not UTF-8");
    else
      typeCommand(input, parseJson(body), "");
    return;
  }
  nlohmann::json object = parseJson(body);
  if (!object.is_object())
    return;

  if (target == "/move") {
    moveCommand(input, object);
  } else if (target == "/click") {
    auto button = textField(object, "button");
    if (!button)
      return;
    input.log.print("\nclick " + *button);
    injectClick(input, mouseButtonFromName(*button));
  } else if (target == "/mousedown" || target == "/mouseup") {
    bool down = target == "/mousedown";
    std::string word = down ? "mousedown" : "mouseup";
    auto button = textField(object, "button");
    input.log.print("\n" + word + " " + button.value_or("left"));
    injectButton(input, commandButton(button), down);
  } else if (target == "/keydown" || target == "/keyup") {
    bool down = target == "/keydown";
    auto key = textField(object, "key");
    if (!key)
      return;
    injectNamedKey(input, *key, down);
    input.log.print((down ? "keydown " : "keyup ") + *key);
  } else if (target == "/log") {
    if (auto text = textField(object, "text"))
      input.log.print(*text);
  } else if (target == "/scroll") {
    auto step = gestureStepFields(object);
    if (!step)
      return;
    if (step->done)
      input.log.print("scroll");
    performScroll(input, step->x, step->y);
  } else if (target == "/swipe") {
    swipeCommand(input, object);
  }
}

} // namespace tovel
