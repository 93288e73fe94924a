#pragma once

#include <sstream>
#include <string>

namespace tovel::test {

// What an X witness was typed, from its "KeyPress ... typed=HEX" lines: the UTF-8 of every key
// press, a Return's carriage return read as the line feed that typing sends it for.
inline std::string witnessTypedText(const std::string& output) {
  std::string text;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::size_t at = line.find(" typed=");
    if (line.rfind("KeyPress ", 0) != 0 || at == std::string::npos)
      continue;
    for (std::size_t i = at + 7; i + 1 < line.size(); i += 2) {
      char byte = char(std::stoi(line.substr(i, 2), nullptr, 16));
      text += byte == '\r' ? '\n' : byte;
    }
  }
  return text;
}

} // namespace tovel::test
