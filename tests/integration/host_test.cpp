#include <gtest/gtest.h>

#include <sstream>

#include "support/host_fixture.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

using HostProcess = HostFixture;

TEST_F(HostProcess, ConsoleLinesRunOnTheMainLoopAndEndOfInputExits) {
  std::istringstream input("move 10 5\nclick right\r\nbogus line\n");
  host->startConsole(input);
  EXPECT_EQ(waitForExit(), 0);

  auto lines = log.lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Tovel Host started.");
  // The commands were all handled, in order, before the end of input.
  auto position = [&](const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) - lines.begin();
  };
  EXPECT_LT(position("Moved by (10.0, 5.0)"), position("Unknown command: bogus line"));
  EXPECT_LT(position("Unknown command: bogus line"), position("Input stream closed. Exiting..."));
  auto e = desktop.events();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].mouse()->position, (Point{970, 545}));
  EXPECT_EQ(e[1].mouse()->type, MouseEventType::rightMouseDown);
}

TEST_F(HostProcess, ScreenChangesAreReported) {
  desktop.setScreens({Screen{1, Rect{0, 0, 1280, 800}, 1.0, "first"},
                      Screen{2, Rect{1280, 0, 1024, 768}, 1.0, "second"}});
  ASSERT_TRUE(log.waitFor("Screen: second", 5s));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Screens have changed. Current screens:",
                                                   "Screen: first", "Screen: second"}));
}

TEST_F(HostProcess, InjectedModifierIsLentToPhysicalClicksForFifteenSeconds) {
  TestClient client(port());
  client.send("POST /keydown HTTP/1.1\r\n\r\n{\"key\":\"shift\"}");
  client.read(252);
  settle();
  clock.advance(14.9);
  desktop.simulatePhysicalButton(kLeftButton, true);
  desktop.simulatePhysicalButton(kLeftButton, false);
  clock.advance(0.1);
  desktop.simulatePhysicalButton(kLeftButton, true);
  auto e = desktop.events();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[1].mouse()->flags, kShiftFlag);
  EXPECT_EQ(e[3].mouse()->flags, 0u);
}

} // namespace
} // namespace tovel::test
