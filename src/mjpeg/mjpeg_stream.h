#pragma once

#include <memory>
#include <optional>
#include <string>

#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>

#include "common/live_count.h"
#include "common/log.h"
#include "mjpeg/frame_renderer.h"
#include "platform/platform.h"
#include "server/router.h"

namespace tovel {

// One picture stream: what it shows and where it goes. Shared by the steps of the stream, one
// step at a time, and released with the last one.
struct MjpegStreamState {
  std::unique_ptr<LiveCount::Token> live;
  std::string requestTarget; // path and query; every option is read from it
  std::string boundary;
  ConnectionPtr connection;
  std::optional<WindowId> windowID;   // the window followed, if any
  std::optional<DisplayId> displayID; // the display captured
  std::optional<Rect> cropRect;       // display-local; none: the whole display
  std::optional<Size> targetSize;     // from "size=", for "follow=true" and "window=auto"
  Size maxSize;                       // largest output picture

  // Kept from frame to frame.
  std::unique_ptr<ScreenCapturer> capturer;
  std::unique_ptr<FrameRenderer> renderer;
  // The last frame made and what it showed, sent again while nothing has changed.
  std::shared_ptr<const Bytes> lastChunk;
  Point lastPointer;
  std::optional<Rect> lastCrop;
  std::optional<DisplayId> lastDisplay;
};

// What a stream reads from its request target once, at its start: the window to follow
// ("window=true"), the display holding the pointer, "highres=true", "size=" and "max=". Prints
// the target and the numbers read.
void readStreamStartOptions(Platform& platform, Log& log, MjpegStreamState& state);

// One frame's region: the window, display and crop rectangle that the target's options ask for
// now, each keeping its value where a lookup gives nothing. False when no display is known.
bool selectStreamRegion(Platform& platform, Log& log, MjpegStreamState& state);

// GET /screen.mjpg: an endless multipart response of JPEG screenshots, one chunk per frame, each
// frame showing the whole display, a region around the pointer, or a window, as the request's
// options say. Frames are made on the worker pool, one step in flight per stream; the next frame
// starts 16 ms after the previous one has been handed to the network.
class MjpegStreams {
public:
  static constexpr double kFramePause = 0.016;
  static constexpr double kRetryDelay = 1.0;

  MjpegStreams(Platform& platform, Log& log, asio::thread_pool& workers)
      : platform_(platform), log_(log), workers_(workers) {}

  // Answers with the stream's head, then starts the stream.
  void install(RouteHandlers& handlers);

  void startMjpegStream(const std::string& requestTarget, const std::string& boundary,
                        const ConnectionPtr& connection);

  // Streams that have not ended yet: a stream ends with its last step, once its connection has
  // failed or been cancelled.
  std::size_t liveStreams() const { return live_.value(); }

private:
  void sendImage(const std::shared_ptr<MjpegStreamState>& state);
  void sendChunk(const std::shared_ptr<MjpegStreamState>& state,
                 std::shared_ptr<const Bytes> chunk);
  void schedule(const std::shared_ptr<MjpegStreamState>& state, double delay, bool retry);

  Platform& platform_;
  Log& log_;
  asio::thread_pool& workers_;
  LiveCount live_;
};

} // namespace tovel
