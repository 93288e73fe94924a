#include <gtest/gtest.h>

#include <vector>

#include "platform/x11/x11_pointer.h"

namespace tovel {
namespace {

// One step: a move the backend sent (from what the server reported to a target), or a report
// of the server and the position the backend should answer with.
struct Step {
  enum { move, report } kind;
  RootPoint a, b; // move: reported, target; report: reported, expected answer
};

TEST(PendingPointer, AnswersWithTheTargetOnlyWhileTheServerShowsThePositionBeforeIt) {
  const RootPoint p0{500, 400}, t1{502, 401}, t2{504, 402}, elsewhere{10, 10};
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"nothing sent", {{Step::report, p0, p0}}},
      {"frozen: moves chain from the pending target",
       {{Step::move, p0, t1},
        {Step::report, p0, t1},
        {Step::move, p0, t2},
        {Step::report, p0, t2},
        {Step::report, p0, t2}}},
      {"reached: the wait ends",
       {{Step::move, p0, t1}, {Step::report, t1, t1}, {Step::report, p0, p0}}},
      {"moved by someone else, or put elsewhere by the server",
       {{Step::move, p0, t1}, {Step::report, elsewhere, elsewhere}, {Step::report, p0, p0}}},
      {"a move to where the pointer is leaves nothing pending",
       {{Step::move, p0, t1}, {Step::move, p0, p0}, {Step::report, p0, p0}}},
  };
  for (const auto& c : cases) {
    PendingPointer pending;
    for (const Step& step : c.steps) {
      if (step.kind == Step::move) {
        pending.moved(step.a, step.b);
        continue;
      }
      RootPoint answer = pending.resolve(step.a);
      EXPECT_EQ(answer, step.b) << c.name << ": answered " << answer.x << "," << answer.y;
    }
  }
}

} // namespace
} // namespace tovel
