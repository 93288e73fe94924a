#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "mp4/box_writer.h"
#include "support/mp4_boxes.h"

namespace tovel {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::findBox;
using test::walkBoxes;

// Big-endian fields of boxes' bodies: for each box its path and {offset, width, value} of each
// field, where a width of 0 stands for the size of the whole body.
using Fields = std::vector<std::pair<std::string, std::vector<std::array<std::uint64_t, 3>>>>;

void expectFields(std::span<const std::uint8_t> bytes, const Fields& fields) {
  auto boxes = walkBoxes(bytes);
  ASSERT_TRUE(boxes) << "sizes do not add up";
  for (const auto& [path, values] : fields) {
    auto box = findBox(*boxes, path);
    ASSERT_TRUE(box) << path;
    for (auto [at, width, expected] : values) {
      ASSERT_LE(at + width, box->body.size()) << path;
      EXPECT_EQ(width ? test::readBig(box->body, at, width) : box->body.size(), expected)
          << path << " at " << at;
    }
  }
}

TEST(Mp4Bytes, SecondsToMediaTicks) {
  const std::pair<double, std::uint64_t> cases[] = {
      {0, 0},
      {1.0 / 60, 1500},
      {2.5, 225000},
      {100000.0, 9'000'000'000u}, // past 32 bits
      {-0.5, 0},
      {std::nan(""), 0},
      {1e300, std::numeric_limits<std::uint64_t>::max()}};
  for (auto [seconds, ticks] : cases)
    EXPECT_EQ(mediaTicks(seconds), ticks) << seconds;
  EXPECT_EQ(generateFtyp(), (Bytes{0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm',
                                   0, 0, 2, 0,    'i', 's', 'o', 'm', 'a', 'v', 'c', '1'}));
}

class MovieBox : public ::testing::Test {
protected:
  VideoTrackFormat track{
      1920, 1080, {0x01, 0x4D, 0x40, 0x2A, 0xFF, 0xE1, 0x00, 0x00, 0x01, 0x00, 0x00}, 1500};
};

TEST_F(MovieBox, IsAStandardVideoTrackWhoseSizesAddUp) {
  auto moov = generateMoov(track);
  ASSERT_TRUE(moov);
  auto boxes = walkBoxes(*moov);
  ASSERT_TRUE(boxes) << "sizes do not add up";
  // Every box depth first, each type after as many dots as it is deep.
  std::string tree;
  for (auto& entry : *boxes)
    tree += std::string(std::ranges::count(entry.path, '/'), '.') + entry.type() + " ";
  EXPECT_EQ(tree, "moov .mvhd .trak ..tkhd ..mdia ...mdhd ...hdlr ...minf ....vmhd ....dinf "
                  ".....dref ......url  ....stbl .....stsd ......avc1 .......avcC .....stts "
                  ".....stsc .....stco .....stsz .mvex ..trex ");

  const std::string mvhd = "moov/mvhd", tkhd = "moov/trak/tkhd", mdia = "moov/trak/mdia/",
                    stbl = mdia + "minf/stbl/", avc1 = stbl + "stsd/avc1";
  // Movie header (version 0): timescale, rate, volume, matrix corner, next track ID. Track
  // header: enabled, in movie, in preview, the size in 16.16. Then the media's timescale and
  // handler ("vide"), the data reference, the sample entry's reference index and size; the frame
  // rate as one time-to-sample entry for no samples, empty tables, the fragments' defaults.
  expectFields(*moov, {{mvhd, {{0, 0, 100}, {0, 4, 0}, {12, 4, 1000}, {20, 4, 0x00010000}}},
                       {mvhd, {{24, 2, 0x0100}, {68, 4, 0x40000000}, {96, 4, kVideoTrackId + 1}}},
                       {tkhd, {{0, 0, 84}, {0, 4, 7}, {12, 4, kVideoTrackId}}},
                       {tkhd, {{76, 4, 1920u << 16}, {80, 4, 1080u << 16}}},
                       {mdia + "mdhd", {{12, 4, kMediaTimescale}}},
                       {mdia + "hdlr", {{8, 4, 0x76696465}}},
                       {mdia + "minf/dinf/dref/url ", {{0, 4, 1}}},
                       {avc1, {{6, 2, 1}, {24, 2, 1920}, {26, 2, 1080}}},
                       {stbl + "stts", {{0, 0, 16}, {0, 8, 1}, {8, 8, 1500}}},
                       {stbl + "stsc", {{4, 4, 0}}},
                       {stbl + "stco", {{4, 4, 0}}},
                       {stbl + "stsz", {{8, 4, 0}}},
                       {"moov/mvex/trex", {{4, 4, kVideoTrackId}, {8, 4, 1}}}});
  EXPECT_EQ(findBox(*boxes, mdia + "hdlr")->body.back(), 0); // the name ends in a zero byte
  auto avcC = findBox(*boxes, avc1 + "/avcC")->body;
  EXPECT_EQ(Bytes(avcC.begin(), avcC.end()), track.avcConfiguration);
  Bytes segment = generateFtyp();
  segment.insert(segment.end(), moov->begin(), moov->end());
  EXPECT_EQ(generateInitializationSegment(track), segment);
  track.frameDuration = 0;
  expectFields(*generateMoov(track), {{stbl + "stts", {{4, 4, 0}}}});
}

TEST_F(MovieBox, RefusesWhatItCannotDescribe) {
  for (auto [width, height] : {std::pair{0, 1080}, {1920, -2}, {65536, 1080}, {1920, 70000}}) {
    track.width = width;
    track.height = height;
    EXPECT_FALSE(generateMoov(track)) << width << "x" << height;
  }
  track = {65535, 65535, {1}};
  EXPECT_TRUE(generateMoov(track));
  track.avcConfiguration.clear();
  EXPECT_FALSE(generateMoov(track));
}

TEST(Mp4Fragment, TrackFragmentDescribesTheSampleThatFollows) {
  // Sample length, key frame and the sample flags written for it.
  const std::tuple<std::size_t, bool, std::uint32_t> cases[] = {
      {1000, true, 0x02000000}, {1000, false, 0x01010000}, {0, false, 0x01010000}};
  for (auto [length, keyFrame, flags] : cases) {
    SCOPED_TRACE(testing::Message() << length << (keyFrame ? " key" : " dependent"));
    Bytes sample(length);
    std::iota(sample.begin(), sample.end(), std::uint8_t(1));
    // A decode time past 2^32 ticks (13 hours) must not be cut to 32 bits.
    FragmentSample info{7, 0x1'2345'6789ull, 1500, keyFrame};
    auto fragment = generateFragmentHead(info, sample.size());
    ASSERT_TRUE(fragment);
    fragment->insert(fragment->end(), sample.begin(), sample.end());

    auto boxes = walkBoxes(*fragment);
    ASSERT_TRUE(boxes && test::topLevel(*boxes) == "moof mdat");
    test::Box moof = *findBox(*boxes, "moof"), mdat = *findBox(*boxes, "mdat");
    EXPECT_EQ(Bytes(mdat.body.begin(), mdat.body.end()), sample);
    EXPECT_EQ(test::readBig(*fragment, kMoofDecodeTimeOffset, 8), 0x1'2345'6789ull);
    // The default base is the moof; version 1 of the decode time has 64 bits; the data offset,
    // counted from the moof's first byte, lands on the sample's first byte.
    expectFields(moof.whole, {{"moof/mfhd", {{4, 4, 7}}},
                              {"moof/traf/tfhd", {{0, 4, 0x00020000}, {4, 4, kVideoTrackId}}},
                              {"moof/traf/tfdt", {{0, 1, 1}, {4, 8, 0x1'2345'6789ull}}},
                              {"moof/traf/trun", {{0, 4, 0x00000701}, {4, 4, 1}, {12, 4, 1500}}},
                              {"moof/traf/trun", {{8, 4, mdat.offset + 8 - moof.offset}}},
                              {"moof/traf/trun", {{16, 4, length}, {20, 4, flags}}}});

    Bytes joined = *generateMoof(info, sample.size());
    auto mdatOnly = generateMdat(sample);
    joined.insert(joined.end(), mdatOnly->begin(), mdatOnly->end());
    EXPECT_EQ(joined, *fragment);
  }
}

TEST(Mp4Fragment, RefusesSamplesWhoseSizeCannotBeWritten) {
  FragmentSample info;
  EXPECT_FALSE(generateMoof(info, 0x1'0000'0000ull)); // 4 GiB
  EXPECT_FALSE(generateMoof(info, kLargestSampleLength + 1));
  auto largest = generateMoof(info, kLargestSampleLength);
  ASSERT_TRUE(largest);
  expectFields(*largest, {{"moof/traf/trun", {{16, 4, 0xFFFFFFF7u}}}});
}

} // namespace
} // namespace tovel
