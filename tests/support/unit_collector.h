#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace tovel::test {

// What a handler on another thread is given, kept for the test to wait for and look at.
template <typename T> class Collected {
public:
  void add(T item) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
    changed_.notify_all();
  }
  // Until that many have come; false when they do not within a generous time.
  bool waitForCount(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60),
                             [&] { return items_.size() >= count; });
  }
  std::vector<T> items() {
    std::lock_guard lock(mutex_);
    return items_;
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<T> items_;
};

} // namespace tovel::test
