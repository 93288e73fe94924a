#pragma once

#include <chrono>
#include <thread>

namespace tovel::test {

// Polls a condition the code under test makes true (a counter, a state it reports) until it holds;
// false when it still does not after the timeout, which is only there so that a fault fails the
// test instead of hanging it.
template <typename Condition>
bool waitUntil(Condition condition,
               std::chrono::steady_clock::duration timeout = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

} // namespace tovel::test
