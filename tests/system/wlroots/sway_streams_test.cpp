#include <fstream>
#include <iterator>

#include "platform/geometry.h"
#include "server/responses.h"
#include "support/mjpeg_reader.h"
#include "support/mp4_stream_reader.h"
#include "support/witness_marks.h"
#include "system/wlroots/sway_host_fixture.h"

namespace tovel::test {
namespace {

// What grim, the compositor's own screenshot tool, sees; empty when it fails.
BgraImage grimPicture(const SwaySession& session) {
  std::string path = std::filesystem::temp_directory_path() /
                     ("tovel-grim-" + std::to_string(::getpid()) + ".ppm");
  session.run("grim -t ppm " + path);
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(path);
  int width = 0, height = 0, maximum = 0, header = 0;
  if (std::sscanf(bytes.c_str(), "P6 %d %d %d%n", &width, &height, &maximum, &header) != 3 ||
      bytes.size() < std::size_t(header + 1) + std::size_t(width) * height * 3)
    return BgraImage();
  BgraImage image(width, height);
  const auto* rgb = reinterpret_cast<const std::uint8_t*>(bytes.data()) + header + 1;
  for (int i = 0; i < width * height; ++i) {
    image.data()[i * 4] = rgb[i * 3 + 2];
    image.data()[i * 4 + 1] = rgb[i * 3 + 1];
    image.data()[i * 4 + 2] = rgb[i * 3];
    image.data()[i * 4 + 3] = 0xff;
  }
  return image;
}

// Which of the witness's colours a place shows: 0 the witness's own, 1 and 2 the marks, -1 none.
int colourClass(Colour c) {
  if (isWitnessColour(c))
    return 0;
  for (int i = 0; i < 2; ++i) {
    std::uint32_t rgb = kWitnessMarks[i].rgb;
    if (nearColour(c, rgb >> 16, (rgb >> 8) & 0xff, rgb & 0xff))
      return i + 1;
  }
  return -1;
}

// The places of a 24 x 16 grid over the picture, which shows the screen's `area` scaled, that do
// not show what the screen shows there; places near the pointer (cursor, marker) and near the
// marks' edges (scaling blurs them) are left out.
std::string mismatches(const BgraImage& picture, const BgraImage& screen, Rect area,
                       PointerPosition pointer) {
  if (picture.width() == 0 || screen.width() == 0)
    return "no picture";
  std::string wrong;
  for (int row = 0; row < 16; ++row)
    for (int column = 0; column < 24; ++column) {
      double u = (column + 0.5) / 24, v = (row + 0.5) / 16;
      double x = area.x + u * area.width, y = area.y + v * area.height;
      if (std::abs(x - pointer.x) < 48 && std::abs(y - pointer.y) < 48)
        continue;
      bool nearEdge = false;
      for (const WitnessMark& m : kWitnessMarks)
        for (double edge : {m.left * screen.width(), m.right * screen.width()})
          nearEdge = nearEdge || std::abs(x - edge) < 16;
      for (const WitnessMark& m : kWitnessMarks)
        for (double edge : {m.top * screen.height(), m.bottom * screen.height()})
          nearEdge = nearEdge || std::abs(y - edge) < 16;
      if (nearEdge)
        continue;
      int expected = colourClass(averageColour(screen, int(x), int(y)));
      int seen =
          colourClass(averageColour(picture, int(u * picture.width()), int(v * picture.height())));
      if (seen != expected)
        wrong += " (" + std::to_string(int(x)) + "," + std::to_string(int(y)) +
                 "): " + std::to_string(seen) + " not " + std::to_string(expected);
    }
  return wrong;
}

using SwayStreams = SwayHostTest;

// The picture streams and the live video show what the compositor's own screenshot shows, each
// the part of the screen it is for. The window list is empty, so a window stream shows the screen.
TEST_F(SwayStreams, PicturesMatchWhatGrimSees) {
  PointerPosition at = movePointerTo(480, 270);
  ASSERT_EQ(at, (PointerPosition{480, 270}));
  BgraImage screen = grimPicture(*session_);
  ASSERT_EQ(screen.width(), 1920) << "grim failed";
  expectMjpegPictures(
      [&](const BgraImage& image, Rect area) { return mismatches(image, screen, area, at); },
      {{"/screen.mjpg?window=true", 480, 270, Rect{0, 0, 1920, 1080}}});
  Mp4StreamReader video(kHostPort);
  std::string errors;
  BgraImage picture = newestMp4Picture(video, nullptr, 200, &errors);
  ASSERT_EQ(picture.width(), 1920) << errors << host_->output();
  EXPECT_EQ(mismatches(picture, screen, Rect{0, 0, 1920, 1080}, at), "") << "MP4";
}

using SwayOutputs = SwayStreams; // a session of its own: its layout changes

TEST_F(SwayOutputs, ASecondOutputIsAScreenOfItsOwn) {
  PointerPosition at = movePointerTo(480, 270);
  session_->run("swaymsg create_output && swaymsg output HEADLESS-2 mode 1024x768 position 1920 0");
  // Made at the default mode first, then given its own: the host reports both.
  ASSERT_TRUE(host_->waitForOutput("Screen: HEADLESS-2 1024x768 at (1920, 0), display 2\n", 30s))
      << host_->output();
  expectStreamsFollowToTheSecondScreen(at, "/screen.mjpg");
}

} // namespace
} // namespace tovel::test
