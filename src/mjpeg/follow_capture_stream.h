#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "server/router.h"

namespace tovel {

// What a follow-capture request asks for. Every option is a plain substring test on the request
// target, wherever it appears.
struct FollowOptions {
  bool wholeScreen = false;    // "screen=true": the whole display instead of following
  bool highres = false;        // "highres=true": larger output, better quality, smooth scaling
  Size followSize{800, 600};   // "size=WxH", in points of the display
  double outputFactor() const; // how much larger than the follow size the output may be
  double jpegCompression() const;
};

FollowOptions parseFollowOptions(std::string_view requestTarget);

// The capturable display of the screen under the pointer; none when no screen holds the pointer,
// that screen has no display number or the capture service does not offer it.
std::optional<CaptureDisplay> displayUnderCursor2(Platform& platform);

// A followSize rectangle centred on the cursor (screen coordinates, y up, relative to the
// display's bottom-left corner) in the display's own coordinates (y down), moved inside
// screenBounds; one larger than the screen is pinned to the screen's minimum edge.
Rect calculateFollowRect(Point cursorLocation, Size followSize, Rect screenBounds);

// The pixels of a captured picture (imageWidth x imageHeight) of a display of displaySize points
// that one frame shows: the follow rectangle, or the whole picture with "screen=true", converted
// to pixels at the picture's own scale, widened to whole pixels and clipped to the picture. None
// when nothing is left.
std::optional<PixelRect> followCropRect(const FollowOptions& options, Point cursorLocation,
                                        Size displaySize, int imageWidth, int imageHeight);

struct PixelSize {
  int width = 0;
  int height = 0;
  friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

// The size of the output picture for a cut-out of cropWidth x cropHeight pixels: its aspect ratio,
// fitting in outputFactor times the follow size, truncated to whole pixels. None when that is
// empty or absurdly large.
std::optional<PixelSize> followOutputSize(const FollowOptions& options, int cropWidth,
                                          int cropHeight);

// Counters of one running stream, for diagnostics and tests.
struct FollowStreamStats {
  std::uint64_t framesEncoded = 0;  // admitted frames turned into parts
  std::uint64_t framesSent = 0;     // parts the network took
  std::uint64_t framesReplaced = 0; // parts dropped for a newer one while a send was pending
  std::size_t heldBytes = 0;        // parts being sent or waiting to be
  std::size_t peakHeldBytes = 0;
  std::size_t largestPart = 0;
};

class FollowStream;

// GET /screen.mjpg?screen=true... (and ?follow=true&DISABLED...): a multipart response whose
// parts are JPEGs of a continuous capture of the display under the pointer, cut around the
// pointer or showing the whole display. Each stream has a capture thread of its own, which also
// crops, scales and encodes, so a picture is never copied and a slow encode delays only its own
// stream. At most one part per stream is handed to the network at a time; while it is, the newest
// finished part waits and replaces any older one, so a slow client costs at most two parts.
class FollowCaptureStreams {
public:
  FollowCaptureStreams(Platform& platform, Log& log);
  // Ends every stream still running: no capture thread outlives its owner.
  ~FollowCaptureStreams();
  FollowCaptureStreams(const FollowCaptureStreams&) = delete;
  FollowCaptureStreams& operator=(const FollowCaptureStreams&) = delete;

  void install(RouteHandlers& handlers);

  // Sends the response head, then starts the stream; a failed head send is printed and cancels
  // the connection.
  void handleRequest(const ConnectionPtr& connection, const HttpRequest& request);

  // Captures the display under the pointer and pushes its frames to the connection until the
  // connection fails, is cancelled, or a send fails. Runs on the main loop.
  void startScreenCaptureAndStream(const ConnectionPtr& connection,
                                   const std::string& requestTarget, std::string_view boundary);

  // The streams still running.
  std::vector<FollowStreamStats> liveStreams();

private:
  Platform& platform_;
  Log& log_;
  std::mutex mutex_;
  std::vector<std::weak_ptr<FollowStream>> streams_; // under mutex_
};

} // namespace tovel
