#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mp4/h264_nal_units.h"

namespace tovel {

// The sequence and picture parameter sets a decoder needs before the first picture, each one
// whole NAL unit (header byte included).
struct ParameterSets {
  std::vector<std::uint8_t> sps;
  std::vector<std::uint8_t> pps;
};

// The first SPS and the first PPS among the units; none unless both are there.
std::optional<ParameterSets> findParameterSets(const std::vector<NalUnit>& units);

// The three bytes after an SPS's header: profile_idc, the constraint flags and level_idc.
struct SpsProfile {
  std::uint8_t profileIdc = 0;
  std::uint8_t constraintFlags = 0;
  std::uint8_t levelIdc = 0;
};

// None unless the unit is an SPS long enough to hold them. (They come before anything that could
// need an emulation-prevention byte: profile_idc is never zero.)
std::optional<SpsProfile> readSpsProfile(NalUnit sps);

// The codec parameter a browser asks about, "avc1." and the three bytes in lower-case hex, as in
// "avc1.4d402a" (Main, level 4.2).
std::string codecString(const SpsProfile& profile);
std::optional<std::string> codecString(NalUnit sps);

// The body of an avcC box (AVCDecoderConfigurationRecord, ISO/IEC 14496-15) for one SPS and one
// PPS, with 4-byte NAL lengths. None for a unit that is not what it should be or too long for its
// 16-bit length. The High profiles' extra chroma and bit-depth fields are not written: the
// encoder makes Main.
std::optional<std::vector<std::uint8_t>> avcDecoderConfiguration(const ParameterSets& sets);

} // namespace tovel
