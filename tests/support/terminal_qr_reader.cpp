#include "support/terminal_qr_reader.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace tovel::test {
namespace {

constexpr std::array<std::string_view, 4> kCells = {" ", "\u2580", "\u2584", "\u2588"};

// The lines of the text (none after a last line end).
std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    lines.push_back(text.substr(0, text.find('\n')));
    text.remove_prefix(std::min(text.size(), lines.back().size() + 1));
  }
  return lines;
}

// A line's half-block cells (bit 0 the upper half lit, bit 1 the lower); none when it holds
// anything else.
std::optional<std::vector<int>> cells(std::string_view line) {
  std::vector<int> cells;
  while (!line.empty()) {
    auto cell =
        std::ranges::find_if(kCells, [&](std::string_view c) { return line.starts_with(c); });
    if (cell == kCells.end())
      return std::nullopt;
    cells.push_back(int(cell - kCells.begin()));
    line.remove_prefix(cell->size());
  }
  return cells;
}

} // namespace

std::string halfBlockLines(std::string_view output) {
  std::string joined;
  for (std::string_view line : lines(output))
    if (auto drawn = cells(line); drawn && std::ranges::any_of(*drawn, [](int c) { return c; }))
      joined += (joined.empty() ? "" : "\n") + std::string(line);
  return joined;
}

std::optional<ModuleRows> readHalfBlocks(std::string_view text) {
  ModuleRows rows;
  for (std::string_view line : lines(text)) {
    auto drawn = cells(line);
    if (!drawn || (!rows.empty() && drawn->size() != rows.back().size()))
      return std::nullopt;
    for (int half : {1, 2}) {
      rows.emplace_back();
      for (int cell : *drawn)
        rows.back().push_back(cell & half);
    }
  }
  if (rows.empty())
    return std::nullopt;
  return rows;
}

std::optional<std::string> decodeWithZbar(const ModuleRows& modules) {
  constexpr int kScale = 4;
  constexpr int kMargin = 8; // in modules, beyond any quiet zone the drawing has
  const int columns = int(modules.front().size()) + 2 * kMargin;
  const int rows = int(modules.size()) + 2 * kMargin;
  char path[] = "/tmp/tovel-qr-XXXXXX.pgm";
  int fd = ::mkstemps(path, 4);
  if (fd < 0)
    return std::nullopt;
  ::close(fd);
  {
    std::ofstream file(path, std::ios::binary);
    file << "P5\n" << columns * kScale << " " << rows * kScale << "\n255\n";
    for (int y = 0; y < rows * kScale; ++y) {
      int r = y / kScale - kMargin;
      for (int x = 0; x < columns * kScale; ++x) {
        int c = x / kScale - kMargin;
        bool inside =
            r >= 0 && c >= 0 && r < int(modules.size()) && c < int(modules[std::size_t(r)].size());
        bool light = !inside || modules[std::size_t(r)][std::size_t(c)];
        file.put(light ? char(255) : char(0));
      }
    }
  }
  std::string command = std::string("zbarimg --quiet --raw ") + path + " 2>/dev/null";
  std::string decoded;
  if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
    for (int c; (c = std::fgetc(pipe)) != EOF;)
      decoded += char(c);
    ::pclose(pipe);
  }
  std::remove(path);
  // zbarimg ends each decoded symbol with a newline.
  if (decoded.empty() || decoded.back() != '\n')
    return std::nullopt;
  decoded.pop_back();
  return decoded;
}

} // namespace tovel::test
