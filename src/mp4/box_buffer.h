#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tovel {

// Appends ISO base media boxes to a byte vector. A box is opened, filled and closed; closing
// writes its size, so no size is ever a hand-counted constant. Boxes nest.
class BoxBuffer {
public:
  explicit BoxBuffer(std::vector<std::uint8_t>& out) : out_(out) {}

  // Starts a box of the four-character type; returns where it starts, for close().
  std::size_t open(std::string_view type);
  // A box with the version and 24-bit flags of a "full box".
  std::size_t openFull(std::string_view type, std::uint8_t version, std::uint32_t flags);
  // Writes the box's size. False (and the size left zero) when it does not fit 32 bits.
  bool close(std::size_t start);

  void u8(std::uint8_t value) { out_.push_back(value); }
  void u16(std::uint16_t value);
  void u32(std::uint32_t value);
  void u64(std::uint64_t value);
  void zeros(std::size_t count) { out_.insert(out_.end(), count, 0); }
  void fourCc(std::string_view type);
  void bytes(std::span<const std::uint8_t> data) {
    out_.insert(out_.end(), data.begin(), data.end());
  }
  // Overwrites four bytes written earlier, for a field whose value is known only later.
  void patchU32(std::size_t at, std::uint32_t value);

  std::size_t size() const { return out_.size(); }

private:
  std::vector<std::uint8_t>& out_;
};

} // namespace tovel
