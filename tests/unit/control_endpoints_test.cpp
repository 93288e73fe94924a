#include <gtest/gtest.h>

#include "support/virtual_input.h"

#include "input/held_input.h"
#include "server/control_endpoints.h"
#include "server/websocket_dispatch.h"

namespace tovel {
namespace {

using T = MouseEventType;
using Types = std::vector<T>;

class ControlEndpoints : public test::VirtualInputTest {
protected:
  // Requests far apart in time, so that clicks never pair up as double clicks.
  void run(std::string_view target, std::string_view body) {
    clock.advance(10);
    handleControlRequest(input, target, body);
  }
  HeldInput held;
};

TEST_F(ControlEndpoints, MoveNeedsNumbersForBothAxes) {
  run("/move", R"({"x": 3})");
  run("/move", R"({"x": "3", "y": 1})");
  run("/move", R"({"x": true, "y": 1})");
  run("/move?x=1", R"({"x": 3, "y": 1})"); // the whole target must match
  EXPECT_TRUE(desktop.events().empty());
  run("/move", R"({"x": 3, "y": -2})");
  run("/move", R"({"x": 0.5, "y": 1e1, "button": 7})"); // a mistyped button counts as absent
  auto e = mouseEvents();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].type, T::mouseMoved);
  EXPECT_EQ(e[0].position, (Point{963, 538}));
  EXPECT_EQ(e[1].position, (Point{963.5, 548}));
  EXPECT_EQ(e[1].button, kLeftButton);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ControlEndpoints, ClickNeedsAButtonNameAndButtonsDefaultToLeft) {
  run("/click", R"({})");
  run("/click", R"({"button": "middle"})");
  run("/click", R"({"button": "Right"})"); // names are case-sensitive
  run("/mousedown", R"({})");
  run("/mouseup", R"({"button": 1})");
  run("/mousedown", R"({"button": "right"})");
  run("/mouseup", R"({"button": "center"})");
  EXPECT_EQ(mouseTypes(),
            (Types{T::otherMouseDown, T::otherMouseUp, T::leftMouseDown, T::leftMouseUp,
                   T::leftMouseDown, T::leftMouseUp, T::rightMouseDown, T::otherMouseUp}));
  EXPECT_EQ(log.lines(), (Lines{"\nclick middle", "\nclick Right", "\nmousedown left",
                                "\nmouseup left", "\nmousedown right", "\nmouseup center"}));
}

TEST_F(ControlEndpoints, KeysAreLookedUpExactlyAndAlwaysLoggedAsIsLogText) {
  run("/keydown", R"({"key": "a"})");
  run("/keyup", R"({"key": "a"})");
  run("/keydown", R"({"key": "A"})");
  run("/keydown", R"({"key": "noSuchKey"})");
  run("/keydown", R"({"key": 0})");
  run("/log", R"({"text": "hello\nworld"})");
  run("/log", R"({"text": 5})");
  auto e = keyEvents();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_TRUE(e[0].key == 0 && e[0].down && e[1].key == 0 && !e[1].down);
  EXPECT_EQ(log.lines(),
            (Lines{"keydown a", "keyup a", "keydown A", "keydown noSuchKey", "hello\nworld"}));
}

TEST_F(ControlEndpoints, ScrollAndSwipeNeedAllThreeKeysAndScrollLogsOnlyWhenDone) {
  run("/scroll", R"({"x": 1, "y": 2})");
  run("/scroll", R"({"x": 1, "y": 2, "done": "true"})");
  run("/swipe", R"({"x": -40, "y": 10})");
  EXPECT_TRUE(desktop.events().empty());
  run("/scroll", R"({"x": 1, "y": 2, "done": false})");
  EXPECT_TRUE(log.lines().empty());
  run("/scroll", R"({"x": 0, "y": -3, "done": true})");
  EXPECT_EQ(scrolls(), (Scrolls{{2, 1}, {-3, 0}}));
  EXPECT_EQ(log.lines(), Lines{"scroll"});

  desktop.clearEvents();
  run("/swipe", R"({"x": -40, "y": 10, "done": true})");
  EXPECT_EQ(log.lines(), (Lines{"scroll", "swipe left"}));
  ASSERT_EQ(keyEvents().size(), 4u); // control down, right arrow down and up, control up
  EXPECT_EQ(keyEvents()[1].key, 124);
}

TEST_F(ControlEndpoints, BodiesThatAreNotJsonObjectsDoNothing) {
  for (std::string_view body : {"", "not json", "[1,2]", "3", "{\"x\":1,\"y\":2", "null",
                                "{\"x\":1e999,\"y\":2}", "{\"x\":1,\"y\":2} trailing"})
    run("/move", body);
  EXPECT_TRUE(desktop.events().empty());
  EXPECT_TRUE(log.lines().empty());
}

// However deep a body nests, parsing it must not run out of stack (a sanitizer's larger frames
// included) and must not act on it. Hundreds of kilobytes: more than a request can carry today,
// so this holds even if that limit goes.
TEST_F(ControlEndpoints, HundredThousandLevelsOfNestingAreInvalidInputNotACrash) {
  constexpr int kDepth = 100000;
  std::string arrays(kDepth, '['), objects;
  arrays += std::string(kDepth, ']');
  for (int i = 0; i < kDepth; ++i)
    objects += R"({"x":)";
  objects += std::string(kDepth, '}');
  for (const std::string& deep :
       {arrays, std::string(kDepth, '['), objects, R"({"x":)" + arrays + R"(,"y":1})",
        R"({"x":1,"y":)" + objects + "}"}) {
    run("/move", deep);
    handleWebSocketMessage(input, R"({"action":"move","y":1,"x":)" + deep + "}", held);
  }
  EXPECT_TRUE(desktop.events().empty());
  EXPECT_TRUE(log.lines().empty());
  run("/move", R"({"x": 3, "y": -2})");
  EXPECT_EQ(mouseEvents().size(), 1u);
}

} // namespace
} // namespace tovel
