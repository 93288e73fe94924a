#pragma once

#include <sstream>
#include <string>

namespace tovel::test {

// What a witness was typed: from an X witness's "KeyPress ... typed=HEX" lines or a Wayland
// witness's "typed=HEX" lines, the UTF-8 of every key press, a Return's carriage return read as
// the line feed that typing sends it for.
inline std::string witnessTypedText(const std::string& output) {
  std::string text;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::size_t at = line.rfind("KeyPress ", 0) == 0 ? line.find(" typed=") + 1 : 0;
    if (line.compare(at, 6, "typed=") != 0) // (npos + 1 is 0)
      continue;
    for (std::size_t i = at + 6; i + 1 < line.size(); i += 2) {
      char byte = char(std::stoi(line.substr(i, 2), nullptr, 16));
      text += byte == '\r' ? '\n' : byte;
    }
  }
  return text;
}

} // namespace tovel::test
