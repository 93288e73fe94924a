#include "mjpeg/follow_capture_stream.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "common/text.h"
#include "mjpeg/frame_renderer.h"
#include "mjpeg/jpeg_encoder.h"
#include "mjpeg/multipart.h"
#include "mjpeg/screen_capture_manager.h"
#include "mjpeg/stream_options.h"
#include "platform/screen_queries.h"
#include "server/responses.h"
#include "server/stream_client.h"

namespace tovel {

namespace {

// Larger pictures would only be a way to make the host allocate without limit.
constexpr double kLargestOutputSide = 16384;
// The most pixels an output picture may have (about 8K UHD, 128 MiB of BGRA): a larger size=
// would have each stream hold gigabytes to scale a capture up into. A larger one keeps its shape.
constexpr double kLargestOutputPixels = double(1 << 25);

// Products of exact ratios can miss a whole number by a rounding error; that must not cost a
// pixel.
double snapToWhole(double value) {
  double whole = std::round(value);
  return std::abs(value - whole) < 1e-6 ? whole : value;
}

} // namespace

// --- Options and geometry --------------------------------------------------------------------

double FollowOptions::outputFactor() const {
  return highres ? 2.0 : wholeScreen ? 1.5 : 1.0;
}

double FollowOptions::jpegCompression() const {
  return highres ? 0.6 : 0.1;
}

FollowOptions parseFollowOptions(std::string_view requestTarget) {
  FollowOptions options;
  options.wholeScreen = contains(requestTarget, "screen=true");
  options.highres = contains(requestTarget, "highres=true");
  constexpr std::string_view key = "size=";
  std::size_t at = requestTarget.rfind(key);
  if (at != std::string_view::npos) {
    std::string_view value = requestTarget.substr(at + key.size());
    value = value.substr(0, value.find('&'));
    std::vector<double> numbers = numbersSplitAtX(value);
    if (numbers.size() == 2)
      options.followSize = Size{numbers[0], numbers[1]};
  }
  return options;
}

std::optional<CaptureDisplay> displayUnderCursor2(Platform& platform) {
  std::optional<Screen> screen = screenHoldingPointer(platform);
  if (!screen || !screen->number)
    return std::nullopt;
  DisplayId number = *screen->number;
  std::optional<std::vector<CaptureDisplay>> displays = platform.capturableDisplays();
  if (!displays)
    return std::nullopt;
  for (const CaptureDisplay& display : *displays)
    if (display.id == number)
      return display;
  return std::nullopt;
}

Rect calculateFollowRect(Point cursorLocation, Size followSize, Rect screenBounds) {
  double flippedY = screenBounds.height - cursorLocation.y;
  Rect r{cursorLocation.x - followSize.width / 2, flippedY - followSize.height / 2,
         followSize.width, followSize.height};
  if (screenBounds.minX() > r.minX())
    r.x = screenBounds.minX();
  else if (r.maxX() > screenBounds.maxX())
    r.x = screenBounds.maxX() - followSize.width;
  if (screenBounds.minY() > r.minY())
    r.y = screenBounds.minY();
  else if (r.maxY() > screenBounds.maxY())
    r.y = screenBounds.maxY() - followSize.height;
  return r;
}

std::optional<PixelRect> followCropRect(const FollowOptions& options, Point cursorLocation,
                                        Size displaySize, int imageWidth, int imageHeight) {
  // The capture's own scale, whatever the platform chose to capture at.
  double scaleX = imageWidth / displaySize.width;
  double scaleY = imageHeight / displaySize.height;
  if (!std::isfinite(scaleX) || !std::isfinite(scaleY) || scaleX <= 0 || scaleY <= 0)
    return std::nullopt;
  Rect bounds{0, 0, displaySize.width, displaySize.height};
  Rect r = options.wholeScreen ? bounds
                               : calculateFollowRect(cursorLocation, options.followSize, bounds);
  if (!std::isfinite(r.x) || !std::isfinite(r.y) || !std::isfinite(r.width) ||
      !std::isfinite(r.height))
    return std::nullopt;
  double x0 = std::max(0.0, std::floor(snapToWhole(r.minX() * scaleX)));
  double y0 = std::max(0.0, std::floor(snapToWhole(r.minY() * scaleY)));
  double x1 = std::min(double(imageWidth), std::ceil(snapToWhole(r.maxX() * scaleX)));
  double y1 = std::min(double(imageHeight), std::ceil(snapToWhole(r.maxY() * scaleY)));
  if (x1 <= x0 || y1 <= y0)
    return std::nullopt;
  return PixelRect{int(x0), int(y0), int(x1 - x0), int(y1 - y0)};
}

std::optional<PixelSize> followOutputSize(const FollowOptions& options, int cropWidth,
                                          int cropHeight) {
  if (cropWidth <= 0 || cropHeight <= 0)
    return std::nullopt;
  double k = options.outputFactor();
  double factor = std::min(options.followSize.width * k / cropWidth,
                           options.followSize.height * k / cropHeight);
  double pixels = cropWidth * factor * cropHeight * factor;
  if (pixels > kLargestOutputPixels)
    factor *= std::sqrt(kLargestOutputPixels / pixels);
  double width = std::trunc(snapToWhole(cropWidth * factor));
  double height = std::trunc(snapToWhole(cropHeight * factor));
  if (!(width >= 1 && height >= 1 && width <= kLargestOutputSide && height <= kLargestOutputSide))
    return std::nullopt;
  return PixelSize{int(width), int(height)};
}

// --- One stream ------------------------------------------------------------------------------

// Frames are cropped, scaled and encoded on the capture thread; the finished parts go to the
// connection one at a time. Owned by the connection's state handler and by a pending send's
// completion; it holds the connection until it ends, which breaks that cycle.
class FollowStream : public std::enable_shared_from_this<FollowStream> {
public:
  FollowStream(Platform& platform, Log& log, ConnectionPtr connection, FollowOptions options,
               std::string_view boundary, CaptureDisplay display, Point displayOrigin,
               Point pointer)
      : platform_(platform), log_(log), options_(options), boundary_(boundary),
        display_(std::move(display)), displayOrigin_(displayOrigin), pointer_(pointer),
        connection_(std::move(connection)) {}

  // Starts the capture and follows the connection's state. On the main loop.
  void start() {
    std::weak_ptr<FollowStream> weak = weak_from_this();
    manager_ = std::make_unique<ScreenCaptureManager>(platform_, log_, display_,
                                                      [weak](const CapturedFrame& frame) {
                                                        if (auto self = weak.lock())
                                                          self->onCapture(frame);
                                                      });
    manager_->startCapture();
    std::weak_ptr<Connection> connection = connection_;
    connection_->setStateHandler([self = shared_from_this(), connection](
                                     Connection::State state, std::optional<NetworkError> error) {
      self->onStateChange(state, error, connection);
    });
  }

  // Stops the capture, drops a waiting part and lets the connection go. Waits for a frame in
  // progress on the capture thread, so nothing of this stream runs there afterwards.
  void finish() {
    {
      std::lock_guard lock(mutex_);
      if (ended_)
        return;
      ended_ = true;
      if (waiting_)
        stats_.heldBytes -= waiting_->size();
      waiting_.reset();
    }
    if (manager_)
      manager_->stopCapture();
    ConnectionPtr connection;
    std::lock_guard lock(mutex_);
    connection = std::move(connection_);
  }

  bool ended() const { return ended_; }

  FollowStreamStats stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
  }

private:
  void onStateChange(Connection::State state, const std::optional<NetworkError>& error,
                     const std::weak_ptr<Connection>& weakConnection) {
    if (state == Connection::State::failed) {
      log_.print("Connection failed: " + (error ? error->description : std::string()));
      finish();
      if (ConnectionPtr connection = weakConnection.lock())
        connection->cancel();
    } else if (state == Connection::State::cancelled) {
      log_.print("Connection cancelled");
      finish();
    }
  }

  // An admitted frame, on the capture thread. The pointer comes with the frame: asking the
  // platform from here would cost the platform resources for every capture thread.
  void onCapture(const CapturedFrame& frame) {
    if (ended_)
      return;
    const ImageView& image = frame.image;
    if (frame.pointer)
      pointer_ = *frame.pointer; // else the last one known
    Point cursor;
    if (!options_.wholeScreen) {
      // Relative to the display's own screen, so that the rectangle follows the pointer on any
      // display, not only on the one whose corner is the origin.
      cursor = Point{pointer_.x - displayOrigin_.x, pointer_.y - displayOrigin_.y};
    }
    std::optional<PixelRect> crop =
        followCropRect(options_, cursor, Size{double(display_.width), double(display_.height)},
                       image.width, image.height);
    if (!crop)
      return;
    ImageView cut{image.pixel(crop->x, crop->y), crop->width, crop->height, image.stride};
    std::optional<PixelSize> size = followOutputSize(options_, cut.width, cut.height);
    ImageView output = cut;
    if (size && (size->width != cut.width || size->height != cut.height)) {
      // Smooth scaling is worth its cost only when a good picture was asked for.
      if (scaleForOutput(cut, scaled_, size->width, size->height, options_.highres))
        output = scaled_.view();
      else
        size.reset();
    }
    std::optional<std::span<const std::uint8_t>> jpeg;
    if (size)
      jpeg = encoder_.encode(output, jpegQuality(options_.jpegCompression()));
    if (!jpeg) {
      log_.print("Failed to create JPEG representation");
      return;
    }
    push(multipartFrameChunk(boundary_, *jpeg));
  }

  // Sends the part at once when the connection is free, else keeps it as the next one, in place
  // of any older part still waiting.
  void push(Bytes part) {
    auto bytes = std::make_shared<const Bytes>(std::move(part));
    ConnectionPtr connection;
    {
      std::lock_guard lock(mutex_);
      if (ended_)
        return;
      ++stats_.framesEncoded;
      stats_.largestPart = std::max(stats_.largestPart, bytes->size());
      stats_.heldBytes += bytes->size();
      if (sending_) {
        if (waiting_) {
          stats_.heldBytes -= waiting_->size();
          ++stats_.framesReplaced;
        }
        waiting_ = std::move(bytes);
      } else {
        sending_ = true;
        connection = connection_;
      }
      stats_.peakHeldBytes = std::max(stats_.peakHeldBytes, stats_.heldBytes);
    }
    if (connection)
      send(connection, std::move(bytes));
  }

  void send(const ConnectionPtr& connection, std::shared_ptr<const Bytes> bytes) {
    std::size_t size = bytes->size();
    connection->send(std::move(bytes),
                     [self = shared_from_this(), size](std::optional<NetworkError> error) {
                       self->onSent(size, error);
                     });
  }

  // On the main loop.
  void onSent(std::size_t size, const std::optional<NetworkError>& error) {
    std::shared_ptr<const Bytes> next;
    ConnectionPtr connection;
    {
      std::lock_guard lock(mutex_);
      stats_.heldBytes -= size;
      connection = connection_;
      if (!error)
        ++stats_.framesSent;
      if (!error && !ended_ && waiting_)
        next = std::move(waiting_); // stays counted as held
      else
        sending_ = false;
    }
    if (error) {
      log_.print("Error sending frame: " + error->description);
      if (connection)
        connection->cancel();
      finish();
      return;
    }
    if (next && connection)
      send(connection, std::move(next));
  }

  Platform& platform_;
  Log& log_;
  const FollowOptions options_;
  const std::string boundary_;
  const CaptureDisplay display_;
  const Point displayOrigin_; // of the display's screen, in screen coordinates

  // Used by the capture thread only.
  Point pointer_; // screen coordinates
  BgraImage scaled_;
  JpegEncoder encoder_;

  mutable std::mutex mutex_;
  std::atomic<bool> ended_{false}; // set under mutex_, read anywhere
  ConnectionPtr connection_;       // under mutex_ once started
  bool sending_ = false;           // a part is with the connection
  std::shared_ptr<const Bytes> waiting_;
  FollowStreamStats stats_;

  // Last, so that it is destroyed first: the capture stops before the rest of the stream goes.
  std::unique_ptr<ScreenCaptureManager> manager_;
};

// --- The route -------------------------------------------------------------------------------

FollowCaptureStreams::FollowCaptureStreams(Platform& platform, Log& log)
    : platform_(platform), log_(log) {}

FollowCaptureStreams::~FollowCaptureStreams() {
  std::vector<std::weak_ptr<FollowStream>> streams;
  {
    std::lock_guard lock(mutex_);
    streams.swap(streams_);
  }
  for (const auto& weak : streams)
    if (auto stream = weak.lock())
      stream->finish();
}

void FollowCaptureStreams::install(RouteHandlers& handlers) {
  handlers.followCaptureStream = [this](const ConnectionPtr& connection,
                                        const HttpRequest& request) {
    handleRequest(connection, request);
  };
}

void FollowCaptureStreams::handleRequest(const ConnectionPtr& connection,
                                         const HttpRequest& request) {
  connection->send(kFollowCaptureStreamHead,
                   [this, connection, target = request.target](std::optional<NetworkError> error) {
                     if (error) {
                       log_.print("Error sending headers: " + error->description);
                       connection->cancel();
                       return;
                     }
                     connection->limitUnsentBytes(kStreamUnsentBytes);
                     cancelWhenPeerLeaves(connection);
                     startScreenCaptureAndStream(connection, target, kMultipartBoundary);
                   });
}

void FollowCaptureStreams::startScreenCaptureAndStream(const ConnectionPtr& connection,
                                                       const std::string& requestTarget,
                                                       std::string_view boundary) {
  std::optional<CaptureDisplay> display = displayUnderCursor2(platform_);
  if (!display) {
    log_.print("No display found under cursor.");
    return;
  }
  // Gone while the head was on its way: no state change will ever end a capture started now.
  Connection::State state = connection->state();
  if (state == Connection::State::failed || state == Connection::State::cancelled)
    return;

  Point origin;
  if (std::optional<Screen> screen = screenOfDisplay(platform_, display->id))
    origin = Point{screen->frame.x, screen->frame.y};

  auto stream = std::make_shared<FollowStream>(
      platform_, log_, connection, parseFollowOptions(requestTarget), boundary, std::move(*display),
      origin, platform_.mouseLocation());
  stream->start();
  std::lock_guard lock(mutex_);
  std::erase_if(streams_, [](const std::weak_ptr<FollowStream>& weak) { return weak.expired(); });
  streams_.push_back(stream);
}

std::vector<FollowStreamStats> FollowCaptureStreams::liveStreams() {
  std::vector<FollowStreamStats> live;
  std::lock_guard lock(mutex_);
  for (const auto& weak : streams_)
    if (auto stream = weak.lock(); stream && !stream->ended())
      live.push_back(stream->stats());
  return live;
}

} // namespace tovel
