#include <algorithm>

#include "server/responses.h"
#include "system/gnome/gnome_host_fixture.h"

namespace tovel::test {
namespace {

constexpr const char* kSessionEnded =
    "GNOME ended the screen sharing (stopped from the top bar, or a shared monitor went away): "
    "sharing again. Quit Tovel Host to stop sharing.\n";
constexpr const char* kMutterLeft =
    "Mutter, GNOME's compositor, has left the session bus (it stopped or restarted): input and "
    "pictures wait until it is back.\n";
constexpr const char* kSharingAgain =
    "Screen sharing started again: input and pictures are back.\n";

// A stream of every kind the host has, asked for once and read on.
class RunningStreams {
public:
  RunningStreams() : single_(kHostPort), continuous_(kHostPort), video_(kHostPort) {
    single_.send("GET /screen.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(single_.read(kMjpegStreamHead.size(), 30s), kMjpegStreamHead);
    continuous_.send("GET /screen.mjpg?screen=true HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(continuous_.read(kFollowCaptureStreamHead.size(), 30s), kFollowCaptureStreamHead);
  }

  // The streams that do not come to show the witness of this colour, by name.
  std::string notShowing(WitnessColour colour) {
    std::string missing;
    for (auto [name, reader] : {std::pair{"single grabs", &singleFrames_},
                                std::pair{"continuous capture", &continuousFrames_}}) {
      bool shown = false;
      for (auto deadline = std::chrono::steady_clock::now() + 30s;
           !shown && std::chrono::steady_clock::now() < deadline;) {
        BgraImage image = reader->readImage(30s);
        if (image.width() == 0)
          break;
        shown = showsWitness(image, colour);
      }
      if (!shown)
        missing += std::string(" ") + name;
    }
    // From the newest fragment on: on a still screen no more may come.
    bool shown = showsWitness(
        newestMp4Picture(
            video_, [&](const BgraImage& image) { return showsWitness(image, colour); }, 1000),
        colour);
    if (!shown)
      missing += " mp4";
    return missing;
  }

private:
  TestClient single_;
  TestClient continuous_;
  Mp4StreamReader video_;
  MjpegReader singleFrames_{single_};
  MjpegReader continuousFrames_{continuous_};
};

// GNOME's session goes while a client holds keys and buttons and watches every kind of stream; the
// host says what happened, and without a new request from the client its streams show the screen
// again and its input reaches the windows, with nothing held down any more.
class GnomeSessionChange : public GnomeHostTest {
protected:
  void expectSharingAgain(const std::function<void()>& change, const std::string& told) {
    pointerOverWitness();
    RunningStreams streams;
    ASSERT_EQ(streams.notShowing(kWitnessColour), "");
    post("/keydown", R"({"key":"shift"})");
    post("/mousedown", R"({"button":"left"})");

    ASSERT_NO_FATAL_FAILURE(change());
    ASSERT_TRUE(host_->waitForOutput(told, 30s)) << host_->output();
    witness_.reset();
    ASSERT_NO_FATAL_FAILURE(startWitness(kOtherWitnessColour));
    EXPECT_EQ(streams.notShowing(kOtherWitnessColour), "") << host_->output();

    pointerOverWitness();
    // The first key gives the session its keyboard.
    for (int tries = 0; tries < 10 && !witness_->waitForOutput("keyboard_enter\n", 3s); ++tries) {
      post("/keydown", R"({"key":"a"})");
      post("/keyup", R"({"key":"a"})");
    }
    std::size_t from = witnessLines().size();
    post("/keydown", R"({"key":"a"})");
    post("/keyup", R"({"key":"a"})");
    // Their presses went with the old session: these let go of nothing.
    post("/keyup", R"({"key":"shift"})");
    post("/mouseup", R"({"button":"left"})");
    post("/click", R"({"button":"left"})");
    const std::string expected =
        "key keysym=a state=pressed; key keysym=a state=released; "
        "button button=272 state=pressed; button button=272 state=released";
    EXPECT_EQ(waitForEvents(from, {"key ", "button "}, expected), expected) << host_->output();
  }
};

// GNOME closes the session when the person stops sharing from the top bar, and when a monitor it
// records goes away. (A program cannot stop another's session: Mutter refuses.)
TEST_F(GnomeSessionChange, WhenGnomeEndsTheSessionTheHostSharesAgain) {
  expectSharingAgain(
      [&] {
        ChildProcess monitor(TOVEL_GNOME_VIRTUAL_MONITOR, {"--size", "1024x768"},
                             ChildProcess::Input::pipe, session_->environment());
        ASSERT_TRUE(monitor.waitForOutput("ready 1024x768\n", 30s)) << monitor.output();
        ASSERT_TRUE(host_->waitForOutput("Screen: Meta-1 ", 30s)) << host_->output();
        monitor.closeInput();
        EXPECT_EQ(monitor.waitForExit(30s), 0) << monitor.output();
      },
      kSessionEnded);
}

TEST_F(GnomeSessionChange, WhenMutterRestartsTheHostSharesAgain) {
  expectSharingAgain(
      [&] {
        ASSERT_TRUE(session_->restartCompositor()) << session_->log();
        ASSERT_TRUE(host_->waitForOutput(kMutterLeft, 30s)) << host_->output();
      },
      kSharingAgain);
}

} // namespace
} // namespace tovel::test
