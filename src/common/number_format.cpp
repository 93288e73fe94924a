#include "common/number_format.h"

#include <array>
#include <charconv>
#include <cmath>

namespace tovel {

namespace {

// Outside this range the positional form gets long, so it switches to an exponent.
constexpr double kSmallestPositional = 1e-4;
constexpr double kLargestPositional = 1e16;

// Writes the shortest round-trip digits of a finite, non-zero magnitude in positional notation,
// from the scientific form "d.ddde±XX" that to_chars produces.
std::string positionalFromScientific(std::string_view scientific) {
  const auto ePos = scientific.find('e');
  std::string digits;
  for (char c : scientific.substr(0, ePos))
    if (c != '.')
      digits += c;
  int exponent = 0;
  const auto exponentText = scientific.substr(ePos + 1);
  // from_chars takes no '+'; the exponent is small here, so this cannot fail.
  const auto* first = exponentText.data() + (exponentText.front() == '+' ? 1 : 0);
  std::from_chars(first, exponentText.data() + exponentText.size(), exponent);

  std::string out;
  if (exponent < 0) {
    out = "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return out;
  }
  const auto integerDigits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= integerDigits) {
    out = digits;
    out.append(integerDigits - digits.size(), '0');
    out += ".0";
  } else {
    out = digits.substr(0, integerDigits);
    out += '.';
    out += digits.substr(integerDigits);
  }
  return out;
}

} // namespace

std::string formatNumber(double value) {
  if (std::isnan(value))
    return "nan";
  if (std::isinf(value))
    return value < 0 ? "-inf" : "inf";
  if (value == 0)
    return std::signbit(value) ? "-0.0" : "0.0";

  // The longest shortest-round-trip scientific form is "-d.dddddddddddddddde-308": 24 chars.
  std::array<char, 32> buffer{};
  const auto magnitude = std::fabs(value);
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), magnitude,
                                    std::chars_format::scientific);
  const std::string_view scientific(buffer.data(), result.ptr - buffer.data());

  std::string out = value < 0 ? "-" : "";
  if (magnitude >= kSmallestPositional && magnitude < kLargestPositional)
    out += positionalFromScientific(scientific);
  else
    out += scientific; // already "1e+16", "1.5e-05": two exponent digits at least
  return out;
}

std::string formatNumberList(const std::vector<double>& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0)
      out += ", ";
    out += formatNumber(values[i]);
  }
  out += "]";
  return out;
}

} // namespace tovel
