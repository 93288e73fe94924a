#include "common/text.h"

namespace tovel {

std::vector<std::string_view> splitDroppingEmpty(std::string_view text,
                                                 std::string_view separator) {
  std::vector<std::string_view> pieces;
  if (separator.empty()) {
    if (!text.empty())
      pieces.push_back(text);
    return pieces;
  }
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos)
      end = text.size();
    if (end > start)
      pieces.push_back(text.substr(start, end - start));
    start = end + separator.size();
  }
  return pieces;
}

} // namespace tovel
