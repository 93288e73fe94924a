#include <gtest/gtest.h>

#include <string>

#include "mp4/h264_nal_units.h"
#include "mp4/h264_parameters.h"

namespace tovel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fromHex(std::string_view hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(std::uint8_t(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return bytes;
}

// Parameter sets of 1920 x 1080 streams from ffmpeg's libx264 at three profiles.
const Bytes kMainSps = fromHex("674d402aeca03c0113f2e022000003000200000300f01e30632c");
const Bytes kMainPps = fromHex("68ebe3cb20");
const Bytes kHighSps = fromHex("6764002aacd940780227e5c044000003000400000301e03c60c658");
const Bytes kBaselineSps = fromHex("6742c02ad900780227e5c044000003000400000301e03c60c920");

TEST(NalUnits, SplitsWellFormedSamplesRefusesMalformedOnesAndFindsIdrSlices) {
  using Units = std::vector<Bytes>;
  Bytes large = {0, 1, 0, 0}; // a length beyond 16 bits
  large.resize(4 + 65536, 0x41);
  const std::pair<Bytes, std::optional<Units>> cases[] = {
      {{}, Units{}},
      {{0, 0, 0, 1, 0x65}, Units{{0x65}}},
      {{0, 0, 0, 2, 0x06, 0xAA, 0, 0, 0, 3, 0x41, 0x9A, 0x00},
       Units{{0x06, 0xAA}, {0x41, 0x9A, 0}}},
      {large, Units{Bytes(65536, 0x41)}},
      {{0}, std::nullopt}, // ends inside a length
      {{0, 0, 0}, std::nullopt},
      {{0, 0, 0, 2, 0x65}, std::nullopt},                      // length past the end
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x65}, std::nullopt},          // absurd length
      {{0, 0, 0, 0}, std::nullopt},                            // empty unit
      {{0, 0, 0, 1, 0x65, 0, 0}, std::nullopt},                // bytes over after the last unit
      {{0, 0, 0, 1, 0x65, 0, 0, 0, 5, 1, 2, 3}, std::nullopt}, // second unit cut short
  };
  for (const auto& [sample, expected] : cases) {
    auto units = splitNalUnits(sample);
    std::optional<Units> copies = units ? std::optional(Units{}) : std::nullopt;
    for (NalUnit unit : units ? *units : std::vector<NalUnit>{})
      copies->emplace_back(unit.begin(), unit.end());
    EXPECT_EQ(copies, expected) << sample.size() << " bytes";
  }
  EXPECT_FALSE(containsIdrSlice(Bytes{0, 0, 0, 2, 0x65})); // malformed
  EXPECT_TRUE(containsIdrSlice(Bytes{0, 0, 0, 1, 0x06, 0, 0, 0, 2, 0x65, 0x88}));
  EXPECT_FALSE(containsIdrSlice(Bytes{0, 0, 0, 2, 0x41, 0x9A}));
  EXPECT_EQ(nalUnitType(kMainSps), 7);
  EXPECT_EQ(nalUnitType(kMainPps), 8);
  EXPECT_FALSE(nalUnitType({}));
}

TEST(H264Parameters, CodecStringFromTheSpsAndTheFirstSetsAmongOtherUnits) {
  EXPECT_EQ(codecString(kMainSps), "avc1.4d402a");
  EXPECT_EQ(codecString(kHighSps), "avc1.64002a");
  EXPECT_EQ(codecString(kBaselineSps), "avc1.42c02a");
  for (const Bytes& notAnSps : {kMainPps, Bytes{0x67, 0x4D, 0x40}, Bytes{}})
    EXPECT_FALSE(codecString(notAnSps));

  Bytes sei = {0x06, 0x05, 0x01, 0x80};
  auto sets = findParameterSets({sei, kMainPps, kMainSps, kHighSps});
  ASSERT_TRUE(sets);
  EXPECT_EQ(sets->sps, kMainSps); // the first of each
  EXPECT_EQ(sets->pps, kMainPps);
  EXPECT_FALSE(findParameterSets({sei, kMainSps}));
  EXPECT_FALSE(findParameterSets({}));
}

TEST(H264Parameters, DecoderConfigurationRecord) {
  Bytes expected = {0x01, 0x4D, 0x40, 0x2A, 0xFF, 0xE1, 0x00, std::uint8_t(kMainSps.size())};
  expected.insert(expected.end(), kMainSps.begin(), kMainSps.end());
  expected.insert(expected.end(), {0x01, 0x00, std::uint8_t(kMainPps.size())});
  expected.insert(expected.end(), kMainPps.begin(), kMainPps.end());
  EXPECT_EQ(avcDecoderConfiguration({kMainSps, kMainPps}), expected);
  Bytes hugePps(65536, 0x00);
  hugePps[0] = 0x68;
  for (const ParameterSets& wrong :
       {ParameterSets{kMainPps, kMainPps}, {kMainSps, kMainSps}, {kMainSps, hugePps}})
    EXPECT_FALSE(avcDecoderConfiguration(wrong));
}

} // namespace
} // namespace tovel
