#include <gtest/gtest.h>

#include "support/host_fixture.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

using HostProcess = HostFixture;

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
