#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include <asio/io_context.hpp>

#include "common/log.h"
#include "mp4/compression_session.h"
#include "mp4/mp4_clients.h"
#include "platform/platform.h"
#include "server/router.h"

namespace tovel {

// GET /screen.mp4: the screen as live H.264 in fragmented MP4, to any number of clients at once.
// One continuous capture of the display under the pointer at start-up feeds one encoder; every
// encoded frame becomes one numbered fragment that goes to every client. A screen that stays the
// same is sent again every kStillFrameInterval, so players never wait on a still desktop.
// Capture runs while there are clients: it starts with the first and stops when the last has
// gone.
//
// Threads: the capture thread hands frames to the encoder, the encoder thread builds fragments,
// and the main loop owns the clients and sends.
class LiveScreenStreamer {
public:
  // The least time between two captured frames.
  static constexpr double kFrameInterval = 1.0 / 60;
  // The longest time between two frames: a screen that stays the same is sent again this often,
  // as a frame of skipped blocks (about a hundred bytes once the picture has been refined). A
  // player that gets nothing for a while takes the stream for stalled (a browser's media element
  // reports "stalled" after about 3 s), and a client that vanished shows up at the next send;
  // each frame costs about 4 ms of a core at 1920 x 1080, so once a second keeps a still screen
  // with one client near 1 % of a core. Starting players get their first frames at once anyway.
  static constexpr double kStillFrameInterval = 1.0;

  // Sets up the capture (the display under the pointer) and the compression session, printing
  // what each did.
  LiveScreenStreamer(Platform& platform, Log& log, asio::io_context& mainLoop,
                     const H264EncoderSettings& settings = {});
  // Stops the capture and the encoder, waiting for their threads.
  ~LiveScreenStreamer();
  LiveScreenStreamer(const LiveScreenStreamer&) = delete;
  LiveScreenStreamer& operator=(const LiveScreenStreamer&) = delete;

  // Installs the /screen.mp4 route.
  void install(RouteHandlers& handlers);

  // Starts the capture unless it runs; on the main loop.
  void startStreaming();
  // One captured frame, on the capture thread: handed to the encoder.
  void stream(const CapturedFrame& frame);
  // One encoded frame, on the encoder thread: a fragment for every client.
  void handleEncodedFrame(EncodedFrame&& frame);

  Mp4Clients& clients() { return *clients_; }

  // For diagnostics and tests.
  bool isStreaming();
  std::uint32_t sequenceNumber() const { return sequenceNumber_.load(); }
  // When the picture of one of the last few hundred fragments was captured (monotonic seconds),
  // for measuring the delay from capture to client; none when that fragment is not among them.
  std::optional<double> captureTimeOf(std::uint32_t sequenceNumber);

private:
  void setupCapture();
  void setupCompressionSession(const H264EncoderSettings& settings);
  // The last client has gone: capture stops until the next one comes. On the main loop.
  void stopStreaming();
  // A client needs a key frame: the encoder makes the next frame one, and the capture hands out
  // its newest picture at once, changed or not. On the main loop.
  void requestKeyFrame();
  // The capture hands out its newest picture at once, changed or not. On the main loop.
  void requestFrame();

  Platform& platform_;
  Log& log_;
  asio::io_context& mainLoop_;
  std::optional<CaptureDisplay> display_; // chosen at set-up; none: nothing is ever captured
  std::unique_ptr<CompressionSession> compressionSession_;
  std::unique_ptr<Mp4Clients> clients_;

  std::mutex mutex_; // the two below: the capture is started and stopped on the main loop and
                     // stopped by the destructor
  bool isStreaming_ = false;
  std::unique_ptr<ContinuousCapture> capture_;

  std::atomic<std::uint32_t> sequenceNumber_{1}; // changed by the encoder thread only

  struct RecentFragment {
    std::uint32_t sequenceNumber = 0; // none yet
    double captureTime = 0;
  };
  std::mutex recentMutex_;
  std::array<RecentFragment, 256> recent_{};
};

} // namespace tovel
