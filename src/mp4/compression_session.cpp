#include "mp4/compression_session.h"

#include <pthread.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace tovel {

// What the encoder thread and the submitting threads share. The thread holds it too, so the
// session may be destroyed from its own output handler.
struct CompressionSession::Worker {
  Worker(Log& log, OutputHandler handler) : log(log), handler(std::move(handler)) {}

  void run();
  void reportFailure(std::int32_t status) {
    log.print("Compression failed with status: " + std::to_string(status));
  }

  std::unique_ptr<H264Encoder> encoder; // opened and used by the encoder thread only
  Log& log;
  OutputHandler handler;

  std::mutex mutex;
  std::condition_variable wake;
  std::optional<EncoderInput> waiting;
  int displaced = 0; // pictures replaced while waiting, not yet reported
  bool stopping = false;
  bool keyFrameRequested = false;
  std::thread::id threadId;
};

void CompressionSession::Worker::run() {
  for (;;) {
    std::optional<EncoderInput> input;
    int dropped = 0;
    bool keyFrame = false;
    {
      std::unique_lock lock(mutex);
      wake.wait(lock, [&] { return waiting || displaced > 0 || stopping; });
      dropped = std::exchange(displaced, 0);
      input = std::exchange(waiting, std::nullopt);
      if (input)
        keyFrame = std::exchange(keyFrameRequested, false);
      if (!input && dropped == 0)
        break; // stopping, and nothing left
    }
    // The displaced pictures were submitted before the one that replaced them.
    for (int i = 0; i < dropped; ++i)
      reportFailure(0);
    if (!input)
      continue;

    auto result = encoder->encode(input->picture, keyFrame);
    double captureTime = input->captureTime;
    input.reset(); // let the picture's owner recycle it before the hand-off
    if (!result.picture) {
      if (keyFrame) {
        std::lock_guard lock(mutex);
        keyFrameRequested = true; // still owed to whoever asked
      }
      reportFailure(result.status);
      continue;
    }
    log.print("Encoded frame received");
    if (handler)
      handler(EncodedFrame{std::move(result.picture->data), result.picture->keyFrame, captureTime});
  }
  encoder.reset(); // ends x264's threads with this one
}

std::unique_ptr<CompressionSession> CompressionSession::create(const H264EncoderSettings& settings,
                                                               Log& log, OutputHandler handler,
                                                               std::int32_t* status) {
  auto fail = [&](std::int32_t code) -> std::unique_ptr<CompressionSession> {
    log.print("Failed to create compression session: " + std::to_string(code));
    if (status)
      *status = code;
    return nullptr;
  };
  auto worker = std::make_shared<Worker>(log, std::move(handler));
  // The encoder is opened on its own thread so that x264's worker threads, which it starts then,
  // take that thread's name.
  std::promise<Description> opened;
  std::future<Description> description = opened.get_future();
  std::thread thread;
  try {
    thread = std::thread([worker, settings, opened = std::move(opened)]() mutable {
      pthread_setname_np(pthread_self(), "tovel-encoder");
      Description result;
      auto encoder = H264Encoder::create(settings, &worker->log, result.status);
      if (encoder) {
        result.width = encoder->width();
        result.height = encoder->height();
        result.avcConfiguration = encoder->avcConfiguration();
        result.codecString = encoder->codecString();
        result.parameterSets = encoder->parameterSets();
        worker->encoder = std::move(encoder);
      }
      opened.set_value(std::move(result));
      if (worker->encoder)
        worker->run();
    });
  } catch (const std::system_error& e) {
    return fail(-e.code().value());
  }
  Description result = description.get();
  if (result.status != 0) {
    thread.join();
    return fail(result.status);
  }
  std::unique_ptr<CompressionSession> session(
      new CompressionSession(std::move(worker), std::move(thread), std::move(result)));
  log.print("Compression session created successfully");
  if (status)
    *status = 0;
  return session;
}

CompressionSession::CompressionSession(std::shared_ptr<Worker> worker, std::thread thread,
                                       Description description)
    : worker_(std::move(worker)), thread_(std::move(thread)), width_(description.width),
      height_(description.height), avcConfiguration_(std::move(description.avcConfiguration)),
      codecString_(std::move(description.codecString)),
      parameterSets_(std::move(description.parameterSets)) {
  std::lock_guard lock(worker_->mutex);
  worker_->threadId = thread_.get_id();
}

CompressionSession::~CompressionSession() {
  stop();
  if (thread_.joinable())
    thread_.detach(); // destroyed from its own handler: the thread ends by itself
}

std::int32_t CompressionSession::submit(EncoderInput input) {
  std::int32_t status = 0;
  if (input.picture.empty()) {
    status = kStatusInvalidArgument;
  } else {
    std::lock_guard lock(worker_->mutex);
    if (worker_->stopping) {
      status = kStatusSessionStopped;
    } else {
      if (worker_->waiting)
        ++worker_->displaced;
      worker_->waiting = std::move(input);
      // Printed before the encoder can take the picture, so the lines come in their real order.
      // Nothing of the session is touched once the lock is let go: the picture's handler may
      // destroy it.
      worker_->log.print("Frame passed to encoder");
      worker_->wake.notify_one();
      return 0;
    }
  }
  worker_->log.print("Failed to encode frame: " + std::to_string(status));
  return status;
}

void CompressionSession::requestKeyFrame() {
  std::lock_guard lock(worker_->mutex);
  worker_->keyFrameRequested = true;
}

void CompressionSession::stop() {
  {
    std::lock_guard lock(worker_->mutex);
    worker_->stopping = true;
    if (std::this_thread::get_id() == worker_->threadId)
      return;
  }
  worker_->wake.notify_one();
  std::lock_guard lock(stopMutex_);
  if (thread_.joinable())
    thread_.join();
}

} // namespace tovel
