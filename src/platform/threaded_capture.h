#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/image.h"
#include "platform/platform.h"

namespace tovel {

// A continuous capture whose frames come from a thread of its own, named "tovel-capture" so that
// it shows in top -H and /proc. stop() ends the thread and waits for a handler call in progress.
// A handler may stop or destroy its own capture: it cannot wait for itself, so no further call
// starts and the thread ends when the handler returns.
class ThreadedCapture : public ContinuousCapture {
public:
  ~ThreadedCapture() override;
  void stop() override;

protected:
  ThreadedCapture() = default;

  // Runs `run` on the capture thread. `requestStop` must make it return soon; it is called from
  // any thread, possibly more than once. False, with the reason in error, when no thread can be
  // started.
  bool startThread(std::function<void()> run, std::function<void()> requestStop,
                   PlatformError& error);

  // False, with the reason in error, without a handler or for an absurd frame size.
  static bool acceptable(const FrameHandler& handler, const ContinuousCaptureSettings& settings,
                         PlatformError& error);

private:
  std::function<void()> requestStop_;
  std::atomic<std::thread::id> threadId_; // set by the thread itself, so its handler can ask
  std::mutex stopMutex_;
  std::thread thread_;
};

// The picture at the size the settings ask for (its own when they give none), scaled into
// `buffer` when the sizes differ; none when it cannot be scaled.
std::optional<ImageView> atSettingsSize(const ImageView& picture,
                                        const ContinuousCaptureSettings& settings,
                                        BgraImage& buffer);

} // namespace tovel
