#include "server/responses.h"
#include "support/mjpeg_reader.h"
#include "support/mp4_stream_reader.h"
#include "system/gnome/gnome_host_fixture.h"

namespace tovel::test {
namespace {

// A point of the picture (of the whole 1920 x 1080 screen, scaled) in the quarter of the screen
// opposite the pointer, where neither the cursor nor the host's marker can be.
Colour awayFromPointer(const BgraImage& image, PointerPosition pointer) {
  double x = pointer.x < 960 ? 0.75 : 0.25, y = pointer.y < 540 ? 0.75 : 0.25;
  return averageColour(image, int(x * image.width()), int(y * image.height()));
}

// Whether any pixel near (x, y) is not the witness's colour: the cursor, whose hot spot is its
// top-left corner.
bool cursorNear(const BgraImage& image, PointerPosition at) {
  for (int dy = -4; dy < 20; ++dy)
    for (int dx = -4; dx < 20; ++dx)
      if (!isWitnessColour(averageColour(image, int(at.x) + dx, int(at.y) + dy, 0)))
        return true;
  return false;
}

class GnomeStreams : public GnomeHostTest {
protected:
  // Moves the pointer over the witness and returns where it is.
  PointerPosition movePointer(int dx, int dy) {
    std::size_t before = witnessLines().size();
    post("/move", R"({"x":)" + std::to_string(dx) + R"(,"y":)" + std::to_string(dy) + "}");
    waitUntil([&] { return witnessLines().size() > before && pointer(); }, 30s);
    return pointer().value_or(PointerPosition{-1, -1});
  }

  BgraImage firstMjpegImage(const std::string& target, std::string_view head) {
    TestClient client(kHostPort);
    client.send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(client.read(head.size(), 30s), head) << target;
    MjpegReader reader(client);
    return reader.readImage(30s);
  }
};

TEST_F(GnomeStreams, MjpegStreamsShowTheScreen) {
  PointerPosition pointer = movePointer(300, 200);
  struct Case {
    std::string target;
    int width, height;
    bool wholeScreen;
  };
  for (const Case& c : {Case{"/screen.mjpg", 480, 270, true},
                        // 800 x 480 and 640 x 480 around the pointer, fitted into 480 x 480.
                        Case{"/screen.mjpg?follow=hd", 480, 288, false},
                        Case{"/screen.mjpg?follow=true&size=640x480", 480, 360, false}}) {
    BgraImage image = firstMjpegImage(c.target, kMjpegStreamHead);
    ASSERT_EQ(image.width(), c.width) << c.target;
    ASSERT_EQ(image.height(), c.height) << c.target;
    Colour colour = c.wholeScreen ? awayFromPointer(image, pointer)
                                  : averageColour(image, c.width / 8, c.height / 8);
    EXPECT_TRUE(isWitnessColour(colour))
        << c.target << ": " << colour.r << "," << colour.g << "," << colour.b;
  }
}

TEST_F(GnomeStreams, FollowCaptureStreamShowsTheScreen) {
  PointerPosition pointer = movePointer(300, 200);
  // The whole 1920 x 1080 screen, fitted into 1.5 times the 800 x 600 follow size.
  BgraImage image = firstMjpegImage("/screen.mjpg?screen=true", kFollowCaptureStreamHead);
  ASSERT_EQ(image.width(), 1200);
  ASSERT_EQ(image.height(), 675);
  Colour colour = awayFromPointer(image, pointer);
  EXPECT_TRUE(isWitnessColour(colour)) << colour.r << "," << colour.g << "," << colour.b;
}

// The first picture a new client of the MP4 stream sees.
BgraImage firstMp4Picture() {
  Mp4StreamReader video(kHostPort);
  EXPECT_TRUE(video.waitForFragments(1)) << video.error();
  std::string errors;
  BgraImage image = firstDecodedPicture(video.stream(), 1920, 1080, errors);
  EXPECT_EQ(image.width(), 1920) << errors;
  return image;
}

TEST_F(GnomeStreams, TheMp4PictureHasTheCursorWhereThePointerIs) {
  PointerPosition first = movePointer(400, 300);
  BgraImage image = firstMp4Picture();
  EXPECT_TRUE(cursorNear(image, first)) << "no cursor at " << std::optional(first);
  EXPECT_TRUE(isWitnessColour(awayFromPointer(image, first)));

  PointerPosition second = movePointer(900, 500);
  ASSERT_NE(second, first);
  image = firstMp4Picture();
  EXPECT_TRUE(cursorNear(image, second)) << "no cursor at " << std::optional(second);
  EXPECT_FALSE(cursorNear(image, first)) << "the cursor stayed at " << std::optional(first);
}

// How many "Screen: " lines each "Screens have changed" block of the output has, in order.
std::vector<int> screenBlocks(const std::string& output) {
  std::vector<int> blocks;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);)
    if (line == "Screens have changed. Current screens:")
      blocks.push_back(0);
    else if (!blocks.empty() && line.rfind("Screen: ", 0) == 0)
      ++blocks.back();
  return blocks;
}

TEST_F(GnomeStreams, ASecondMonitorIsAScreenOfItsOwn) {
  PointerPosition pointer = movePointer(100, 100);
  ChildProcess monitor(TOVEL_GNOME_VIRTUAL_MONITOR, {"--size", "1024x768"},
                       ChildProcess::Input::pipe, session_->environment());
  ASSERT_TRUE(monitor.waitForOutput("ready 1024x768\n", 30s)) << monitor.output();
  auto blockOf = [&](int screens) {
    return waitUntil(
        [&] {
          std::vector<int> blocks = screenBlocks(host_->output());
          return !blocks.empty() && blocks.back() == screens;
        },
        30s);
  };
  ASSERT_TRUE(blockOf(2)) << host_->output();

  // Streams show the screen that holds the pointer when they start, whatever "screen=2" says:
  // it only chooses when the pointer is on no screen at all.
  EXPECT_EQ(firstMjpegImage("/screen.mjpg?screen=2", kMjpegStreamHead).height(), 270);
  // The new monitor lies to the right of the first one.
  post("/move", R"({"x":)" + std::to_string(1920 + 200 - int(pointer.x)) + R"(,"y":0})");
  ASSERT_TRUE(witness_->waitForOutput("leave\n", 30s)) << witness_->output();
  BgraImage image = firstMjpegImage("/screen.mjpg?screen=2", kMjpegStreamHead);
  EXPECT_EQ(image.width(), 480);
  EXPECT_EQ(image.height(), 360); // 1024 x 768 fitted into 480 x 480

  monitor.closeInput();
  EXPECT_EQ(monitor.waitForExit(30s), 0) << monitor.output();
  EXPECT_TRUE(blockOf(1)) << host_->output();
}

} // namespace
} // namespace tovel::test
