#include "platform/capture_hub.h"

#include <cerrno>

namespace tovel {

namespace {

class Subscription final : public ContinuousCapture {
public:
  Subscription(std::shared_ptr<SharedCapture> capture, std::uint64_t id)
      : capture_(std::move(capture)), id_(id) {}
  ~Subscription() override { stop(); }

  void stop() override {
    std::call_once(stopped_, [this] { capture_->unsubscribe(id_); });
  }
  void requestFrame() override { capture_->requestFrame(id_); }

private:
  std::shared_ptr<SharedCapture> capture_;
  const std::uint64_t id_;
  std::once_flag stopped_;
};

} // namespace

std::unique_ptr<ContinuousCapture> CaptureHub::subscribe(DisplayId display,
                                                         const ContinuousCaptureSettings& settings,
                                                         FrameHandler handler,
                                                         PlatformError& error) {
  if (!handler) {
    error = PlatformError{EINVAL, "no frame handler"};
    return nullptr;
  }
  std::lock_guard lock(mutex_);
  std::shared_ptr<SharedCapture> capture = captures_[display].lock();
  std::optional<std::uint64_t> id;
  if (capture)
    id = capture->subscribe(settings, handler);
  if (!id) {
    // None running, or one ending with its last subscriber: start a new one.
    std::unique_ptr<CaptureSource> source = makeSource_(display, error);
    if (!source)
      return nullptr;
    capture = SharedCapture::start(std::move(source), error);
    if (!capture)
      return nullptr;
    captures_[display] = capture;
    id = capture->subscribe(settings, std::move(handler));
  }
  std::erase_if(captures_, [](const auto& entry) { return entry.second.expired(); });
  return std::make_unique<Subscription>(std::move(capture), *id);
}

std::size_t CaptureHub::runningCaptures() {
  std::lock_guard lock(mutex_);
  std::size_t running = 0;
  for (const auto& [display, weak] : captures_)
    if (auto capture = weak.lock(); capture && capture->subscribers() > 0)
      ++running;
  return running;
}

} // namespace tovel
