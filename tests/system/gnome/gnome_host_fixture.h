#pragma once

#include "support/gnome_session.h"
#include "support/witness_host_test.h"

namespace tovel::test {

// The real program in a headless GNOME session (one per test suite: starting one takes a second
// or more), with a fullscreen Wayland witness on the primary monitor that reports the events it
// receives. A fresh witness and host for each test.
class GnomeHostTest : public WitnessHostTest {
protected:
  static void SetUpTestSuite() { startSession({}); }
  static void startSession(GnomeSession::Options options) {
    if (!GnomeSession::missingProgram())
      session_ = new GnomeSession(options);
  }
  static void TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
  }

  void SetUp() override {
    if (auto missing = GnomeSession::missingProgram())
      GTEST_SKIP() << *missing;
    ASSERT_TRUE(session_->running()) << "the GNOME session did not start:\n" << session_->log();
    ASSERT_NO_FATAL_FAILURE(startWitness());
    ASSERT_NO_FATAL_FAILURE(startHost(session_->environment()));
  }

  void startWitness(WitnessColour colour = kWitnessColour) {
    WitnessHostTest::startWitness(session_->environment(), {}, colour);
  }

  // Until the host's screen cast streams, Mutter 43 places its moves a few pixels beyond their
  // targets, along their direction; a picture says that it streams.
  void startHost(const std::vector<std::string>& environment) {
    WitnessHostTest::startHost(environment, "Using the GNOME Wayland display " +
                                                session_->waylandDisplay() +
                                                " through Mutter's remote desktop.\n");
  }

  static inline GnomeSession* session_ = nullptr;
};

// Whether any pixel near the place is not the witness's colour: the cursor, whose hot spot is its
// top-left corner, in a picture of the screen at this scale.
inline bool cursorNear(const BgraImage& image, PointerPosition at, double scale = 1) {
  for (int dy = int(-4 * scale); dy < 20 * scale; ++dy)
    for (int dx = int(-4 * scale); dx < 20 * scale; ++dx)
      if (!isWitnessColour(averageColour(image, int(at.x * scale) + dx, int(at.y * scale) + dy, 0)))
        return true;
  return false;
}

} // namespace tovel::test
