#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XRes.h>

#include "server/responses.h"
#include "support/commands.h"
#include "support/host_binary.h"
#include "support/mjpeg_reader.h"
#include "support/mp4_stream_reader.h"
#include "support/pictures.h"
#include "support/threads.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

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
    if (!XResQueryClientResources(display, list[i].resource_base, &types, &counts))
      continue;
    for (int t = 0; t < types; ++t)
      if (counts[t].resource_type == wanted)
        total += int(counts[t].count);
    XFree(counts);
  }
  XFree(list);
  return total;
}

TEST(Mp4Binary, TheStreamsShareOneCaptureAndAPlayerShowsTheCursorOnAStillScreen) {
  XvfbServer server;
  ASSERT_TRUE(server.running());
  server.run("xsetroot -solid '#00a000'; xdotool mousemove 500 400");
  Display* probe = XOpenDisplay(server.display().c_str());
  ASSERT_NE(probe, nullptr);
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
    EXPECT_EQ(resourcesOfType(probe, "DamageExt"), 1);
    // The capture's segments come from its small pool, whatever the number of subscribers.
    int segments = resourcesOfType(probe, "ShmSeg");
    EXPECT_GE(segments, 1);
    EXPECT_LE(segments, 8);
  }
  XCloseDisplay(probe);

  BgraImage image = firstPicture();
  EXPECT_TRUE(cursorNear(image, 500, 400));
  EXPECT_FALSE(cursorNear(image, 1400, 800));
  // The pointer moves over a screen that does not change otherwise; the next client sees it
  // there.
  server.run("xdotool mousemove 1400 800");
  image = firstPicture();
  EXPECT_TRUE(cursorNear(image, 1400, 800));
  EXPECT_FALSE(cursorNear(image, 500, 400));
  EXPECT_TRUE(nearColour(averageColour(image, 960, 100, 10), 0, 160, 0));
}

} // namespace
} // namespace tovel::test
