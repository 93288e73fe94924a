#include <gtest/gtest.h>

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

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

TEST(Mp4Bytes, BigEndianHelpers) {
  EXPECT_EQ(uint16ToBytes(256), (std::array<std::uint8_t, 2>{0x01, 0x00}));
  EXPECT_EQ(uint16ToBytes(0xBEEF), (std::array<std::uint8_t, 2>{0xBE, 0xEF}));
  EXPECT_EQ(uint32ToBytes(1), (std::array<std::uint8_t, 4>{0, 0, 0, 1}));
  EXPECT_EQ(uint32ToBytes(0x12345678), (std::array<std::uint8_t, 4>{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(uint64ToBytes(0), (std::array<std::uint8_t, 8>{}));
  EXPECT_EQ(uint64ToBytes(0x0102030405060708),
            (std::array<std::uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}));
}

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
  Bytes expected = {0x00, 0x00, 0x00, 0x18};
  for (auto part : {"ftyp", "isom"})
    for (char c : std::string_view(part))
      expected.push_back(std::uint8_t(c));
  expected.insert(expected.end(), {0x00, 0x00, 0x02, 0x00});
  for (char c : std::string_view("isomavc1"))
    expected.push_back(std::uint8_t(c));
  EXPECT_EQ(generateFtyp(), expected);
}

class MovieBox : public ::testing::Test {
protected:
  VideoTrackFormat track{
      1920, 1080, {0x01, 0x4D, 0x40, 0x2A, 0xFF, 0xE1, 0x00, 0x00, 0x01, 0x00, 0x00}};
};

TEST_F(MovieBox, IsAStandardVideoTrackWhoseSizesAddUp) {
  auto moov = generateMoov(track);
  ASSERT_TRUE(moov);
  auto boxes = test::walkBoxes(*moov);
  ASSERT_TRUE(boxes) << "sizes do not add up";

  std::vector<std::string> paths;
  for (auto& entry : *boxes)
    paths.push_back(entry.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"moov",
                                             "moov/mvhd",
                                             "moov/trak",
                                             "moov/trak/tkhd",
                                             "moov/trak/mdia",
                                             "moov/trak/mdia/mdhd",
                                             "moov/trak/mdia/hdlr",
                                             "moov/trak/mdia/minf",
                                             "moov/trak/mdia/minf/vmhd",
                                             "moov/trak/mdia/minf/dinf",
                                             "moov/trak/mdia/minf/dinf/dref",
                                             "moov/trak/mdia/minf/dinf/dref/url ",
                                             "moov/trak/mdia/minf/stbl",
                                             "moov/trak/mdia/minf/stbl/stsd",
                                             "moov/trak/mdia/minf/stbl/stsd/avc1",
                                             "moov/trak/mdia/minf/stbl/stsd/avc1/avcC",
                                             "moov/trak/mdia/minf/stbl/stts",
                                             "moov/trak/mdia/minf/stbl/stsc",
                                             "moov/trak/mdia/minf/stbl/stco",
                                             "moov/trak/mdia/minf/stbl/stsz",
                                             "moov/mvex",
                                             "moov/mvex/trex"}));

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

  auto avc1 = findBox(*boxes, "moov/trak/mdia/minf/stbl/stsd/avc1")->body;
  EXPECT_EQ(readU16(avc1, 6), 1u); // data reference index
  EXPECT_EQ(readU16(avc1, 24), 1920u);
  EXPECT_EQ(readU16(avc1, 26), 1080u);
  auto avcC = findBox(*boxes, "moov/trak/mdia/minf/stbl/stsd/avc1/avcC")->body;
  EXPECT_EQ(Bytes(avcC.begin(), avcC.end()), track.avcConfiguration);

  for (auto table : {"stts", "stsc", "stco"})
    EXPECT_EQ(readU32(findBox(*boxes, std::string("moov/trak/mdia/minf/stbl/") + table)->body, 4),
              0u)
        << table;
  auto stsz = findBox(*boxes, "moov/trak/mdia/minf/stbl/stsz")->body;
  EXPECT_EQ(readU32(stsz, 8), 0u);

  auto trex = findBox(*boxes, "moov/mvex/trex")->body;
  EXPECT_EQ(readU32(trex, 4), kVideoTrackId);
  EXPECT_EQ(readU32(trex, 8), 1u);
}

TEST_F(MovieBox, InitializationSegmentIsFileTypeThenMovie) {
  auto segment = generateInitializationSegment(track);
  ASSERT_TRUE(segment);
  auto top = test::parseBoxes(*segment);
  ASSERT_TRUE(top);
  ASSERT_EQ(top->size(), 2u);
  EXPECT_EQ((*top)[0].type, "ftyp");
  EXPECT_EQ((*top)[1].type, "moov");
  EXPECT_EQ(segment->size(), 24 + generateMoov(track)->size());
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
    auto fragment = generateFragment(info, sample);
    ASSERT_TRUE(fragment);

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

TEST(Mp4Fragment, MediaDataBoxOfAnEmptySampleIsItsHeader) {
  EXPECT_EQ(*generateMdat({}), (Bytes{0, 0, 0, 8, 'm', 'd', 'a', 't'}));
  Bytes sample = bytesOf("abc");
  EXPECT_EQ(*generateMdat(sample), (Bytes{0, 0, 0, 11, 'm', 'd', 'a', 't', 'a', 'b', 'c'}));
}

} // namespace
} // namespace tovel
