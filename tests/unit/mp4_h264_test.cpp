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

std::vector<Bytes> split(const Bytes& sample) {
  std::vector<Bytes> units;
  auto split = splitNalUnits(sample);
  for (NalUnit unit : split.value())
    units.emplace_back(unit.begin(), unit.end());
  return units;
}

TEST(NalUnits, SplitsWellFormedSamples) {
  EXPECT_EQ(split({}), std::vector<Bytes>{});
  EXPECT_EQ(split({0, 0, 0, 1, 0x65}), (std::vector<Bytes>{{0x65}}));
  EXPECT_EQ(split({0, 0, 0, 2, 0x06, 0xAA, 0, 0, 0, 3, 0x41, 0x9A, 0x00}),
            (std::vector<Bytes>{{0x06, 0xAA}, {0x41, 0x9A, 0x00}}));
  // A length beyond 16 bits.
  Bytes large = {0, 1, 0, 0};
  large.resize(4 + 65536, 0x41);
  auto units = splitNalUnits(large);
  ASSERT_TRUE(units);
  ASSERT_EQ(units->size(), 1u);
  EXPECT_EQ(units->front().size(), 65536u);
}

TEST(NalUnits, RefusesMalformedSamples) {
  const Bytes cases[] = {
      {0},                                     // ends inside a length
      {0, 0, 0},                               //
      {0, 0, 0, 2, 0x65},                      // length past the end
      {0xFF, 0xFF, 0xFF, 0xFF, 0x65},          // absurd length
      {0, 0, 0, 0},                            // empty unit
      {0, 0, 0, 1, 0x65, 0, 0},                // bytes over after the last unit
      {0, 0, 0, 1, 0x65, 0, 0, 0, 5, 1, 2, 3}, // second unit cut short
  };
  for (const Bytes& sample : cases)
    EXPECT_FALSE(splitNalUnits(sample)) << ::testing::PrintToString(sample);
  EXPECT_FALSE(containsIdrSlice(Bytes{0, 0, 0, 2, 0x65}));
}

TEST(NalUnits, TypesAndIdrDetection) {
  EXPECT_EQ(nalUnitType(kMainSps), 7);
  EXPECT_EQ(nalUnitType(kMainPps), 8);
  EXPECT_FALSE(nalUnitType({}));
  EXPECT_TRUE(containsIdrSlice(Bytes{0, 0, 0, 1, 0x06, 0, 0, 0, 2, 0x65, 0x88}));
  EXPECT_FALSE(containsIdrSlice(Bytes{0, 0, 0, 2, 0x41, 0x9A}));
}

TEST(H264Parameters, CodecStringComesFromTheSps) {
  EXPECT_EQ(codecString(kMainSps), "avc1.4d402a");
  EXPECT_EQ(codecString(kHighSps), "avc1.64002a");
  EXPECT_EQ(codecString(kBaselineSps), "avc1.42c02a");
  EXPECT_FALSE(codecString(kMainPps)); // not an SPS
  EXPECT_FALSE(codecString(Bytes{0x67, 0x4D, 0x40}));
  EXPECT_FALSE(codecString(Bytes{}));
}

TEST(H264Parameters, FindsTheParameterSetsAmongOtherUnits) {
  Bytes sei = {0x06, 0x05, 0x01, 0x80};
  std::vector<NalUnit> units = {sei, kMainPps, kMainSps, kHighSps};
  auto sets = findParameterSets(units);
  ASSERT_TRUE(sets);
  EXPECT_EQ(sets->sps, kMainSps); // the first of each
  EXPECT_EQ(sets->pps, kMainPps);
  EXPECT_FALSE(findParameterSets({sei, kMainSps}));
  EXPECT_FALSE(findParameterSets({}));
}

TEST(H264Parameters, DecoderConfigurationRecord) {
  auto record = avcDecoderConfiguration({kMainSps, kMainPps});
  ASSERT_TRUE(record);
  Bytes expected = {0x01, 0x4D, 0x40, 0x2A, 0xFF, 0xE1, 0x00, std::uint8_t(kMainSps.size())};
  expected.insert(expected.end(), kMainSps.begin(), kMainSps.end());
  expected.insert(expected.end(), {0x01, 0x00, std::uint8_t(kMainPps.size())});
  expected.insert(expected.end(), kMainPps.begin(), kMainPps.end());
  EXPECT_EQ(*record, expected);

  EXPECT_FALSE(avcDecoderConfiguration({kMainPps, kMainPps}));
  EXPECT_FALSE(avcDecoderConfiguration({kMainSps, kMainSps}));
  Bytes hugePps(65536, 0x00);
  hugePps[0] = 0x68;
  EXPECT_FALSE(avcDecoderConfiguration({kMainSps, hugePps}));
}

} // namespace
} // namespace tovel
