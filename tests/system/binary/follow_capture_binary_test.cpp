#include <gtest/gtest.h>

#include "server/responses.h"
#include "support/host_binary.h"
#include "support/mjpeg_reader.h"
#include "support/process.h"
#include "support/test_client.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

TEST(FollowCaptureBinary, WholeScreenFramesFollowWhatChangesOnTheXScreen) {
  XvfbServer server;
  ASSERT_TRUE(server.running());
  server.run("xsetroot -solid '#0000c0'");
  auto host = startHostBinary(TOVEL_HOST_BINARY, server.environment());
  ASSERT_TRUE(host);

  TestClient client(kHostPort);
  client.send("GET /screen.mjpg?screen=true HTTP/1.1\r\n\r\n");
  std::string head = client.read(kFollowCaptureStreamHead.size());
  ASSERT_EQ(head, kFollowCaptureStreamHead);
  MjpegReader reader(client);
  auto jpeg = reader.readFrame();
  ASSERT_TRUE(jpeg);
  BgraImage image = decodeJpeg(*jpeg);
  // The whole 1920 x 1080 display, fitted into 1.5 times the 800 x 600 follow size.
  ASSERT_EQ(image.width(), 1200);
  ASSERT_EQ(image.height(), 675);
  EXPECT_TRUE(nearColour(averageColour(image, 600, 300), 0, 0, 192));

  // A change on the screen brings a frame that shows it.
  server.run("xsetroot -solid '#c0c000'");
  jpeg = reader.readFrame(5s);
  ASSERT_TRUE(jpeg);
  image = decodeJpeg(*jpeg);
  EXPECT_TRUE(nearColour(averageColour(image, 600, 300), 192, 192, 0));

  client.close();
  EXPECT_TRUE(host->waitForOutput("Connection cancelled\n", 5s)) << host->output();
}

} // namespace
} // namespace tovel::test
