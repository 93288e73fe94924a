#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "input/gestures.h"
#include "input/keyboard.h"
#include "input/pointer.h"
#include "input/text_typing.h"
#include "support/virtual_input.h"

namespace tovel {
namespace {

// What a client's text becomes: its characters, or the reason it is refused.
TEST(TypedText, IsStrictUtf8WithLineFeedsAndTabsAsTheOnlyControls) {
  const struct {
    std::string bytes;
    std::variant<std::u32string, std::string> expected;
  } cases[] = {
      {"Grüße 日本 😀", U"Grüße 日本 😀"},
      {"a\tb\nc", U"a\tb\nc"},
      {"one\r\ntwo\r\n", U"one\ntwo\n"}, // line ends of other systems
      {"", U""},
      {"a\rb", "control character U+000D in the text"},
      {std::string("a\0b", 3), "control character U+0000 in the text"},
      {"\x1b[2J", "control character U+001B in the text"},
      {"\x7f", "control character U+007F in the text"},
      {"\xc2\x85", "control character U+0085 in the text"},
      {"\xff", "the text is not UTF-8"},
      {"\xc0\xaf", "the text is not UTF-8"},         // overlong '/'
      {"\xed\xa0\x80", "the text is not UTF-8"},     // a surrogate half
      {"\xf4\x90\x80\x80", "the text is not UTF-8"}, // above U+10FFFF
      {"caf\xc3", "the text is not UTF-8"},          // cut short
  };
  for (const auto& c : cases)
    EXPECT_EQ(checkTypedText(c.bytes), c.expected) << c.bytes;
}

// The typer of texts with a desktop that takes three characters at a time and then asks for a
// quarter of a second, and a loop that runs what is scheduled only when the test says so.
class TextTyperTest : public test::VirtualInputTest {
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

TEST_F(TextTyperTest, TextsArePacedAndEverythingAfterWaitsForTheTextBeforeIt) {
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
  Lines all = {"typed abc d",
               "key 6 down",
               "key 6 up",
               "moved 965.0,540.0 b0",
               "leftDown 965.0,540.0 b0",
               "leftUp 965.0,540.0 b0",
               "scroll 3,0",
               "typed xy"};
  EXPECT_EQ(events(), all);
  // One line for the text, each character it could not type named once.
  EXPECT_EQ(log.lines(), Lines{"Could not type on this desktop: é (U+00E9) Ω (U+03A9)"});
  EXPECT_FALSE(typer.busy());
  // With nothing waiting, keys go at once.
  performKeyDown(input, 6);
  all.push_back("key 6 down");
  EXPECT_EQ(events(), all);
}

TEST_F(TextTyperTest, TooMuchWaitingTextIsRefused) {
  // Three of these are typed at once.
  EXPECT_TRUE(typer.type(std::u32string(TextTyper::kMaxWaiting, U'a')));
  EXPECT_FALSE(typer.type(U"bcde"));
  EXPECT_EQ(log.lines(), Lines{"Ignored type command: 99997 characters are waiting to be typed "
                               "already"});
  EXPECT_TRUE(typer.type(U"bcd"));
}

} // namespace
} // namespace tovel
