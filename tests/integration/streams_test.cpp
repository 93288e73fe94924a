#include <gtest/gtest.h>

#include <functional>

#include "mjpeg/follow_capture_stream.h"
#include "mp4/box_writer.h"
#include "support/host_fixture.h"
#include "support/mjpeg_reader.h"
#include "support/mp4_stream_reader.h"
#include "support/threads.h"

namespace tovel::test {
namespace {

// The plain picture stream and the following one (follow=true&DISABLED, screen=true), whose head
// ends with an extra CR.
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
  // Four times faster than real time: every frame the follow capture makes is admitted.
  ticker.emplace(clock);
  // The 1920 x 1080 display fitted into each maximum; a swapped width and height would show.
  const std::tuple<const char*, int, int, const char*> cases[] = {
      {"/screen.mjpg?max=400x100", 178, 100, "Max: [400.0, 100.0]"},
      {"/screen.mjpg?max=1000", 1000, 563, "Max: [1000.0]"},        // 562.5 rounds up
      {"/screen.mjpg?size=640x480x2&max=abc", 480, 270, "Max: []"}, // the default
      // Following: 800 x 600 around the pointer; the whole display fitted into 1.5 x 800 x 600;
      // twice the follow size, enlarged since the display has one pixel per point.
      {"/screen.mjpg?follow=true&DISABLED", 800, 600, nullptr},
      {"/screen.mjpg?screen=true", 1200, 675, nullptr},
      {"/screen.mjpg?follow=true&DISABLED&highres=true", 1600, 1200, nullptr},
      {"/screen.mjpg?screen=true&size=640x480&quality=low", 960, 540, nullptr}};
  for (auto [target, width, height, line] : cases) {
    SCOPED_TRACE(target);
    BgraImage image = (line ? open(target) : openFollowing(target)).readImage(20s);
    EXPECT_EQ(std::pair(image.width(), image.height()), std::pair(width, height));
    EXPECT_TRUE(!line || log.contains(line));
    EXPECT_TRUE(!line || log.contains(std::string("send ") + target));
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
  EXPECT_TRUE(log.waitFor("Max: [1000.0]", 5s));
  for (int i = 0; i < 6; ++i) {
    BgraImage image = stream.readImage(20s);
    ASSERT_EQ(image.width(), 400); // never enlarged past the window's own size
    ASSERT_EQ(image.height(), 300);
    EXPECT_TRUE(isRed(averageColour(image, 200, 200)));
    // The window moves; the stream follows it there.
    if (i == 0) {
      desktop.setWindows({window(7, Rect{100, 100, 400, 300}, 0xffff0000)});
      pointAt(1500, 900);
    }
  }
}

// With no display the plain stream retries every second; with the pointer on no display the
// following one starts nothing. Neither sends a thing.
TEST_F(MjpegStream, WithoutADisplayTheStreamsStayOpenAndSilent) {
  desktop.setMouseLocation(Point{-500, -500});
  int before = captureThreads();
  openFollowing("/screen.mjpg?screen=true");
  EXPECT_TRUE(log.waitFor("No display found under cursor.", 5s));
  EXPECT_TRUE(client->staysSilent(0ms));
  EXPECT_EQ(captureThreads(), before);
  EXPECT_TRUE(follow.liveStreams().empty());
  desktop.setScreens({});
  open("/screen.mjpg");
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
  // Near the corner the rectangle stops at the display's edges (older frames may still come).
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
  // A small receive window and nothing read: the host's sends back up after a few parts.
  MjpegReader stream = openFollowing("/screen.mjpg?follow=true&DISABLED&highres=true", 8192);
  // Once the network takes no more, newer parts replace the waiting one (or the host holds more).
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

// A reset while a picture is being written ends only that stream (either MJPEG one or the MP4
// one); the next client of it gets whole pictures.
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

class Mp4Stream : public HostFixture {
protected:
  void SetUp() override {
    videoSettings = H264EncoderSettings{}; // the real stream: 1920 x 1080
    HostFixture::SetUp();
    desktop.setWindows({window(7, Rect{800, 400, 400, 300}, 0xffff0000)});
    pointAt(100, 100);
    // The virtual picture moves with the clock, which stands still unless moved.
    ticker.emplace(clock, 1.0 / 60, 10ms);
  }
  LiveScreenStreamer& streamer() { return *host->streamer(); }
  // ffmpeg decodes every frame of the bytes a player read without an error line.
  static void expectAllDecoded(const std::vector<std::uint8_t>& stream, std::size_t frames) {
    std::string errors;
    EXPECT_EQ(decodedFrames(stream, errors), int(frames));
    EXPECT_EQ(errors, "") << "ffmpeg reported errors";
  }
};

TEST_F(Mp4Stream, ALateClientStartsAtAKeyFrameAndGetsTheSameBytesAsTheOthers) {
  Mp4StreamReader first(port());
  ASSERT_TRUE(first.waitForFragments(1)) << first.error();
  // The full answer: chunked, with the codec a page needs, and no length.
  EXPECT_EQ(first.head(), "HTTP/1.1 200 OK\r\nContent-Type: video/mp4; codecs=\"avc1.4d402a\"\r\n"
                          "Connection: keep-alive\r\nTransfer-Encoding: chunked\r\n"
                          "Cache-Control: no-store\r\n\r\n");
  // Well into the stream, past its first key frame (frames come slowly under a sanitizer).
  ASSERT_TRUE(waitUntil([&] { return streamer().sequenceNumber() > 20; }, 120s));
  Mp4StreamReader late(port(), "Range: bytes=0-\r\n");
  ASSERT_TRUE(late.waitForFragments(10)) << late.error();
  EXPECT_EQ(late.head(), kMp4RangeAnswerHead);
  EXPECT_EQ(late.initialization(), first.initialization());
  late.close();
  first.close();
  EXPECT_TRUE(first.error().empty() && late.error().empty()) << first.error() << late.error();

  auto joined = late.fragments(), earlier = first.fragments();
  EXPECT_TRUE(joined.front().keyFrame);
  EXPECT_GT(joined.front().sequenceNumber, 20u);
  // The same fragments but for the decode time: each client's timeline starts at 0.
  EXPECT_EQ(earlier.front().decodeTime, 0u);
  EXPECT_EQ(joined.front().decodeTime, 0u);
  auto withoutTime = [](std::vector<std::uint8_t> bytes) {
    std::fill_n(bytes.begin() + kMoofDecodeTimeOffset, 8, 0);
    return bytes;
  };
  std::size_t same = 0;
  for (const Mp4Fragment& fragment : joined)
    for (const Mp4Fragment& other : earlier)
      if (other.sequenceNumber == fragment.sequenceNumber) {
        EXPECT_EQ(withoutTime(other.bytes), withoutTime(fragment.bytes)) << fragment.sequenceNumber;
        EXPECT_GT(other.decodeTime, fragment.decodeTime);
        ++same;
      }
  EXPECT_GT(same, 0u);
  // Numbered one after the other, each starting where the one before ended (no jump to a browser).
  for (std::size_t i = 1; i < joined.size(); ++i) {
    EXPECT_EQ(joined[i].sequenceNumber, joined[i - 1].sequenceNumber + 1);
    EXPECT_EQ(joined[i].decodeTime, joined[i - 1].decodeTime + kMediaTimescale / 60);
  }
  // What the late client got plays from its first fragment on, showing the red window in its
  // place, in its colour.
  expectAllDecoded(late.stream(), joined.size());
  std::string errors;
  BgraImage image = lastDecodedPicture(late.stream(), 1920, 1080, errors);
  ASSERT_EQ(image.width(), 1920) << errors;
  EXPECT_TRUE(isRed(averageColour(image, 1000, 600, 20)));
  EXPECT_FALSE(isRed(averageColour(image, 600, 600, 20)));
}

// On a still screen: the first fragments come at once, from one capture for all clients.
TEST_F(Mp4Stream, AStillScreenGivesAPictureAtOnceAndCaptureRunsOnlyWhileThereAreClients) {
  ticker.reset();
  EXPECT_FALSE(streamer().isStreaming());
  EXPECT_EQ(captureThreads(), 0);
  auto first = std::make_unique<Mp4StreamReader>(port());
  ASSERT_TRUE(first->waitForFragments(1)) << first->error();
  EXPECT_TRUE(first->fragments().front().keyFrame);
  EXPECT_EQ(log.lines().front(), "REQUEST: GET /screen.mp4 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  // A player reading live decodes a picture, though it holds frames back to measure the rate.
  for (std::string options : {"", "-probesize 32 -analyzeduration 0 -threads 1"}) {
    std::string errors, url = "http://127.0.0.1:" + std::to_string(port()) + "/screen.mp4";
    EXPECT_EQ(liveDecodedFrames(url, options, 1, errors), 1) << options << errors;
  }
  // Another client gets the picture at once, then frames that only refer to the one before.
  auto second = std::make_unique<Mp4StreamReader>(port());
  ASSERT_TRUE(second->waitForFragments(Mp4Clients::kStartFragments + 1)) << second->error();
  std::vector<Mp4Fragment> fragments = second->fragments();
  EXPECT_TRUE(fragments[0].keyFrame);
  for (std::size_t i = 1; i < fragments.size(); ++i)
    EXPECT_FALSE(fragments[i].keyFrame) << i;
  EXPECT_TRUE(waitUntil([&] { return mp4Clients() == 2; })); // the players have gone
  EXPECT_EQ(captureThreads(), 1);
  second->close();
  expectAllDecoded(second->stream(), second->fragments().size());
  // A client that goes is removed; the last one takes the capture with it.
  second.reset();
  ASSERT_TRUE(waitUntil([&] { return mp4Clients() == 1; }));
  EXPECT_TRUE(streamer().isStreaming());
  first.reset();
  ASSERT_TRUE(log.waitFor("Stream stopped: no client is left", 20s));
  EXPECT_FALSE(streamer().isStreaming());
  EXPECT_EQ(captureThreads(), 0);
  EXPECT_EQ(mp4Clients(), 0u);
  // The next one starts it again; sequence numbers go on.
  std::uint32_t next = streamer().sequenceNumber();
  Mp4StreamReader third(port());
  ASSERT_TRUE(third.waitForFragments(1)) << third.error();
  EXPECT_GE(third.fragments().front().sequenceNumber, next);
  EXPECT_EQ(captureThreads(), 1);
}

} // namespace
} // namespace tovel::test
