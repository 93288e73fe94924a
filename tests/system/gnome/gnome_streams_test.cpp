#include "system/gnome/gnome_host_fixture.h"

namespace tovel::test {
namespace {

using GnomeStreams = GnomeHostTest;

TEST_F(GnomeStreams, MjpegStreamsShowTheScreen) {
  ASSERT_EQ(movePointerTo(480, 270), (PointerPosition{480, 270}));
  expectMjpegPictures(
      [](const BgraImage& image, Rect) { return showsWitness(image) ? "" : "not the witness"; });
}

// Without a session manager (WirePlumber ends at once when it starts before PipeWire) nothing links
// the host's streams to the screen cast: the host's first pictures, which SetUp waits for, come
// all the same.
class GnomeStreamsUnmanaged : public GnomeHostTest {
protected:
  static void SetUpTestSuite() { startSession(GnomeSession::Options{.sessionManager = false}); }
};

TEST_F(GnomeStreamsUnmanaged, TheHostLinksItsOwnStream) {
  EXPECT_NE(host_->output().find("The screen cast of Meta-0 brought no picture in 3 s (nothing "
                                 "linked its stream: no PipeWire session manager?): connecting to "
                                 "it again and linking it itself.\n"),
            std::string::npos)
      << host_->output();
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
