#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovel {

// The characters of strict UTF-8 text (no overlong forms, no surrogates, nothing above U+10FFFF,
// no truncated sequence); none for anything else.
std::optional<std::u32string> decodeUtf8(std::string_view text);

// One character as UTF-8.
std::string encodeUtf8(char32_t character);

} // namespace tovel
