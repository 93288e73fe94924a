#include <gtest/gtest.h>

#include "mp4/box_writer.h"
#include "support/commands.h"
#include "support/host_fixture.h"
#include "support/mp4_stream_reader.h"
#include "support/pictures.h"
#include "support/threads.h"

namespace tovel::test {
namespace {

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

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port()) + "/screen.mp4"; }
  LiveScreenStreamer& streamer() { return *host->streamer(); }
  // ffmpeg decodes every frame of the bytes a player read without an error line.
  static void expectAllDecoded(const std::vector<std::uint8_t>& stream, std::size_t frames) {
    std::string errors;
    EXPECT_EQ(decodedFrames(stream, errors), int(frames));
    EXPECT_EQ(errors, "") << "ffmpeg reported errors";
  }
};

TEST_F(Mp4Stream, FfmpegPlaysTheStreamAndSeesTheScreen) {
  // Codec and profile are in the head the late client checks; the size in the decoded picture.
  auto decode = runCommand("timeout 90 ffmpeg -v error -nostats -progress pipe:1 -seekable 0 -i " + url() +
                           " -frames:v 120 -f null -");
  EXPECT_EQ(decode.status, 0);
  EXPECT_EQ(decode.errors, "") << "ffmpeg reported errors";
  EXPECT_EQ(keyValues(decode.output)["frame"], "120");

  // A decoded picture shows the red window in its place, in its colour.
  Mp4StreamReader reader(port());
  ASSERT_TRUE(reader.waitForFragments(1)) << reader.error();
  std::string errors;
  BgraImage image = firstDecodedPicture(reader.stream(), 1920, 1080, errors);
  ASSERT_EQ(image.width(), 1920) << errors;
  EXPECT_TRUE(isRed(averageColour(image, 1000, 600, 20)));
  EXPECT_FALSE(isRed(averageColour(image, 600, 600, 20)));
}

TEST_F(Mp4Stream, ALateClientStartsAtAKeyFrameAndGetsTheSameBytesAsTheOthers) {
  Mp4StreamReader first(port());
  ASSERT_TRUE(first.waitForFragments(1)) << first.error();
  // The full answer: chunked, with the codec a page needs, and no length.
  std::string codec = "avc1.4d402a";
  EXPECT_EQ(first.head(), "HTTP/1.1 200 OK\r\nContent-Type: video/mp4; codecs=\"" + codec +
                              "\"\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n"
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

  auto joined = late.fragments();
  EXPECT_TRUE(joined.front().keyFrame);
  EXPECT_GT(joined.front().sequenceNumber, 20u);
  // The same fragments but for the decode time: each client's timeline starts at 0, so that a
  // player that starts at time 0 shows its first picture at once.
  auto withoutTime = [](std::vector<std::uint8_t> bytes) {
    std::fill_n(bytes.begin() + kMoofDecodeTimeOffset, 8, 0);
    return bytes;
  };
  auto earlier = first.fragments();
  EXPECT_EQ(earlier.front().decodeTime, 0u);
  EXPECT_EQ(joined.front().decodeTime, 0u);
  std::size_t same = 0;
  for (const Mp4Fragment& fragment : joined)
    for (const Mp4Fragment& other : earlier)
      if (other.sequenceNumber == fragment.sequenceNumber) {
        EXPECT_EQ(withoutTime(other.bytes), withoutTime(fragment.bytes)) << fragment.sequenceNumber;
        EXPECT_GT(other.decodeTime, fragment.decodeTime);
        ++same;
      }
  EXPECT_GT(same, 0u);
  // Numbered one after the other, each starting where the one before ended: a browser takes a
  // jump for a break in the stream.
  for (std::size_t i = 1; i < joined.size(); ++i) {
    EXPECT_EQ(joined[i].sequenceNumber, joined[i - 1].sequenceNumber + 1);
    EXPECT_EQ(joined[i].decodeTime, joined[i - 1].decodeTime + kMediaTimescale / 60);
  }
  // What the late client got plays from its first fragment on.
  expectAllDecoded(late.stream(), joined.size());
}

TEST_F(Mp4Stream, AStillScreenGivesAPictureAtOnceAndKeepsTheStreamGoing) {
  ticker.reset();
  Mp4StreamReader first(port());
  ASSERT_TRUE(first.waitForFragments(1)) << first.error();
  EXPECT_TRUE(first.fragments().front().keyFrame);

  // A player reading the stream live decodes a picture, though it holds frames back and would
  // measure the frame rate over a run of frames first.
  for (std::string options : {"", "-probesize 32 -analyzeduration 0 -threads 1 "}) {
    auto decode = runCommand("timeout 60 ffmpeg -v error -nostats -progress pipe:1 -seekable 0 " +
                             options + "-i " + url() + " -frames:v 1 -f null -");
    EXPECT_EQ(decode.status, 0) << options << decode.errors;
    EXPECT_EQ(keyValues(decode.output)["frame"], "1") << options;
  }

  // Another client gets the picture at once, then again while nothing changes: as frames that
  // only refer to the one before.
  Mp4StreamReader second(port());
  ASSERT_TRUE(second.waitForFragments(Mp4Clients::kStartFragments + 1)) << second.error();
  std::vector<Mp4Fragment> fragments = second.fragments();
  EXPECT_TRUE(fragments[0].keyFrame);
  for (std::size_t i = 1; i < fragments.size(); ++i)
    EXPECT_FALSE(fragments[i].keyFrame) << i;
  second.close();
  expectAllDecoded(second.stream(), second.fragments().size());
}

// A client that stops reading while the screen keeps changing: what the host queues for it stays
// within the cap, overshot by no more than the fragment that crossed it, while the stream goes on.
TEST_F(Mp4Stream, AClientThatStopsReadingIsQueuedNoMoreThanTheCap) {
  ConnectionPtr connection;
  onLoop([&] {
    RouteHandler& route = host->router().handlers().mp4Stream;
    route = [&connection, original = route](const ConnectionPtr& c, const HttpRequest& r) {
      connection = c;
      original(c, r);
    };
  });
  TestClient slow(port(), 4096);
  slow.send(getRequest("/screen.mp4"));
  // Read on the loop, which sets it.
  ASSERT_TRUE(waitUntil([&] {
    bool routed = false;
    onLoop([&] { routed = connection != nullptr; });
    return routed;
  }));
  // The 1 MiB cap (written out: the figure the host must hold, not its constant), overshot by the
  // fragment that crossed it (a few kilobytes here).
  const std::size_t cap = 1024 * 1024, bound = cap + 256 * 1024;
  std::size_t peak = 0;
  auto queued = [&] { return peak = std::max(peak, connection->queuedBytes()); };
  const char* dropping = "Client too slow: its fragments are dropped until its next key frame";
  ASSERT_TRUE(waitUntil([&] { return log.contains(dropping) || queued() > bound; }, 120s));
  // And stays there while the stream goes on for everyone else.
  const std::uint32_t since = streamer().sequenceNumber();
  ASSERT_TRUE(waitUntil(
      [&] { return queued() > bound || streamer().sequenceNumber() > since + 30; }, 120s));
  EXPECT_LE(peak, bound) << "queued for a client that reads nothing";
  EXPECT_GT(peak, cap / 2) << "the client never fell behind";
}

TEST_F(Mp4Stream, CaptureRunsOnlyWhileThereAreClients) {
  EXPECT_FALSE(streamer().isStreaming());
  EXPECT_EQ(captureThreads(), 0);
  auto first = std::make_unique<Mp4StreamReader>(port());
  auto second = std::make_unique<Mp4StreamReader>(port());
  ASSERT_TRUE(first->waitForFragments(1) && second->waitForFragments(1));
  EXPECT_EQ(mp4Clients(), 2u);
  EXPECT_EQ(captureThreads(), 1);
  EXPECT_TRUE(log.contains("Streaming is already active."));

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
  EXPECT_EQ(log.lines().front(), "REQUEST: GET /screen.mp4 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

} // namespace
} // namespace tovel::test
