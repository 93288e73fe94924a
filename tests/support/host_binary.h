#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"

namespace tovel::test {

// The port the real program always listens on.
inline constexpr std::uint16_t kHostPort = 8096;

// Waits until something accepts connections on kHostPort; false when nothing does in time.
bool waitUntilListening(std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Starts the real program at `path` with the environment entries (such as an X server's), the
// arguments and the standard input given, and waits until it says it started and listens. Null,
// with a test failure recorded, when it does not in time.
std::unique_ptr<ChildProcess>
startHostBinary(const std::string& path, const std::vector<std::string>& environment,
                const std::vector<std::string>& arguments = {},
                ChildProcess::Input input = ChildProcess::Input::pipe);

// How many times `part` occurs in `text`, e.g. a log line in the program's output.
inline std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

} // namespace tovel::test
