// Feeds arbitrary bytes to the length-prefixed NAL unit splitter and what reads its units: the
// parameter-set lookup, the codec string and the decoder configuration record.
#include <cstddef>
#include <cstdint>
#include <span>

#include "mp4/h264_nal_units.h"
#include "mp4/h264_parameters.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> sample(data, size);
  auto units = tovel::splitNalUnits(sample);
  if (!units)
    return 0;
  // Every unit lies inside the sample, behind its own length, and together they cover it.
  std::size_t covered = 0;
  for (tovel::NalUnit unit : *units) {
    if (unit.empty() || unit.data() < data || unit.data() + unit.size() > data + size)
      __builtin_trap();
    covered += tovel::kNalLengthSize + unit.size();
  }
  if (covered != size)
    __builtin_trap();
  tovel::containsIdrSlice(sample);
  for (tovel::NalUnit unit : *units)
    tovel::codecString(unit);
  if (auto sets = tovel::findParameterSets(*units)) {
    auto record = tovel::avcDecoderConfiguration(*sets);
    if (record && record->size() != 11 + sets->sps.size() + sets->pps.size())
      __builtin_trap();
  }
  return 0;
}
