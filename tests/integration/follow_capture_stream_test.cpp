#include <gtest/gtest.h>

#include "mjpeg/follow_capture_stream.h"
#include "server/responses.h"
#include "support/host_fixture.h"
#include "support/mjpeg_reader.h"
#include "support/threads.h"
#include "support/wait.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

class FollowCaptureStream : public HostFixture {
protected:
  void SetUp() override {
    HostFixture::SetUp();
    onLoop([&] { streams.install(host->router().handlers()); });
    // The host's clock stands still unless moved. Run four times faster than real time, it
    // admits every frame the capture makes (about nine a second), and the picture changes with it.
    ticker.emplace(clock);
  }

  void request(TestClient& client, const std::string& target) {
    client.send("GET " + target + " HTTP/1.1\r\nHost: h\r\n\r\n");
    // The head with its extra CR; the first chunk must follow it directly.
    EXPECT_EQ(client.read(kFollowCaptureStreamHead.size()), kFollowCaptureStreamHead);
  }
  static BgraImage readFrame(TestClient& client) { return MjpegReader(client).readImage(10s); }

  FollowCaptureStreams streams{desktop, log};
};

TEST_F(FollowCaptureStream, HeadThenJpegPartsOfTheSizeTheOptionsGive) {
  const std::tuple<const char*, int, int> cases[] = {
      {"/screen.mjpg?follow=true&DISABLED", 800, 600},
      // The whole 1920 x 1080 display fitted into 1.5 x 800 x 600.
      {"/screen.mjpg?screen=true", 1200, 675},
      // Twice the follow size, enlarged since the display has one pixel per point.
      {"/screen.mjpg?follow=true&DISABLED&highres=true", 1600, 1200},
      {"/screen.mjpg?screen=true&size=640x480&quality=low", 960, 540}};
  for (auto [target, width, height] : cases) {
    TestClient client(port());
    request(client, target);
    BgraImage image = readFrame(client);
    EXPECT_EQ(image.width(), width) << target;
    EXPECT_EQ(image.height(), height) << target;
  }
}

TEST_F(FollowCaptureStream, ShowsWhatIsUnderThePointerOnEveryDisplay) {
  // The pointer in the middle of a red window, a green one near the top-left corner.
  desktop.setWindows({window(1, Rect{860, 440, 200, 200}, 0xffff0000),
                      window(2, Rect{20, 40, 100, 100}, 0xff00ff00)});
  pointAt(960, 540);
  TestClient client(port());
  request(client, "/screen.mjpg?follow=true&DISABLED");
  BgraImage image = readFrame(client);
  EXPECT_TRUE(isRed(averageColour(image, 330, 350)));
  EXPECT_FALSE(isRed(averageColour(image, 100, 100)));

  // Near the corner the rectangle stops at the display's edges, with the green window at its
  // own place. A frame or two made before the move may still come.
  pointAt(60, 60);
  bool seen = false;
  for (int i = 0; i < 6 && !seen; ++i)
    seen = isGreen(averageColour(readFrame(client), 70, 100));
  EXPECT_TRUE(seen);
  client.close();

  // On a display beside the primary one, the pointer is in the middle of the frame too.
  desktop.setScreens({Screen{1, Rect{0, 0, 1920, 1080}, 1.0, "left"},
                      Screen{2, Rect{1920, 0, 1280, 1024}, 1.0, "right"}});
  desktop.setWindows({window(1, Rect{2460, 468, 200, 200}, 0xffff0000)});
  desktop.setMouseLocation(Point{2560, 512});
  TestClient second(port());
  request(second, "/screen.mjpg?follow=true&DISABLED");
  image = readFrame(second);
  EXPECT_TRUE(isRed(averageColour(image, 330, 350)));
  EXPECT_FALSE(isRed(averageColour(image, 100, 100)));
}

TEST_F(FollowCaptureStream, AStillScreenShowsOnceAndADepartedClientEndsTheCapture) {
  // With the clock still, nothing on the virtual screen moves.
  ticker.reset();
  int before = captureThreads();
  {
    TestClient client(port());
    request(client, "/screen.mjpg?screen=true");
    EXPECT_EQ(readFrame(client).width(), 1200);
    // The capture keeps looking, finds nothing new, and nothing is sent.
    std::uint64_t checks = desktop.pictureChecks();
    ASSERT_TRUE(waitUntil([&] { return desktop.pictureChecks() >= checks + 5; }));
    EXPECT_TRUE(client.staysSilent(0ms));
    EXPECT_EQ(streams.liveStreams().at(0).framesEncoded, 1u);
    EXPECT_EQ(captureThreads(), before + 1);
    // The next change is the next frame.
    clock.advance(1);
    EXPECT_EQ(readFrame(client).width(), 1200);
  }
  // Noticed although no frame is being sent.
  EXPECT_TRUE(waitUntil([&] { return captureThreads() == before; }));
  EXPECT_TRUE(streams.liveStreams().empty());
  EXPECT_TRUE(log.waitFor("Connection cancelled", 5s));
}

TEST_F(FollowCaptureStream, ASlowClientCostsTheHostAtMostTwoParts) {
  // A client with a small receive window that reads nothing: the host's sends back up after a
  // few parts.
  TestClient client(port(), 8192);
  request(client, "/screen.mjpg?follow=true&DISABLED&highres=true");
  auto stats = [&] {
    auto live = streams.liveStreams();
    return live.empty() ? FollowStreamStats{} : live.front();
  };
  // Frames of a screen that changes with the clock go on being made; once the network takes no
  // more, newer parts replace the waiting one (or the host holds more than it should, which needs
  // no further waiting).
  ASSERT_TRUE(waitUntil(
      [&] {
        FollowStreamStats s = stats();
        return s.framesReplaced >= 10 || s.heldBytes > 4 * s.largestPart;
      },
      100s));
  FollowStreamStats slow = stats();
  EXPECT_LE(slow.peakHeldBytes, 2 * slow.largestPart)
      << slow.framesEncoded << " parts made, " << slow.framesSent << " sent";

  // Once it reads again it gets whole frames (first those the kernel holds), and new ones go out.
  for (int read = 0; stats().framesSent < slow.framesSent + 3 && read < 500; ++read)
    ASSERT_EQ(readFrame(client).width(), 1600);
  EXPECT_GE(stats().framesSent, slow.framesSent + 3);
}

TEST_F(FollowCaptureStream, NoDisplayUnderThePointerLeavesTheConnectionOpenAndSilent) {
  desktop.setMouseLocation(Point{-500, -500});
  int before = captureThreads();
  TestClient client(port());
  request(client, "/screen.mjpg?screen=true");
  EXPECT_TRUE(log.waitFor("No display found under cursor.", 5s));
  // Nothing was started that could send later.
  EXPECT_TRUE(client.staysSilent(0ms));
  EXPECT_EQ(captureThreads(), before);
  EXPECT_TRUE(streams.liveStreams().empty());
}

} // namespace
} // namespace tovel::test
