#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <future>
#include <limits>
#include <numeric>
#include <set>
#include <sstream>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/use_future.hpp>

#include "mjpeg/multipart.h"
#include "mjpeg/stream_options.h"
#include "mp4/box_writer.h"
#include "mp4/compression_session.h"
#include "mp4/h264_encoder.h"
#include "mp4/h264_nal_units.h"
#include "mp4/h264_parameters.h"
#include "mp4/mp4_clients.h"
#include "support/mp4_boxes.h"
#include "support/scrolling_picture.h"
#include "support/stream_reading.h"
#include "support/test_client.h"
#include "support/threads.h"
#include "support/unit_collector.h"
#include "support/wait.h"

namespace tovel {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using test::findBox;
using test::TestClient;
using test::waitUntil;
using test::walkBoxes;

Bytes bytesOf(std::string_view text) {
  return {text.begin(), text.end()};
}

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
      {{0, 0, 0, 2, 0x65}, std::nullopt},                     // length past the end
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x65}, std::nullopt},         // absurd length
      {{0, 0, 0, 0}, std::nullopt},                           // empty unit
      {{0, 0, 0, 1, 0x65, 0, 0}, std::nullopt},               // bytes over after the last unit
      {{0, 0, 0, 1, 0x65, 0, 0, 0, 5, 1, 2, 3}, std::nullopt} // second unit cut short
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

TEST(H264Parameters, CodecStringFirstSetsAmongOtherUnitsAndDecoderConfigurationRecord) {
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

// Exp-Golomb fields from the start of a NAL unit's payload. Those read here (a PPS's first ones,
// the first two of a slice of 320 x 192's 240 macroblocks) never hold two zero bytes in a row,
// so no emulation-prevention byte comes among them.
struct BitReader {
  unsigned bit() {
    std::size_t at = position++;
    return at / 8 < unit.size() ? unit[at / 8] >> (7 - at % 8) & 1 : 0;
  }
  unsigned ue() {
    int zeros = 0;
    while (bit() == 0 && zeros < 31)
      ++zeros;
    unsigned value = 1;
    while (zeros-- > 0)
      value = value << 1 | bit();
    return value - 1;
  }
  NalUnit unit;
  std::size_t position = 8; // past the header byte
};

// The slices of a sample: 'I' for IDR, 'P', 'B', 'i' for non-IDR intra; '?' if mixed or none,
// '!' if the sample does not split or repeats a parameter set.
char pictureKind(const Bytes& sample) {
  auto units = splitNalUnits(sample);
  std::set<char> kinds;
  for (NalUnit unit : units.value_or(std::vector<NalUnit>{})) {
    if (isNalType(unit, NalType::sps) || isNalType(unit, NalType::pps))
      return '!';
    if (isNalType(unit, NalType::idrSlice)) {
      kinds.insert('I');
    } else if (isNalType(unit, NalType::nonIdrSlice)) {
      BitReader slice{unit};
      slice.ue(); // first_mb_in_slice
      unsigned sliceType = slice.ue() % 5;
      kinds.insert(sliceType == 0 ? 'P' : sliceType == 1 ? 'B' : 'i');
    }
  }
  return !units ? '!' : kinds.size() == 1 ? *kinds.begin() : '?';
}

// Threads leave /proc a moment after they have been joined.
bool encoderThreadsEnd() {
  return test::waitUntil([] { return test::threadsNamed("tovel-encoder") == 0; }, 60s);
}

TEST(H264Encoder, MainProfileWithCabacAndALevelFor1080pAt60AndRefusesSettingsItCannotUse) {
  std::int32_t status = 1;
  auto encoder = H264Encoder::create({}, nullptr, status);
  ASSERT_TRUE(encoder);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(encoder->codecString(), "avc1.4d402a"); // from the SPS: profile 77, level 4.2
  BitReader pps{encoder->parameterSets().pps};
  pps.ue(), pps.ue(); // pic_parameter_set_id, seq_parameter_set_id
  EXPECT_EQ(pps.bit(), 1u) << "CABAC";
  EXPECT_EQ(avcDecoderConfiguration(encoder->parameterSets()), encoder->avcConfiguration());

  const H264EncoderSettings cases[] = {
      {.width = 0},           {.width = 1921},         {.height = 1079},        {.width = 9000},
      {.framesPerSecond = 0}, {.keyFrameInterval = 0}, {.preset = "warp-speed"}};
  for (const auto& settings : cases) {
    EXPECT_FALSE(H264Encoder::create(settings, nullptr, status));
    EXPECT_EQ(status, kStatusInvalidArgument);
    status = 0;
  }
  // A session passes the refusal on and prints it.
  MemoryLog log;
  EXPECT_FALSE(CompressionSession::create({.width = 33}, log, nullptr, &status));
  EXPECT_EQ(status, kStatusInvalidArgument);
  EXPECT_EQ(log.lines(), Lines{"Failed to create compression session: -22"});
}

// The sizes an encoder takes, and where a picture of another shape goes: centred, on even places.
TEST(H264Encoder, ScalesPicturesOfAnySizeCentredWithBarsAndRefusesImpossibleViews) {
  std::int32_t status = 0;
  auto encoder = H264Encoder::create({.width = 320, .height = 192}, nullptr, status);
  ASSERT_TRUE(encoder);
  for (auto [width, height] : {std::pair{320, 192}, {640, 384}, {333, 201}, {17, 9}, {1, 1}}) {
    test::ScrollingPicture picture(width, height);
    auto result = encoder->encode(picture.frame(0), false);
    EXPECT_TRUE(result.status == 0 && result.picture) << width << "x" << height;
  }
  BgraImage image(64, 64);
  ImageView tooNarrowStride = image.view();
  tooNarrowStride.stride = 63 * 4;
  EXPECT_EQ(encoder->encode(tooNarrowStride, false).status, kStatusInvalidArgument);
  EXPECT_EQ(encoder->encode(ImageView{}, false).status, kStatusInvalidArgument);

  const std::pair<std::array<int, 4>, PixelRect> fits[] = {
      {{1920, 1080, 1920, 1080}, {0, 0, 1920, 1080}},
      {{1280, 1024, 1920, 1080}, {284, 0, 1350, 1080}}, // 5:4 on 16:9: bars left and right
      {{3840, 1600, 1920, 1080}, {0, 140, 1920, 800}},  // wider: bars above and below
      {{1, 1, 320, 192}, {64, 0, 192, 192}},
      {{333, 201, 320, 192}, {0, 0, 318, 192}} // even places: a bar of 2 on one side
  };
  for (auto [s, expected] : fits)
    EXPECT_EQ(fittedInto(s[0], s[1], s[2], s[3]), expected) << s[0] << "x" << s[1];
}

// A small session whose outputs are collected; its handler can be held on a chosen capture time.
class CompressionSessionTest : public ::testing::Test {
protected:
  void SetUp() override {
    session = CompressionSession::create({.width = 320, .height = 192}, log, [this](auto&& frame) {
      bool hold = frame.captureTime == holdAt; // set before that picture's submission
      frames.add(std::move(frame));
      if (hold)
        released.wait();
    });
    ASSERT_TRUE(session);
  }
  std::int32_t submit(double captureTime) {
    return session->submit({picture.frame(int(captureTime)), nullptr, captureTime});
  }
  Lines outputLines() {
    Lines lines = log.lines();
    std::erase_if(lines, [](auto& line) {
      return line != "Encoded frame received" && !line.starts_with("Compression failed");
    });
    return lines;
  }

  MemoryLog log;
  test::ScrollingPicture picture{320, 192};
  test::Collected<EncodedFrame> frames;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  double holdAt = -1;
  std::unique_ptr<CompressionSession> session;
};

TEST_F(CompressionSessionTest,
       EveryPictureEncodedInOrderWithKeyFramesOnRequestAndEmptyOnesRefused) {
  EXPECT_TRUE(log.contains("Compression session created successfully"));
  EXPECT_EQ(session->codecString(), "avc1.4d4015"); // level 2.1 suffices for 320 x 192 at 60
  EXPECT_EQ(session->submit({ImageView{}, nullptr, 0}), kStatusInvalidArgument);
  EXPECT_TRUE(log.contains("Failed to encode frame: -22"));
  EXPECT_FALSE(log.contains("Frame passed to encoder"));
  for (int i = 0; i < 6; ++i) {
    if (i == 4)
      session->requestKeyFrame();
    EXPECT_EQ(submit(i), 0);
    ASSERT_TRUE(frames.waitForCount(i + 1));
  }
  std::string kinds;
  for (const EncodedFrame& frame : frames.items()) {
    EXPECT_EQ(frame.captureTime, double(kinds.size()));
    EXPECT_EQ(frame.keyFrame, containsIdrSlice(frame.data));
    kinds += pictureKind(frame.data);
  }
  EXPECT_EQ(kinds, "IPPPIP");
  EXPECT_EQ(outputLines(), Lines(6, "Encoded frame received"));
  EXPECT_GE(test::threadsNamed("tovel-encoder"), 1); // with x264's own
}

TEST_F(CompressionSessionTest, ANewerPictureReplacesTheWaitingOneAndStopFinishesItThenRefuses) {
  holdAt = 1; // the encoder stays in the handler of picture 1
  ASSERT_EQ(submit(1), 0);
  ASSERT_TRUE(frames.waitForCount(1));
  for (double t : {2, 3, 4})
    EXPECT_EQ(submit(t), 0);
  std::thread stopper([&] { session->stop(); });
  release.set_value();
  stopper.join();
  EXPECT_TRUE(encoderThreadsEnd());
  ASSERT_EQ(frames.items().size(), 2u);
  EXPECT_EQ(frames.items()[1].captureTime, 4);
  EXPECT_EQ(outputLines(), (Lines{"Encoded frame received", "Compression failed with status: 0",
                                  "Compression failed with status: 0", "Encoded frame received"}));
  EXPECT_EQ(submit(5), kStatusSessionStopped);
  EXPECT_TRUE(log.contains("Failed to encode frame: -108"));
}

TEST_F(CompressionSessionTest, KeepsThePictureOwnerUntilEncodedAndMayBeDestroyedByItsHandler) {
  session.reset();
  std::promise<void> done;
  auto owner = std::make_shared<test::ScrollingPicture>(320, 192);
  std::weak_ptr<test::ScrollingPicture> watch = owner;
  session = CompressionSession::create({.width = 320, .height = 192}, log, [&](EncodedFrame&&) {
    session.reset(); // destroyed on its own thread, from inside its handler
    done.set_value();
  });
  ASSERT_TRUE(session);
  ImageView view = owner->frame(0);
  ASSERT_EQ(session->submit({view, std::move(owner), 0}), 0);
  ASSERT_EQ(done.get_future().wait_for(60s), std::future_status::ready);
  EXPECT_TRUE(watch.expired());
  EXPECT_TRUE(encoderThreadsEnd()); // once the handler has returned
}

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

TEST(Mp4Bytes, MovieBoxIsAStandardVideoTrackWhoseSizesAddUpAndRefusesWhatItCannotDescribe) {
  VideoTrackFormat track{
      1920, 1080, {0x01, 0x4D, 0x40, 0x2A, 0xFF, 0xE1, 0x00, 0x00, 0x01, 0x00, 0x00}, 1500};
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

  for (auto [width, height] : {std::pair{0, 1080}, {1920, -2}, {65536, 1080}, {1920, 70000}})
    EXPECT_FALSE(generateMoov({width, height, {1}})) << width << "x" << height;
  EXPECT_TRUE(generateMoov({65535, 65535, {1}}));
  EXPECT_FALSE(generateMoov({1920, 1080, {}}));
}

TEST(Mp4Bytes, TrackFragmentDescribesTheSampleThatFollowsAndRefusesSizesItCannotWrite) {
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
  EXPECT_FALSE(generateMoof({}, 0x1'0000'0000ull)); // 4 GiB
  EXPECT_FALSE(generateMoof({}, kLargestSampleLength + 1));
  auto largest = generateMoof({}, kLargestSampleLength);
  ASSERT_TRUE(largest);
  expectFields(*largest, {{"moof/traf/trun", {{16, 4, 0xFFFFFFF7u}}}});
}

// The client list on a main loop of its own, with a real connection from a test client.
class Mp4ClientsTest : public ::testing::Test {
protected:
  ~Mp4ClientsTest() override {
    io.stop();
    loop.join();
    if (connection)
      connection->abandon();
  }
  template <typename F> auto onLoop(F f) { return asio::post(io, asio::use_future(f)).get(); }
  // Hands out a fragment framed as the streamer frames it: a chunk of the name, its decode time
  // and the name again, cut after the decode time.
  void send(const std::string& name, bool keyFrame) {
    std::string chunk = framed(name, 0);
    auto bodyAt = chunk.end() - std::ptrdiff_t(name.size() + 2);
    SharedFragment fragment{.head = std::make_shared<const Bytes>(chunk.begin(), bodyAt),
                            .decodeTimeAt = std::size_t(bodyAt - chunk.begin()) - 8,
                            .body = std::make_shared<const Bytes>(bodyAt, chunk.end()),
                            .duration = kDuration,
                            .keyFrame = keyFrame};
    onLoop([&] { clients.sendToClients(fragment); });
  }
  // What a client is sent for it at a decode time of `time` frames.
  static std::string framed(const std::string& name, std::uint64_t time) {
    auto ticks = uint64ToBytes(time * kDuration);
    return (std::ostringstream() << std::uppercase << std::hex << 2 * name.size() + 8).str() +
           "\r\n" + name + std::string(ticks.begin(), ticks.end()) + name + "\r\n";
  }

  static constexpr std::uint32_t kDuration = 1500;
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  asio::ip::tcp::acceptor acceptor{io, {asio::ip::address_v4::loopback(), 0}};
  ConnectionPtr connection;
  MemoryLog log;
  std::atomic<int> keyFramesAsked{0}, framesAsked{0};
  Mp4Clients clients{log,
                     {.startStreaming = [] {},
                      .lastClientGone = [] {},
                      .keyFrameNeeded = [this] { ++keyFramesAsked; },
                      .frameNeeded = [this] { ++framesAsked; }},
                     bytesOf("ftyp and moov"),
                     "avc1.4d402a"};
  std::thread loop{[this] { io.run(); }};
};

TEST_F(Mp4ClientsTest, ASlowClientLosesFragmentsUntilItsNextKeyFrame) {
  TestClient slow(acceptor.local_endpoint().port(), 8192);
  connection = Connection::create(io, acceptor.accept());
  onLoop([&] { clients.sendInitialHeaders(connection); });
  // The head's bytes are checked through the host (Mp4Stream); the initialization segment is a
  // chunk of its own.
  EXPECT_TRUE(test::readHead(slow, 5s).starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_EQ(slow.read(18), "D\r\nftyp and moov\r\n");
  ASSERT_TRUE(waitUntil([&] { return onLoop([&] { return clients.size(); }) == 1; }));
  // Fragments it does not read pile up in its queue, past the cap.
  std::string big(256 * 1024, 'k');
  const std::size_t bigSize = framed(big, 0).size();
  std::size_t sent = 0;
  for (; connection->queuedBytes() <= Mp4Clients::kQueueCap; sent += bigSize)
    send(big, true);
  // What it may hold is a bound on the host's memory per client: about 1 MiB.
  EXPECT_LE(connection->queuedBytes(), 1024 * 1024 + bigSize);
  EXPECT_EQ(framesAsked, Mp4Clients::kStartFragments - 1); // enough bytes: after the first two
  int asked = keyFramesAsked;
  send("P-dropped", false);
  EXPECT_TRUE(log.contains("Client too slow: its fragments are dropped until its next key frame"));
  EXPECT_EQ(keyFramesAsked, asked); // no key frame would get through now

  // Once it has caught up it asks for a key frame, once, and gets nothing before it.
  EXPECT_EQ(slow.read(sent, 60s).size(), sent);
  ASSERT_TRUE(waitUntil([&] { return connection->queuedBytes() == 0; }));
  send("P-waiting", false);
  send("P-waiting", false);
  EXPECT_EQ(keyFramesAsked, asked + 1);
  // Its timeline goes on where it was, with no gap for what it lost.
  send("K-next", true);
  EXPECT_EQ(slow.read(framed("K-next", 0).size()), framed("K-next", sent / bigSize));
}

// 12345 bytes of picture after a 65-byte part head and before its line end are 12412 = 0x307C
// bytes of part; 255 after a 63-byte head, 320 = 0x140.
TEST(MultipartFrameChunk, SizeLineCountsThePartInUpperCaseHex) {
  for (auto [size, sizeLine] : {std::pair{12345, "307C\r\n"}, {255, "140\r\n"}}) {
    auto chunk = multipartFrameChunk("myBoundary", Bytes(size, 0xAB));
    EXPECT_EQ(std::string(chunk.begin(), chunk.end()),
              std::string(sizeLine) +
                  "--myBoundary\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                  std::to_string(size) + "\r\n\r\n" + std::string(size, '\xAB') + "\r\n\r\n");
  }
}

// Plain lists and refusals reach the stream's log in its size test; here the edges of the scan.
TEST(OptionNumbers, ReadsTheLastOccurrenceUpToTheNextAmpersand) {
  const std::tuple<const char*, const char*, std::vector<double>> cases[] = {
      {"/s?size=1x1&size=640x480&max=3", "size=", {640, 480}},
      {"/s?max=12.5xx7", "max=", {12.5, 7}},
      {"/s?size=640&x", "size=", {640}},
      {"/screen.mjpg?size=", "size=", {}},    // a key at the very end: nothing after it
      {"/s?maxsize=10x20", "size=", {10, 20}} // "maxsize=" also holds "size="
  };
  for (const auto& [target, key, numbers] : cases)
    EXPECT_EQ(optionNumbers(target, key), numbers) << target;
}

} // namespace
} // namespace tovel
