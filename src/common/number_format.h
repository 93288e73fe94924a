#pragma once

#include <string>
#include <vector>

namespace tovel {

// The shortest decimal text that reads back to the same double, integral values keeping one
// fractional digit: 3 -> "3.0", -2.5 -> "-2.5", 1e16 -> "1e+16", infinity -> "inf".
std::string formatNumber(double value);

// A list of numbers as "[640.0, 480.0]"; the empty list is "[]".
std::string formatNumberList(const std::vector<double>& values);

} // namespace tovel
