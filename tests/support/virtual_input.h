#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "common/number_format.h"
#include "common/utf8_text.h"
#include "input/injection_state.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/virtual_desktop.h"

namespace tovel::test {

using Lines = std::vector<std::string>;

// What reached a virtual desktop, one line an event with every value it carries, so that a test
// can compare it with a table: "leftDown 960.0,540.0 b0" (" c2" after it for a double click),
// "key 59 down", "scroll 2,1" (vertical, horizontal), and a run of typed characters as one
// "typed hé". Physical events start "physical ".
inline Lines describeEvents(VirtualDesktop& desktop) {
  static const char* const kMouseNames[] = {
      "",      "leftDown",    "leftUp",      "rightDown", "rightUp",
      "moved", "leftDragged", "rightDragged"}; // by type up to 7; the others from 25 on
  static const char* const kOtherNames[] = {"otherDown", "otherUp", "otherDragged"};
  Lines lines;
  for (const RecordedEvent& recorded : desktop.events()) {
    std::string line = recorded.physical ? "physical " : "";
    if (const MouseEvent* e = recorded.mouse()) {
      auto type = std::size_t(e->type);
      line += (type < 25 ? kMouseNames[type] : kOtherNames[type - 25]) + std::string(" ") +
              formatNumber(e->position.x) + "," + formatNumber(e->position.y) + " b" +
              std::to_string(e->button) +
              (e->clickState ? " c" + std::to_string(*e->clickState) : "");
    } else if (const KeyEvent* e = recorded.key()) {
      line += "key " + std::to_string(e->key) + (e->down ? " down" : " up");
    } else if (const TypedCharacter* e = recorded.typed()) {
      if (!lines.empty() && lines.back().starts_with("typed ")) {
        lines.back() += encodeUtf8(e->character);
        continue;
      }
      line += "typed " + encodeUtf8(e->character);
    } else {
      const ScrollEvent* s = recorded.scroll();
      line += "scroll " + std::to_string(s->wheel1) + "," + std::to_string(s->wheel2) +
              (s->wheel3 ? " wheel3 " + std::to_string(s->wheel3) : "");
    }
    lines.push_back(line);
  }
  return lines;
}

// The events of control chords around keys, one after the other, the way swipes send arrows.
inline Lines controlChord(const std::vector<int>& keys) {
  Lines out;
  for (int key : keys) {
    std::string k = "key " + std::to_string(key);
    out.insert(out.end(), {"key 59 down", k + " down", k + " up", "key 59 up"});
  }
  return out;
}

// The injection operations wired to a fresh virtual desktop, a clock that only moves when told
// and a log that keeps every line.
struct VirtualInput {
  Lines events() { return describeEvents(desktop); }

  ManualClock clock;
  VirtualDesktop desktop{clock};
  InjectionState state;
  MemoryLog log;
  InputContext input{desktop, clock, state, log};
};

class VirtualInputTest : public ::testing::Test, public VirtualInput {
protected:
  using Lines = test::Lines;
};

} // namespace tovel::test
