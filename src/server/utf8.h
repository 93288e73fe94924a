#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tovel {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated sequences.
bool isValidUtf8(const std::uint8_t* data, std::size_t size);
inline bool isValidUtf8(std::string_view text) {
  return isValidUtf8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

} // namespace tovel
