#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "support/virtual_input.h"

#include "input/gestures.h"

namespace tovel {
namespace {

class GesturesTest : public test::VirtualInputTest {
protected:
  // (vertical, horizontal) of every posted scroll.
  std::vector<std::pair<int, int>> scrolls() {
    std::vector<std::pair<int, int>> out;
    for (const RecordedEvent& e : desktop.events())
      if (const ScrollEvent* s = e.scroll()) {
        EXPECT_EQ(s->wheel3, 0);
        out.emplace_back(s->wheel1, s->wheel2);
      }
    return out;
  }

  // The arrow key of every control chord posted, checking each is wrapped in control.
  std::vector<KeyCode> chords() {
    std::vector<KeyCode> out;
    auto events = desktop.events();
    EXPECT_EQ(events.size() % 4, 0u);
    for (size_t i = 0; i + 3 < events.size(); i += 4) {
      const KeyEvent *a = events[i].key(), *b = events[i + 1].key(), *c = events[i + 2].key(),
                     *d = events[i + 3].key();
      if (!a || !b || !c || !d) {
        ADD_FAILURE() << "not a key chord at " << i;
        break;
      }
      EXPECT_TRUE(a->key == 59 && a->down && b->down && c->key == b->key && !c->down &&
                  d->key == 59 && !d->down);
      out.push_back(b->key);
    }
    return out;
  }

  void swipe(double dx, double dy, bool done = false) { performSwipe(input, dx, dy, done); }
  using Keys = std::vector<KeyCode>;
  using Lines = std::vector<std::string>;
};

TEST_F(GesturesTest, ScrollCarriesFractionsInBothDirections) {
  for (int i = 0; i < 3; ++i)
    performScroll(input, 0, 0.4);
  for (int i = 0; i < 3; ++i)
    performScroll(input, -0.4, 0);
  using S = std::vector<std::pair<int, int>>;
  EXPECT_EQ(scrolls(), (S{{0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0}, {0, -1}}));

  desktop.clearEvents();
  state.accumulatedDeltaX = state.accumulatedDeltaY = 0;
  performScroll(input, 2.75, -1.5);
  EXPECT_EQ(state.accumulatedDeltaX, 0.75);
  EXPECT_EQ(state.accumulatedDeltaY, -0.5);
  performScroll(input, 0.25, -0.5);
  EXPECT_EQ(scrolls(), (S{{-1, 2}, {-1, 1}}));
}

TEST_F(GesturesTest, ScrollOutsideTheCountRangeIsRefusedWithoutLosingRemainders) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, double> refused[] = {
      {inf, 0},
      {0, -inf},
      {std::nan(""), 0},
      {0, std::nan("")},
      {2147483647.75, 0}, // only the carried 0.25 pushes it to 2^31
      {0, -2147483648.75},
      {1e300, 0}};
  const std::pair<double, double> accepted[] = {{2147483647.5, 0}, {0, -2147483648.5}};

  for (auto [dx, dy] : refused) {
    state.accumulatedDeltaX = 0.25;
    state.accumulatedDeltaY = -0.25;
    desktop.clearEvents();
    performScroll(input, dx, dy);
    EXPECT_TRUE(scrolls().empty()) << dx << "," << dy;
    EXPECT_EQ(state.accumulatedDeltaX, 0.25);
    EXPECT_EQ(state.accumulatedDeltaY, -0.25);
  }
  // Later scrolls still work from the kept remainders.
  performScroll(input, 0.75, -0.75);
  EXPECT_EQ(scrolls(), (std::vector<std::pair<int, int>>{{-1, 1}}));

  for (auto [dx, dy] : accepted) {
    state.accumulatedDeltaX = state.accumulatedDeltaY = 0;
    desktop.clearEvents();
    performScroll(input, dx, dy);
    ASSERT_EQ(scrolls().size(), 1u);
    EXPECT_EQ(scrolls()[0], std::make_pair(int(std::trunc(dy)), int(std::trunc(dx))));
  }
}

TEST_F(GesturesTest, VerticalSwipeActsWhileMovingAndTurningBack) {
  swipe(0, 30);
  EXPECT_TRUE(chords().empty());
  swipe(0, 60);
  EXPECT_EQ(chords(), Keys{125});
  swipe(0, 70);
  EXPECT_EQ(state.gestureDeltaY, 70);
  swipe(0, 45);
  EXPECT_EQ(chords(), (Keys{125, 126}));
  EXPECT_EQ(state.gestureDetected, "downEnd");
  swipe(0, 45, true);
  EXPECT_EQ(state.gestureDetected, "");
  EXPECT_EQ(chords(), (Keys{125, 126}));
  EXPECT_EQ(log.lines(), (Lines{"swipe down", "swipe up"}));
}

TEST_F(GesturesTest, UpwardSwipeTurnsAndRestarts) {
  swipe(0, -60);
  EXPECT_EQ(state.gestureDetected, "upStart");
  swipe(0, -30);
  EXPECT_EQ(state.gestureDetected, "upEnd");
  EXPECT_EQ(state.gestureDeltaY, -60);
  swipe(0, -30);
  EXPECT_EQ(state.gestureDeltaY, -30);
  EXPECT_EQ(chords(), (Keys{126, 126}));
  swipe(0, -85);
  EXPECT_EQ(state.gestureDetected, "upStart");
  EXPECT_EQ(state.gestureDeltaY, -85);
  EXPECT_EQ(chords(), (Keys{126, 126, 126}));
  EXPECT_EQ(log.lines(), (Lines{"swipe up", "swipe up", "swipe up"}));
}

TEST_F(GesturesTest, DownwardSwipeRestartsAfterGoingBackDown) {
  swipe(0, 60);
  swipe(0, 30); // 30 above the highest point
  swipe(0, 20);
  swipe(0, 70); // only 50 below the new lowest point
  EXPECT_EQ(state.gestureDetected, "downEnd");
  swipe(0, 71);
  EXPECT_EQ(state.gestureDetected, "downStart");
  EXPECT_EQ(state.gestureDeltaY, 71);
  EXPECT_EQ(chords(), (Keys{125, 126, 125}));
}

TEST_F(GesturesTest, FinishedGestureIsClassifiedOnce) {
  const std::tuple<double, double, const char*, KeyCode> cases[] = {
      {-40, 10, "swipe left", 124}, {40, -10, "swipe right", 123}, {30, 30, "swipe down", 125},
      {-30, -30, "swipe up", 126},  {10, 10, nullptr, 0},          {25, 0, nullptr, 0},
      {0, -25, nullptr, 0}};
  for (auto [dx, dy, line, key] : cases) {
    SCOPED_TRACE(::testing::Message() << dx << "," << dy);
    desktop.clearEvents();
    log.clear();
    swipe(dx, dy, true);
    EXPECT_EQ(log.lines(), line ? Lines{line} : Lines{});
    EXPECT_EQ(chords(), key ? Keys{key} : Keys{});
    EXPECT_EQ(state.gestureDetected, "");
  }
}

TEST_F(GesturesTest, HorizontalMovementWaitsForTheEndAndVerticalIsNotRepeated) {
  swipe(-80, 10);
  swipe(-80, -70);
  EXPECT_TRUE(chords().empty());
  EXPECT_EQ(state.gestureDetected, "");

  swipe(0, 80);
  swipe(-200, 80, true);
  EXPECT_EQ(chords(), Keys{125});
  EXPECT_EQ(state.gestureDetected, "");
}

} // namespace
} // namespace tovel
