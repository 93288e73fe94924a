#include "mp4/h264_parameters.h"

#include <cstdio>
#include <limits>

namespace tovel {

std::optional<ParameterSets> findParameterSets(const std::vector<NalUnit>& units) {
  std::optional<NalUnit> sps, pps;
  for (NalUnit unit : units) {
    if (!sps && isNalType(unit, NalType::sps))
      sps = unit;
    else if (!pps && isNalType(unit, NalType::pps))
      pps = unit;
  }
  if (!sps || !pps)
    return std::nullopt;
  return ParameterSets{{sps->begin(), sps->end()}, {pps->begin(), pps->end()}};
}

std::optional<SpsProfile> readSpsProfile(NalUnit sps) {
  if (sps.size() < 4 || !isNalType(sps, NalType::sps) || sps[1] == 0)
    return std::nullopt;
  return SpsProfile{sps[1], sps[2], sps[3]};
}

std::string codecString(const SpsProfile& profile) {
  char text[16];
  std::snprintf(text, sizeof text, "avc1.%02x%02x%02x", profile.profileIdc, profile.constraintFlags,
                profile.levelIdc);
  return text;
}

std::optional<std::string> codecString(NalUnit sps) {
  auto profile = readSpsProfile(sps);
  if (!profile)
    return std::nullopt;
  return codecString(*profile);
}

std::optional<std::vector<std::uint8_t>> avcDecoderConfiguration(const ParameterSets& sets) {
  constexpr std::size_t kLongest = std::numeric_limits<std::uint16_t>::max();
  auto profile = readSpsProfile(sets.sps);
  if (!profile || !isNalType(sets.pps, NalType::pps) || sets.sps.size() > kLongest ||
      sets.pps.size() > kLongest)
    return std::nullopt;
  std::vector<std::uint8_t> record = {
      1, // configuration version
      profile->profileIdc,
      profile->constraintFlags,
      profile->levelIdc,
      0xFC | std::uint8_t(kNalLengthSize - 1), // reserved bits, then the length size minus one
      0xE0 | 1,                                // reserved bits, then one SPS
  };
  auto appendUnit = [&record](const std::vector<std::uint8_t>& unit) {
    record.push_back(std::uint8_t(unit.size() >> 8));
    record.push_back(std::uint8_t(unit.size()));
    record.insert(record.end(), unit.begin(), unit.end());
  };
  appendUnit(sets.sps);
  record.push_back(1); // one PPS
  appendUnit(sets.pps);
  return record;
}

} // namespace tovel
