#pragma once

#include <cstdint>
#include <optional>

#include "platform/events.h"

namespace tovel {

// A keysym as X and XKB number them (X11/keysym.h): what a key types, whatever keyboard has it.
using Keysym = std::uint32_t;

// The keysym that each virtual key code of the host's key table types; none for a code the table
// does not have.
std::optional<Keysym> keysymForKeyCode(KeyCode key);

} // namespace tovel
