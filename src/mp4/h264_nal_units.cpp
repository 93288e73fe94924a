#include "mp4/h264_nal_units.h"

#include <algorithm>

namespace tovel {

std::optional<std::vector<NalUnit>> splitNalUnits(std::span<const std::uint8_t> sample) {
  std::vector<NalUnit> units;
  while (!sample.empty()) {
    if (sample.size() < kNalLengthSize)
      return std::nullopt;
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < kNalLengthSize; ++i)
      length = length << 8 | sample[i];
    sample = sample.subspan(kNalLengthSize);
    if (length == 0 || length > sample.size())
      return std::nullopt;
    units.push_back(sample.first(std::size_t(length)));
    sample = sample.subspan(std::size_t(length));
  }
  return units;
}

std::optional<std::uint8_t> nalUnitType(NalUnit unit) {
  if (unit.empty())
    return std::nullopt;
  return std::uint8_t(unit[0] & 0x1F);
}

bool containsIdrSlice(std::span<const std::uint8_t> sample) {
  auto units = splitNalUnits(sample);
  return units && std::any_of(units->begin(), units->end(),
                              [](NalUnit unit) { return isNalType(unit, NalType::idrSlice); });
}

} // namespace tovel
