#pragma once

#include <string_view>
#include <vector>

namespace tovel {

// The numbers of an option such as "size=640x480" in a request target: the text after the last
// occurrence of the key, up to the next "&", split at every "x", keeping the pieces that read as
// numbers. Substring tests only, as the options have always been read.
std::vector<double> optionNumbers(std::string_view target, std::string_view key);

// The numbers of a value such as "640x480": split at every "x", pieces that do not read as
// numbers dropped.
std::vector<double> numbersSplitAtX(std::string_view value);

} // namespace tovel
