#pragma once

#include <mutex>

#include "platform/clock.h"

namespace tovel {

// A clock that only moves when told to; waiting on it advances it at once.
class ManualClock final : public Clock {
public:
  explicit ManualClock(double start = 1'700'000'000.0) : now_(start) {}

  double now() override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  void sleepFor(double seconds) override { advance(seconds); }

  void set(double time) {
    std::lock_guard lock(mutex_);
    now_ = time;
  }
  void advance(double seconds) {
    std::lock_guard lock(mutex_);
    if (seconds > 0)
      now_ += seconds;
  }

private:
  std::mutex mutex_;
  double now_;
};

} // namespace tovel
