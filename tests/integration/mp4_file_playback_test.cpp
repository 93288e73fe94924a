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

namespace fs = std::filesystem;

struct CommandResult {
  int status = -1;
  std::string output; // standard output
  std::string errors; // standard error
};

CommandResult run(const std::string& command) {
  CommandResult result;
  fs::path errors =
      fs::temp_directory_path() / ("tovel-mp4-" + std::to_string(::getpid()) + ".err");
  FILE* pipe = popen((command + " 2>'" + errors.string() + "'").c_str(), "r");
  if (!pipe)
    return result;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
    result.output.append(buffer, n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(errors);
  result.errors.assign(std::istreambuf_iterator<char>(in), {});
  fs::remove(errors);
  return result;
}

// "key=value" lines as ffprobe and ffmpeg's progress report print them; the last value wins.
std::map<std::string, std::string> keyValues(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (auto equals = line.find('='); equals != std::string::npos)
      values[line.substr(0, equals)] = line.substr(equals + 1);
  return values;
}

// The given frames of the file, decoded in one pass, as 1920 x 1080 BGRA pictures.
std::vector<BgraImage> decodeFrames(const fs::path& file, const std::vector<int>& indices) {
  std::string select;
  for (int index : indices)
    select += (select.empty() ? "" : "+") + std::string("eq(n\\,") + std::to_string(index) + ")";
  fs::path raw = file;
  raw += ".bgra";
  auto result = run("ffmpeg -v error -y -i '" + file.string() + "' -vf 'select=" + select +
                    "' -fps_mode passthrough -f rawvideo -pix_fmt bgra '" + raw.string() + "'");
  std::vector<BgraImage> images;
  std::ifstream in(raw, std::ios::binary);
  for (std::size_t i = 0; result.status == 0 && i < indices.size(); ++i) {
    BgraImage image(1920, 1080);
    if (!in.read(reinterpret_cast<char*>(image.data()), std::streamsize(image.stride() * 1080)))
      break;
    images.push_back(std::move(image));
  }
  fs::remove(raw);
  return images;
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

  auto path = fs::temp_directory_path() / ("tovel-mp4-" + std::to_string(::getpid()) + ".mp4");
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

  auto probe = run("ffprobe -v error -count_packets -select_streams v:0 -show_entries "
                   "stream=codec_name,profile,width,height,nb_read_packets:format=duration "
                   "-of default=nw=1 '" +
                   path.string() + "'");
  ASSERT_EQ(probe.status, 0) << probe.errors;
  auto values = keyValues(probe.output);
  EXPECT_EQ(values["codec_name"], "h264");
  EXPECT_EQ(values["profile"], "Main");
  EXPECT_EQ(values["width"], "1920");
  EXPECT_EQ(values["height"], "1080");
  EXPECT_EQ(values["nb_read_packets"], std::to_string(kFrames));
  EXPECT_NEAR(std::stod(values["duration"]), 2.0, 0.001) << probe.output;

  // A full decode: no error line, and every frame comes out.
  auto decode =
      run("ffmpeg -v error -nostats -progress pipe:1 -i '" + path.string() + "' -f null -");
  EXPECT_EQ(decode.status, 0);
  EXPECT_EQ(decode.errors, "") << "ffmpeg reported errors";
  EXPECT_EQ(keyValues(decode.output)["frame"], std::to_string(kFrames));

  // Colours and frame order survive: the orange square is where each frame put it.
  const std::vector<int> checked = {0, kFrames / 2, kFrames - 1};
  auto decoded = decodeFrames(path, checked);
  ASSERT_EQ(decoded.size(), checked.size());
  for (std::size_t i = 0; i < checked.size(); ++i) {
    auto [x, y] = picture.squareAt(checked[i]);
    Colour square = averageColour(decoded[i], x + ScrollingPicture::kSquareSide / 2,
                                  y + ScrollingPicture::kSquareSide / 2, 10);
    EXPECT_TRUE(nearColour(square, ScrollingPicture::kSquareR, ScrollingPicture::kSquareG,
                           ScrollingPicture::kSquareB))
        << checked[i] << ": " << square.r << "," << square.g << "," << square.b;
  }
  fs::remove(path);
}

} // namespace
} // namespace tovel::test
