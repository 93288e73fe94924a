#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <sstream>

#include "host/console.h"
#include "input/gestures.h"
#include "input/held_input.h"
#include "input/key_names.h"
#include "input/keyboard.h"
#include "input/modifier_tap.h"
#include "input/pointer.h"
#include "input/text_typing.h"
#include "server/control_endpoints.h"
#include "server/utf8.h"
#include "server/websocket_dispatch.h"
#include "support/virtual_input.h"

namespace tovel {
namespace {

using test::controlChord;
using test::Lines;
using test::VirtualInput;
using test::VirtualInputTest;

// Each modifier key, the field of the state its press time goes to and the flag it lends.
using M = ModifierState;
const std::tuple<KeyCode, double M::*, EventFlags> kModifiers[] = {
    {56, &M::leftShift, kShiftFlag},     {60, &M::rightShift, kShiftFlag},
    {59, &M::leftControl, kControlFlag}, {62, &M::rightControl, kControlFlag},
    {58, &M::leftOption, kOptionFlag},   {61, &M::rightOption, kOptionFlag},
    {55, &M::leftCommand, kCommandFlag}, {54, &M::rightCommand, kCommandFlag}};

using KeyboardTest = VirtualInputTest;

TEST_F(KeyboardTest, ModifierKeysRecordOnlyTheirOwnFieldAndNoKeyStaysAKeypadKey) {
  for (KeyCode key : {56, 60, 59, 62, 58, 61, 55, 54, int(keycode::leftArrow), 0}) {
    SCOPED_TRACE(key);
    clock.advance(1);
    desktop.clearEvents();
    performKeyDown(input, key);
    for (auto [otherKey, field, flag] : kModifiers)
      EXPECT_EQ(state.modifierState.*field, otherKey == key ? clock.now() : 0.0);
    performKeyUp(input, key);
    for (auto [otherKey, field, flag] : kModifiers)
      EXPECT_EQ(state.modifierState.*field, 0.0);
    std::string k = "key " + std::to_string(key);
    EXPECT_EQ(events(), (Lines{k + " down", k + " up"}));
    for (const RecordedEvent& e : desktop.events())
      EXPECT_EQ(e.key()->flags & kNumericPadFlag, 0u);
  }
  // A chord (its events: the swipe tests) takes 30 ms and is no held modifier for clicks.
  double start = clock.now();
  sendKeyPress(input, keycode::downArrow, kControlFlag);
  EXPECT_NEAR(clock.now() - start, 0.030, 1e-6);
  EXPECT_EQ(state.modifierState.leftControl, 0.0);
}

TEST(KeyNames, TableHasEveryNameExactly) {
  EXPECT_EQ(keyNameToKeyCode().size(), 87u);
  // Letters, digits, punctuation, function keys and arrows: X11Keymap checks their keysyms.
  const std::pair<const char*, KeyCode> samples[] = {
      {"leftControl", 59}, {"control", 59}, {"function", 63}, {"tab", 48}};
  for (auto [name, code] : samples)
    EXPECT_EQ(lookupKeyName(name), code) << name;
  for (const char* missing : {"A", "Space", "f21", "", "leftcontrol", "enter"})
    EXPECT_FALSE(lookupKeyName(missing).has_value()) << missing;
}

// A press lends its pair's flag for less than 15 s; a zero press time is no press, even at the
// epoch; flags already set stay.
TEST(ModifierTapFlags, EachPairLendsItsOwnFlagForFifteenSecondsAndKeepsExistingOnes) {
  constexpr double kNow = 1'700'000'000.0;
  for (double now : {0.0, 5.0, 14.99, kNow})
    EXPECT_EQ(modifierTapFlags(ModifierState{}, now, 0), 0u) << now;
  for (auto [key, field, flag] : kModifiers) {
    for (auto [now, pressed, lent] : {std::tuple{kNow, kNow, true},
                                      {kNow, kNow - 14.9, true},
                                      {kNow, kNow - 15, false},
                                      {10.0, 3.0, true}}) {
      ModifierState held;
      held.*field = pressed;
      EXPECT_EQ(modifierTapFlags(held, now, kNumericPadFlag), kNumericPadFlag | (lent ? flag : 0))
          << key << " pressed at " << pressed;
    }
  }
}

class PointerTest : public VirtualInputTest {
protected:
  PointerTest() { desktop.setDoubleClickInterval(0.5); }
  std::int64_t clickCount(MouseButton button) { return state.buttonClickState[button].clickCount; }
};

TEST_F(PointerTest, QuickClicksCountUpFromThePreviousReleaseOfTheirOwnButton) {
  // Left presses and releases after these pauses, and the click count after each: the sixth and
  // the ninth come exactly one interval after the previous release, new single clicks.
  const double pauses[] = {0, 0.125, 0.25, 0.125, 0.375, 0.125, 0.125, 0.25, 0.5};
  const int counts[] = {1, 1, 2, 2, 3, 1, 2, 2, 1};
  for (int i = 0; i < 9; ++i) {
    clock.advance(pauses[i]);
    (i % 2 ? performMouseUp : performMouseDown)(input, kLeftButton);
    EXPECT_EQ(clickCount(kLeftButton), counts[i]) << "step " << i + 1;
  }
  performMouseDown(input, kRightButton); // other buttons keep their own history
  // A button the table does not know goes out with the left one's types and no history at all.
  for (int i = 0; i < 4; ++i)
    (i % 2 ? performMouseUp : performMouseDown)(input, 7);
  EXPECT_EQ(state.buttonClickState.size(), 3u);
  EXPECT_EQ(clickCount(kLeftButton), 1);
  EXPECT_EQ(log.lines(), (Lines{"Double-click Up", "Double-click Up"}));
  const std::string down = "leftDown 960.0,540.0 b0", up = "leftUp 960.0,540.0 b0";
  const std::string down7 = "leftDown 960.0,540.0 b7", up7 = "leftUp 960.0,540.0 b7";
  EXPECT_EQ(events(),
            (Lines{down, up, down + " c2", up + " c2", down + " c3", up, down + " c2", up + " c2",
                   down, "rightDown 960.0,540.0 b1", down7, up7, down7, up7}));
}

TEST_F(PointerTest, MoveIsRelativeDragsOnlyWhileLeftIsHeldAndConvertsByThePrimaryScreen) {
  desktop.setMouseLocation({100, 1000}); // (100, 80) from the top
  performMouseMove(input, 3, -2, kLeftButton);
  performMouseMove(input, 10, 20, kLeftButton);
  // Only the right button held: the drag test is for the left one.
  desktop.simulatePhysicalButton(kRightButton, true);
  performMouseMove(input, 1, 1, kRightButton);
  desktop.simulatePhysicalButton(kLeftButton, true);
  for (MouseButton button : {kLeftButton, kRightButton, kCenterButton, MouseButton(7)})
    performMouseMove(input, 1, 1, button);
  EXPECT_EQ(
      events(),
      (Lines{"moved 103.0,78.0 b0", "moved 113.0,98.0 b0", "physical rightDown 113.0,98.0 b1",
             "moved 114.0,99.0 b1", "physical leftDown 114.0,99.0 b0", "moved 115.0,100.0 b0",
             "leftDragged 115.0,100.0 b0", "moved 116.0,101.0 b1", "rightDragged 116.0,101.0 b1",
             "moved 117.0,102.0 b2", "otherDragged 117.0,102.0 b2", "moved 118.0,103.0 b7",
             "leftDragged 118.0,103.0 b7"}));

  // A primary whose frame does not start at y 0, beside a taller second screen.
  desktop.setScreens({Screen{1, Rect{0, 40, 1920, 1080}, 1, "primary"},
                      Screen{2, Rect{1920, -200, 1280, 1440}, 1, "second"}});
  EXPECT_EQ(convertToCGEventCoordinates(desktop, {2500, 0}), (Point{2500, 1080}));
  EXPECT_EQ(convertToCGEventCoordinates(desktop, {10, 1000}), (Point{10, 80}));
  desktop.setMouseLocation({30, 500});
  EXPECT_EQ(adjustedMouseLocation(desktop), (Point{30, 580}));
  desktop.setMainScreen(2);
  EXPECT_EQ(convertToCGEventCoordinates(desktop, {2500, 0}), (Point{2500, 1120}));
  EXPECT_EQ(convertToCGEventCoordinates(desktop, {10, 1000}), (Point{10, 120}));
  desktop.setScreens({});
  EXPECT_EQ(convertToCGEventCoordinates(desktop, {-5, 7}), (Point{-5, 7}));
}

class GesturesTest : public VirtualInputTest {
protected:
  void swipe(double dx, double dy, bool done = false) { performSwipe(input, dx, dy, done); }
};

TEST_F(GesturesTest, ScrollCarriesFractionsInBothDirectionsAndRefusesCountsOutOfRange) {
  performScroll(input, 2.75, -1.5);
  performScroll(input, 0.25, -0.5); // the remainders make whole notches
  performScroll(input, 0.4, 0.4);
  EXPECT_EQ(events(), (Lines{"scroll -1,2", "scroll -1,1", "scroll 0,0"}));

  // Counts outside the 32-bit range are refused without losing the remainders; 2147483647.75 only
  // reaches 2^31 with the carried 0.25.
  desktop.clearEvents();
  state.accumulatedDeltaX = 0.25;
  state.accumulatedDeltaY = -0.25;
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  const std::pair<double, double> refused[] = {
      {inf, 0}, {0, -inf}, {nan, 0}, {0, nan}, {2147483647.75, 0}, {0, -2147483648.75}, {1e300, 0}};
  for (auto [dx, dy] : refused)
    performScroll(input, dx, dy);
  EXPECT_TRUE(events().empty());
  // Later scrolls still work from the kept remainders; the extremes still fit.
  performScroll(input, 0.75, -0.75);
  performScroll(input, 2147483647.5, 0);
  performScroll(input, -0.5, -2147483648.5);
  EXPECT_EQ(events(), (Lines{"scroll -1,1", "scroll 0,2147483647", "scroll -2147483648,0"}));
}

TEST_F(GesturesTest, VerticalSwipeActsWhileMovingTurnsBackAndRestarts) {
  struct Step {
    double dy;
    const char* gesture;
    double reference; // the furthest point in the watched direction
    std::vector<int> chords;
  };
  const std::vector<Step> sequences[] = {
      {{30, "", 0, {}},
       {60, "downStart", 60, {125}},
       {70, "downStart", 70, {125}},
       {45, "downEnd", 70, {125, 126}}}, // 25 back from the furthest point
      {{-60, "upStart", -60, {126}},
       {-30, "upEnd", -60, {126, 126}},
       {-30, "upEnd", -30, {126, 126}},
       {-85, "upStart", -85, {126, 126, 126}}},
      {{60, "downStart", 60, {125}},
       {30, "downEnd", 60, {125, 126}},
       {20, "downEnd", 20, {125, 126}},
       {70, "downEnd", 20, {125, 126}}, // only 50 below the new lowest point
       {71, "downStart", 71, {125, 126, 125}}}};
  for (const std::vector<Step>& steps : sequences) {
    state = InjectionState{};
    desktop.clearEvents();
    log.clear();
    for (const Step& step : steps) {
      SCOPED_TRACE(::testing::Message() << steps[0].dy << " ... " << step.dy);
      swipe(0, step.dy);
      EXPECT_EQ(state.gestureDetected, step.gesture);
      EXPECT_EQ(state.gestureDeltaY, step.reference);
      EXPECT_EQ(events(), controlChord(step.chords));
    }
    Lines lines;
    for (int key : steps.back().chords)
      lines.push_back(key == 125 ? "swipe down" : "swipe up");
    EXPECT_EQ(log.lines(), lines);
    // The end of a vertical swipe that acted does nothing more, whichever way it went.
    swipe(-200, steps.back().dy, true);
    EXPECT_EQ(state.gestureDetected, "");
    EXPECT_EQ(events(), controlChord(steps.back().chords));
  }
}

TEST_F(GesturesTest, FinishedGestureIsClassifiedOnce) {
  const std::tuple<double, double, const char*, KeyCode> cases[] = {
      {-40, 10, "swipe left", 124}, {40, -10, "swipe right", 123}, {30, 30, "swipe down", 125},
      {-30, -30, "swipe up", 126},  {25, 0, nullptr, 0},           {-25, 0, nullptr, 0},
      {0, -25, nullptr, 0}};
  for (auto [dx, dy, line, key] : cases) {
    SCOPED_TRACE(::testing::Message() << dx << "," << dy);
    desktop.clearEvents();
    log.clear();
    swipe(dx, dy, true);
    EXPECT_EQ(log.lines(), line ? Lines{line} : Lines{});
    EXPECT_EQ(events(), key ? controlChord({key}) : Lines{});
    EXPECT_EQ(state.gestureDetected, "");
  }
  // Mostly horizontal movement waits for the end, however far it goes up.
  swipe(-80, -70);
  EXPECT_TRUE(events().empty());
}

// What a client's text becomes: its characters, or the reason it is refused. The requests' check
// takes exactly the well-formed sequences too.
TEST(TypedText, IsStrictUtf8WithLineFeedsAndTabsAsTheOnlyControls) {
  using Checked = std::variant<std::u32string, std::string>;
  const Checked notUtf8 = "the text is not UTF-8";
  std::vector<std::pair<std::string, Checked>> cases = {
      {"Grüße 日本 😀 \xf4\x8f\xbf\xbf", U"Grüße 日本 😀 \U0010FFFF"},
      {"a\tb\nc", U"a\tb\nc"},
      {"one\r\ntwo\r\n", U"one\ntwo\n"}, // line ends of other systems
      {"", U""},
      {"a\rb", "control character U+000D in the text"},
      {std::string("a\0b", 3), "control character U+0000 in the text"},
      {"\x1b[2J", "control character U+001B in the text"},
      {"\x7f", "control character U+007F in the text"},
      {"\xc2\x85", "control character U+0085 in the text"}};
  // Overlong, overlong, surrogate, above U+10FFFF, truncated twice, lone and bad continuations.
  for (const char* bytes : {"\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                            "\xe2\x82", "caf\xc3", "\x80", "\xe2\x28\xa1", "\xff"})
    cases.emplace_back(bytes, notUtf8);
  for (const auto& [bytes, expected] : cases) {
    EXPECT_EQ(checkTypedText(bytes), expected) << bytes;
    EXPECT_EQ(isValidUtf8(bytes), expected != notUtf8) << bytes;
  }
}

// A desktop that takes three characters at a time, then asks for a quarter of a second; a loop
// that runs what is scheduled only when the test says so.
class TextTyperTest : public VirtualInputTest {
protected:
  TextTyperTest() {
    desktop.setTyping(U"éΩ", 3, 0.25);
    input.typer = &typer;
  }
  std::vector<double> runLoop() {
    std::vector<double> waits;
    while (!scheduled.empty()) {
      auto [seconds, task] = std::move(scheduled.front());
      scheduled.pop_front();
      waits.push_back(seconds);
      task();
    }
    return waits;
  }

  std::deque<std::pair<double, std::function<void()>>> scheduled;
  TextTyper typer{desktop, log, [this](double seconds, std::function<void()> task) {
                    scheduled.emplace_back(seconds, std::move(task));
                  }};
};

TEST_F(TextTyperTest, TextsArePacedEverythingAfterWaitsForThemAndTooMuchIsRefused) {
  performTypeText(input, U"abéc Ωéd");
  performKeyDown(input, 6); // z
  performKeyUp(input, 6);
  performMouseMove(input, 5, 0, kLeftButton);
  performMouseDown(input, kLeftButton);
  performMouseUp(input, kLeftButton);
  performScroll(input, 0, 3);
  performTypeText(input, U"xy");
  // The first part at once, the rest at later turns of the loop, as the desktop asked.
  EXPECT_EQ(events(), Lines{"typed ab"});
  EXPECT_EQ(typer.waiting(), 7u);
  EXPECT_EQ(runLoop(), (std::vector<double>{0.25, 0.25}));
  EXPECT_EQ(events(),
            (Lines{"typed abc d", "key 6 down", "key 6 up", "moved 965.0,540.0 b0",
                   "leftDown 965.0,540.0 b0", "leftUp 965.0,540.0 b0", "scroll 3,0", "typed xy"}));
  // One line for the text, each character it could not type named once.
  EXPECT_EQ(log.lines(), Lines{"Could not type on this desktop: é (U+00E9) Ω (U+03A9)"});
  EXPECT_FALSE(typer.busy());
  // With nothing waiting, keys go at once.
  desktop.clearEvents();
  performKeyDown(input, 6);
  EXPECT_EQ(events(), Lines{"key 6 down"});

  // Too much waiting text is refused; three of these are typed at once.
  log.clear();
  EXPECT_TRUE(typer.type(std::u32string(TextTyper::kMaxWaiting, U'a')));
  EXPECT_FALSE(typer.type(U"bcde"));
  EXPECT_EQ(log.lines(), Lines{"Ignored type command: 99997 characters are waiting to be typed "
                               "already"});
  EXPECT_TRUE(typer.type(U"bcd"));
}

class Console : public VirtualInputTest {
protected:
  // Runs one line on a fresh pointer at (500, 380), state and log, 10 s after the last (never a
  // double click); returns what it printed.
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

TEST_F(Console, EachCommandPrintsAndPostsWhatItSaysAndMalformedOnesNothing) {
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
      {"swipe 0 30 done", {"swipe down", "Swiped by (0.0, 30.0)"}, controlChord({125})},
      {"swipe -40 10 Done", {"Swipe by (-40.0, 10.0) Done"}, {}},
      {"swipe -40 10 done", {"swipe left", "Swiped by (-40.0, 10.0)"}, controlChord({124})},
      {"swipe 5 -60", {"swipe up", "Swipe by (5.0, -60.0)"}, controlChord({126})},
      // Everything after the space that ends the word is the text, spaces and all.
      {"type zy @ ç ë", {}, {"typed zy @ ç ë"}},
      {"  type  two  spaces ", {}, {"typed  two  spaces "}},
      {"type \tx", {}, {"typed \tx"}},
      {"type ", {}, {}},
      {"type", {"Invalid type command format"}, {}},
      {"type a\x1b[2J", {"Ignored type command: control character U+001B in the text"}, {}},
      {"type caf\xe9", {"Ignored type command: the text is not UTF-8"}, {}}};
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.line), c.printed) << c.line;
    EXPECT_EQ(events(), c.events) << c.line;
  }
  EXPECT_TRUE(exitStatuses.empty());
  EXPECT_EQ(run("exit now"), Lines{"Exiting the process..."});
  run("exit");
  EXPECT_EQ(exitStatuses, (std::vector<int>{0, 0}));

  // Malformed commands do nothing.
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
      {"", {}}};
  for (const auto& [text, expected] : cases) {
    std::istringstream input(text);
    std::vector<std::string> lines;
    readConsoleLines(input, [&](std::string line) { lines.push_back(std::move(line)); });
    EXPECT_EQ(lines, expected) << text;
  }
}

// Each text is the form of the number it reads back as.
TEST(NumberFormat, ShortestPositionalWithAFractionalDigitElseExponentFormAndReadsBack) {
  for (std::string text :
       {"3.0", "-2.5", "0.30000000000000004", "0.3333333333333333", "0.0001", "0.0003",
        "9.9999e-05", "1e+16", "9999999999999998.0", "9007199254740992.0", "6.02214076e+23",
        "-1.25e+300", "1.7976931348623157e+308", "5e-324"}) {
    double value = 0;
    ASSERT_EQ(std::from_chars(text.data(), text.data() + text.size(), value).ptr,
              text.data() + text.size());
    EXPECT_EQ(formatNumber(value), text);
  }
  EXPECT_EQ(formatNumber(-std::nan("")), "nan");
  EXPECT_EQ(formatNumberList({}), "[]");
  EXPECT_EQ(formatNumberList({640, 480, 2.5}), "[640.0, 480.0, 2.5]");
}

// The HTTP endpoints and the WebSocket take the same commands, "action fields": a POST of the
// fields to /action, or a message with the action and the fields. Through either, the values must
// reach the desktop and print the same lines, '@' standing for the WebSocket's "ws ".
TEST(InputChannels, EveryCarriedValueReachesTheDesktop) {
  const struct {
    std::vector<std::string> commands;
    Lines events;
    Lines log;
  } cases[] = {
      // A button that is not a name counts as absent.
      {{R"(move "x":3,"y":-2)", R"(move "x":0.5,"y":1e1,"button":7)"},
       {"moved 963.0,538.0 b0", "moved 963.5,548.0 b0"},
       {}},
      {{R"(move "x":0.5,"y":1e1,"button":"middle")"}, {"moved 960.5,550.0 b2"}, {}},
      {{R"(move "x":"3","y":1)", R"(move "x":3)", R"(move "x":true,"y":1)"}, {}, {}},
      // A drag: the move carries the named button in both events.
      {{"mousedown", R"(move "x":-4,"y":5,"button":"right")"},
       {"leftDown 960.0,540.0 b0", "moved 956.0,545.0 b1", "rightDragged 956.0,545.0 b1"},
       {"\n@mousedown left"}},
      {{R"(click "button":"center")"},
       {"otherDown 960.0,540.0 b2", "otherUp 960.0,540.0 b2"},
       {"\n@click center"}},
      {{R"(click "button":"Right")"}, // names are case-sensitive
       {"leftDown 960.0,540.0 b0", "leftUp 960.0,540.0 b0"},
       {"\n@click Right"}},
      {{"click", R"(click "button":1)"}, {}, {}},
      {{R"(mousedown "button":"right")", R"(mouseup "button":"middle")", R"(mouseup "button":5)"},
       {"rightDown 960.0,540.0 b1", "otherUp 960.0,540.0 b2", "leftUp 960.0,540.0 b0"},
       {"\n@mousedown right", "\n@mouseup middle", "\n@mouseup left"}},
      // Keys are looked up exactly; a name that is no key is still printed.
      {{R"(keydown "key":"f5")", R"(keyup "key":"leftArrow")", R"(keydown "key":"A")",
        R"(keyup "key":0)"},
       {"key 96 down", "key 123 up"},
       {"@keydown f5", "@keyup leftArrow", "@keydown A"}},
      // Text is typed as its characters; refused text is said so.
      {{R"(type "text":"hé\r\n\t😀")"}, {"typed hé\n\t😀"}, {"@type 5 characters"}},
      {{R"(type "text":5)", "type", R"(type "text":"a\u0007")", R"(type "text":"")"},
       {},
       {"Ignored type command: no text string", "Ignored type command: no text string",
        "Ignored type command: control character U+0007 in the text", "@type 0 characters"}},
      {{R"(log "text":"hello\nworld")", R"(log "text":5)"}, {}, {"hello\nworld"}},
      // Scrolls need all three keys and print only when done.
      {{R"(scroll "x":1,"y":2,"done":false)", R"(scroll "x":-3.5,"y":0.75,"done":true)",
        R"(scroll "x":1,"y":2)", R"(scroll "x":1,"y":2,"done":"true")"},
       {"scroll 2,1", "scroll 0,-3"},
       {"@scroll"}},
      // A horizontal swipe acts only when done, with the arrow opposite to its direction.
      {{R"(swipe "x":-40,"y":10,"done":false)", R"(swipe "x":-40,"y":10)"}, {}, {}},
      {{R"(swipe "x":-40,"y":10,"done":true)"}, controlChord({124}), {"swipe left"}},
      {{R"(swipe "x":5,"y":-60,"done":false)"}, controlChord({126}), {"swipe up"}}};
  for (const auto& c : cases) {
    for (bool webSocket : {false, true}) {
      SCOPED_TRACE((webSocket ? "WebSocket " : "POST ") + c.commands.front());
      VirtualInput v;
      HeldInput held;
      for (const std::string& command : c.commands) {
        v.clock.advance(10); // never a double click
        std::string action = command.substr(0, command.find(' ')), fields;
        if (action.size() < command.size())
          fields = command.substr(action.size() + 1);
        if (webSocket)
          handleWebSocketMessage(
              v.input, R"({"action":")" + action + '"' + (fields.empty() ? "" : "," + fields) + "}",
              held);
        else
          handleControlRequest(v.input, "/" + action, "{" + fields + "}");
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

class InputCommands : public VirtualInputTest {
protected:
  void send(std::string_view message) { handleWebSocketMessage(input, message, held); }

  HeldInput held;
};

// Only JSON objects are commands, only the exact endpoint names and actions; an action that is
// no command is named on the WebSocket. However deep a body nests, parsing it must neither run out
// of stack nor act on it; hundreds of kilobytes, so this holds even if the request size limit goes.
TEST_F(InputCommands, AnythingElseDoesNothing) {
  constexpr int kDepth = 100000;
  std::string unclosed(kDepth, '['), arrays = unclosed + std::string(kDepth, ']'), objects;
  for (int i = 0; i < kDepth; ++i)
    objects += R"({"x":)";
  objects += std::string(kDepth, '}');
  for (std::string_view body :
       {"", "not json", "[1,2]", "3", "{\"x\":1,\"y\":2", "null", "{\"x\":1e999,\"y\":2}",
        "{\"x\":1,\"y\":2} trailing", arrays.c_str(), unclosed.c_str(), objects.c_str()}) {
    handleControlRequest(input, "/move", body);
    send(body);
  }
  // A deep value inside a command: parsed whole, then no number.
  send(R"({"action":"move","y":1,"x":)" + objects + "}");
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

// What a session has pressed and not released is what is let go when it ends: the latest press
// first, each once, and nothing it released itself (a click releases too).
TEST_F(InputCommands, TheWebSocketRemembersWhatTheSessionHoldsDown) {
  const struct {
    std::vector<std::string_view> messages;
    Lines released;
  } cases[] = {
      {{R"({"action":"mousedown"})", R"({"action":"keydown","key":"shift"})",
        R"({"action":"keydown","key":"a"})", R"({"action":"mousedown","button":"middle"})",
        R"({"action":"keyup","key":"a"})", R"({"action":"mousedown"})"},
       {"otherUp 960.0,540.0 b2", "key 56 up", "leftUp 960.0,540.0 b0"}},
      {{R"({"action":"mousedown","button":"right"})", R"({"action":"click","button":"right"})",
        R"({"action":"mousedown","button":"center"})", R"({"action":"mouseup","button":"middle"})",
        R"({"action":"keydown","key":"nope"})", R"({"action":"keydown"})"},
       {}}};
  for (const auto& c : cases) {
    for (std::string_view message : c.messages)
      send(message);
    desktop.clearEvents();
    held.releaseAll(input);
    EXPECT_EQ(events(), c.released) << c.messages.front();
    EXPECT_TRUE(held.empty());
  }
}

} // namespace
} // namespace tovel
