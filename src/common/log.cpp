#include "common/log.h"

#include <algorithm>

namespace tovel {

void StreamLog::print(std::string_view text) {
  std::lock_guard lock(mutex_);
  std::fwrite(text.data(), 1, text.size(), stream_);
  std::fputc('\n', stream_);
  std::fflush(stream_);
}

void MemoryLog::print(std::string_view text) {
  {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(text);
  }
  changed_.notify_all();
}

std::vector<std::string> MemoryLog::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool MemoryLog::contains(std::string_view text) const {
  std::lock_guard lock(mutex_);
  return std::find(lines_.begin(), lines_.end(), text) != lines_.end();
}

bool MemoryLog::waitFor(std::string_view text, std::chrono::milliseconds timeout) {
  return waitForCount(text, 1, timeout);
}

bool MemoryLog::waitForCount(std::string_view text, std::size_t count,
                             std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return std::size_t(std::count(lines_.begin(), lines_.end(), text)) >= count;
  });
}

void MemoryLog::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

} // namespace tovel
