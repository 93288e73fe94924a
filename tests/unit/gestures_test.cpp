#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "support/virtual_input.h"

#include "input/gestures.h"

namespace tovel {
namespace {

using Keys = std::vector<int>;
using test::controlChord;

class GesturesTest : public test::VirtualInputTest {
protected:
  void swipe(double dx, double dy, bool done = false) { performSwipe(input, dx, dy, done); }
};

TEST_F(GesturesTest, ScrollCarriesFractionsInBothDirectionsAndRefusesCountsOutOfRange) {
  for (int i = 0; i < 3; ++i)
    performScroll(input, 0, 0.4);
  for (int i = 0; i < 3; ++i)
    performScroll(input, -0.4, 0);
  EXPECT_EQ(events(), (Lines{"scroll 0,0", "scroll 0,0", "scroll 1,0", "scroll 0,0", "scroll 0,0",
                             "scroll 0,-1"}));

  desktop.clearEvents();
  state.accumulatedDeltaX = state.accumulatedDeltaY = 0;
  performScroll(input, 2.75, -1.5);
  EXPECT_EQ(state.accumulatedDeltaX, 0.75);
  EXPECT_EQ(state.accumulatedDeltaY, -0.5);
  performScroll(input, 0.25, -0.5);
  EXPECT_EQ(events(), (Lines{"scroll -1,2", "scroll -1,1"}));

  // Counts outside the 32-bit range are refused without losing the remainders.
  desktop.clearEvents();
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  // 2147483647.75 only reaches 2^31 with the carried 0.25.
  const std::pair<double, double> refused[] = {
      {inf, 0}, {0, -inf}, {nan, 0}, {0, nan}, {2147483647.75, 0}, {0, -2147483648.75}, {1e300, 0}};
  for (auto [dx, dy] : refused) {
    state.accumulatedDeltaX = 0.25;
    state.accumulatedDeltaY = -0.25;
    performScroll(input, dx, dy);
    EXPECT_TRUE(events().empty()) << dx << "," << dy;
    EXPECT_EQ(state.accumulatedDeltaX, 0.25);
    EXPECT_EQ(state.accumulatedDeltaY, -0.25);
  }
  // Later scrolls still work from the kept remainders; the extremes still fit.
  performScroll(input, 0.75, -0.75);
  performScroll(input, 2147483647.5, 0);
  performScroll(input, -0.5, -2147483648.5);
  EXPECT_EQ(events(), (Lines{"scroll -1,1", "scroll 0,2147483647", "scroll -2147483648,0"}));
}

TEST_F(GesturesTest, VerticalSwipeActsWhileMovingTurnsBackAndRestarts) {
  struct Step {
    double dy;
    const char* gesture;
    double reference; // the furthest point in the watched direction
    Keys chords;
  };
  const std::vector<Step> sequences[] = {
      {{30, "", 0, {}},
       {60, "downStart", 60, {125}},
       {70, "downStart", 70, {125}},
       {45, "downEnd", 70, {125, 126}}}, // 25 back from the furthest point
      {{-60, "upStart", -60, {126}},
       {-30, "upEnd", -60, {126, 126}},
       {-30, "upEnd", -30, {126, 126}},
       {-85, "upStart", -85, {126, 126, 126}}},
      {{60, "downStart", 60, {125}},
       {30, "downEnd", 60, {125, 126}},
       {20, "downEnd", 20, {125, 126}},
       {70, "downEnd", 20, {125, 126}}, // only 50 below the new lowest point
       {71, "downStart", 71, {125, 126, 125}}}};
  for (const std::vector<Step>& steps : sequences) {
    state = InjectionState{};
    desktop.clearEvents();
    log.clear();
    for (const Step& step : steps) {
      SCOPED_TRACE(::testing::Message() << steps[0].dy << " ... " << step.dy);
      swipe(0, step.dy);
      EXPECT_EQ(state.gestureDetected, step.gesture);
      EXPECT_EQ(state.gestureDeltaY, step.reference);
      EXPECT_EQ(events(), controlChord(step.chords));
    }
    Lines lines;
    for (int key : steps.back().chords)
      lines.push_back(key == 125 ? "swipe down" : "swipe up");
    EXPECT_EQ(log.lines(), lines);
    // The end of a vertical swipe that acted does nothing more, whichever way it went.
    swipe(-200, steps.back().dy, true);
    EXPECT_EQ(state.gestureDetected, "");
    EXPECT_EQ(events(), controlChord(steps.back().chords));
  }
}

TEST_F(GesturesTest, FinishedGestureIsClassifiedOnce) {
  const std::tuple<double, double, const char*, KeyCode> cases[] = {
      {-40, 10, "swipe left", 124}, {40, -10, "swipe right", 123}, {30, 30, "swipe down", 125},
      {-30, -30, "swipe up", 126},  {25, 0, nullptr, 0},           {-25, 0, nullptr, 0},
      {0, -25, nullptr, 0}};
  for (auto [dx, dy, line, key] : cases) {
    SCOPED_TRACE(::testing::Message() << dx << "," << dy);
    desktop.clearEvents();
    log.clear();
    swipe(dx, dy, true);
    EXPECT_EQ(log.lines(), line ? Lines{line} : Lines{});
    EXPECT_EQ(events(), key ? controlChord({key}) : Lines{});
    EXPECT_EQ(state.gestureDetected, "");
  }
  // Horizontal movement waits for the end.
  swipe(-80, 10);
  swipe(-80, -70);
  EXPECT_TRUE(events().empty());
  EXPECT_EQ(state.gestureDetected, "");
}

} // namespace
} // namespace tovel
