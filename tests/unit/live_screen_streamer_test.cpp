#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "mp4/live_screen_streamer.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/virtual_desktop.h"
#include "support/threads.h"

namespace tovel {
namespace {

struct LiveScreenStreamerTest : ::testing::Test {
  ManualClock clock;
  VirtualDesktop desktop{clock};
  MemoryLog log;
  asio::io_context io;
  H264EncoderSettings small{.width = 320, .height = 192};
};

TEST_F(LiveScreenStreamerTest, EveryEncodedFrameTakesTheNextSequenceNumberWithOrWithoutClients) {
  LiveScreenStreamer streamer(desktop, log, io, small);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Stream configured with display: " +
                                                       desktop.screens()[0].description,
                                                   "Compression session created successfully"}));
  EXPECT_EQ(streamer.sequenceNumber(), 1u);
  for (int i = 0; i < 3; ++i)
    streamer.handleEncodedFrame(EncodedFrame{{0, 0, 0, 1, 0x65}, i == 0, 10.0 + i / 60.0});
  EXPECT_EQ(streamer.sequenceNumber(), 4u);
  streamer.handleEncodedFrame(EncodedFrame{{}, false, 11.0}); // nothing made: no number used
  EXPECT_EQ(streamer.sequenceNumber(), 4u);
  // Each fragment's capture time is kept for measuring delays, and only for fragments made.
  EXPECT_EQ(streamer.captureTimeOf(1), 10.0);
  EXPECT_EQ(streamer.captureTimeOf(3), 10.0 + 2 / 60.0);
  EXPECT_EQ(streamer.captureTimeOf(4), std::nullopt);
  EXPECT_EQ(streamer.captureTimeOf(0), std::nullopt);
  io.run(); // the fragments reach no client, and nothing breaks
}

TEST_F(LiveScreenStreamerTest, StartingTwiceCapturesOnceAndNoDisplayCapturesNothing) {
  {
    LiveScreenStreamer streamer(desktop, log, io, small);
    streamer.startStreaming();
    streamer.startStreaming();
    EXPECT_TRUE(log.contains("Streaming is already active."));
    EXPECT_EQ(test::captureThreads(), 1);
  }
  EXPECT_EQ(test::captureThreads(), 0);
  log.clear();
  desktop.setMouseLocation(Point{-500, -500});
  LiveScreenStreamer streamer(desktop, log, io, small);
  streamer.startStreaming();
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"No display found under cursor.",
                                                   "Compression session created successfully",
                                                   "Stream started successfully"}));
  EXPECT_TRUE(streamer.isStreaming());
  EXPECT_EQ(test::captureThreads(), 0);
}

} // namespace
} // namespace tovel
