#include "support/host_binary.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/test_client.h"

namespace tovel::test {

bool waitUntilListening(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    TestClient probe(kHostPort);
    if (probe.connected()) {
      // Ended from our side and waited for the host to close its end too, so that the probe
      // leaves nothing open in the host for tests that count its descriptors.
      probe.finishSending();
      return probe.waitClosed(timeout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::unique_ptr<ChildProcess> startHostBinary(const std::string& path,
                                              const std::vector<std::string>& environment,
                                              const std::vector<std::string>& arguments,
                                              ChildProcess::Input input) {
  auto host = std::make_unique<ChildProcess>(path, arguments, input, environment);
  if (!host->waitForOutput("Tovel Host started.", std::chrono::seconds(10))) {
    ADD_FAILURE() << "the host did not start:\n" << host->output();
    return nullptr;
  }
  if (!waitUntilListening()) {
    ADD_FAILURE() << "the host is not listening on " << kHostPort << ":\n" << host->output();
    return nullptr;
  }
  return host;
}

} // namespace tovel::test
