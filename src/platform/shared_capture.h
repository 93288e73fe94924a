#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace tovel {

// Where a shared capture's pictures come from: one display of a desktop. Everything but wake() is
// called by the capture thread only, which also destroys the source.
class CaptureSource {
public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~CaptureSource() = default;
  // Whether the picture may have changed since the last grab; cheap when it has not.
  virtual bool changed() = 0;
  // Takes a picture. Unless `always`, none when nothing of the display changed after all (what
  // changed was elsewhere on the desktop). None when the picture cannot be had.
  virtual std::optional<CapturedFrame> grab(bool always) = 0;
  // Sleeps until the picture may have changed, wake() is called or the deadline (none: no
  // deadline) has passed. May return early.
  virtual void wait(std::optional<TimePoint> deadline) = 0;
  // From any thread: ends the wait in progress, or the next one, at once.
  virtual void wake() = 0;
  // The platform clock now, for a picture handed out again.
  virtual double clockNow() = 0;
};

// The continuous capture of one display, shared by all its subscribers: one thread grabs a
// picture when the screen changed and some subscriber's minimum interval has passed, and hands it
// to every subscriber that is due; the others get the newest picture when their own interval has
// passed. Nothing is grabbed while the screen stays the same: a subscriber with a maximum
// interval gets the newest picture again instead.
class SharedCapture : public std::enable_shared_from_this<SharedCapture> {
public:
  // Starts the capture thread ("tovel-capture"). Null, with the reason in error, when it cannot.
  static std::shared_ptr<SharedCapture> start(std::unique_ptr<CaptureSource> source,
                                              PlatformError& error);
  ~SharedCapture();
  SharedCapture(const SharedCapture&) = delete;
  SharedCapture& operator=(const SharedCapture&) = delete;

  // Adds a subscriber, which gets its first frame at once. None once the capture has lost its
  // last subscriber and is ending: a new capture must be started then.
  std::optional<std::uint64_t> subscribe(const ContinuousCaptureSettings& settings,
                                         FrameHandler handler);
  // Removes a subscriber and waits for a handler call of it in progress, unless called on the
  // capture thread. With the last subscriber the thread ends (joined, unless called on it).
  void unsubscribe(std::uint64_t id);
  // See ContinuousCapture::requestFrame.
  void requestFrame(std::uint64_t id);

  std::size_t subscribers() const;

private:
  using Steady = std::chrono::steady_clock;

  struct Subscriber {
    std::uint64_t id = 0;
    Steady::duration interval{};
    std::optional<Steady::duration> longest; // its maximum interval, if it has one
    FrameHandler handler;
    // When its last picture was taken, or was due if it was taken a little late.
    std::optional<Steady::time_point> lastDelivered;
    std::uint64_t seen = 0; // generation of the newest picture it was given
    bool requested = false;
  };

  // What the capture thread shares with the rest; it outlives this object when the last
  // subscriber leaves from the capture thread itself.
  struct State {
    std::unique_ptr<CaptureSource> source;
    mutable std::mutex mutex;
    std::condition_variable delivered; // a handler call ended
    std::vector<Subscriber> subscribers;
    std::uint64_t nextId = 1;
    std::uint64_t delivering = 0; // subscriber whose handler runs now, 0 when none
    std::thread::id threadId;
    bool stopping = false;

    // Capture thread only.
    std::optional<CapturedFrame> newest;
    std::uint64_t generation = 0;              // of newest
    bool dirty = true;                         // the screen changed since newest was taken
    std::optional<Steady::time_point> retryAt; // after a failed grab

    void run();
    void step(std::unique_lock<std::mutex>& lock);
  };

  explicit SharedCapture(std::shared_ptr<State> state) : state_(std::move(state)) {}
  void stopThread();

  std::shared_ptr<State> state_;
  std::thread thread_;
};

} // namespace tovel
