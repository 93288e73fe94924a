#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <sstream>

#include "host/console.h"
#include "support/virtual_input.h"

namespace tovel {
namespace {

using test::controlChord;

class Console : public test::VirtualInputTest {
protected:
  // Runs one line on a fresh pointer (global (500, 380) on the 1080-high screen), injection state
  // and event log; returns what it printed. Lines are far apart in time so that clicks never pair
  // up as double clicks.
  Lines run(const std::string& line) {
    clock.advance(10);
    desktop.setMouseLocation({500, 700});
    state = InjectionState{};
    desktop.clearEvents();
    log.clear();
    handleCommand(input, line, [this](int status) { exitStatuses.push_back(status); });
    return log.lines();
  }

  std::vector<int> exitStatuses;
};

TEST_F(Console, EachCommandPrintsAndPostsWhatItSays) {
  const struct {
    std::string line;
    Lines printed, events;
  } cases[] = {
      {"move 10 5", {"Moved by (10.0, 5.0)"}, {"moved 510.0,385.0 b0"}},
      // A button word is silent and never rejected; names are case-sensitive.
      {"move 10 5 2", {}, {"moved 510.0,385.0 b2"}},
      {"move 10 5 middle", {}, {"moved 510.0,385.0 b2"}},
      {"move 10 5 center", {}, {"moved 510.0,385.0 b2"}},
      {"move 10 5 1", {}, {"moved 510.0,385.0 b1"}},
      {"move 10 5 right", {}, {"moved 510.0,385.0 b1"}},
      {"move 10 5 Right", {}, {"moved 510.0,385.0 b0"}},
      // Numbers are whole tokens parsed as doubles; overflow is infinite, underflow a signed zero.
      {"move +5 .5", {"Moved by (5.0, 0.5)"}, {"moved 505.0,380.5 b0"}},
      {"move -Infinity INF", {"Moved by (-inf, inf)"}, {"moved -inf,inf b0"}},
      {"move 1e3 nan", {"Moved by (1000.0, nan)"}, {"moved 1500.0,nan b0"}},
      {"move -1e400 -1e-400", {"Moved by (-inf, -0.0)"}, {"moved -inf,380.0 b0"}},
      {"move 1000e306 0.0001e-322", {"Moved by (inf, 0.0)"}, {"moved inf,380.0 b0"}},
      {"   move  10    5  ", {"Moved by (10.0, 5.0)"}, {"moved 510.0,385.0 b0"}},
      {"     ", {}, {}},
      {"Move 1 1", {"Unknown command: Move 1 1"}, {}},
      {" move\t1  1 ", {"Unknown command:  move\t1  1 "}, {}},
      {"click", {}, {"leftDown 500.0,380.0 b0", "leftUp 500.0,380.0 b0"}},
      {"click right", {}, {"rightDown 500.0,380.0 b1", "rightUp 500.0,380.0 b1"}},
      {"mousedown middle", {}, {"otherDown 500.0,380.0 b2"}},
      {"mouseup center", {}, {"otherUp 500.0,380.0 b2"}},
      {"scroll 3 -10 anything", {}, {"scroll -10,3"}},
      // A horizontal swipe acts only when it ends, which shows whether "done" got through, and
      // its arrow (opposite to the swipe) shows which offset went where.
      {"swipe 0 30", {"Swipe by (0.0, 30.0)"}, {}},
      {"swipe 0 30 x", {"Swipe by (0.0, 30.0) x"}, {}},
      {"swipe 0 30 done", {"swipe down", "Swiped by (0.0, 30.0)"}, controlChord({125})},
      {"swipe -40 10 Done", {"Swipe by (-40.0, 10.0) Done"}, {}},
      {"swipe -40 10 done", {"swipe left", "Swiped by (-40.0, 10.0)"}, controlChord({124})},
      {"swipe 40 -10 done", {"swipe right", "Swiped by (40.0, -10.0)"}, controlChord({123})},
      {"swipe 5 -60", {"swipe up", "Swipe by (5.0, -60.0)"}, controlChord({126})},
      // Everything after the space that ends the word is the text, spaces and all.
      {"type zy @ ç ë", {}, {"typed zy @ ç ë"}},
      {"  type  two  spaces ", {}, {"typed  two  spaces "}},
      {"type \tx", {}, {"typed \tx"}},
      {"type ", {}, {}},
      {"type", {"Invalid type command format"}, {}},
      {"type a\x1b[2J", {"Ignored type command: control character U+001B in the text"}, {}},
      {"type caf\xe9", {"Ignored type command: the text is not UTF-8"}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.line), c.printed) << c.line;
    EXPECT_EQ(events(), c.events) << c.line;
  }
  EXPECT_TRUE(exitStatuses.empty());
  EXPECT_EQ(run("exit now"), Lines{"Exiting the process..."});
  run("exit");
  EXPECT_EQ(exitStatuses, (std::vector<int>{0, 0}));
}

TEST_F(Console, MalformedCommandsDoNothing) {
  for (std::string line :
       {"move 5\t 5", "move \t5 5", "move +-5 1", "move ++5 1", "move + 1", "move 0x10 1",
        "move 1e 1", "move 5px 1", "move 1 2 3 4", "move 1", "swipe 1 y", "swipe 1 2 done x",
        "click 1", "click left right", "mousedown 2", "mouseup Left", "scroll 0 -10",
        "scroll 0 -10 end x", "scroll a 1 end"}) {
    EXPECT_EQ(run(line), Lines{"Invalid " + line.substr(0, line.find(' ')) + " command format"});
    EXPECT_TRUE(desktop.events().empty()) << line;
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

TEST(NumberFormat, ShortestPositionalWithAFractionalDigitElseExponentFormAndReadsBack) {
  const std::pair<double, const char*> cases[] = {{3, "3.0"},
                                                  {-2.5, "-2.5"},
                                                  {0.1 + 0.2, "0.30000000000000004"},
                                                  {1e-4, "0.0001"},
                                                  {9.9999e-5, "9.9999e-05"},
                                                  {9999999999999998.0, "9999999999999998.0"},
                                                  {1e16, "1e+16"},
                                                  {-1.25e300, "-1.25e+300"},
                                                  {-std::nan(""), "nan"}};
  for (auto [value, text] : cases)
    EXPECT_EQ(formatNumber(value), text);
  EXPECT_EQ(formatNumberList({}), "[]");
  EXPECT_EQ(formatNumberList({640, 480, 2.5}), "[640.0, 480.0, 2.5]");
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
