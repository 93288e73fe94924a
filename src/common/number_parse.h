#pragma once

#include <optional>
#include <string_view>

namespace tovel {

// A whole text as a double: an optional sign ('+' too), digits, fraction and exponent, or the
// words inf, infinity and nan. Values beyond the double range become infinity or zero, as
// literals do. None for anything else, surrounding white space included.
std::optional<double> parseNumber(std::string_view text);

} // namespace tovel
