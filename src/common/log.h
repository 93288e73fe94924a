#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tovel {

// Where the host's messages go. Each print writes the text followed by one newline, as one
// uninterrupted line, and may be called from any thread.
class Log {
public:
  virtual ~Log() = default;
  virtual void print(std::string_view text) = 0;
};

// Writes to a stdio stream (standard output for the host) and flushes every line so messages are
// seen at once when the output is a pipe.
class StreamLog final : public Log {
public:
  explicit StreamLog(std::FILE* stream) : stream_(stream) {}
  void print(std::string_view text) override;

private:
  std::mutex mutex_;
  std::FILE* stream_;
};

// Keeps every printed text, for tests.
class MemoryLog final : public Log {
public:
  void print(std::string_view text) override;
  std::vector<std::string> lines() const;
  bool contains(std::string_view text) const;
  // Waits until a printed text equals the given one; false on time-out.
  bool waitFor(std::string_view text, std::chrono::milliseconds timeout);
  // Waits until the given text has been printed at least count times; false on time-out.
  bool waitForCount(std::string_view text, std::size_t count, std::chrono::milliseconds timeout);
  void clear();

private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

} // namespace tovel
