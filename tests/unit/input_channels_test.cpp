#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "input/held_input.h"
#include "server/control_endpoints.h"
#include "server/websocket_dispatch.h"
#include "support/virtual_input.h"

namespace tovel {
namespace {

using test::controlChord;
using test::Lines;

// The HTTP control endpoints and the WebSocket actions take the same commands: each one, through
// either channel, must reach the desktop with the values it carried (offsets on the right axes,
// the named button and key, the done flag) and print the same lines, where '@' stands for the
// "ws " that marks the WebSocket's.
TEST(InputChannels, EveryCarriedValueReachesTheDesktop) {
  const struct {
    std::vector<std::string> commands;
    Lines events;
    Lines log;
  } cases[] = {
      // A button that is not a name counts as absent.
      {{R"({"action":"move","x":3,"y":-2})", R"({"action":"move","x":0.5,"y":1e1,"button":7})"},
       {"moved 963.0,538.0 b0", "moved 963.5,548.0 b0"},
       {}},
      {{R"({"action":"move","x":0.5,"y":1e1,"button":"middle"})"}, {"moved 960.5,550.0 b2"}, {}},
      {{R"({"action":"move","x":"3","y":1})", R"({"action":"move","x":3})",
        R"({"action":"move","x":true,"y":1})"},
       {},
       {}},
      // A drag: the move carries the named button in both events.
      {{R"({"action":"mousedown"})", R"({"action":"move","x":-4,"y":5,"button":"right"})"},
       {"leftDown 960.0,540.0 b0", "moved 956.0,545.0 b1", "rightDragged 956.0,545.0 b1"},
       {"\n@mousedown left"}},
      {{R"({"action":"click","button":"center"})"},
       {"otherDown 960.0,540.0 b2", "otherUp 960.0,540.0 b2"},
       {"\n@click center"}},
      {{R"({"action":"click","button":"Right"})"}, // names are case-sensitive
       {"leftDown 960.0,540.0 b0", "leftUp 960.0,540.0 b0"},
       {"\n@click Right"}},
      {{R"({"action":"click"})", R"({"action":"click","button":1})"}, {}, {}},
      {{R"({"action":"mousedown","button":"right"})", R"({"action":"mouseup","button":"middle"})",
        R"({"action":"mouseup","button":5})"},
       {"rightDown 960.0,540.0 b1", "otherUp 960.0,540.0 b2", "leftUp 960.0,540.0 b0"},
       {"\n@mousedown right", "\n@mouseup middle", "\n@mouseup left"}},
      // Keys are looked up exactly; a name that is no key is still printed.
      {{R"({"action":"keydown","key":"f5"})", R"({"action":"keyup","key":"leftArrow"})",
        R"({"action":"keydown","key":"A"})", R"({"action":"keyup","key":0})"},
       {"key 96 down", "key 123 up"},
       {"@keydown f5", "@keyup leftArrow", "@keydown A"}},
      // Text is typed as its characters; refused text is said so.
      {{R"({"action":"type","text":"hé\r\n\t😀"})"}, {"typed hé\n\t😀"}, {"@type 5 characters"}},
      {{R"({"action":"type","text":5})", R"({"action":"type"})",
        R"({"action":"type","text":"a\u0007"})", R"({"action":"type","text":""})"},
       {},
       {"Ignored type command: no text string", "Ignored type command: no text string",
        "Ignored type command: control character U+0007 in the text", "@type 0 characters"}},
      {{R"({"action":"log","text":"hello\nworld"})", R"({"action":"log","text":5})"},
       {},
       {"hello\nworld"}},
      // Scrolls need all three keys and print only when done.
      {{R"({"action":"scroll","x":1,"y":2,"done":false})",
        R"({"action":"scroll","x":-3.5,"y":0.75,"done":true})",
        R"({"action":"scroll","x":1,"y":2})", R"({"action":"scroll","x":1,"y":2,"done":"true"})"},
       {"scroll 2,1", "scroll 0,-3"},
       {"@scroll"}},
      // A horizontal swipe acts only when done, with the arrow opposite to its direction.
      {{R"({"action":"swipe","x":-40,"y":10,"done":false})",
        R"({"action":"swipe","x":-40,"y":10})"},
       {},
       {}},
      {{R"({"action":"swipe","x":-40,"y":10,"done":true})"}, controlChord({124}), {"swipe left"}},
      {{R"({"action":"swipe","x":40,"y":-10,"done":true})"}, controlChord({123}), {"swipe right"}},
      {{R"({"action":"swipe","x":5,"y":-60,"done":false})"}, controlChord({126}), {"swipe up"}},
  };
  for (const auto& c : cases) {
    for (bool webSocket : {false, true}) {
      SCOPED_TRACE((webSocket ? "WebSocket " : "POST ") + c.commands.front());
      test::VirtualInput v;
      HeldInput held;
      for (const std::string& command : c.commands) {
        v.clock.advance(10); // never a double click
        if (webSocket) {
          handleWebSocketMessage(v.input, command, held);
          continue;
        }
        // A POST goes to the endpoint the action names, with the rest as its body.
        nlohmann::json body = nlohmann::json::parse(command);
        std::string target = "/" + body["action"].get<std::string>();
        body.erase("action");
        handleControlRequest(v.input, target, body.dump());
      }
      EXPECT_EQ(v.events(), c.events);
      Lines printed = c.log;
      for (std::string& line : printed)
        if (auto at = line.find('@'); at != std::string::npos)
          line.replace(at, 1, webSocket ? "ws " : "");
      EXPECT_EQ(v.log.lines(), printed);
    }
  }
}

class InputCommands : public test::VirtualInputTest {
protected:
  void send(std::string_view message) { handleWebSocketMessage(input, message, held); }

  HeldInput held;
};

// Only JSON objects are commands, only the exact endpoint names and actions; an action that is
// no command is named on the WebSocket.
TEST_F(InputCommands, AnythingElseDoesNothing) {
  for (std::string_view body : {"", "not json", "[1,2]", "3", "{\"x\":1,\"y\":2", "null",
                                "{\"x\":1e999,\"y\":2}", "{\"x\":1,\"y\":2} trailing"}) {
    handleControlRequest(input, "/move", body);
    send(body);
  }
  handleControlRequest(input, "/move?x=1", R"({"x": 3, "y": 1})");
  handleControlRequest(input, "/type?x=1", R"({"text": "a"})");
  handleControlRequest(input, "/Move", R"({"x": 3, "y": 1})");
  for (std::string_view message : {R"(["action","move"])", R"({"action":7,"x":1,"y":1})",
                                   R"({"x":1,"y":1})", R"({"action":"Move","x":1,"y":1})"})
    send(message);
  EXPECT_TRUE(desktop.events().empty());
  EXPECT_EQ(log.lines(), Lines{"Unknown WebSocket action: Move"});

  // A text to type that is no text is said so, whatever is wrong with it.
  log.clear();
  for (std::string_view body : {"", "not json", "[\"a\"]", "{\"text\":\"caf\xc3\xa9\xff\"}"})
    handleControlRequest(input, "/type", body);
  EXPECT_TRUE(desktop.events().empty());
  EXPECT_EQ(log.lines(),
            (Lines{"Ignored type command: no text string", "Ignored type command: no text string",
                   "Ignored type command: no text string",
                   "Ignored type command: the text is not UTF-8"}));
}

// However deep a body nests, parsing it must not run out of stack (a sanitizer's larger frames
// included) and must not act on it. Hundreds of kilobytes: more than a request can carry today,
// so this holds even if that limit goes.
TEST_F(InputCommands, HundredThousandLevelsOfNestingAreInvalidInputNotACrash) {
  constexpr int kDepth = 100000;
  std::string arrays(kDepth, '['), objects;
  arrays += std::string(kDepth, ']');
  for (int i = 0; i < kDepth; ++i)
    objects += R"({"x":)";
  objects += std::string(kDepth, '}');
  for (const std::string& deep :
       {arrays, std::string(kDepth, '['), objects, R"({"x":)" + arrays + R"(,"y":1})",
        R"({"x":1,"y":)" + objects + "}"}) {
    handleControlRequest(input, "/move", deep);
    send(R"({"action":"move","y":1,"x":)" + deep + "}");
  }
  EXPECT_TRUE(desktop.events().empty());
  EXPECT_TRUE(log.lines().empty());
  handleControlRequest(input, "/move", R"({"x": 3, "y": -2})");
  EXPECT_EQ(events(), Lines{"moved 963.0,538.0 b0"});
}

// What a session has pressed and not released is what is let go when it ends: the latest press
// first, each once, and nothing it released itself (a click releases too).
TEST_F(InputCommands, TheWebSocketRemembersWhatTheSessionHoldsDown) {
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
    EXPECT_EQ(events(), c.released) << c.messages.front();
    EXPECT_TRUE(held.empty());
  }
  // The releases went through the injection state: shift no longer counts as held.
  EXPECT_EQ(state.modifierState.leftShift, 0);
  EXPECT_EQ(state.modifierState.rightShift, 0);
}

} // namespace
} // namespace tovel
