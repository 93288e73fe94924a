#include "mjpeg/mjpeg_stream.h"

#include <asio/post.hpp>

#include "common/number_format.h"
#include "common/text.h"
#include "mjpeg/multipart.h"
#include "mjpeg/stream_options.h"
#include "mjpeg/window_lookup.h"
#include "platform/screen_queries.h"
#include "server/responses.h"
#include "server/stream_client.h"

namespace tovel {

void MjpegStreams::install(RouteHandlers& handlers) {
  handlers.mjpegStream = [this](const ConnectionPtr& connection, const HttpRequest& request) {
    std::string target = request.target;
    connection->send(kMjpegStreamHead, [this, connection, target](std::optional<NetworkError>) {
      // Whatever the send reported: a failed connection shows itself at the first frame.
      connection->limitUnsentBytes(kStreamUnsentBytes);
      startMjpegStream(target, std::string(kMultipartBoundary), connection);
    });
  };
}

void readStreamStartOptions(Platform& platform, Log& log, MjpegStreamState& state) {
  const std::string& target = state.requestTarget;
  if (contains(target, "window=true"))
    state.windowID = windowUnderCursor(platform);
  if (std::optional<Screen> screen = screenHoldingPointer(platform))
    state.displayID = screen->number;
  double side = contains(target, "highres=true") ? 1280 : 480;
  state.maxSize = Size{side, side};

  log.print("send " + target);
  if (contains(target, "size=")) {
    std::vector<double> numbers = optionNumbers(target, "size=");
    log.print("Size: " + formatNumberList(numbers));
    if (numbers.size() == 2)
      state.targetSize = Size{numbers[0], numbers[1]};
  }
  if (contains(target, "max=")) {
    std::vector<double> numbers = optionNumbers(target, "max=");
    log.print("Max: " + formatNumberList(numbers));
    if (numbers.size() == 1)
      state.maxSize = Size{numbers[0], numbers[0]};
    else if (numbers.size() == 2)
      state.maxSize = Size{numbers[0], numbers[1]};
  }
}

bool selectStreamRegion(Platform& platform, Log& log, MjpegStreamState& state) {
  const std::string& target = state.requestTarget;
  auto setDisplay = [&](std::optional<DisplayId> display) {
    if (display)
      state.displayID = display;
  };

  if (contains(target, "window=auto")) {
    state.windowID = windowUnderCursor(platform);
    setDisplay(displayUnderCursor(platform));
    double limit = contains(target, "highres=true") ? 1280 : 900;
    if (state.windowID && state.displayID) {
      auto bounds = windowBoundsForID(platform, *state.windowID, *state.displayID);
      if (bounds && (bounds->width > limit || bounds->height > limit))
        state.windowID.reset();
    }
    if (!state.windowID && state.displayID) {
      Size size = state.targetSize.value_or(Size{640, 320});
      state.cropRect = cursorBoundsForID(platform, *state.displayID, size.width, size.height);
    }
  }

  // Independent tests: with several follow options, the last one in this order decides.
  const std::pair<const char*, std::optional<Size>> follows[] = {
      {"follow=true", state.targetSize.value_or(Size{640, 320})},
      {"follow=hd", Size{800, 480}},
      {"follow=square", Size{640, 480}},
      {"follow=narrow", Size{800, 200}},
  };
  for (const auto& [option, size] : follows) {
    if (!contains(target, option))
      continue;
    setDisplay(displayUnderCursor(platform));
    if (state.displayID)
      state.cropRect = cursorBoundsForID(platform, *state.displayID, size->width, size->height);
  }

  if (state.windowID)
    setDisplay(displayIDForWindow(platform, log, *state.windowID));

  if (!state.displayID && !state.windowID) {
    std::vector<Screen> screens = platform.screens();
    std::optional<Screen> screen;
    if (contains(target, "screen=2") && screens.size() >= 2)
      screen = screens[1];
    else
      screen = platform.mainScreen();
    if (screen && screen->number)
      state.displayID = screen->number;
  }

  // A known window wins over any follow rectangle.
  if (state.windowID && state.displayID) {
    if (auto bounds = windowBoundsForID(platform, *state.windowID, *state.displayID))
      state.cropRect = bounds;
  }
  return state.displayID.has_value();
}

void MjpegStreams::startMjpegStream(const std::string& requestTarget, const std::string& boundary,
                                    const ConnectionPtr& connection) {
  auto state = std::make_shared<MjpegStreamState>();
  state->live = live_.take();
  state->requestTarget = requestTarget;
  state->boundary = boundary;
  state->connection = connection;
  readStreamStartOptions(platform_, log_, *state);

  state->capturer = platform_.createScreenCapturer();
  state->renderer = std::make_unique<FrameRenderer>(platform_);
  // Frames are made on the worker pool, the first one too, so the main loop never waits for a
  // capture or an encoder.
  asio::post(workers_, [this, state] { sendImage(state); });
}

void MjpegStreams::sendImage(const std::shared_ptr<MjpegStreamState>& state) {
  // A client that has gone costs nothing more: no capture for a closed connection.
  Connection::State connectionState = state->connection->state();
  if (connectionState == Connection::State::cancelled ||
      connectionState == Connection::State::failed)
    return;

  if (!selectStreamRegion(platform_, log_, *state)) {
    schedule(state, kRetryDelay, true);
    return;
  }
  // A still picture is not captured and encoded again: the client gets the same frame anew.
  Point pointer = platform_.mouseLocation();
  if (state->lastChunk && pointer == state->lastPointer && state->cropRect == state->lastCrop &&
      state->displayID == state->lastDisplay &&
      state->capturer->unchangedSinceLastCapture(*state->displayID, state->cropRect)) {
    sendChunk(state, state->lastChunk);
    return;
  }
  std::optional<ImageView> image;
  if (state->capturer)
    image = state->capturer->capture(*state->displayID, state->cropRect);
  if (!image) {
    schedule(state, kRetryDelay, true);
    return;
  }
  auto jpeg = state->renderer->renderFrame(*image, state->maxSize, *state->displayID,
                                           state->cropRect, state->requestTarget, pointer);
  if (!jpeg) {
    // A stream that cannot render would otherwise hang its client forever.
    state->connection->cancel();
    return;
  }
  state->lastChunk = std::make_shared<const Bytes>(multipartFrameChunk(state->boundary, *jpeg));
  state->lastPointer = pointer;
  state->lastCrop = state->cropRect;
  state->lastDisplay = state->displayID;
  sendChunk(state, state->lastChunk);
}

void MjpegStreams::sendChunk(const std::shared_ptr<MjpegStreamState>& state,
                             std::shared_ptr<const Bytes> chunk) {
  state->connection->send(std::move(chunk), [this, state](std::optional<NetworkError> error) {
    if (error) {
      state->connection->cancel();
      return;
    }
    schedule(state, kFramePause, false);
  });
}

void MjpegStreams::schedule(const std::shared_ptr<MjpegStreamState>& state, double delay,
                            bool retry) {
  auto timer = std::make_shared<asio::steady_timer>(
      workers_, std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(delay)));
  timer->async_wait([this, state, timer, retry](const asio::error_code& ec) {
    if (ec)
      return;
    if (retry)
      log_.print("send wait " + state->requestTarget);
    sendImage(state);
  });
}

} // namespace tovel
