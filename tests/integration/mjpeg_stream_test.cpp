#include <gtest/gtest.h>

#include "server/responses.h"
#include "support/host_fixture.h"
#include "support/mjpeg_reader.h"
#include "support/wait.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

class MjpegStream : public HostFixture {
protected:
  void SetUp() override {
    HostFixture::SetUp();
    // One plain red window on the desktop, nothing else in front.
    desktop.setWindows({window(7, Rect{800, 400, 400, 300}, 0xffff0000)});
  }

  // Opens a stream, checks its head and reads frames in the strict chunk framing.
  MjpegReader open(const std::string& target) {
    client = std::make_unique<TestClient>(port());
    client->send("GET " + target + " HTTP/1.1\r\nHost: h\r\n\r\n");
    MjpegReader reader(*client);
    EXPECT_EQ(reader.readHead(), kMjpegStreamHead);
    return reader;
  }

  std::unique_ptr<TestClient> client;
};

TEST_F(MjpegStream, FollowModesCropAroundThePointer) {
  pointAt(1000, 550); // inside the red window, right of its middle
  MjpegReader stream = open("/screen.mjpg?follow=hd&quality=high");
  BgraImage image = stream.readImage(20s);
  // 800 x 480 points around the pointer from (600, 310), scaled by 0.6 to fit 480 x 480.
  ASSERT_EQ(image.width(), 480);
  ASSERT_EQ(image.height(), 288);
  auto at = [](const BgraImage& image, double x, double y) {
    return averageColour(image, int((x - 600) * 0.6), int((y - 310) * 0.6));
  };
  EXPECT_TRUE(isRed(at(image, 850, 650))); // the window spans x 800..1200, y 400..700
  EXPECT_FALSE(isRed(at(image, 650, 650)));

  // The region goes where the pointer goes.
  pointAt(300, 300);
  bool moved = false;
  for (int i = 0; i < 20 && !moved; ++i) {
    image = stream.readImage(20s);
    moved = image.width() == 480 && !isRed(at(image, 850, 650));
  }
  EXPECT_TRUE(moved) << "the region did not follow the pointer";
}

TEST_F(MjpegStream, FollowedWindowIsShownAtItsOwnSize) {
  pointAt(900, 500);
  MjpegReader stream = open("/screen.mjpg?window=true&max=1000");
  BgraImage image = stream.readImage(20s);
  ASSERT_EQ(image.width(), 400); // never enlarged past the window's own size
  ASSERT_EQ(image.height(), 300);
  EXPECT_TRUE(isRed(averageColour(image, 200, 200)));
  EXPECT_TRUE(log.contains("Max: [1000.0]"));

  // The window moves; the stream follows it there.
  desktop.setWindows({window(7, Rect{100, 100, 400, 300}, 0xffff0000)});
  pointAt(1500, 900);
  for (int i = 0; i < 5; ++i) {
    image = stream.readImage(20s);
    ASSERT_EQ(image.width(), 400);
    EXPECT_TRUE(isRed(averageColour(image, 200, 200)));
  }
}

TEST_F(MjpegStream, SizeOptionsReachThePicture) {
  // The 1920 x 1080 display fitted into each maximum; a swapped width and height would show.
  const std::tuple<const char*, int, int, const char*> cases[] = {
      {"/screen.mjpg?max=400x100", 178, 100, "Max: [400.0, 100.0]"},
      {"/screen.mjpg?max=100x400", 100, 56, "Max: [100.0, 400.0]"},
      {"/screen.mjpg?max=640", 640, 360, "Max: [640.0]"},
      {"/screen.mjpg?max=1000", 1000, 563, "Max: [1000.0]"},        // 562.5 rounds up
      {"/screen.mjpg?size=640x480x2&max=abc", 480, 270, "Max: []"}, // the default
  };
  for (auto [target, width, height, line] : cases) {
    BgraImage image = open(target).readImage(20s);
    EXPECT_EQ(image.width(), width) << target;
    EXPECT_EQ(image.height(), height) << target;
    EXPECT_TRUE(log.contains(line)) << target;
    EXPECT_TRUE(log.contains(std::string("send ") + target)) << target;
    client->close();
  }
  EXPECT_TRUE(log.contains("Size: [640.0, 480.0, 2.0]"));
}

TEST_F(MjpegStream, NoDisplayMeansARetryEverySecond) {
  desktop.setScreens({});
  open("/screen.mjpg");
  // Two retries, and nothing was sent for either.
  EXPECT_TRUE(log.waitForCount("send wait /screen.mjpg", 2, 5s));
  EXPECT_TRUE(client->staysSilent(0ms));
  EXPECT_EQ(host->mjpegStreams().liveStreams(), 1u);
}

} // namespace
} // namespace tovel::test
