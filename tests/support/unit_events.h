#pragma once

#include <string>
#include <vector>

#include "common/number_format.h"
#include "common/utf8_text.h"
#include "platform/sim/virtual_desktop.h"

namespace tovel::test {

// What reached a virtual desktop, one line an event with every value it carries, so that a test
// can compare it with a table: "leftDown 960.0,540.0 b0", "key 59 down", "scroll 2,1" (vertical,
// horizontal), and a run of typed characters as one "typed hé". Physical events start "physical ".
inline std::vector<std::string> describeEvents(VirtualDesktop& desktop) {
  static const char* const kMouseNames[] = {
      "",      "leftDown",    "leftUp",      "rightDown", "rightUp",
      "moved", "leftDragged", "rightDragged"}; // by type up to 7; the others from 25 on
  static const char* const kOtherNames[] = {"otherDown", "otherUp", "otherDragged"};
  std::vector<std::string> lines;
  for (const RecordedEvent& recorded : desktop.events()) {
    std::string line = recorded.physical ? "physical " : "";
    if (const MouseEvent* e = recorded.mouse()) {
      auto type = std::size_t(e->type);
      line += (type < 25 ? kMouseNames[type] : kOtherNames[type - 25]) + std::string(" ") +
              formatNumber(e->position.x) + "," + formatNumber(e->position.y) + " b" +
              std::to_string(e->button);
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

// The events of a control chord around a key, the way swipes send their arrows.
inline std::vector<std::string> controlChord(int key) {
  std::string k = "key " + std::to_string(key);
  return {"key 59 down", k + " down", k + " up", "key 59 up"};
}

} // namespace tovel::test
