#include <gtest/gtest.h>

#include "support/virtual_input.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <sstream>

#include "common/number_format.h"
#include "host/console.h"

namespace tovel {
namespace {

using T = MouseEventType;
using Types = std::vector<T>;

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

  std::vector<int> exitStatuses;
};

TEST_F(Console, MoveTakesDeltasAndASilentButtonWordThatIsNeverRejected) {
  EXPECT_EQ(run("move 10 5"), Lines{"Moved by (10.0, 5.0)"});
  auto events = mouseEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, T::mouseMoved);
  EXPECT_EQ(events[0].position, (Point{510, 385}));
  EXPECT_EQ(events[0].button, kLeftButton);

  const std::pair<const char*, MouseButton> words[] = {
      {"2", kCenterButton}, {"middle", kCenterButton}, {"center", kCenterButton},
      {"1", kRightButton},  {"right", kRightButton},   {"Right", kLeftButton}};
  for (const auto& [word, button] : words) {
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
  for (std::string line :
       {"move 5\t 5", "move \t5 5", "move +-5 1", "move ++5 1", "move + 1", "move 0x10 1",
        "move 1e 1", "move 5px 1", "move 1 2 3 4", "move 1", "swipe 1 y", "swipe 1 2 done x",
        "click 1", "click left right", "mousedown 2", "mouseup Left", "scroll 0 -10",
        "scroll 0 -10 end x", "scroll a 1 end"}) {
    std::string command = line.substr(0, line.find(' '));
    EXPECT_EQ(run(line), Lines{"Invalid " + command + " command format"}) << line;
    EXPECT_TRUE(desktop.events().empty()) << line;
  }
}

TEST_F(Console, ClickSwipeAndScroll) {
  EXPECT_TRUE(run("click").empty());
  EXPECT_EQ(mouseTypes(), (Types{T::leftMouseDown, T::leftMouseUp}));
  run("click right");
  EXPECT_EQ(mouseTypes(), (Types{T::rightMouseDown, T::rightMouseUp}));
  run("mousedown middle");
  EXPECT_EQ(mouseTypes(), Types{T::otherMouseDown});
  run("mouseup center");
  EXPECT_EQ(mouseTypes(), Types{T::otherMouseUp});

  EXPECT_EQ(run("swipe 0 30"), Lines{"Swipe by (0.0, 30.0)"});
  EXPECT_EQ(run("swipe 0 30 x"), Lines{"Swipe by (0.0, 30.0) x"});
  EXPECT_EQ(run("swipe 0 30 done").back(), "Swiped by (0.0, 30.0)");
  // A horizontal swipe acts only when it ends, which shows whether "done" got through, and its
  // arrow (control and the arrow opposite to the swipe) shows which offset went where.
  run("swipe -40 10 Done");
  EXPECT_TRUE(desktop.events().empty());
  const std::pair<std::string, KeyCode> swipes[] = {
      {"swipe -40 10 done", 124}, {"swipe 40 -10 done", 123}, {"swipe 5 -60", 126}};
  for (const auto& [line, arrow] : swipes) {
    state = InjectionState{};
    run(line);
    ASSERT_EQ(keyEvents().size(), 4u) << line;
    EXPECT_EQ(keyEvents()[0].key, 59) << line;
    EXPECT_EQ(keyEvents()[1].key, arrow) << line;
  }

  EXPECT_TRUE(run("scroll 3 -10 anything").empty());
  EXPECT_EQ(desktop.events().size(), 1u);
  EXPECT_EQ(scrolls(), (Scrolls{{-10, 3}}));
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

// Everything after the space that ends the word is the text, spaces and all.
TEST_F(Console, TypeTakesTheRestOfTheLineAsItStands) {
  const struct {
    const char* line;
    std::u32string typed;
    Lines printed;
  } cases[] = {
      {"type zy @ ç ë", U"zy @ ç ë", {}},
      {"  type  two  spaces ", U" two  spaces ", {}},
      {"type \tx", U"\tx", {}},
      {"type ", U"", {}},
      {"type", U"", {"Invalid type command format"}},
      {"type a\x1b[2J", U"", {"Ignored type command: control character U+001B in the text"}},
      {"type caf\xe9", U"", {"Ignored type command: the text is not UTF-8"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.line), c.printed) << c.line;
    std::u32string typed;
    for (const RecordedEvent& e : desktop.events())
      typed += e.typed() ? e.typed()->character : U'?';
    EXPECT_EQ(typed, c.typed) << c.line;
  }
}

TEST(ConsoleLines, EachLineWithoutItsLineEnd) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"move 1 2\nclick\n", {"move 1 2", "click"}},
      {"move 1 2\r\nclick\r\n", {"move 1 2", "click"}}, // a terminal in CR LF mode
      {"click\r\r\n", {"click\r"}},                     // only the line end's own CR goes
      {"\n\r\nexit", {"", "", "exit"}},                 // the last line needs no line end
      {"", {}},
  };
  for (const auto& [text, expected] : cases) {
    std::istringstream input(text);
    std::vector<std::string> lines;
    readConsoleLines(input, [&](std::string line) { lines.push_back(std::move(line)); });
    EXPECT_EQ(lines, expected) << text;
  }
}

// Signed zeros and infinities are printed by the move command above.
TEST(NumberFormat, PositionalWithAFractionalDigitElseExponentForm) {
  EXPECT_EQ(formatNumber(3), "3.0");
  EXPECT_EQ(formatNumber(-2.5), "-2.5");
  EXPECT_EQ(formatNumber(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(formatNumber(1e-4), "0.0001");
  EXPECT_EQ(formatNumber(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(formatNumber(9.9999e-5), "9.9999e-05");
  EXPECT_EQ(formatNumber(1e16), "1e+16");
  EXPECT_EQ(formatNumber(-1.25e300), "-1.25e+300");
  EXPECT_EQ(formatNumber(-std::nan("")), "nan");
  EXPECT_EQ(formatNumberList({}), "[]");
  EXPECT_EQ(formatNumberList({640, 480, 2.5}), "[640.0, 480.0, 2.5]");
}

TEST(NumberFormat, ReadsBackToTheSameValue) {
  for (double v : {1.0 / 3, -2.0 / 7, 9007199254740993.0, 3e-4, 6.02214076e23,
                   std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min()}) {
    const std::string text = formatNumber(v);
    double back = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), back);
    EXPECT_TRUE(result.ptr == text.data() + text.size() && back == v) << text;
  }
}

} // namespace
} // namespace tovel
