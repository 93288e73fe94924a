#include "platform/shared_capture.h"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <system_error>

namespace tovel {

namespace {

// How long a display whose picture cannot be had is left alone before it is tried again.
constexpr auto kRetryDelay = std::chrono::milliseconds(100);
// Forever is as good as a day and keeps the time arithmetic in range.
constexpr double kLongestInterval = 86400;
// How late a picture may be taken and still count as taken on time. The loop wakes a little after
// a picture is due and takes a round trip or two before the grab; measured from that moment, each
// interval would come out that much longer and a 60-per-second subscriber would get 58.
constexpr auto kOnTimeSlack = std::chrono::microseconds(800);

} // namespace

std::shared_ptr<SharedCapture> SharedCapture::start(std::unique_ptr<CaptureSource> source,
                                                    PlatformError& error) {
  auto state = std::make_shared<State>();
  state->source = std::move(source);
  std::shared_ptr<SharedCapture> capture(new SharedCapture(state));
  try {
    std::lock_guard lock(state->mutex);
    capture->thread_ = std::thread([state] { state->run(); });
    // Named here rather than by the thread itself, so the name is in place once start returns.
    pthread_setname_np(capture->thread_.native_handle(), "tovel-capture");
    state->threadId = capture->thread_.get_id();
  } catch (const std::system_error& e) {
    error = PlatformError{e.code().value(), "cannot start the capture thread"};
    return nullptr;
  }
  return capture;
}

SharedCapture::~SharedCapture() {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->stopping) {
      state_->stopping = true;
      state_->source->wake();
    }
  }
  stopThread();
}

void SharedCapture::stopThread() {
  if (!thread_.joinable())
    return;
  if (std::this_thread::get_id() == thread_.get_id())
    thread_.detach(); // ended from one of its own handlers: it finishes when that returns
  else
    thread_.join();
}

std::optional<std::uint64_t> SharedCapture::subscribe(const ContinuousCaptureSettings& settings,
                                                      FrameHandler handler) {
  auto duration = [](double seconds) {
    seconds = std::isfinite(seconds) ? std::clamp(seconds, 0.0, kLongestInterval) : 0.0;
    return std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(seconds));
  };
  std::lock_guard lock(state_->mutex);
  if (state_->stopping)
    return std::nullopt;
  Subscriber subscriber;
  subscriber.id = state_->nextId++;
  subscriber.interval = duration(settings.minimumFrameInterval);
  if (settings.maximumFrameInterval > 0)
    subscriber.longest = std::max(duration(settings.maximumFrameInterval), subscriber.interval);
  subscriber.handler = std::move(handler);
  state_->subscribers.push_back(std::move(subscriber));
  state_->source->wake(); // its first frame is due now
  return state_->subscribers.back().id;
}

void SharedCapture::unsubscribe(std::uint64_t id) {
  bool last = false;
  {
    std::unique_lock lock(state_->mutex);
    std::erase_if(state_->subscribers, [id](const Subscriber& s) { return s.id == id; });
    if (state_->subscribers.empty() && !state_->stopping) {
      state_->stopping = true;
      state_->source->wake();
      last = true;
    }
    if (std::this_thread::get_id() != state_->threadId)
      state_->delivered.wait(lock, [&] { return state_->delivering != id; });
  }
  if (last)
    stopThread();
}

void SharedCapture::requestFrame(std::uint64_t id) {
  std::lock_guard lock(state_->mutex);
  for (Subscriber& s : state_->subscribers)
    if (s.id == id)
      s.requested = true;
  if (!state_->stopping)
    state_->source->wake();
}

std::size_t SharedCapture::subscribers() const {
  std::lock_guard lock(state_->mutex);
  return state_->subscribers.size();
}

void SharedCapture::State::run() {
  std::unique_lock lock(mutex);
  while (!stopping)
    step(lock);
  // The picture and the source's resources (an X connection, shared memory) go with the thread.
  newest.reset();
  source.reset();
}

// One round of the capture loop, with the lock held on entry and on return.
void SharedCapture::State::step(std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  bool changed = source->changed(); // the source is this thread's own
  lock.lock();
  if (stopping)
    return;
  dirty = dirty || changed;
  const Steady::time_point now = Steady::now();

  // Who is due now, and when the next one is. A subscriber that must have a picture now, changed
  // or not (its first, one it asked for, one after its longest wait), is due "again".
  struct Due {
    std::uint64_t id;
    bool again;
  };
  std::vector<Due> due;
  bool forced = false;
  std::optional<Steady::time_point> next;
  auto until = [&](Steady::time_point at) {
    if (!next || at < *next)
      next = at;
  };
  for (const Subscriber& s : subscribers) {
    bool again =
        s.requested || !s.lastDelivered || (s.longest && *s.lastDelivered + *s.longest <= now);
    if (!(again || s.seen != generation || dirty)) {
      // Has the newest picture, and the screen did not change.
      if (s.longest)
        until(*s.lastDelivered + *s.longest);
      continue;
    }
    Steady::time_point ready = again ? now : *s.lastDelivered + s.interval;
    if (ready <= now) {
      due.push_back({s.id, again});
      forced = forced || again;
    } else {
      until(ready);
    }
  }

  bool retrying = retryAt && now < *retryAt;
  bool grabbed = false;
  if (!due.empty() && (dirty || !newest) && !retrying) {
    bool always = forced || !newest;
    lock.unlock();
    std::optional<CapturedFrame> frame = source->grab(always);
    lock.lock();
    if (frame) {
      newest = std::move(frame);
      ++generation;
      dirty = false;
      retryAt.reset();
      grabbed = true;
    } else if (!always) {
      dirty = false; // what changed was not on this display
      return;
    } else {
      retryAt = now + kRetryDelay;
    }
  }

  // The newest picture goes to every due subscriber that has not had it or asked for it again.
  // Intervals are measured between the moments the pictures were taken, a picture taken a little
  // late counting as taken when it was due: frames keep their cadence, and two pictures are never
  // closer together than the interval less that slack.
  Steady::time_point taken = now;
  if (grabbed)
    taken = Steady::time_point(std::chrono::duration_cast<Steady::duration>(
        std::chrono::duration<double>(newest->captureTime)));
  bool served = false;
  for (const Due& d : due) {
    if (stopping || !newest)
      break;
    auto it = std::find_if(subscribers.begin(), subscribers.end(),
                           [&](const Subscriber& s) { return s.id == d.id; });
    if (it == subscribers.end() || !(d.again || it->requested || it->seen != generation))
      continue;
    bool onCadence = !d.again && !it->requested;
    it->lastDelivered =
        onCadence ? std::max(*it->lastDelivered + it->interval, taken - kOnTimeSlack) : taken;
    it->seen = generation;
    it->requested = false;
    FrameHandler handler = it->handler;
    CapturedFrame frame = *newest;
    if (!grabbed) {
      // Nothing changed since it was taken: it shows the screen as it is now.
      frame.captureTime = std::chrono::duration<double>(now.time_since_epoch()).count();
      frame.timestamp = source->clockNow();
      frame.changed.clear();
    }
    delivering = d.id;
    lock.unlock();
    handler(frame);
    lock.lock();
    delivering = 0;
    delivered.notify_all();
    served = true;
  }
  if (served || stopping)
    return;

  if (retryAt && (!next || *retryAt < *next))
    next = retryAt;
  lock.unlock();
  source->wait(next);
  lock.lock();
}

} // namespace tovel
