#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/gnome/pointer_tracker.h"

namespace tovel {
namespace {

struct Step {
  enum Kind { move, report, forget } kind;
  double x = 0, y = 0;
  std::optional<int> at; // ms: when a move was sent, when a report was taken (none: not known)
};
const auto move = [](double x, double y, int at) { return Step{Step::move, x, y, at}; };
const auto report = [](double x, double y, std::optional<int> at) {
  return Step{Step::report, x, y, at};
};
const auto forgetting = [] { return Step{Step::forget, 0, 0, std::nullopt}; };

struct Case {
  std::string name;
  std::vector<Step> steps;
  std::optional<Point> position;
};

std::string text(std::optional<Point> p) {
  return p ? "(" + std::to_string(p->x) + ", " + std::to_string(p->y) + ")" : "none";
}

// On GNOME: a move keeps its fractions once shown (DesktopChecks.MovesFromEveryChannelAreExact),
// another program's move back to the start wins (GnomeInput.AMoveByAnotherProgram...).
TEST(PointerTrackerTest, MovesStandUntilShownOrOvertakenByANewerReport) {
  const std::vector<Case> cases = {
      {"quick moves build on each other until a report shows the last",
       {move(10.5, 10.5, 1), move(12.5, 9.5, 2), report(10, 10, 3)},
       Point{12.5, 9.5}},
      {"a late report, taken before the moves were sent, leaves them",
       {report(960, 540, 0), move(1000, 570, 10), move(1001, 571, 11), report(17, 17, 5),
        report(1000, 570, 12)},
       Point{1001, 571}},
      {"the first report, where the cursor showed itself on the first move, leaves the moves",
       {move(1000, 570, 10), move(1001, 571, 11), report(16, 16, 12), report(1000, 570, 13)},
       Point{1001, 571}},
      {"a report still showing where the moves start leaves them",
       {move(110.5, 100, 1), report(110, 100, 2), move(120, 100, 3), report(111, 100, 4)},
       Point{120, 100}},
      {"another program's move after the moves overtakes them",
       {report(10, 10, 0), move(50, 50, 1), report(300, 200, 2)},
       Point{300, 200}},
      {"a report without a time that shows no move overtakes them",
       {report(10, 10, 0), move(50, 50, 1), report(300, 200, std::nullopt)},
       Point{300, 200}},
      {"a report taken before one already had (another stream, behind) is stale",
       {move(20, 15, 1), report(20, 15, 3), report(17, 17, 2)},
       Point{20, 15}},
      {"forgotten moves leave the last report",
       {report(10, 10, 0), move(50, 50, 1), forgetting()},
       Point{10, 10}},
      {"nothing is known before a move or a report", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    PointerTracker tracker;
    auto time = [](int ms) {
      return PointerTracker::Clock::time_point{std::chrono::milliseconds(ms)};
    };
    for (const Step& step : c.steps)
      if (step.kind == Step::move)
        tracker.moving(Point{step.x, step.y}, time(*step.at));
      else if (step.kind == Step::report)
        tracker.reported(Point{step.x, step.y},
                         step.at ? std::optional(time(*step.at)) : std::nullopt);
      else
        tracker.forgetMoves();
    EXPECT_EQ(text(tracker.position()), text(c.position)) << c.name;
  }
}

} // namespace
} // namespace tovel
