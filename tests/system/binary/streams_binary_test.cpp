#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XRes.h>

#include "support/threads.h"
#include "support/witness_host_test.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

// The first picture a new player of the MP4 stream shows, as 1920 x 1080 BGRA, checked to have
// the cursor at `at` and not at `left`: ffmpeg reading the stream live, which holds frames back
// and would measure the frame rate first, so on a still screen it needs the stream to go on
// without a change.
BgraImage firstPictureWithCursor(PointerPosition at, PointerPosition left) {
  std::string errors;
  BgraImage image = liveDecodedPicture(
      "http://127.0.0.1:" + std::to_string(kHostPort) + "/screen.mp4", 1920, 1080, errors);
  EXPECT_EQ(image.width(), 1920) << errors;
  EXPECT_TRUE(cursorNear(image, at)) << "no cursor at " << std::optional(at);
  EXPECT_FALSE(cursorNear(image, left)) << "a cursor still at " << std::optional(left);
  return image;
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

// The real program's streams of a 1920 x 1080 X screen in the witness's colour (cursorNear looks
// for anything else).
TEST(StreamsBinary, MjpegShowsTheScreenTheStreamsShareOneCaptureAndPlayersShowTheCursor) {
  XvfbServer server;
  ASSERT_TRUE(server.running());
  server.run("xsetroot -solid '#20a060'; xdotool mousemove 500 400");
  auto host = startHostBinary(TOVEL_HOST_BINARY, server.environment());
  ASSERT_TRUE(host);
  {
    Mp4StreamReader video(kHostPort);
    TestClient follow(kHostPort);
    follow.send("GET /screen.mjpg?screen=true HTTP/1.1\r\n\r\n");
    ASSERT_EQ(follow.read(kFollowCaptureStreamHead.size(), 30s), kFollowCaptureStreamHead);
    MjpegReader pictures(follow);
    ASSERT_TRUE(pictures.readFrame(30s));
    ASSERT_TRUE(video.waitForFragments(1)) << video.error();
    EXPECT_EQ(threadsNamed("tovel-capture", std::to_string(host->pid())), 1);
    EXPECT_EQ(resourcesOfType(server.probe(), "DamageExt"), 1);
    // The capture's segments come from its small pool, whatever the number of subscribers.
    int segments = resourcesOfType(server.probe(), "ShmSeg");
    EXPECT_GE(segments, 1);
    EXPECT_LE(segments, 8);
  }

  firstPictureWithCursor({500, 400}, {1400, 800});

  TestClient client(kHostPort);
  client.send("GET /screen.mjpg HTTP/1.1\r\n\r\n");
  ASSERT_EQ(readHead(client, 5s), kMjpegStreamHead);
  MjpegReader reader(client);
  // An empty image, with the reader's failure, when a frame does not come whole.
  BgraImage image = reader.readImage();
  ASSERT_EQ(image.width(), 480);
  ASSERT_EQ(image.height(), 270);
  EXPECT_TRUE(isWitnessColour(averageColour(image, 100, 100)));

  // A red window at (800, 400) of 400 x 300 appears a quarter of that size, in its place.
  ChildProcess window(TOVEL_X_WITNESS,
                      {"--title", "Red", "--geometry", "800,400,400,300", "--colour", "ff0000"},
                      ChildProcess::Input::emptyFile, server.environment());
  ASSERT_TRUE(window.waitForOutput("ready", 10s));
  bool seen = false;
  for (int i = 0; i < 60 && !seen; ++i) {
    image = reader.readImage();
    ASSERT_EQ(image.width(), 480);
    seen = nearColour(averageColour(image, 250, 140), 255, 0, 0);
  }
  EXPECT_TRUE(seen) << "the window never showed in the stream";
  EXPECT_TRUE(isWitnessColour(averageColour(image, 150, 140)));
  EXPECT_TRUE(isWitnessColour(averageColour(image, 330, 140)));

  // On a still screen the same frame comes again, until the pointer's marker moves.
  auto still = reader.readFrame();
  ASSERT_TRUE(still);
  auto jpeg = reader.readFrame();
  ASSERT_EQ(jpeg, still);
  server.run("xdotool mousemove 1400 800");
  for (int i = 0; i < 60 && jpeg == still; ++i)
    jpeg = reader.readFrame();
  EXPECT_NE(jpeg, still) << "the marker never moved";
  // The pointer has moved over a screen that is still again; the next player sees it there.
  image = firstPictureWithCursor({1400, 800}, {500, 400});
  EXPECT_TRUE(isWitnessColour(averageColour(image, 960, 100, 10)));
}

} // namespace
} // namespace tovel::test
