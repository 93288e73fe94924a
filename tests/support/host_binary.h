#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/test_client.h"
#include "support/wait.h"

namespace tovel::test {

// The port the real program always listens on.
inline constexpr std::uint16_t kHostPort = 8096;

// Starts the real program at `path` with the environment entries (such as an X server's), the
// arguments and the standard input given, and waits until it says it started and listens. Null,
// with a test failure recorded, when it does not in time.
inline std::unique_ptr<ChildProcess>
startHostBinary(const std::string& path, const std::vector<std::string>& environment,
                const std::vector<std::string>& arguments = {},
                ChildProcess::Input input = ChildProcess::Input::pipe) {
  auto host = std::make_unique<ChildProcess>(path, arguments, input, environment);
  if (!host->waitForOutput("Tovel Host started.", std::chrono::seconds(10))) {
    ADD_FAILURE() << "the host did not start:\n" << host->output();
    return nullptr;
  }
  // The probe ends from our side and waits for the host to close its end too, so that it leaves
  // nothing open in the host for tests that count its descriptors.
  std::unique_ptr<TestClient> probe;
  if (!waitUntil([&] { return (probe = std::make_unique<TestClient>(kHostPort))->connected(); },
                 std::chrono::seconds(10)) ||
      (probe->finishSending(), !probe->waitClosed(std::chrono::seconds(10)))) {
    ADD_FAILURE() << "the host is not listening on " << kHostPort << ":\n" << host->output();
    return nullptr;
  }
  return host;
}

// How many times `part` occurs in `text`, e.g. a log line in the program's output.
inline std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

} // namespace tovel::test
