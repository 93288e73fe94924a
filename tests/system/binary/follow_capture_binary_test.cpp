#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XRes.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "server/responses.h"
#include "support/host_binary.h"
#include "support/mjpeg_reader.h"
#include "support/process.h"
#include "support/test_client.h"
#include "support/wait.h"
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
  jpeg = reader.readFrame(30s);
  ASSERT_TRUE(jpeg);
  image = decodeJpeg(*jpeg);
  EXPECT_TRUE(nearColour(averageColour(image, 600, 300), 192, 192, 0));

  client.close();
  EXPECT_TRUE(host->waitForOutput("Connection cancelled\n", 30s)) << host->output();
}

// The clients connected to the X server, as its X-Resource extension counts them.
int xClients(Display* display) {
  int count = -1;
  XResClient* clients = nullptr;
  if (!XResQueryClients(display, &count, &clients))
    return -1;
  XFree(clients);
  return count;
}

TEST(FollowCaptureBinary, StreamsOneAfterAnotherLeaveNoXClientOrDescriptorBehind) {
  // A small screen keeps each stream's grab and encoding cheap; what is counted does not depend
  // on it.
  XvfbServer server(XvfbServer::Options{.width = 640, .height = 480});
  ASSERT_TRUE(server.running());
  Display* probe = XOpenDisplay(server.display().c_str());
  ASSERT_NE(probe, nullptr);
  auto host = startHostBinary(TOVEL_HOST_BINARY, server.environment());
  ASSERT_TRUE(host);
  const int clients = xClients(probe);
  const int descriptors = openDescriptors(host->pid());
  ASSERT_GT(clients, 1);
  ASSERT_GT(descriptors, 0);

  // More streams than the server would have taken clients if each left one behind.
  constexpr int kStreams = 300;
  auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < kStreams; ++i) {
    TestClient client(kHostPort);
    ASSERT_TRUE(client.connected()) << "stream " << i;
    client.send("GET /screen.mjpg?screen=true HTTP/1.1\r\n\r\n");
    ASSERT_EQ(client.read(kFollowCaptureStreamHead.size(), 30s), kFollowCaptureStreamHead)
        << "stream " << i;
    MjpegReader reader(client);
    ASSERT_TRUE(reader.readFrame(30s)) << "stream " << i;
    // The host ends the stream once its client has gone.
    client.finishSending();
    ASSERT_TRUE(client.waitClosed(30s)) << "stream " << i;
  }
  EXPECT_TRUE(waitUntil([&] { return xClients(probe) == clients; }, 60s))
      << xClients(probe) << " X clients, " << clients << " before the streams";
  // No more than before: a stream that left one behind would add 300. (Fewer happens on a loaded
  // machine, where something of the start-up is still open when the count is first taken.)
  EXPECT_TRUE(waitUntil([&] { return openDescriptors(host->pid()) <= descriptors; }, 60s))
      << openDescriptors(host->pid()) << " descriptors open, " << descriptors
      << " before the streams";
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  std::printf("%d streams opened and ended in %.1f s\n", kStreams, took.count());

  // The host is still whole: another stream still works.
  TestClient client(kHostPort);
  client.send("GET /screen.mjpg?screen=true HTTP/1.1\r\n\r\n");
  ASSERT_EQ(client.read(kFollowCaptureStreamHead.size()), kFollowCaptureStreamHead);
  MjpegReader reader(client);
  EXPECT_TRUE(reader.readFrame(30s));
  XCloseDisplay(probe);
}

} // namespace
} // namespace tovel::test
