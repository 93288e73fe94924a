#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

#include "mp4/compression_session.h"
#include "mp4/h264_encoder.h"
#include "support/scrolling_picture.h"
#include "support/threads.h"
#include "support/unit_collector.h"
#include "support/wait.h"

namespace tovel {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// Exp-Golomb coded fields of a NAL unit's payload, emulation-prevention bytes removed.
struct BitReader {
  explicit BitReader(NalUnit unit) {
    for (std::size_t i = 1, zeros = 0; i < unit.size(); ++i)
      if (zeros >= 2 && unit[i] == 3)
        zeros = 0; // an emulation-prevention byte
      else
        zeros = unit[i] == 0 ? zeros + 1 : 0, bytes.push_back(unit[i]);
  }
  unsigned bit() {
    std::size_t at = position++;
    return at / 8 < bytes.size() ? bytes[at / 8] >> (7 - at % 8) & 1 : 0;
  }
  unsigned ue() {
    int zeros = 0;
    while (bit() == 0 && zeros < 32)
      ++zeros;
    unsigned value = 0;
    for (int i = 0; i < zeros; ++i)
      value = value << 1 | bit();
    return (1u << zeros) - 1 + value;
  }
  std::vector<std::uint8_t> bytes;
  std::size_t position = 0;
};

// The slices of a sample: 'I' for IDR, 'P', 'B', 'i' for non-IDR intra; '?' if mixed or none,
// '!' if the sample does not split or repeats a parameter set.
char pictureKind(const std::vector<std::uint8_t>& sample) {
  auto units = splitNalUnits(sample);
  char kind = '?';
  for (NalUnit unit : units ? *units : std::vector<NalUnit>{}) {
    if (isNalType(unit, NalType::sps) || isNalType(unit, NalType::pps))
      return '!';
    auto type = nalUnitType(unit);
    if (type != 1 && type != 5)
      continue;
    BitReader reader(unit);
    reader.ue(); // first_mb_in_slice
    unsigned sliceType = reader.ue() % 5;
    char slice = type == 5 ? 'I' : sliceType == 0 ? 'P' : sliceType == 1 ? 'B' : 'i';
    if (kind != '?' && kind != slice)
      return '?';
    kind = slice;
  }
  return units ? kind : '!';
}

// Threads leave /proc a moment after they have been joined.
bool encoderThreadsEnd() {
  return test::waitUntil([] { return test::threadsNamed("tovel-encoder") == 0; }, 60s);
}

TEST(H264Encoder, MainProfileWithCabacAndALevelFor1080pAt60) {
  std::int32_t status = 1;
  auto encoder = H264Encoder::create({}, nullptr, status);
  ASSERT_TRUE(encoder);
  EXPECT_EQ(status, 0);
  auto profile = readSpsProfile(encoder->parameterSets().sps);
  ASSERT_TRUE(profile);
  EXPECT_EQ(profile->profileIdc, 77);
  EXPECT_EQ(profile->levelIdc, 42);
  EXPECT_EQ(encoder->codecString(), "avc1.4d402a");
  BitReader pps(encoder->parameterSets().pps);
  pps.ue(), pps.ue(); // pic_parameter_set_id, seq_parameter_set_id
  EXPECT_EQ(pps.bit(), 1u) << "CABAC";
  EXPECT_EQ(avcDecoderConfiguration(encoder->parameterSets()), encoder->avcConfiguration());
}

TEST(H264Encoder, RefusesSettingsItCannotUse) {
  const H264EncoderSettings cases[] = {
      {.width = 0},           {.width = 1921},         {.height = 1079},         {.width = 9000},
      {.framesPerSecond = 0}, {.keyFrameInterval = 0}, {.preset = "warp-speed"},
  };
  for (const auto& settings : cases) {
    std::int32_t status = 0;
    EXPECT_FALSE(H264Encoder::create(settings, nullptr, status));
    EXPECT_EQ(status, kStatusInvalidArgument);
  }
  // A session passes the refusal on and prints it.
  MemoryLog log;
  std::int32_t status = 0;
  EXPECT_FALSE(CompressionSession::create({.width = 33}, log, nullptr, &status));
  EXPECT_EQ(status, kStatusInvalidArgument);
  EXPECT_EQ(log.lines(), Lines{"Failed to create compression session: -22"});
}

// Key frames on request are the session test's; here the sizes an encoder takes, and where a
// picture of another shape goes: centred with bars, on even places.
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
      {{333, 201, 320, 192}, {0, 0, 318, 192}}, // even places: a bar of 2 on one side
  };
  for (auto [s, expected] : fits)
    EXPECT_EQ(fittedInto(s[0], s[1], s[2], s[3]), expected) << s[0] << "x" << s[1];
}

// A session at a small size whose outputs are collected. The handler can be held on a chosen
// capture time, to keep the encoder busy while the test submits more.
class CompressionSessionTest : public ::testing::Test {
protected:
  void SetUp() override {
    session = CompressionSession::create({.width = 320, .height = 192}, log,
                                         [this](EncodedFrame&& frame) {
                                           double time = frame.captureTime;
                                           frames.add(std::move(frame));
                                           std::unique_lock lock(mutex);
                                           released.wait(lock, [&] { return time != holdAt; });
                                         });
    ASSERT_TRUE(session);
  }
  void release() {
    std::lock_guard lock(mutex);
    holdAt = -1;
    released.notify_all();
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
  std::mutex mutex;
  std::condition_variable released;
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
  release();
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

} // namespace
} // namespace tovel
