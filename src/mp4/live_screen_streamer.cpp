#include "mp4/live_screen_streamer.h"

#include <asio/post.hpp>

#include "common/text.h"
#include "mjpeg/follow_capture_stream.h"
#include "mp4/box_writer.h"
#include "server/http_chunk.h"

namespace tovel {

namespace {

// Every sample lasts one frame at 60 a second and starts where the one before ended: decode times
// count frames, not the time they were captured. Browsers' Media Source Extensions take a sample
// that does not start where the one before ended for a break in the stream and drop everything up
// to the next key frame, up to a second of picture; and frames come unevenly here, only when the
// screen changed, and fewer when the encoder cannot keep up. A live player plays what arrives and
// waits for the next, so a screen that stood still costs no waiting later. Each client's times
// start at 0 (the client list writes them), so a player of its own starts at its first picture.
constexpr std::uint32_t kFrameDuration = kMediaTimescale / 60;

} // namespace

LiveScreenStreamer::LiveScreenStreamer(Platform& platform, Log& log, asio::io_context& mainLoop,
                                       const H264EncoderSettings& settings)
    : platform_(platform), log_(log), mainLoop_(mainLoop) {
  setupCapture();
  setupCompressionSession(settings);

  std::vector<std::uint8_t> initialization = generateFtyp();
  std::string codec;
  if (compressionSession_) {
    VideoTrackFormat track{compressionSession_->width(), compressionSession_->height(),
                           compressionSession_->avcConfiguration(), kFrameDuration};
    if (auto segment = generateInitializationSegment(track))
      initialization = std::move(*segment);
    codec = compressionSession_->codecString();
  }
  Mp4Clients::Hooks hooks;
  hooks.startStreaming = [this] { startStreaming(); };
  hooks.lastClientGone = [this] { stopStreaming(); };
  hooks.keyFrameNeeded = [this] { requestKeyFrame(); };
  hooks.frameNeeded = [this] { requestFrame(); };
  clients_ = std::make_unique<Mp4Clients>(log_, std::move(hooks), std::move(initialization),
                                          std::move(codec));
}

LiveScreenStreamer::~LiveScreenStreamer() {
  std::unique_ptr<ContinuousCapture> capture;
  {
    std::lock_guard lock(mutex_);
    capture = std::move(capture_);
  }
  capture.reset(); // no frame reaches the encoder after this
  compressionSession_.reset();
}

void LiveScreenStreamer::install(RouteHandlers& handlers) {
  handlers.mp4Stream = [this](const ConnectionPtr& connection, const HttpRequest& request) {
    log_.print("REQUEST: " + request.text);
    if (contains(request.text, "Range: bytes="))
      clients_->addClient(connection, true);
    else
      clients_->sendInitialHeaders(connection);
  };
}

void LiveScreenStreamer::setupCapture() {
  display_ = displayUnderCursor2(platform_);
  if (!display_) {
    log_.print("No display found under cursor.");
    return;
  }
  log_.print("Stream configured with display: " + display_->description);
}

void LiveScreenStreamer::setupCompressionSession(const H264EncoderSettings& settings) {
  compressionSession_ = CompressionSession::create(
      settings, log_, [this](EncodedFrame&& frame) { handleEncodedFrame(std::move(frame)); });
}

void LiveScreenStreamer::startStreaming() {
  std::lock_guard lock(mutex_);
  if (isStreaming_) {
    log_.print("Streaming is already active.");
    return;
  }
  if (display_) {
    PlatformError error;
    capture_ = platform_.startContinuousCapture(
        display_->id, ContinuousCaptureSettings{kFrameInterval, kStillFrameInterval},
        [this](const CapturedFrame& frame) { stream(frame); }, error);
    if (!capture_)
      log_.print("Error starting capture: " + error.description);
  }
  isStreaming_ = true;
  log_.print("Stream started successfully");
}

void LiveScreenStreamer::stopStreaming() {
  std::unique_ptr<ContinuousCapture> capture;
  {
    std::lock_guard lock(mutex_);
    if (!isStreaming_)
      return;
    isStreaming_ = false;
    capture = std::move(capture_);
  }
  capture.reset(); // waits for a frame being handed over
  log_.print("Stream stopped: no client is left");
}

void LiveScreenStreamer::requestKeyFrame() {
  if (compressionSession_)
    compressionSession_->requestKeyFrame();
  requestFrame(); // on a still screen nothing else would make one soon
}

void LiveScreenStreamer::requestFrame() {
  std::lock_guard lock(mutex_);
  if (capture_)
    capture_->requestFrame();
}

bool LiveScreenStreamer::isStreaming() {
  std::lock_guard lock(mutex_);
  return isStreaming_;
}

void LiveScreenStreamer::stream(const CapturedFrame& frame) {
  log_.print("Sample buffer received");
  if (frame.image.empty()) {
    log_.print("Failed to get image buffer from sample buffer. Skipping this frame.");
    return;
  }
  if (!compressionSession_) {
    log_.print("No compression session: the frame is dropped");
    return;
  }
  compressionSession_->submit(EncoderInput{frame.image, frame.pixels, frame.captureTime});
}

void LiveScreenStreamer::handleEncodedFrame(EncodedFrame&& frame) {
  if (frame.data.empty())
    return;
  FragmentSample sample;
  sample.sequenceNumber = sequenceNumber_.load();
  sample.duration = kFrameDuration;
  sample.keyFrame = frame.keyFrame;
  std::optional<std::vector<std::uint8_t>> moof = generateFragmentHead(sample, frame.data.size());
  if (!moof)
    return;
  // One chunk: the size line and the boxes' heads, then the sample and the chunk's end.
  auto head = std::make_shared<std::vector<std::uint8_t>>(
      httpChunkSizeLine(moof->size() + frame.data.size()));
  std::size_t decodeTimeAt = head->size() + kMoofDecodeTimeOffset;
  head->insert(head->end(), moof->begin(), moof->end());
  auto body = std::make_shared<std::vector<std::uint8_t>>();
  body->reserve(frame.data.size() + 2);
  body->insert(body->end(), frame.data.begin(), frame.data.end());
  body->push_back('\r');
  body->push_back('\n');
  SharedFragment fragment{std::move(head), decodeTimeAt, std::move(body), sample.duration,
                          frame.keyFrame};
  asio::post(mainLoop_,
             [this, fragment = std::move(fragment)] { clients_->sendToClients(fragment); });
  {
    std::lock_guard lock(recentMutex_);
    recent_[sample.sequenceNumber % recent_.size()] = {sample.sequenceNumber, frame.captureTime};
  }
  // Counted once the fragment is handed over, whether or not anyone takes it.
  ++sequenceNumber_;
}

std::optional<double> LiveScreenStreamer::captureTimeOf(std::uint32_t sequenceNumber) {
  std::lock_guard lock(recentMutex_);
  const RecentFragment& entry = recent_[sequenceNumber % recent_.size()];
  if (sequenceNumber == 0 || entry.sequenceNumber != sequenceNumber)
    return std::nullopt;
  return entry.captureTime;
}

} // namespace tovel
