#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovel::test {

// A QR code's modules as drawn on a terminal, rows of columns; true is a light module.
using ModuleRows = std::vector<std::vector<bool>>;

// The lines of the output that are drawn only with half blocks (and blanks), joined by "\n".
std::string halfBlockLines(std::string_view output);

// Turns half-block text back into module rows, two per line; none when the text holds anything
// else or its lines differ in width.
std::optional<ModuleRows> readHalfBlocks(std::string_view text);

// Renders the modules as a picture (four pixels a module, on a wide light margin) and reads it
// with zbarimg; the decoded text, or none when nothing was found.
std::optional<std::string> decodeWithZbar(const ModuleRows& modules);

} // namespace tovel::test
