#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tovel::test {

// A reader of ISO base media boxes for checking what the MP4 writer produced.
struct Box {
  std::string type;
  std::size_t offset = 0;              // from the start of the bytes given to parseBoxes
  std::span<const std::uint8_t> whole; // header included
  std::span<const std::uint8_t> body;  // after the 8-byte header
};

inline std::uint32_t readU32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::uint32_t(bytes[at]) << 24 | std::uint32_t(bytes[at + 1]) << 16 |
         std::uint32_t(bytes[at + 2]) << 8 | bytes[at + 3];
}
inline std::uint64_t readU64(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::uint64_t(readU32(bytes, at)) << 32 | readU32(bytes, at + 4);
}
inline std::uint16_t readU16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::uint16_t(bytes[at] << 8 | bytes[at + 1]);
}

// The boxes that fill the bytes exactly, one after the other; none when a size is below 8, runs
// past the end or leaves bytes over.
inline std::optional<std::vector<Box>> parseBoxes(std::span<const std::uint8_t> bytes,
                                                  std::size_t baseOffset = 0) {
  std::vector<Box> boxes;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 8)
      return std::nullopt;
    std::uint32_t size = readU32(bytes, at);
    if (size < 8 || size > bytes.size() - at)
      return std::nullopt;
    Box box;
    box.type.assign(reinterpret_cast<const char*>(bytes.data() + at + 4), 4);
    box.offset = baseOffset + at;
    box.whole = bytes.subspan(at, size);
    box.body = box.whole.subspan(8);
    boxes.push_back(box);
    at += size;
  }
  return boxes;
}

// Where a box's children start within its body: after a full box's header and entry count for
// the sample and data reference lists, after the visual sample entry's fields for avc1; none for
// boxes that hold no boxes.
inline std::optional<std::size_t> childrenStart(std::string_view type) {
  static const std::set<std::string_view> containers = {"moov", "trak", "mdia", "minf", "dinf",
                                                        "stbl", "mvex", "moof", "traf"};
  if (containers.count(type))
    return 0;
  if (type == "stsd" || type == "dref")
    return 8;
  if (type == "avc1")
    return 78;
  return std::nullopt;
}

// Every box of the tree in depth-first order with its path ("moov/trak/tkhd"); none when any
// level's sizes do not add up exactly.
struct PathBox {
  std::string path;
  Box box;
};
inline std::optional<std::vector<PathBox>> walkBoxes(std::span<const std::uint8_t> bytes,
                                                     std::string prefix = "",
                                                     std::size_t baseOffset = 0) {
  auto boxes = parseBoxes(bytes, baseOffset);
  if (!boxes)
    return std::nullopt;
  std::vector<PathBox> all;
  for (const Box& box : *boxes) {
    std::string path = prefix.empty() ? box.type : prefix + "/" + box.type;
    all.push_back({path, box});
    if (auto start = childrenStart(box.type)) {
      if (*start > box.body.size())
        return std::nullopt;
      auto children = walkBoxes(box.body.subspan(*start), path, box.offset + 8 + *start);
      if (!children)
        return std::nullopt;
      all.insert(all.end(), children->begin(), children->end());
    }
  }
  return all;
}

inline std::optional<Box> findBox(const std::vector<PathBox>& boxes, std::string_view path) {
  for (const PathBox& entry : boxes)
    if (entry.path == path)
      return entry.box;
  return std::nullopt;
}

} // namespace tovel::test
