#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovel {

// The text as a QR code drawn for a terminal with Unicode half blocks: each line holds two rows
// of modules, and a four-module quiet zone surrounds the code. Light modules are the drawn
// (foreground) parts and dark modules are blanks, so the code reads correctly on the usual light
// text on a dark background. Lines end with "\n" except the last. None when the text cannot be
// encoded (empty, a NUL byte, or too long for a QR code).
std::optional<std::string> renderTerminalQrCode(std::string_view text);

} // namespace tovel
