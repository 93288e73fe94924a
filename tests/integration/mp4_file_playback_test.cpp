#include <gtest/gtest.h>
#include <sys/wait.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "mp4/box_writer.h"
#include "mp4/compression_session.h"
#include "support/pictures.h"
#include "support/scrolling_picture.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

struct CommandResult {
  int status = -1;
  std::string output; // standard output and error together
};

CommandResult run(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe)
    return result;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
    result.output.append(buffer, n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// "key=value" lines as ffprobe prints them with -of default=nw=1.
std::map<std::string, std::string> keyValues(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (auto equals = line.find('='); equals != std::string::npos)
      values[line.substr(0, equals)] = line.substr(equals + 1);
  return values;
}

BgraImage decodeFrame(const std::filesystem::path& file, int index) {
  std::filesystem::path raw = file;
  raw += ".bgra";
  auto result = run("ffmpeg -v error -y -i '" + file.string() + "' -vf 'select=eq(n\\," +
                    std::to_string(index) + ")' -frames:v 1 -f rawvideo -pix_fmt bgra '" +
                    raw.string() + "'");
  BgraImage image;
  std::ifstream in(raw, std::ios::binary);
  image.resize(1920, 1080);
  if (result.status != 0 ||
      !in.read(reinterpret_cast<char*>(image.data()), std::streamsize(image.stride() * 1080)))
    image.resize(0, 0);
  std::filesystem::remove(raw);
  return image;
}

// The encoder and the box writer together make a file that the real ffmpeg plays through:
// initialization segment, then one fragment per frame of a changing 1920 x 1080 picture.
TEST(Mp4File, FfmpegDecodesEveryFrameOfTheFragmentedStream) {
  constexpr int kFrames = 120;
  constexpr std::uint32_t kFrameDuration = kMediaTimescale / 60;

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<EncodedFrame> frames;
  MemoryLog log;
  auto session = CompressionSession::create({}, log, [&](EncodedFrame&& frame) {
    std::lock_guard lock(mutex);
    frames.push_back(std::move(frame));
    changed.notify_all();
  });
  ASSERT_TRUE(session);
  ScrollingPicture picture(1920, 1080);
  for (int i = 0; i < kFrames; ++i) {
    // One at a time, so that none is replaced while waiting.
    ASSERT_EQ(session->submit({picture.frame(i), nullptr, 100.0 + i / 60.0}), 0);
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 60s, [&] { return int(frames.size()) == i + 1; }));
  }
  session->stop();

  auto path =
      std::filesystem::temp_directory_path() / ("tovel-mp4-" + std::to_string(::getpid()) + ".mp4");
  {
    std::ofstream file(path, std::ios::binary);
    auto init = generateInitializationSegment(
        {session->width(), session->height(), session->avcConfiguration()});
    ASSERT_TRUE(init);
    file.write(reinterpret_cast<const char*>(init->data()), std::streamsize(init->size()));
    for (std::size_t i = 0; i < frames.size(); ++i) {
      // Decode times from the capture times, counted from the first.
      FragmentSample sample{std::uint32_t(i + 1), mediaTicks(frames[i].captureTime - 100.0),
                            kFrameDuration, frames[i].keyFrame};
      auto fragment = generateFragment(sample, frames[i].data);
      ASSERT_TRUE(fragment);
      file.write(reinterpret_cast<const char*>(fragment->data()),
                 std::streamsize(fragment->size()));
    }
  }

  auto probe = run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                   "stream=codec_name,profile,width,height,nb_read_frames:format=duration "
                   "-of default=nw=1 '" +
                   path.string() + "'");
  ASSERT_EQ(probe.status, 0) << probe.output;
  auto values = keyValues(probe.output);
  EXPECT_EQ(values["codec_name"], "h264");
  EXPECT_EQ(values["profile"], "Main");
  EXPECT_EQ(values["width"], "1920");
  EXPECT_EQ(values["height"], "1080");
  EXPECT_EQ(values["nb_read_frames"], std::to_string(kFrames));
  EXPECT_NEAR(std::stod(values["duration"]), 2.0, 0.001) << probe.output;

  auto decode = run("ffmpeg -v error -i '" + path.string() + "' -f null -");
  EXPECT_EQ(decode.status, 0);
  EXPECT_EQ(decode.output, "") << "ffmpeg reported errors";

  // Colours and frame order survive: the orange square is where each frame put it.
  for (int index : {0, kFrames - 1}) {
    BgraImage decoded = decodeFrame(path, index);
    ASSERT_EQ(decoded.width(), 1920) << index;
    auto [x, y] = picture.squareAt(index);
    Colour square = averageColour(decoded, x + ScrollingPicture::kSquareSide / 2,
                                  y + ScrollingPicture::kSquareSide / 2, 10);
    EXPECT_TRUE(nearColour(square, ScrollingPicture::kSquareR, ScrollingPicture::kSquareG,
                           ScrollingPicture::kSquareB))
        << index << ": " << square.r << "," << square.g << "," << square.b;
  }
  std::filesystem::remove(path);
}

} // namespace
} // namespace tovel::test
