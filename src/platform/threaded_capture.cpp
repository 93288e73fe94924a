#include "platform/threaded_capture.h"

#include <pthread.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/scale.h"

namespace tovel {

namespace {

constexpr int kLargestFrameSide = 16384;

} // namespace

ThreadedCapture::~ThreadedCapture() {
  stop();
  if (thread_.joinable())
    thread_.detach(); // destroyed by its own handler: the thread finishes on its own
}

void ThreadedCapture::stop() {
  if (requestStop_)
    requestStop_();
  if (std::this_thread::get_id() == threadId_.load())
    return;
  std::lock_guard lock(stopMutex_);
  if (thread_.joinable())
    thread_.join();
}

bool ThreadedCapture::startThread(std::function<void()> run, std::function<void()> requestStop,
                                  PlatformError& error) {
  requestStop_ = std::move(requestStop);
  try {
    // Nothing of this object is touched once `run` is under way: a handler may destroy it.
    thread_ = std::thread([this, run = std::move(run)] {
      threadId_ = std::this_thread::get_id();
      pthread_setname_np(pthread_self(), "tovel-capture");
      run();
    });
  } catch (const std::system_error& e) {
    error = PlatformError{e.code().value(), "cannot start the capture thread"};
    return false;
  }
  return true;
}

bool ThreadedCapture::acceptable(const FrameHandler& handler,
                                 const ContinuousCaptureSettings& settings, PlatformError& error) {
  if (!handler) {
    error = PlatformError{EINVAL, "no frame handler"};
    return false;
  }
  if (settings.width > kLargestFrameSide || settings.height > kLargestFrameSide) {
    error = PlatformError{EINVAL, "frame size " + std::to_string(settings.width) + "x" +
                                      std::to_string(settings.height) + " is too large"};
    return false;
  }
  return true;
}

std::optional<ImageView> atSettingsSize(const ImageView& picture,
                                        const ContinuousCaptureSettings& settings,
                                        BgraImage& buffer) {
  int width = settings.width > 0 ? settings.width : picture.width;
  int height = settings.height > 0 ? settings.height : picture.height;
  if (width == picture.width && height == picture.height)
    return picture;
  if (!scaleBgra(picture, buffer, width, height))
    return std::nullopt;
  return buffer.view();
}

} // namespace tovel
