#include <gtest/gtest.h>

#include "support/virtual_input.h"

#include "server/control_endpoints.h"

namespace tovel {
namespace {

class ControlEndpoints : public test::VirtualInputTest {
protected:
  void run(std::string_view target, std::string_view body) {
    handleControlRequest(input, target, body);
  }
  std::vector<RecordedEvent> events() { return desktop.events(); }
};

TEST_F(ControlEndpoints, MoveNeedsNumbersForBothAxes) {
  run("/move", R"({"x": 3, "y": -2})");
  auto e = events();
  ASSERT_EQ(e.size(), 1u);
  ASSERT_TRUE(e[0].mouse());
  EXPECT_EQ(e[0].mouse()->type, MouseEventType::mouseMoved);
  EXPECT_EQ(e[0].mouse()->position, (Point{963, 538}));

  desktop.clearEvents();
  run("/move", R"({"x": 3})");
  run("/move", R"({"x": "3", "y": 1})");
  run("/move", R"({"x": true, "y": 1})");
  run("/move?x=1", R"({"x": 3, "y": 1})"); // the whole target must match
  EXPECT_TRUE(events().empty());
  run("/move", R"({"x": 0.5, "y": 1e1, "button": 7})"); // a mistyped button counts as absent
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0].mouse()->button, kLeftButton);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ControlEndpoints, ClickNeedsAButtonNameAndLogsItAsSent) {
  run("/click", R"({})");
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(log.lines().empty());

  run("/click", R"({"button": "middle"})");
  run("/click", R"({"button": "Right"})");
  auto e = events();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].mouse()->type, MouseEventType::otherMouseDown);
  EXPECT_EQ(e[0].mouse()->button, kCenterButton);
  EXPECT_EQ(e[1].mouse()->type, MouseEventType::otherMouseUp);
  EXPECT_EQ(e[2].mouse()->type, MouseEventType::leftMouseDown); // names are case-sensitive
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"\nclick middle", "\nclick Right"}));
}

TEST_F(ControlEndpoints, MouseDownAndUpDefaultToTheLeftButton) {
  run("/mousedown", R"({})");
  run("/mouseup", R"({"button": 1})");
  run("/mousedown", R"({"button": "right"})");
  run("/mouseup", R"({"button": "center"})");
  auto e = events();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].mouse()->type, MouseEventType::leftMouseDown);
  EXPECT_EQ(e[1].mouse()->type, MouseEventType::leftMouseUp);
  EXPECT_EQ(e[2].mouse()->type, MouseEventType::rightMouseDown);
  EXPECT_EQ(e[3].mouse()->type, MouseEventType::otherMouseUp);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"\nmousedown left", "\nmouseup left",
                                                   "\nmousedown right", "\nmouseup center"}));
}

TEST_F(ControlEndpoints, KeysAreLookedUpExactlyAndAlwaysLogged) {
  run("/keydown", R"({"key": "a"})");
  run("/keyup", R"({"key": "a"})");
  run("/keydown", R"({"key": "A"})");
  run("/keydown", R"({"key": "noSuchKey"})");
  run("/keydown", R"({"key": 0})");
  auto e = events();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].key()->key, 0);
  EXPECT_TRUE(e[0].key()->down);
  EXPECT_FALSE(e[1].key()->down);
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"keydown a", "keyup a", "keydown A", "keydown noSuchKey"}));
}

TEST_F(ControlEndpoints, LogPrintsTextUnchanged) {
  run("/log", R"({"text": "hello\nworld"})");
  run("/log", R"({"text": 5})");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"hello\nworld"}));
}

TEST_F(ControlEndpoints, ScrollNeedsAllThreeKeysAndLogsOnlyWhenDone) {
  run("/scroll", R"({"x": 1, "y": 2})");
  run("/scroll", R"({"x": 1, "y": 2, "done": "true"})");
  EXPECT_TRUE(events().empty());
  run("/scroll", R"({"x": 1, "y": 2, "done": false})");
  EXPECT_TRUE(log.lines().empty());
  run("/scroll", R"({"x": 0, "y": -3, "done": true})");
  auto e = events();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].scroll()->wheel1, 2);
  EXPECT_EQ(e[0].scroll()->wheel2, 1);
  EXPECT_EQ(e[1].scroll()->wheel1, -3);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"scroll"}));
}

TEST_F(ControlEndpoints, SwipeNeedsAllThreeKeys) {
  run("/swipe", R"({"x": -40, "y": 10})");
  EXPECT_TRUE(events().empty());
  run("/swipe", R"({"x": -40, "y": 10, "done": true})");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"swipe left"}));
  // control down, right arrow down and up, control up
  auto e = events();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[1].key()->key, 124);
}

TEST_F(ControlEndpoints, BodiesThatAreNotJsonObjectsDoNothing) {
  for (std::string_view body : {"", "not json", "[1,2]", "3", "{\"x\":1,\"y\":2", "null",
                                "{\"x\":1e999,\"y\":2}", "{\"x\":1,\"y\":2} trailing"}) {
    run("/move", body);
  }
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(log.lines().empty());
}

} // namespace
} // namespace tovel
