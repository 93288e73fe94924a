#include "server/responses.h"
#include "support/mjpeg_reader.h"
#include "support/mp4_stream_reader.h"
#include "system/gnome/gnome_host_fixture.h"

namespace tovel::test {
namespace {

class GnomeStreams : public GnomeHostTest {
protected:
  // Moves the pointer to a place over the witness; where the witness then says it is.
  PointerPosition movePointerTo(double x, double y) {
    PointerPosition from = pointer() ? *pointer() : pointerOverWitness();
    std::size_t before = witnessLines().size();
    post("/move", "{\"x\":" + number(x - from.x) + ",\"y\":" + number(y - from.y) + "}");
    waitUntil([&] { return !witnessEvents(before, {"motion "}).empty(); }, 30s);
    return pointer().value_or(PointerPosition{-1, -1});
  }
};

TEST_F(GnomeStreams, MjpegStreamsShowTheScreen) {
  movePointerTo(480, 270);
  struct Case {
    std::string target;
    int width, height;
  };
  for (const Case& c : {Case{"/screen.mjpg", 480, 270},
                        // 800 x 480 and 640 x 480 around the pointer, fitted into 480 x 480.
                        Case{"/screen.mjpg?follow=hd", 480, 288},
                        Case{"/screen.mjpg?follow=true&size=640x480", 480, 360},
                        // The continuous capture: the whole screen in 1.5 times 800 x 600.
                        Case{"/screen.mjpg?screen=true", 1200, 675}}) {
    bool continuous = c.target.find("screen=true") != std::string::npos;
    BgraImage image =
        firstMjpegImage(c.target, continuous ? kFollowCaptureStreamHead : kMjpegStreamHead);
    EXPECT_EQ(image.width(), c.width) << c.target << host_->output();
    EXPECT_EQ(image.height(), c.height) << c.target;
    EXPECT_TRUE(showsWitness(image)) << c.target;
  }
}

// Without a session manager (WirePlumber ends at once when it starts before PipeWire) nothing links
// the host's streams to the screen cast: the host's first pictures, which SetUp waits for, come
// all the same.
class GnomeStreamsUnmanaged : public GnomeHostTest {
protected:
  static void SetUpTestSuite() { startSession({.sessionManager = false}); }
};

TEST_F(GnomeStreamsUnmanaged, TheHostLinksItsOwnStream) {
  EXPECT_NE(host_->output().find("The screen cast of Meta-0 brought no picture in 3 s (nothing "
                                 "linked its stream: no PipeWire session manager?): connecting to "
                                 "it again and linking it itself.\n"),
            std::string::npos)
      << host_->output();
}

TEST_F(GnomeStreams, TheMp4PictureHasTheCursorWhereThePointerIs) {
  Mp4StreamReader video(kHostPort);
  std::optional<PointerPosition> previous;
  for (PointerPosition to : {PointerPosition{480, 270}, PointerPosition{300, 200}}) {
    PointerPosition at = movePointerTo(to.x, to.y);
    std::string errors;
    BgraImage image = newestMp4Picture(
        video, [&](const BgraImage& image) { return cursorNear(image, at); }, 200, &errors);
    ASSERT_EQ(image.width(), 1920) << errors;
    EXPECT_TRUE(cursorNear(image, at)) << "no cursor at " << std::optional(at);
    if (previous) {
      EXPECT_FALSE(cursorNear(image, *previous)) << "a cursor still at " << previous;
    }
    EXPECT_TRUE(showsWitness(image));
    previous = at;
  }
}

TEST_F(GnomeStreams, APlayerShowsTheStillScreenAtOnce) {
  auto asked = std::chrono::steady_clock::now();
  std::string errors;
  BgraImage image = liveDecodedPicture(
      "http://127.0.0.1:" + std::to_string(kHostPort) + "/screen.mp4", 1920, 1080, errors);
  ASSERT_EQ(image.width(), 1920) << errors;
  EXPECT_TRUE(showsWitness(image));
  std::cout << "[ MEASURE  ] ffmpeg decoded the first picture of a still screen after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - asked)
                   .count()
            << " ms" << std::endl;
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
  PointerPosition at = movePointerTo(480, 270);
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

  // Whatever "screen=2" says: it only chooses when the pointer is on no screen at all.
  ASSERT_NO_FATAL_FAILURE(expectStreamsFollowToTheSecondScreen(at, "/screen.mjpg?screen=2"));

  monitor.closeInput();
  EXPECT_EQ(monitor.waitForExit(30s), 0) << monitor.output();
  EXPECT_TRUE(blockOf(1)) << host_->output();
}

} // namespace
} // namespace tovel::test
