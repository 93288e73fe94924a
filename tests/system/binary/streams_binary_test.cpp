#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XRes.h>

#include "server/responses.h"
#include "support/host_binary.h"
#include "support/mjpeg_reader.h"
#include "support/mp4_stream_reader.h"
#include "support/pictures.h"
#include "support/process.h"
#include "support/test_client.h"
#include "support/threads.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

// The real program's streams of a 1920 x 1080 X screen.
class StreamsBinary : public ::testing::Test {
protected:
  // Starts the host once the shell command has set up the screen.
  void start(const std::string& screen) {
    ASSERT_TRUE(server_.running());
    server_.run(screen);
    host_ = startHostBinary(TOVEL_HOST_BINARY, server_.environment());
    ASSERT_TRUE(host_);
  }

  XvfbServer server_;
  std::unique_ptr<ChildProcess> host_;
};

TEST_F(StreamsBinary, MjpegFramesShowWhatIsOnTheXScreen) {
  ASSERT_NO_FATAL_FAILURE(start("xsetroot -solid '#00c000'"));
  TestClient client(kHostPort);
  client.send("GET /screen.mjpg HTTP/1.1\r\n\r\n");
  MjpegReader reader(client);
  ASSERT_EQ(reader.readHead(), kMjpegStreamHead);
  auto jpeg = reader.readFrame();
  ASSERT_TRUE(jpeg);
  BgraImage image = decodeJpeg(*jpeg);
  ASSERT_EQ(image.width(), 480);
  ASSERT_EQ(image.height(), 270);
  EXPECT_TRUE(nearColour(averageColour(image, 100, 100), 0, 192, 0));

  // A red window at (800, 400) of 400 x 300 appears a quarter of that size, in its place.
  ChildProcess window(TOVEL_X_WITNESS,
                      {"--title", "Red", "--geometry", "800,400,400,300", "--colour", "ff0000"},
                      ChildProcess::Input::emptyFile, server_.environment());
  ASSERT_TRUE(window.waitForOutput("ready", 10s));
  bool seen = false;
  for (int i = 0; i < 60 && !seen; ++i) {
    jpeg = reader.readFrame();
    ASSERT_TRUE(jpeg);
    image = decodeJpeg(*jpeg);
    seen = nearColour(averageColour(image, 250, 140), 255, 0, 0);
  }
  EXPECT_TRUE(seen) << "the window never showed in the stream";
  EXPECT_TRUE(nearColour(averageColour(image, 150, 140), 0, 192, 0));
  EXPECT_TRUE(nearColour(averageColour(image, 330, 140), 0, 192, 0));

  // On a still screen the same frame comes again, until the pointer's marker moves.
  auto still = reader.readFrame();
  ASSERT_TRUE(still);
  jpeg = reader.readFrame();
  ASSERT_EQ(jpeg, still);
  server_.run("xdotool mousemove 100 100");
  for (int i = 0; i < 60 && jpeg == still; ++i)
    jpeg = reader.readFrame();
  EXPECT_NE(jpeg, still) << "the marker never moved";
}

// The first picture a new player of the MP4 stream shows, as 1920 x 1080 BGRA: ffmpeg reading
// the stream live, which holds frames back and would measure the frame rate first, so on a still
// screen it needs the stream to go on without a change.
BgraImage firstPicture() {
  std::string errors;
  BgraImage image = liveDecodedPicture(
      "http://127.0.0.1:" + std::to_string(kHostPort) + "/screen.mp4", 1920, 1080, errors);
  EXPECT_EQ(image.width(), 1920) << errors;
  return image;
}

// Whether a pixel of the 24 x 24 square at (x, y) is far from the background green: the cursor.
bool cursorNear(const BgraImage& image, int x, int y) {
  if (image.width() == 0)
    return false;
  for (int dy = -12; dy < 12; ++dy)
    for (int dx = -12; dx < 12; ++dx)
      if (!nearColour(averageColour(image, x + dx, y + dy, 0), 0, 160, 0))
        return true;
  return false;
}

// Server resources of one type (e.g. "DamageExt") held by all its clients together.
int resourcesOfType(Display* display, const char* type) {
  Atom wanted = XInternAtom(display, type, False);
  int clients = 0, total = 0;
  XResClient* list = nullptr;
  if (!XResQueryClients(display, &clients, &list))
    return -1;
  for (int i = 0; i < clients; ++i) {
    int types = 0;
    XResType* counts = nullptr;
    if (XResQueryClientResources(display, list[i].resource_base, &types, &counts)) {
      for (int t = 0; t < types; ++t)
        total += counts[t].resource_type == wanted ? int(counts[t].count) : 0;
      XFree(counts);
    }
  }
  XFree(list);
  return total;
}

TEST_F(StreamsBinary, TheStreamsShareOneCaptureAndAPlayerShowsTheCursorOnAStillScreen) {
  ASSERT_NO_FATAL_FAILURE(start("xsetroot -solid '#00a000'; xdotool mousemove 500 400"));
  {
    Mp4StreamReader video(kHostPort);
    TestClient follow(kHostPort);
    follow.send("GET /screen.mjpg?screen=true HTTP/1.1\r\n\r\n");
    ASSERT_EQ(follow.read(kFollowCaptureStreamHead.size(), 30s), kFollowCaptureStreamHead);
    MjpegReader pictures(follow);
    ASSERT_TRUE(pictures.readFrame(30s));
    ASSERT_TRUE(video.waitForFragments(1)) << video.error();
    EXPECT_EQ(threadsNamed("tovel-capture", std::to_string(host_->pid())), 1);
    EXPECT_EQ(resourcesOfType(server_.probe(), "DamageExt"), 1);
    // The capture's segments come from its small pool, whatever the number of subscribers.
    int segments = resourcesOfType(server_.probe(), "ShmSeg");
    EXPECT_GE(segments, 1);
    EXPECT_LE(segments, 8);
  }

  BgraImage image = firstPicture();
  EXPECT_TRUE(cursorNear(image, 500, 400));
  EXPECT_FALSE(cursorNear(image, 1400, 800));
  // The pointer moves over a screen that does not change otherwise; the next client sees it
  // there.
  server_.run("xdotool mousemove 1400 800");
  image = firstPicture();
  EXPECT_TRUE(cursorNear(image, 1400, 800));
  EXPECT_FALSE(cursorNear(image, 500, 400));
  EXPECT_TRUE(nearColour(averageColour(image, 960, 100, 10), 0, 160, 0));
}

} // namespace
} // namespace tovel::test
