#include <gtest/gtest.h>

#include <functional>

#include "mjpeg/follow_capture_stream.h"
#include "support/host_fixture.h"
#include "support/mjpeg_reader.h"
#include "support/threads.h"

namespace tovel::test {
namespace {

// Both picture streams: the plain one and the one that follows the pointer (follow=true&DISABLED,
// screen=true), whose head ends with an extra CR that the first chunk must follow directly.
class MjpegStream : public HostFixture {
protected:
  void SetUp() override {
    HostFixture::SetUp();
    onLoop([&] { follow.install(host->router().handlers()); });
    // One plain red window on the desktop, nothing else in front.
    desktop.setWindows({window(7, Rect{800, 400, 400, 300}, 0xffff0000)});
  }

  // Opens a stream, checks its head and reads frames in the strict chunk framing.
  MjpegReader open(const std::string& target, std::string_view head = kMjpegStreamHead,
                   int receiveBuffer = 0) {
    client = std::make_unique<TestClient>(port(), receiveBuffer);
    client->send(getRequest(target));
    EXPECT_EQ(client->read(head.size()), head) << target;
    return MjpegReader(*client);
  }
  MjpegReader openFollowing(const std::string& target, int receiveBuffer = 0) {
    return open(target, kFollowCaptureStreamHead, receiveBuffer);
  }
  FollowStreamStats followStats() {
    auto live = follow.liveStreams();
    return live.empty() ? FollowStreamStats{} : live.front();
  }

  std::unique_ptr<TestClient> client;
  FollowCaptureStreams follow{desktop, log};
};

TEST_F(MjpegStream, SizeOptionsReachThePicture) {
  // The host's clock stands still unless moved. Run four times faster than real time, it admits
  // every frame the follow capture makes (about nine a second), and the picture changes with it.
  ticker.emplace(clock);
  // The 1920 x 1080 display fitted into each maximum; a swapped width and height would show.
  const std::tuple<const char*, int, int, const char*> cases[] = {
      {"/screen.mjpg?max=400x100", 178, 100, "Max: [400.0, 100.0]"},
      {"/screen.mjpg?max=100x400", 100, 56, "Max: [100.0, 400.0]"},
      {"/screen.mjpg?max=640", 640, 360, "Max: [640.0]"},
      {"/screen.mjpg?max=1000", 1000, 563, "Max: [1000.0]"},        // 562.5 rounds up
      {"/screen.mjpg?size=640x480x2&max=abc", 480, 270, "Max: []"}, // the default
      // Following: 800 x 600 around the pointer; the whole display fitted into 1.5 x 800 x 600;
      // twice the follow size, enlarged since the display has one pixel per point.
      {"/screen.mjpg?follow=true&DISABLED", 800, 600, nullptr},
      {"/screen.mjpg?screen=true", 1200, 675, nullptr},
      {"/screen.mjpg?follow=true&DISABLED&highres=true", 1600, 1200, nullptr},
      {"/screen.mjpg?screen=true&size=640x480&quality=low", 960, 540, nullptr}};
  for (auto [target, width, height, line] : cases) {
    BgraImage image = (line ? open(target) : openFollowing(target)).readImage(20s);
    EXPECT_EQ(image.width(), width) << target;
    EXPECT_EQ(image.height(), height) << target;
    if (line) {
      EXPECT_TRUE(log.contains(line)) << target;
      EXPECT_TRUE(log.contains(std::string("send ") + target)) << target;
    }
  }
  EXPECT_TRUE(log.contains("Size: [640.0, 480.0, 2.0]"));
}

TEST_F(MjpegStream, FollowModesCropAroundThePointer) {
  pointAt(1000, 550); // inside the red window, right of its middle
  MjpegReader stream = open("/screen.mjpg?follow=hd&quality=high");
  BgraImage image = stream.readImage(20s);
  // 800 x 480 points around the pointer from (600, 310), scaled by 0.6 to fit 480 x 480.
  ASSERT_EQ(image.width(), 480);
  ASSERT_EQ(image.height(), 288);
  auto at = [](const BgraImage& image, double x, double y) {
    return averageColour(image, int((x - 600) * 0.6), int((y - 310) * 0.6));
  };
  EXPECT_TRUE(isRed(at(image, 850, 650))); // the window spans x 800..1200, y 400..700
  EXPECT_FALSE(isRed(at(image, 650, 650)));

  // The region goes where the pointer goes.
  pointAt(300, 300);
  bool moved = false;
  for (int i = 0; i < 20 && !moved; ++i) {
    image = stream.readImage(20s);
    moved = image.width() == 480 && !isRed(at(image, 850, 650));
  }
  EXPECT_TRUE(moved) << "the region did not follow the pointer";
}

TEST_F(MjpegStream, FollowedWindowIsShownAtItsOwnSize) {
  pointAt(900, 500);
  MjpegReader stream = open("/screen.mjpg?window=true&max=1000");
  BgraImage image = stream.readImage(20s);
  ASSERT_EQ(image.width(), 400); // never enlarged past the window's own size
  ASSERT_EQ(image.height(), 300);
  EXPECT_TRUE(isRed(averageColour(image, 200, 200)));
  EXPECT_TRUE(log.contains("Max: [1000.0]"));

  // The window moves; the stream follows it there.
  desktop.setWindows({window(7, Rect{100, 100, 400, 300}, 0xffff0000)});
  pointAt(1500, 900);
  for (int i = 0; i < 5; ++i) {
    image = stream.readImage(20s);
    ASSERT_EQ(image.width(), 400);
    EXPECT_TRUE(isRed(averageColour(image, 200, 200)));
  }
}

TEST_F(MjpegStream, NoDisplayMeansARetryEverySecond) {
  desktop.setScreens({});
  open("/screen.mjpg");
  // Two retries, and nothing was sent for either.
  EXPECT_TRUE(log.waitForCount("send wait /screen.mjpg", 2, 5s));
  EXPECT_TRUE(client->staysSilent(0ms));
  EXPECT_EQ(host->mjpegStreams().liveStreams(), 1u);
}

TEST_F(MjpegStream, FollowingShowsWhatIsUnderThePointerOnEveryDisplay) {
  ticker.emplace(clock);
  // The pointer in the middle of a red window, a green one near the top-left corner.
  desktop.setWindows({window(1, Rect{860, 440, 200, 200}, 0xffff0000),
                      window(2, Rect{20, 40, 100, 100}, 0xff00ff00)});
  pointAt(960, 540);
  MjpegReader stream = openFollowing("/screen.mjpg?follow=true&DISABLED");
  BgraImage image = stream.readImage(10s);
  EXPECT_TRUE(isRed(averageColour(image, 330, 350)));
  EXPECT_FALSE(isRed(averageColour(image, 100, 100)));

  // Near the corner the rectangle stops at the display's edges, with the green window at its
  // own place. A frame or two made before the move may still come.
  pointAt(60, 60);
  bool seen = false;
  for (int i = 0; i < 6 && !seen; ++i)
    seen = isGreen(averageColour(stream.readImage(10s), 70, 100));
  EXPECT_TRUE(seen);

  // On a display beside the primary one, the pointer is in the middle of the frame too.
  desktop.setScreens({Screen{1, Rect{0, 0, 1920, 1080}, 1.0, "left"},
                      Screen{2, Rect{1920, 0, 1280, 1024}, 1.0, "right"}});
  desktop.setWindows({window(1, Rect{2460, 468, 200, 200}, 0xffff0000)});
  desktop.setMouseLocation(Point{2560, 512});
  image = openFollowing("/screen.mjpg?follow=true&DISABLED").readImage(10s);
  EXPECT_TRUE(isRed(averageColour(image, 330, 350)));
  EXPECT_FALSE(isRed(averageColour(image, 100, 100)));
}

TEST_F(MjpegStream, FollowingAStillScreenShowsOnceAndADepartedClientEndsTheCapture) {
  // With the clock still, nothing on the virtual screen moves.
  int before = captureThreads();
  MjpegReader stream = openFollowing("/screen.mjpg?screen=true");
  EXPECT_EQ(stream.readImage(10s).width(), 1200);
  // The capture keeps looking, finds nothing new, and nothing is sent.
  std::uint64_t checks = desktop.pictureChecks();
  ASSERT_TRUE(waitUntil([&] { return desktop.pictureChecks() >= checks + 5; }));
  EXPECT_TRUE(client->staysSilent(0ms));
  EXPECT_EQ(followStats().framesEncoded, 1u);
  EXPECT_EQ(captureThreads(), before + 1);
  // The next change is the next frame.
  clock.advance(1);
  EXPECT_EQ(stream.readImage(10s).width(), 1200);
  // Noticed although no frame is being sent.
  client.reset();
  EXPECT_TRUE(waitUntil([&] { return captureThreads() == before; }));
  EXPECT_TRUE(follow.liveStreams().empty());
  EXPECT_TRUE(log.waitFor("Connection cancelled", 5s));
}

TEST_F(MjpegStream, FollowingASlowClientCostsTheHostAtMostTwoParts) {
  ticker.emplace(clock);
  // A client with a small receive window that reads nothing: the host's sends back up after a
  // few parts.
  MjpegReader stream = openFollowing("/screen.mjpg?follow=true&DISABLED&highres=true", 8192);
  // Frames of a screen that changes with the clock go on being made; once the network takes no
  // more, newer parts replace the waiting one (or the host holds more than it should, which needs
  // no further waiting).
  ASSERT_TRUE(waitUntil(
      [&] {
        FollowStreamStats s = followStats();
        return s.framesReplaced >= 10 || s.heldBytes > 4 * s.largestPart;
      },
      100s));
  FollowStreamStats slow = followStats();
  EXPECT_LE(slow.peakHeldBytes, 2 * slow.largestPart)
      << slow.framesEncoded << " parts made, " << slow.framesSent << " sent";

  // Once it reads again it gets whole frames (first those the kernel holds), and new ones go out.
  for (int read = 0; followStats().framesSent < slow.framesSent + 3 && read < 500; ++read)
    ASSERT_EQ(stream.readImage(10s).width(), 1600);
  EXPECT_GE(followStats().framesSent, slow.framesSent + 3);
}

TEST_F(MjpegStream, FollowingNoDisplayUnderThePointerLeavesTheConnectionOpenAndSilent) {
  desktop.setMouseLocation(Point{-500, -500});
  int before = captureThreads();
  openFollowing("/screen.mjpg?screen=true");
  EXPECT_TRUE(log.waitFor("No display found under cursor.", 5s));
  // Nothing was started that could send later.
  EXPECT_TRUE(client->staysSilent(0ms));
  EXPECT_EQ(captureThreads(), before);
  EXPECT_TRUE(follow.liveStreams().empty());
}

// A client that resets its connection while the host is writing a picture ends only its own
// stream, of either kind or of the MP4 one; the next client of that stream gets whole pictures.
TEST_F(MjpegStream, AResetInTheMiddleOfAFrameEndsOnlyThatStream) {
  ticker.emplace(clock);
  const std::tuple<const char*, std::string_view, int, std::function<std::size_t()>> cases[] = {
      // target, what follows the head's empty line, chunks before the pictures, live streams
      {"/screen.mjpg", "", 0, [&] { return host->mjpegStreams().liveStreams(); }},
      {"/screen.mjpg?screen=true", "\r", 0, [&] { return follow.liveStreams().size(); }},
      {"/screen.mp4", "", 1, [&] { return mp4Clients(); }}, // its initialization segment
  };
  for (const auto& [target, afterHead, chunksBeforePictures, live] : cases) {
    SCOPED_TRACE(target);
    auto open = [&](TestClient& client) {
      client.send(getRequest(target));
      EXPECT_TRUE(readHead(client, 20s).starts_with("HTTP/1.1 200 OK\r\n"));
      EXPECT_EQ(client.read(afterHead.size(), 20s), afterHead);
      for (int i = 0; i < chunksBeforePictures; ++i)
        EXPECT_TRUE(readChunk(client, 20s));
    };
    {
      // A small window: the host is still writing the picture when the reset comes.
      TestClient breaker(port(), 4096);
      open(breaker);
      auto size = readChunkSize(breaker, 20s);
      ASSERT_TRUE(size);
      ASSERT_GT(*size, 1000u);
      ASSERT_EQ(breaker.read(500, 20s).size(), 500u);
      EXPECT_EQ(live(), 1u);
      breaker.reset();
    }
    ASSERT_TRUE(waitUntil([&] { return live() == 0; })) << live() << " streams still live";
    TestClient next(port());
    open(next);
    for (int picture = 0; picture < 2; ++picture)
      ASSERT_TRUE(readChunk(next, 20s)) << "picture " << picture;
    next.close();
    EXPECT_TRUE(waitUntil([&] { return live() == 0; }));
  }
}

} // namespace
} // namespace tovel::test
