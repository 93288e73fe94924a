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

// The text with what a terminal would act on instead of showing made visible: control characters
// other than tab, line feed and a carriage return before a line feed as "^X" ("^[" for escape,
// "^?" for delete), and the C1 controls U+0080 to U+009F as "<80>" to "<9F>". Clients' words reach
// the log (a "log" message, a key name, a request), and an escape sequence among them could
// rewrite the user's screen, title or clipboard.
std::string terminalSafe(std::string_view text);

// Writes to a stdio stream (standard output for the host) and flushes every line so messages are
// seen at once when the output is a pipe. What it writes is made terminal-safe.
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
