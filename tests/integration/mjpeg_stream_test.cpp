#include <gtest/gtest.h>

#include "server/responses.h"
#include "support/host_fixture.h"
#include "support/mjpeg_reader.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

class MjpegStream : public HostFixture {
protected:
  void SetUp() override {
    HostFixture::SetUp();
    // One plain window of a known colour on the desktop, nothing else in front.
    VirtualWindow window;
    window.info.number = 7;
    window.info.bounds = Rect{800, 400, 400, 300};
    window.info.layer = 0;
    window.info.ownerName = "Painter";
    window.info.title = "Red";
    window.colour = 0xffff0000;
    desktop.setWindows({window});
  }

  // Opens a stream and checks its head.
  std::unique_ptr<TestClient> open(const std::string& target) {
    auto client = std::make_unique<TestClient>(port());
    client->send("GET " + target + " HTTP/1.1\r\nHost: h\r\n\r\n");
    MjpegReader reader(*client);
    EXPECT_EQ(reader.readHead(), kMjpegStreamHead);
    return client;
  }
  BgraImage frame(TestClient& client) {
    MjpegReader reader(client);
    auto jpeg = reader.readFrame();
    return jpeg ? decodeJpeg(*jpeg) : BgraImage{};
  }
  // Puts the pointer at a point in global display coordinates (y down).
  void pointAt(double x, double y) { desktop.setMouseLocation(Point{x, 1080 - y}); }
  static bool red(Colour c) { return c.r > 200 && c.g < 60 && c.b < 60; }
};

TEST_F(MjpegStream, WholeDisplayFramesAreChunkedJpegsOfTheRightSize) {
  pointAt(100, 100);
  auto client = open("/screen.mjpg");
  for (int i = 0; i < 3; ++i) {
    BgraImage image = frame(*client);
    ASSERT_EQ(image.width(), 480);
    ASSERT_EQ(image.height(), 270);
    // The red window at (800, 400, 400, 300), a quarter of its size.
    EXPECT_TRUE(red(averageColour(image, 250, 150)));
    EXPECT_FALSE(red(averageColour(image, 150, 150)));
  }
  EXPECT_TRUE(log.contains("send /screen.mjpg"));
}

TEST_F(MjpegStream, FollowModesCropAroundThePointer) {
  pointAt(1000, 550); // inside the red window, right of its middle
  auto client = open("/screen.mjpg?follow=hd&quality=high");
  BgraImage image = frame(*client);
  // 800 x 480 points around the pointer, scaled to fit 480 x 480.
  ASSERT_EQ(image.width(), 480);
  ASSERT_EQ(image.height(), 288);
  // The window spans global x 800..1200, y 400..700; the region starts at (600, 310).
  EXPECT_TRUE(red(averageColour(image, int((850 - 600) * 0.6), int((650 - 310) * 0.6))));
  EXPECT_FALSE(red(averageColour(image, int((650 - 600) * 0.6), int((650 - 310) * 0.6))));

  // The region goes where the pointer goes.
  pointAt(300, 300);
  BgraImage later;
  for (int i = 0; i < 20 && !later.width(); ++i) {
    BgraImage next = frame(*client);
    if (!red(averageColour(next, int((850 - 600) * 0.6), int((650 - 310) * 0.6))))
      later = std::move(next);
  }
  EXPECT_EQ(later.width(), 480) << "the region did not follow the pointer";
}

TEST_F(MjpegStream, FollowedWindowIsShownAtItsOwnSize) {
  pointAt(900, 500);
  auto client = open("/screen.mjpg?window=true&max=1000");
  BgraImage image = frame(*client);
  ASSERT_EQ(image.width(), 400); // never enlarged past the window's own size
  ASSERT_EQ(image.height(), 300);
  EXPECT_TRUE(red(averageColour(image, 200, 200)));
  EXPECT_TRUE(log.contains("Max: [1000.0]"));

  // The window moves; the stream follows it there.
  auto windows = desktop.windows();
  windows[0].info.bounds = Rect{100, 100, 400, 300};
  desktop.setWindows(windows);
  pointAt(1500, 900);
  for (int i = 0; i < 5; ++i) {
    image = frame(*client);
    ASSERT_EQ(image.width(), 400);
    EXPECT_TRUE(red(averageColour(image, 200, 200)));
  }
}

TEST_F(MjpegStream, OptionsArePrintedAsTheyAreRead) {
  auto client = open("/screen.mjpg?size=640x480x2&max=abc");
  BgraImage image = frame(*client);
  EXPECT_EQ(image.width(), 480); // max=abc keeps the default
  EXPECT_TRUE(log.contains("Size: [640.0, 480.0, 2.0]"));
  EXPECT_TRUE(log.contains("Max: []"));
}

TEST_F(MjpegStream, ADisconnectedClientEndsItsStream) {
  auto client = open("/screen.mjpg");
  frame(*client);
  client->close();
  // Within a few frames the host notices and stops capturing for it.
  std::uint64_t before = 0;
  for (int i = 0; i < 100; ++i) {
    before = desktop.renderCount();
    std::this_thread::sleep_for(100ms);
    if (desktop.renderCount() == before)
      break;
  }
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(desktop.renderCount(), before);
}

TEST_F(MjpegStream, NoDisplayMeansARetryEverySecond) {
  desktop.setScreens({});
  auto client = open("/screen.mjpg");
  EXPECT_TRUE(log.waitFor("send wait /screen.mjpg", 3s));
  EXPECT_TRUE(client->staysSilent(100ms));
}

} // namespace
} // namespace tovel::test
