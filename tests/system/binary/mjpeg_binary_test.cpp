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

TEST(MjpegBinary, FramesShowWhatIsOnTheXScreen) {
  XvfbServer server;
  ASSERT_TRUE(server.running());
  server.run("xsetroot -solid '#00c000'");
  auto host = startHostBinary(TOVEL_HOST_BINARY, server.environment());
  ASSERT_TRUE(host);

  TestClient client(kHostPort);
  client.send("GET /screen.mjpg HTTP/1.1\r\n\r\n");
  MjpegReader reader(client);
  ASSERT_EQ(reader.readHead(), kMjpegStreamHead);
  auto jpeg = reader.readFrame();
  ASSERT_TRUE(jpeg);
  BgraImage image = decodeJpeg(*jpeg);
  ASSERT_EQ(image.width(), 480);
  ASSERT_EQ(image.height(), 270);
  EXPECT_TRUE(nearColour(averageColour(image, 100, 100), 0, 192, 0));

  // A red window at (800, 400) of 400 x 300 appears a quarter of that size, in its place.
  ChildProcess window(TOVEL_X_WITNESS,
                      {"--title", "Red", "--geometry", "800,400,400,300", "--colour", "ff0000"},
                      ChildProcess::Input::emptyFile, server.environment());
  ASSERT_TRUE(window.waitForOutput("ready", 10s));
  bool seen = false;
  for (int i = 0; i < 60 && !seen; ++i) {
    jpeg = reader.readFrame();
    ASSERT_TRUE(jpeg);
    image = decodeJpeg(*jpeg);
    seen = nearColour(averageColour(image, 250, 140), 255, 0, 0);
  }
  EXPECT_TRUE(seen) << "the window never showed in the stream";
  EXPECT_TRUE(nearColour(averageColour(image, 150, 140), 0, 192, 0));
  EXPECT_TRUE(nearColour(averageColour(image, 330, 140), 0, 192, 0));

  // On a still screen the same frame comes again, until the pointer's marker moves.
  auto still = reader.readFrame();
  ASSERT_TRUE(still);
  jpeg = reader.readFrame();
  ASSERT_EQ(jpeg, still);
  server.run("xdotool mousemove 100 100");
  for (int i = 0; i < 60 && jpeg == still; ++i)
    jpeg = reader.readFrame();
  EXPECT_NE(jpeg, still) << "the marker never moved";
}

} // namespace
} // namespace tovel::test
