#include "host/console.h"

#include <charconv>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "common/number_format.h"
#include "common/number_parse.h"
#include "common/text.h"
#include "input/gestures.h"
#include "input/pointer.h"
#include "server/input_commands.h"

namespace tovel {

namespace {

std::string pair(double dx, double dy) {
  return "(" + formatNumber(dx) + ", " + formatNumber(dy) + ")";
}

// The button word of "move": generous, with digit aliases, and never rejected.
MouseButton moveButton(std::string_view word) {
  if (word == "center" || word == "middle" || word == "2")
    return kCenterButton;
  if (word == "right" || word == "1")
    return kRightButton;
  return kLeftButton;
}

// The button word of "click", "mousedown" and "mouseup": only the four names.
std::optional<MouseButton> clickButton(std::string_view word) {
  if (word == "left")
    return kLeftButton;
  if (word == "right")
    return kRightButton;
  if (word == "middle" || word == "center")
    return kCenterButton;
  return std::nullopt;
}

// The two numbers after the command word, in a line of three or four tokens.
std::optional<std::pair<double, double>> deltas(const std::vector<std::string_view>& tokens) {
  if (tokens.size() != 3 && tokens.size() != 4)
    return std::nullopt;
  const auto dx = parseNumber(tokens[1]);
  const auto dy = parseNumber(tokens[2]);
  if (!dx || !dy)
    return std::nullopt;
  return std::pair{*dx, *dy};
}

bool handleMove(InputContext& input, const std::vector<std::string_view>& tokens) {
  const auto d = deltas(tokens);
  if (!d)
    return false;
  const auto [dx, dy] = *d;
  if (tokens.size() == 3) {
    performMouseMove(input, dx, dy, kLeftButton);
    input.log.print("Moved by " + pair(dx, dy));
  } else {
    performMouseMove(input, dx, dy, moveButton(tokens[3]));
  }
  return true;
}

bool handleSwipe(InputContext& input, const std::vector<std::string_view>& tokens) {
  const auto d = deltas(tokens);
  if (!d)
    return false;
  const auto [dx, dy] = *d;
  const bool done = tokens.size() == 4 && tokens[3] == "done";
  performSwipe(input, dx, dy, done);
  if (done)
    input.log.print("Swiped by " + pair(dx, dy));
  else if (tokens.size() == 4)
    input.log.print("Swipe by " + pair(dx, dy) + " " + std::string(tokens[3]));
  else
    input.log.print("Swipe by " + pair(dx, dy));
  return true;
}

// "click", "mousedown" and "mouseup" share their form: the word alone, or with one button name.
std::optional<MouseButton> buttonOperand(const std::vector<std::string_view>& tokens) {
  if (tokens.size() == 1)
    return kLeftButton;
  if (tokens.size() == 2)
    return clickButton(tokens[1]);
  return std::nullopt;
}

bool handleScroll(InputContext& input, const std::vector<std::string_view>& tokens) {
  // The fourth word ("end" by convention) is required but has no meaning.
  const auto d = tokens.size() == 4 ? deltas(tokens) : std::nullopt;
  if (!d)
    return false;
  performScroll(input, d->first, d->second);
  return true;
}

} // namespace

void handleCommand(InputContext& input, const std::string& line, const ExitProcess& exitProcess) {
  // Only the plain space separates tokens: a tab stays inside its token (and spoils a number).
  const auto tokens = splitDroppingEmpty(line, " ");
  if (tokens.empty())
    return;
  const auto command = tokens[0];

  if (command == "move") {
    if (!handleMove(input, tokens))
      input.log.print("Invalid move command format");
  } else if (command == "swipe") {
    if (!handleSwipe(input, tokens))
      input.log.print("Invalid swipe command format");
  } else if (command == "click" || command == "mousedown" || command == "mouseup") {
    const auto button = buttonOperand(tokens);
    if (!button) {
      input.log.print("Invalid " + std::string(command) + " command format");
      return;
    }
    if (command != "mouseup")
      performMouseDown(input, *button);
    if (command != "mousedown")
      performMouseUp(input, *button);
  } else if (command == "scroll") {
    if (!handleScroll(input, tokens))
      input.log.print("Invalid scroll command format");
  } else if (command == "type") {
    // The text is everything after the space that ends the word, spaces and all.
    const std::size_t end = std::size_t(command.data() - line.data()) + command.size();
    if (end >= line.size())
      input.log.print("Invalid type command format");
    else
      typeClientText(input, std::string_view(line).substr(end + 1), nullptr);
  } else if (command == "exit") {
    input.log.print("Exiting the process...");
    exitProcess(0);
  } else {
    input.log.print("Unknown command: " + line);
  }
}

void readConsoleLines(std::istream& input, const std::function<void(std::string line)>& onLine) {
  std::string line;
  while (std::getline(input, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    onLine(std::move(line));
  }
}

} // namespace tovel
