#include <gtest/gtest.h>

#include <algorithm>
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
using test::readU16;
using test::readU32;
using test::readU64;

TEST(Mp4Bytes, SecondsToMediaTicks) {
  EXPECT_EQ(mediaTicks(0), 0u);
  EXPECT_EQ(mediaTicks(1.0 / 60), 1500u);
  EXPECT_EQ(mediaTicks(2.5), 225000u);
  EXPECT_EQ(mediaTicks(100000.0), 9'000'000'000u); // past 32 bits
  EXPECT_EQ(mediaTicks(-0.5), 0u);
  EXPECT_EQ(mediaTicks(std::nan("")), 0u);
  EXPECT_EQ(mediaTicks(1e300), std::numeric_limits<std::uint64_t>::max());
}

TEST(Mp4Boxes, FileTypeBoxIsTheFixed24Bytes) {
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
  auto boxes = test::walkBoxes(*moov);
  ASSERT_TRUE(boxes) << "sizes do not add up";

  // Every box depth first, each type after as many dots as it is deep.
  std::string tree;
  for (auto& entry : *boxes)
    tree += std::string(std::ranges::count(entry.path, '/'), '.') + entry.box.type + " ";
  EXPECT_EQ(tree, "moov .mvhd .trak ..tkhd ..mdia ...mdhd ...hdlr ...minf ....vmhd ....dinf "
                  ".....dref ......url  ....stbl .....stsd ......avc1 .......avcC .....stts "
                  ".....stsc .....stco .....stsz .mvex ..trex ");
  const std::string stbl = "moov/trak/mdia/minf/stbl";

  // Version-0 movie header: timescale, rate, volume, matrix corner, next track ID.
  auto mvhd = findBox(*boxes, "moov/mvhd")->body;
  ASSERT_EQ(mvhd.size(), 100u);
  EXPECT_EQ(readU32(mvhd, 0), 0u);
  EXPECT_EQ(readU32(mvhd, 12), 1000u);
  EXPECT_EQ(readU32(mvhd, 20), 0x00010000u);
  EXPECT_EQ(readU16(mvhd, 24), 0x0100u);
  EXPECT_EQ(readU32(mvhd, 68), 0x40000000u);
  EXPECT_EQ(readU32(mvhd, 96), kVideoTrackId + 1);

  auto tkhd = findBox(*boxes, "moov/trak/tkhd")->body;
  ASSERT_EQ(tkhd.size(), 84u);
  EXPECT_EQ(readU32(tkhd, 0), 0x00000007u); // enabled, in movie, in preview
  EXPECT_EQ(readU32(tkhd, 12), kVideoTrackId);
  EXPECT_EQ(readU32(tkhd, 76), 1920u << 16);
  EXPECT_EQ(readU32(tkhd, 80), 1080u << 16);

  EXPECT_EQ(readU32(findBox(*boxes, "moov/trak/mdia/mdhd")->body, 12), kMediaTimescale);
  auto hdlr = findBox(*boxes, "moov/trak/mdia/hdlr")->body;
  EXPECT_EQ(std::string(hdlr.begin() + 8, hdlr.begin() + 12), "vide");
  EXPECT_EQ(hdlr.back(), 0); // the name ends in a zero byte
  EXPECT_EQ(readU32(findBox(*boxes, "moov/trak/mdia/minf/dinf/dref/url ")->body, 0), 1u);

  auto avc1 = findBox(*boxes, stbl + "/stsd/avc1")->body;
  EXPECT_EQ(readU16(avc1, 6), 1u); // data reference index
  EXPECT_EQ(readU16(avc1, 24), 1920u);
  EXPECT_EQ(readU16(avc1, 26), 1080u);
  auto avcC = findBox(*boxes, stbl + "/stsd/avc1/avcC")->body;
  EXPECT_EQ(Bytes(avcC.begin(), avcC.end()), track.avcConfiguration);

  for (auto table : {"/stsc", "/stco"})
    EXPECT_EQ(readU32(findBox(*boxes, stbl + table)->body, 4), 0u) << table;
  // The frame rate, as one time-to-sample entry for no samples.
  auto stts = findBox(*boxes, stbl + "/stts")->body;
  EXPECT_EQ(Bytes(stts.begin(), stts.end()),
            (Bytes{0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0x05, 0xDC}));
  VideoTrackFormat noRate = track;
  noRate.frameDuration = 0;
  auto unannounced = *generateMoov(noRate);
  EXPECT_EQ(readU32(findBox(*test::walkBoxes(unannounced), stbl + "/stts")->body, 4), 0u);
  auto stsz = findBox(*boxes, stbl + "/stsz")->body;
  EXPECT_EQ(readU32(stsz, 8), 0u);

  auto trex = findBox(*boxes, "moov/mvex/trex")->body;
  EXPECT_EQ(readU32(trex, 4), kVideoTrackId);
  EXPECT_EQ(readU32(trex, 8), 1u);

  // The initialization segment is the file type box and this one.
  Bytes segment = generateFtyp();
  segment.insert(segment.end(), moov->begin(), moov->end());
  EXPECT_EQ(generateInitializationSegment(track), segment);
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
  struct Case {
    std::size_t length;
    bool keyFrame;
    std::uint32_t expectedFlags;
  };
  const Case cases[] = {
      {1000, true, 0x02000000}, {1000, false, 0x01010000}, {0, false, 0x01010000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << (c.keyFrame ? " key" : " dependent"));
    Bytes sample(c.length);
    std::iota(sample.begin(), sample.end(), std::uint8_t(1));
    // A decode time past 2^32 ticks (13 hours) must not be cut to 32 bits.
    FragmentSample info{7, 0x1'2345'6789ull, 1500, c.keyFrame};
    auto fragment = generateFragmentHead(info, sample.size());
    ASSERT_TRUE(fragment);
    fragment->insert(fragment->end(), sample.begin(), sample.end());

    auto top = test::parseBoxes(*fragment);
    ASSERT_TRUE(top) << "sizes do not add up";
    ASSERT_EQ(top->size(), 2u);
    const test::Box& moof = (*top)[0];
    const test::Box& mdat = (*top)[1];
    ASSERT_EQ(moof.type, "moof");
    ASSERT_EQ(mdat.type, "mdat");
    EXPECT_EQ(Bytes(mdat.body.begin(), mdat.body.end()), sample);

    auto boxes = test::walkBoxes(moof.whole);
    ASSERT_TRUE(boxes);
    EXPECT_EQ(readU32(findBox(*boxes, "moof/mfhd")->body, 4), 7u);
    auto tfhd = findBox(*boxes, "moof/traf/tfhd")->body;
    EXPECT_EQ(readU32(tfhd, 0), 0x00020000u); // default base is the moof
    EXPECT_EQ(readU32(tfhd, 4), kVideoTrackId);
    auto tfdt = findBox(*boxes, "moof/traf/tfdt")->body;
    EXPECT_EQ(tfdt[0], 1); // version 1: 64-bit time
    EXPECT_EQ(readU64(tfdt, 4), 0x1'2345'6789ull);
    EXPECT_EQ(readU64(*fragment, kMoofDecodeTimeOffset), 0x1'2345'6789ull);

    auto trun = findBox(*boxes, "moof/traf/trun")->body;
    EXPECT_EQ(readU32(trun, 0), 0x00000701u);
    EXPECT_EQ(readU32(trun, 4), 1u);
    // The data offset, counted from the moof's first byte, lands on the sample's first byte.
    EXPECT_EQ(readU32(trun, 8), mdat.offset + 8 - moof.offset);
    EXPECT_EQ(readU32(trun, 12), 1500u);
    EXPECT_EQ(readU32(trun, 16), c.length);
    EXPECT_EQ(readU32(trun, 20), c.expectedFlags);

    // The separate boxes are the same bytes.
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
  auto boxes = test::walkBoxes(*largest);
  EXPECT_EQ(readU32(findBox(*boxes, "moof/traf/trun")->body, 16), 0xFFFFFFF7u);
}

} // namespace
} // namespace tovel
