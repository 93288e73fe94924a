#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/events.h"

namespace tovel {

// Virtual key codes with names of their own.
namespace keycode {
inline constexpr KeyCode leftControl = 59;
inline constexpr KeyCode leftArrow = 123;
inline constexpr KeyCode rightArrow = 124;
inline constexpr KeyCode upArrow = 126;
inline constexpr KeyCode downArrow = 125;
inline constexpr KeyCode shift = 56;
inline constexpr KeyCode rightShift = 60;
inline constexpr KeyCode command = 55;
inline constexpr KeyCode rightCommand = 54;
inline constexpr KeyCode option = 58;
inline constexpr KeyCode rightOption = 61;
inline constexpr KeyCode control = 59;
inline constexpr KeyCode rightControl = 62;
} // namespace keycode

// The key names clients send, mapped to virtual key codes (exact, case-sensitive names).
const std::unordered_map<std::string, KeyCode>& keyNameToKeyCode();

// The code for a key name, if the table has it.
std::optional<KeyCode> lookupKeyName(std::string_view name);

} // namespace tovel
