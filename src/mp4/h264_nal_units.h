#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tovel {

// One H.264 NAL unit: its header byte and payload, without a length prefix or start code.
using NalUnit = std::span<const std::uint8_t>;

// Bytes of the big-endian length in front of each NAL unit of a sample (the avcC setting).
inline constexpr std::size_t kNalLengthSize = 4;

// NAL unit types used here (ITU-T H.264 table 7-1).
enum class NalType : std::uint8_t {
  nonIdrSlice = 1,
  idrSlice = 5,
  sei = 6,
  sps = 7,
  pps = 8,
};

// The units of a sample in which each follows its 4-byte length. None when the sample ends inside
// a length, a length runs past the end, or a unit is empty: such a sample cannot be trusted. An
// empty sample has no units.
std::optional<std::vector<NalUnit>> splitNalUnits(std::span<const std::uint8_t> sample);

// The type in the unit's header byte; none for an empty unit.
std::optional<std::uint8_t> nalUnitType(NalUnit unit);

inline bool isNalType(NalUnit unit, NalType type) {
  return nalUnitType(unit) == std::uint8_t(type);
}

// Whether the sample holds an IDR picture; false for a malformed sample.
bool containsIdrSlice(std::span<const std::uint8_t> sample);

} // namespace tovel
