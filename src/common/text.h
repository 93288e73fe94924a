#pragma once

#include <string_view>
#include <vector>

namespace tovel {

// The text split at every occurrence of the separator, empty pieces dropped.
std::vector<std::string_view> splitDroppingEmpty(std::string_view text, std::string_view separator);

inline bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

inline bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The text without the spaces and tabs at either end.
inline std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

} // namespace tovel
