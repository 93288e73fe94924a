#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/log.h"
#include "input/injection_state.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/virtual_desktop.h"

namespace tovel::test {

// The injection operations wired to a fresh virtual desktop, a clock that only moves when told
// and a log that keeps every line.
class VirtualInputTest : public ::testing::Test {
protected:
  // The injected (not physical) events of each kind, in posting order.
  std::vector<MouseEvent> mouseEvents() {
    std::vector<MouseEvent> out;
    for (const RecordedEvent& e : desktop.events())
      if (e.mouse() && !e.physical)
        out.push_back(*e.mouse());
    return out;
  }
  std::vector<MouseEventType> mouseTypes() {
    std::vector<MouseEventType> out;
    for (const MouseEvent& e : mouseEvents())
      out.push_back(e.type);
    return out;
  }
  std::vector<KeyEvent> keyEvents() {
    std::vector<KeyEvent> out;
    for (const RecordedEvent& e : desktop.events())
      if (e.key())
        out.push_back(*e.key());
    return out;
  }
  // (vertical, horizontal) of every posted scroll; the third wheel never moves.
  using Scrolls = std::vector<std::pair<int, int>>;
  Scrolls scrolls() {
    Scrolls out;
    for (const RecordedEvent& e : desktop.events())
      if (const ScrollEvent* s = e.scroll()) {
        EXPECT_EQ(s->wheel3, 0);
        out.emplace_back(s->wheel1, s->wheel2);
      }
    return out;
  }
  using Lines = std::vector<std::string>;

  ManualClock clock;
  VirtualDesktop desktop{clock};
  InjectionState state;
  MemoryLog log;
  InputContext input{desktop, clock, state, log};
};

} // namespace tovel::test
