#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "input/injection_state.h"
#include "platform/events.h"

namespace tovel {

// What the HTTP control endpoints and the WebSocket channel read from a command and inject alike.
// Each of them prints its own log lines around these, so the lines are not here.

// The "x", "y" and "done" that a scroll or a swipe carries; none when any of them is missing.
struct GestureStep {
  double x = 0;
  double y = 0;
  bool done = false;
};
std::optional<GestureStep> gestureStepFields(const nlohmann::json& command);

// Moves the pointer by "x", "y" with "button" (left when absent) as the one a drag holds;
// nothing without both offsets.
void moveCommand(InputContext& input, const nlohmann::json& command);

// Swipes by "x", "y", ending the gesture with "done"; nothing when a field is missing.
void swipeCommand(InputContext& input, const nlohmann::json& command);

// The button a mousedown or mouseup command names; the left one when it names none.
MouseButton commandButton(const std::optional<std::string>& name);

// Presses (down) or releases the mouse button.
void injectButton(InputContext& input, MouseButton button, bool down);

// A press of the button and its release.
void injectClick(InputContext& input, MouseButton button);

// Types a client's UTF-8 text, printing `prefix` + "type N characters" first when asked to; text
// that is not UTF-8 or holds control characters other than line feed and tab is refused with an
// "Ignored type command: ..." line. Shared by the three channels.
void typeClientText(InputContext& input, std::string_view utf8, const char* prefix);

// The HTTP and WebSocket "type" command: types its "text"; without a text string it prints
// "Ignored type command: no text string".
void typeCommand(InputContext& input, const nlohmann::json& command, const char* prefix);

// Presses (down) or releases the key of that name and returns its code; nothing, and none, for
// a name the key table lacks.
std::optional<KeyCode> injectNamedKey(InputContext& input, const std::string& name, bool down);

} // namespace tovel
