#include "common/log.h"

#include <algorithm>

namespace tovel {

std::string terminalSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    bool lineEnd = c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
    if ((c < 0x20 && c != '\t' && !lineEnd) || c == 0x7f) {
      out += '^';
      out += char(c ^ 0x40);
    } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      auto next = static_cast<unsigned char>(text[++i]);
      out += '<';
      out += kHex[next >> 4];
      out += kHex[next & 15];
      out += '>';
    } else {
      out += char(c);
    }
  }
  return out;
}

void StreamLog::print(std::string_view text) {
  std::string safe = terminalSafe(text);
  std::lock_guard lock(mutex_);
  std::fwrite(safe.data(), 1, safe.size(), stream_);
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
