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

// Splits a line into its half-block cells (index into kCells); none when it holds anything else.
std::optional<std::vector<int>> cellsOf(std::string_view line) {
  std::vector<int> cells;
  while (!line.empty()) {
    bool matched = false;
    for (int i = 0; i < 4 && !matched; ++i) {
      if (line.starts_with(kCells[i])) {
        cells.push_back(i);
        line.remove_prefix(kCells[i].size());
        matched = true;
      }
    }
    if (!matched)
      return std::nullopt;
  }
  return cells;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    auto end = text.find('\n');
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

} // namespace

std::string halfBlockLines(std::string_view output) {
  std::string joined;
  for (std::string_view line : splitLines(output)) {
    auto cells = cellsOf(line);
    bool drawn = cells && std::any_of(cells->begin(), cells->end(), [](int c) { return c != 0; });
    if (!drawn)
      continue;
    if (!joined.empty())
      joined += '\n';
    joined += line;
  }
  return joined;
}

std::optional<ModuleRows> readHalfBlocks(std::string_view text) {
  ModuleRows rows;
  for (std::string_view line : splitLines(text)) {
    auto cells = cellsOf(line);
    if (!cells || (!rows.empty() && cells->size() != rows.back().size()))
      return std::nullopt;
    std::vector<bool> top, bottom;
    for (int cell : *cells) {
      top.push_back(cell & 1);
      bottom.push_back(cell & 2);
    }
    rows.push_back(std::move(top));
    rows.push_back(std::move(bottom));
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
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
      decoded.append(buffer, n);
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
