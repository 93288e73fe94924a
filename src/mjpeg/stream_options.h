#pragma once

#include <string_view>
#include <vector>

namespace tovel {

// The numbers of an option such as "size=640x480" in a request target: the text after the last
// occurrence of the key, up to the next "&", split at every "x", keeping the pieces that read as
// numbers. Substring tests only, as the options have always been read.
std::vector<double> optionNumbers(std::string_view target, std::string_view key);

} // namespace tovel
