#include "host/console.h"

#include <charconv>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "common/number_format.h"
#include "common/text.h"
#include "input/gestures.h"
#include "input/pointer.h"

namespace tovel {

namespace {

// True when a decimal literal that from_chars found out of range is too large rather than too
// small: its leading significant digit sits at a non-negative power of ten.
bool overflows(std::string_view text) {
  const auto ePos = text.find_first_of("eE");
  const auto mantissa = text.substr(0, ePos);
  const auto point = mantissa.find('.');
  const auto integerPart = mantissa.substr(0, point);
  const auto firstSignificant = integerPart.find_first_not_of('0');

  long long power = 0;
  if (firstSignificant != std::string_view::npos) {
    power = static_cast<long long>(integerPart.size() - firstSignificant) - 1;
  } else {
    const auto fraction =
        point == std::string_view::npos ? std::string_view{} : mantissa.substr(point + 1);
    const auto leadingZeros = fraction.find_first_not_of('0');
    if (leadingZeros == std::string_view::npos)
      return false; // zero is never out of range; kept safe all the same
    power = -static_cast<long long>(leadingZeros) - 1;
  }

  if (ePos == std::string_view::npos)
    return power >= 0;
  auto exponentText = text.substr(ePos + 1);
  const bool negative = exponentText.front() == '-';
  if (exponentText.front() == '-' || exponentText.front() == '+')
    exponentText.remove_prefix(1);
  long long exponent = 0;
  const auto result =
      std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent);
  if (result.ec != std::errc())
    return !negative; // an exponent beyond long long decides on its own
  // Compared rather than added, so a huge exponent cannot overflow.
  return negative ? power >= exponent : exponent >= -power;
}

// A whole token as a double: an optional sign ('+' too), digits, fraction and exponent, or the
// inf/infinity/nan words. Values beyond the double range become infinity or zero, as literals do.
std::optional<double> parseNumber(std::string_view token) {
  bool negative = false;
  if (!token.empty() && (token.front() == '+' || token.front() == '-')) {
    negative = token.front() == '-';
    token.remove_prefix(1);
  }
  // from_chars takes a '-' of its own, which would let "+-5" or "--5" through.
  if (token.empty() || token.front() == '+' || token.front() == '-')
    return std::nullopt;

  double value = 0;
  const auto* end = token.data() + token.size();
  const auto result = std::from_chars(token.data(), end, value, std::chars_format::general);
  if (result.ptr != end)
    return std::nullopt;
  if (result.ec == std::errc::result_out_of_range) {
    // Only digit strings can be out of range, so the text is a plain decimal literal here.
    value = overflows(token) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (result.ec != std::errc()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

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
  } else if (command == "exit") {
    input.log.print("Exiting the process...");
    exitProcess(0);
  } else {
    input.log.print("Unknown command: " + line);
  }
}

} // namespace tovel
