#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tovel::test {

// A reader of ISO base media boxes for checking what the MP4 writer produced.
struct Box {
  std::string path;                    // "moov/trak/tkhd"
  std::size_t offset = 0;              // from the start of the bytes walked
  std::span<const std::uint8_t> whole; // header included
  std::span<const std::uint8_t> body;  // after the 8-byte header
  std::string type() const { return path.substr(path.size() - 4); }
};

// The big-endian number of `width` bytes at `at`.
inline std::uint64_t readBig(std::span<const std::uint8_t> bytes, std::size_t at,
                             std::size_t width = 4) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i)
    value = value << 8 | bytes[at + i];
  return value;
}

// Every box of the tree in depth-first order; none when any level's sizes do not fill it exactly.
// Children start after a full box's header and entry count in the sample and data reference
// lists, after the visual sample entry's fields in avc1.
inline std::optional<std::vector<Box>> walkBoxes(std::span<const std::uint8_t> bytes,
                                                 const std::string& prefix = "",
                                                 std::size_t baseOffset = 0) {
  constexpr std::string_view containers = "moov trak mdia minf dinf stbl mvex moof traf ";
  std::vector<Box> all;
  for (std::size_t at = 0, size = 0; at < bytes.size(); at += size) {
    size = bytes.size() - at < 8 ? 0 : readBig(bytes, at);
    if (size < 8 || size > bytes.size() - at)
      return std::nullopt;
    std::string type(reinterpret_cast<const char*>(bytes.data() + at + 4), 4);
    Box box{prefix.empty() ? type : prefix + "/" + type, baseOffset + at, bytes.subspan(at, size),
            bytes.subspan(at + 8, size - 8)};
    all.push_back(box);
    std::size_t start = type == "stsd" || type == "dref" ? 8 : type == "avc1" ? 78 : 0;
    if (start == 0 && containers.find(type + " ") == std::string_view::npos)
      continue;
    auto children = start > box.body.size()
                        ? std::nullopt
                        : walkBoxes(box.body.subspan(start), box.path, box.offset + 8 + start);
    if (!children)
      return std::nullopt;
    all.insert(all.end(), children->begin(), children->end());
  }
  return all;
}

// The types of the outermost boxes in order, as "moof mdat".
inline std::string topLevel(const std::vector<Box>& boxes) {
  std::string types;
  for (const Box& box : boxes)
    if (box.path.size() == 4)
      types += (types.empty() ? "" : " ") + box.path;
  return types;
}

inline std::optional<Box> findBox(const std::vector<Box>& boxes, std::string_view path) {
  auto found = std::ranges::find(boxes, path, &Box::path);
  return found == boxes.end() ? std::nullopt : std::optional(*found);
}

} // namespace tovel::test
