#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/number_format.h"
#include "input/held_input.h"
#include "server/control_endpoints.h"
#include "server/websocket_dispatch.h"
#include "support/virtual_input.h"

namespace tovel {
namespace {

using Lines = std::vector<std::string>;

// What reached the desktop, with every value a command carried on its way there.
std::string describe(const RecordedEvent& recorded) {
  if (const MouseEvent* e = recorded.mouse()) {
    static const std::map<MouseEventType, std::string> names = {
        {MouseEventType::mouseMoved, "moved"},
        {MouseEventType::leftMouseDown, "leftDown"},
        {MouseEventType::leftMouseUp, "leftUp"},
        {MouseEventType::rightMouseDown, "rightDown"},
        {MouseEventType::rightMouseUp, "rightUp"},
        {MouseEventType::otherMouseDown, "otherDown"},
        {MouseEventType::otherMouseUp, "otherUp"},
        {MouseEventType::leftMouseDragged, "leftDragged"},
        {MouseEventType::rightMouseDragged, "rightDragged"},
        {MouseEventType::otherMouseDragged, "otherDragged"}};
    return names.at(e->type) + " " + formatNumber(e->position.x) + "," +
           formatNumber(e->position.y) + " b" + std::to_string(e->button);
  }
  if (const KeyEvent* e = recorded.key())
    return "key " + std::to_string(e->key) + (e->down ? " down" : " up");
  const ScrollEvent* e = recorded.scroll();
  return "scroll " + std::to_string(e->wheel1) + "," + std::to_string(e->wheel2);
}

class WebSocketDispatch : public test::VirtualInputTest {
protected:
  void send(std::string_view text) { handleWebSocketMessage(input, text, held); }
  Lines described() {
    Lines out;
    for (const RecordedEvent& e : desktop.events())
      out.push_back(describe(e));
    return out;
  }

  HeldInput held;
};

// The HTTP control endpoints and the WebSocket actions take the same commands: each one, through
// either channel, must reach the desktop with the values it carried (offsets on the right axes,
// the named button and key, the done flag).
TEST(InputChannels, EveryCarriedValueReachesTheDesktop) {
  const Lines chord = {"key 59 down", "", "", "key 59 up"};
  auto swipeChord = [&](int arrow) {
    Lines keys = chord;
    keys[1] = "key " + std::to_string(arrow) + " down";
    keys[2] = "key " + std::to_string(arrow) + " up";
    return keys;
  };
  const struct {
    std::vector<std::string> commands; // JSON objects with their "action"
    Lines events;
  } cases[] = {
      {{R"({"action":"move","x":3,"y":-2})"}, {"moved 963.0,538.0 b0"}},
      {{R"({"action":"move","x":0.5,"y":1e1,"button":"middle"})"}, {"moved 960.5,550.0 b2"}},
      {{R"({"action":"move","x":"3","y":1})", R"({"action":"move","x":3})"}, {}},
      // A drag: the move carries the named button in both events.
      {{R"({"action":"mousedown"})", R"({"action":"move","x":-4,"y":5,"button":"right"})"},
       {"leftDown 960.0,540.0 b0", "moved 956.0,545.0 b1", "rightDragged 956.0,545.0 b1"}},
      {{R"({"action":"click","button":"center"})"},
       {"otherDown 960.0,540.0 b2", "otherUp 960.0,540.0 b2"}},
      {{R"({"action":"click","button":"Right"})"},
       {"leftDown 960.0,540.0 b0", "leftUp 960.0,540.0 b0"}},
      {{R"({"action":"click"})"}, {}},
      {{R"({"action":"mousedown","button":"right"})", R"({"action":"mouseup","button":"middle"})",
        R"({"action":"mouseup","button":5})"},
       {"rightDown 960.0,540.0 b1", "otherUp 960.0,540.0 b2", "leftUp 960.0,540.0 b0"}},
      {{R"({"action":"keydown","key":"f5"})", R"({"action":"keyup","key":"leftArrow"})",
        R"({"action":"keydown","key":"A"})", R"({"action":"keyup","key":0})"},
       {"key 96 down", "key 123 up"}},
      {{R"({"action":"scroll","x":1,"y":2,"done":false})",
        R"({"action":"scroll","x":-3.5,"y":0.75,"done":true})",
        R"({"action":"scroll","x":1,"y":2})"},
       {"scroll 2,1", "scroll 0,-3"}},
      // A horizontal swipe acts only when done, with the arrow opposite to its direction.
      {{R"({"action":"swipe","x":-40,"y":10,"done":false})",
        R"({"action":"swipe","x":-40,"y":10})"},
       {}},
      {{R"({"action":"swipe","x":-40,"y":10,"done":true})"}, swipeChord(124)},
      {{R"({"action":"swipe","x":40,"y":-10,"done":true})"}, swipeChord(123)},
      {{R"({"action":"swipe","x":5,"y":-60,"done":false})"}, swipeChord(126)},
  };
  for (const auto& c : cases) {
    for (bool webSocket : {false, true}) {
      SCOPED_TRACE((webSocket ? "WebSocket " : "POST ") + c.commands.front());
      ManualClock clock;
      VirtualDesktop desktop{clock};
      InjectionState state;
      MemoryLog log;
      InputContext input{desktop, clock, state, log};
      HeldInput held;
      for (const std::string& command : c.commands) {
        clock.advance(10); // never a double click
        if (webSocket) {
          handleWebSocketMessage(input, command, held);
        } else {
          nlohmann::json body = nlohmann::json::parse(command);
          std::string target = "/" + body["action"].get<std::string>();
          body.erase("action");
          handleControlRequest(input, target, body.dump());
        }
      }
      Lines events;
      for (const RecordedEvent& e : desktop.events())
        events.push_back(describe(e));
      EXPECT_EQ(events, c.events);
    }
  }
}

TEST_F(WebSocketDispatch, LogLines) {
  for (std::string_view message : {
           R"({"action":"move","x":3,"y":-2})",
           R"({"action":"click"})",
           R"({"action":"click","button":"center"})",
           R"({"action":"click","button":"Right"})",
           R"({"action":"mousedown"})",
           R"({"action":"mouseup","button":"right"})",
           R"({"action":"keydown","key":"a"})",
           R"({"action":"keyup","key":"a"})",
           R"({"action":"keydown","key":"nope"})",
           R"({"action":"scroll","x":1,"y":2,"done":false})",
           R"({"action":"scroll","x":0,"y":-1,"done":true})",
           R"({"action":"swipe","x":-40,"y":10,"done":true})",
           R"({"action":"log","text":"hi there"})",
           R"({"action":"log","text":5})",
           R"({"action":"Move","x":1,"y":1})",
           R"({"action":7})",
           R"(["action","move"])",
           "not json",
       })
    send(message);
  EXPECT_EQ(log.lines(),
            (Lines{"\nws click center", "\nws click Right", "\nws mousedown left",
                   "\nws mouseup right", "ws keydown a", "ws keyup a", "ws keydown nope",
                   "ws scroll", "swipe left", "hi there", "Unknown WebSocket action: Move"}));
}

// What a session has pressed and not released is what is let go when it ends: the latest press
// first, each once, and nothing it released itself (a click releases too).
TEST_F(WebSocketDispatch, RemembersWhatTheSessionHoldsDown) {
  const struct {
    std::vector<std::string_view> messages;
    Lines released;
  } cases[] = {
      {{R"({"action":"mousedown"})", R"({"action":"keydown","key":"shift"})",
        R"({"action":"keydown","key":"a"})", R"({"action":"keyup","key":"a"})",
        R"({"action":"mousedown","button":"middle"})", R"({"action":"mousedown"})"},
       {"otherUp 960.0,540.0 b2", "key 56 up", "leftUp 960.0,540.0 b0"}},
      {{R"({"action":"mousedown","button":"right"})", R"({"action":"click","button":"right"})",
        R"({"action":"mousedown","button":"center"})", R"({"action":"mouseup","button":"middle"})",
        R"({"action":"keydown","key":"nope"})", R"({"action":"keydown"})"},
       {}},
      {{R"({"action":"keydown","key":"command"})", R"({"action":"keydown","key":"rightShift"})",
        R"({"action":"keyup","key":"command"})"},
       {"key 60 up"}},
  };
  for (const auto& c : cases) {
    for (std::string_view message : c.messages)
      send(message);
    desktop.clearEvents();
    held.releaseAll(input);
    EXPECT_EQ(described(), c.released) << c.messages.front();
    EXPECT_TRUE(held.empty());
  }
  // The releases went through the injection state: shift no longer counts as held.
  EXPECT_EQ(state.modifierState.leftShift, 0);
  EXPECT_EQ(state.modifierState.rightShift, 0);
}

} // namespace
} // namespace tovel
