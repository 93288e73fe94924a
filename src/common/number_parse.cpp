#include "common/number_parse.h"

#include <charconv>
#include <limits>

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

} // namespace

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

} // namespace tovel
