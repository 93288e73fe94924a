#pragma once

#include "support/sway_session.h"
#include "support/witness_host_test.h"

namespace tovel::test {

// The real program on a headless sway (one per test suite), with a fullscreen Wayland witness on
// its output (with its marks) that reports the events it receives. A fresh witness and host for
// each test.
class SwayHostTest : public WitnessHostTest {
protected:
  static void SetUpTestSuite() {
    if (!SwaySession::missingProgram())
      session_ = new SwaySession();
  }
  static void TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
  }

  void SetUp() override {
    if (auto missing = SwaySession::missingProgram())
      GTEST_SKIP() << *missing;
    ASSERT_TRUE(session_->running()) << "sway did not start:\n" << session_->log();
    ASSERT_NO_FATAL_FAILURE(startWitness(session_->environment(), {"--marks"}));
    ASSERT_NO_FATAL_FAILURE(startHost());
  }

  void startHost() {
    WitnessHostTest::startHost(session_->environment(), "Using the Wayland display " +
                                                            session_->waylandDisplay() +
                                                            " through the wlroots protocols");
  }

  // Moves the pointer onto the witness and waits until the witness has seen it there, the
  // motion's frame included (a test reading the events after it must not get that frame); where
  // it then is.
  PointerPosition pointerOnWitness() {
    std::size_t before = witnessLines().size();
    post("/move", R"({"x":1,"y":1})");
    waitUntil(
        [&] {
          std::string events = witnessEvents(before, {"motion ", "frame"});
          std::size_t motion = events.find("motion ");
          return motion != std::string::npos && events.find("frame", motion) != std::string::npos;
        },
        30s);
    return pointer().value_or(PointerPosition{-1, -1});
  }

  static inline SwaySession* session_ = nullptr;
};

} // namespace tovel::test
