#include <gtest/gtest.h>

#include "support/virtual_input.h"

#include <cmath>

#include "host/console.h"

namespace tovel {
namespace {

using Lines = std::vector<std::string>;
using T = MouseEventType;

class Console : public test::VirtualInputTest {
protected:
  Console() { desktop.setMouseLocation({500, 700}); } // global (500, 380) on the 1080-high screen

  // Runs one line on a clean event log and returns what it printed. Lines are far apart in time
  // so that clicks never pair up as double clicks.
  Lines run(const std::string& line) {
    clock.advance(10);
    desktop.clearEvents();
    log.clear();
    handleCommand(input, line, [this](int status) { exitStatuses.push_back(status); });
    return log.lines();
  }

  std::vector<T> mouseTypes() {
    std::vector<T> out;
    for (const auto& event : mouseEvents())
      out.push_back(event.type);
    return out;
  }

  std::vector<int> exitStatuses;
};

TEST_F(Console, MoveByDeltasWithLeftButton) {
  EXPECT_EQ(run("move 10 5"), Lines{"Moved by (10.0, 5.0)"});
  const auto events = mouseEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, T::mouseMoved);
  EXPECT_EQ(events[0].position, (Point{510, 385}));
  EXPECT_EQ(events[0].button, kLeftButton);
}

TEST_F(Console, MoveButtonWordsAreSilentAndNeverRejected) {
  const std::pair<const char*, MouseButton> cases[] = {
      {"2", kCenterButton},  {"middle", kCenterButton}, {"center", kCenterButton},
      {"1", kRightButton},   {"right", kRightButton},   {"0", kLeftButton},
      {"Right", kLeftButton}};
  for (const auto& [word, button] : cases) {
    EXPECT_TRUE(run(std::string("move 10 5 ") + word).empty()) << word;
    ASSERT_EQ(mouseEvents().size(), 1u) << word;
    EXPECT_EQ(mouseEvents()[0].button, button) << word;
  }
}

TEST_F(Console, NumbersAreWholeTokensParsedAsDoubles) {
  EXPECT_EQ(run("move +5 .5"), Lines{"Moved by (5.0, 0.5)"});
  EXPECT_EQ(run("move -Infinity INF"), Lines{"Moved by (-inf, inf)"});
  EXPECT_EQ(run("move 1e3 nan"), Lines{"Moved by (1000.0, nan)"});
  EXPECT_TRUE(std::isnan(mouseEvents().at(0).position.y)); // passed on unchanged
  // Beyond the double range: overflow is infinite, underflow a signed zero.
  EXPECT_EQ(run("move -1e400 -1e-400"), Lines{"Moved by (-inf, -0.0)"});
  EXPECT_EQ(run("move 1000e306 0.0001e-322"), Lines{"Moved by (inf, 0.0)"});
}

TEST_F(Console, MalformedCommandsDoNothing) {
  const std::pair<const char*, const char*> cases[] = {
      {"move 5\t 5", "move"},      {"move \t5 5", "move"},        {"move +-5 1", "move"},
      {"move ++5 1", "move"},      {"move + 1", "move"},          {"move 0x10 1", "move"},
      {"move 1e 1", "move"},       {"move 5px 1", "move"},        {"move 1 2 3 4", "move"},
      {"move 1", "move"},          {"swipe 1 y", "swipe"},        {"swipe 1 2 done x", "swipe"},
      {"click 1", "click"},        {"click left right", "click"}, {"mousedown 2", "mousedown"},
      {"mouseup Left", "mouseup"}, {"scroll 0 -10", "scroll"},    {"scroll 0 -10 end x", "scroll"},
      {"scroll a 1 end", "scroll"}};
  for (const auto& [line, command] : cases) {
    EXPECT_EQ(run(line), Lines{std::string("Invalid ") + command + " command format"}) << line;
    EXPECT_TRUE(desktop.events().empty()) << line;
  }
}

TEST_F(Console, ClickFamilyButtons) {
  EXPECT_TRUE(run("click").empty());
  EXPECT_EQ(mouseTypes(), (std::vector<T>{T::leftMouseDown, T::leftMouseUp}));
  run("click right");
  EXPECT_EQ(mouseTypes(), (std::vector<T>{T::rightMouseDown, T::rightMouseUp}));
  run("mousedown middle");
  EXPECT_EQ(mouseTypes(), std::vector<T>{T::otherMouseDown});
  run("mouseup center");
  EXPECT_EQ(mouseTypes(), std::vector<T>{T::otherMouseUp});
}

TEST_F(Console, SwipeAndScroll) {
  EXPECT_EQ(run("swipe 0 30"), Lines{"Swipe by (0.0, 30.0)"});
  EXPECT_EQ(run("swipe 0 30 x"), Lines{"Swipe by (0.0, 30.0) x"});
  EXPECT_EQ(run("swipe 0 30 done").back(), "Swiped by (0.0, 30.0)");
  // A horizontal swipe acts only when it ends, which shows whether "done" got through.
  run("swipe -40 10 Done");
  EXPECT_TRUE(desktop.events().empty());
  run("swipe -40 10 done");
  EXPECT_FALSE(desktop.events().empty());

  EXPECT_TRUE(run("scroll 3 -10 anything").empty());
  const auto events = desktop.events();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_NE(events[0].scroll(), nullptr);
  EXPECT_EQ(events[0].scroll()->wheel1, -10);
  EXPECT_EQ(events[0].scroll()->wheel2, 3);
}

TEST_F(Console, SplitsOnSpacesOnlyAndExits) {
  EXPECT_EQ(run("   move  10    5  "), Lines{"Moved by (10.0, 5.0)"});
  EXPECT_TRUE(run("     ").empty());
  EXPECT_TRUE(desktop.events().empty());
  EXPECT_EQ(run("Move 1 1"), Lines{"Unknown command: Move 1 1"});
  EXPECT_EQ(run(" move\t1  1 "), Lines{"Unknown command:  move\t1  1 "});
  EXPECT_TRUE(exitStatuses.empty());

  EXPECT_EQ(run("exit now"), Lines{"Exiting the process..."});
  run("exit");
  EXPECT_EQ(exitStatuses, (std::vector<int>{0, 0}));
}

} // namespace
} // namespace tovel
