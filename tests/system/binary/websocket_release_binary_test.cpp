#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/host_binary.h"
#include "support/process.h"
#include "support/test_client.h"
#include "support/websocket_frames.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The pointer's modifier and button mask, as X itself reports it.
unsigned pointerMask(Display* display) {
  Window root, child;
  int rootX, rootY, x, y;
  unsigned mask = 0;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y, &mask);
  return mask;
}

// Polls the mask until the test holds or the (generous) deadline passes; the time it took.
template <typename Test> std::optional<Clock::duration> waitForMask(Display* display, Test test) {
  auto start = Clock::now();
  for (auto deadline = start + 15s; Clock::now() < deadline; std::this_thread::sleep_for(5ms))
    if (test(pointerMask(display)))
      return Clock::now() - start;
  return std::nullopt;
}

// A phone that locks its screen in the middle of a drag with shift held never sends the
// releases; its connection is simply gone. Nothing may stay held on the desktop after that.
TEST(WebSocketReleaseBinary, AClientThatVanishesLeavesNothingHeld) {
  XvfbServer server;
  ASSERT_TRUE(server.running());
  auto host = startHostBinary(TOVEL_HOST_BINARY, server.environment());
  ASSERT_TRUE(host);
  std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(server.display().c_str()),
                                                      XCloseDisplay);
  ASSERT_TRUE(display);
  const unsigned held = Button1Mask | ShiftMask;
  ASSERT_EQ(pointerMask(display.get()) & held, 0u);

  TestClient client(kHostPort);
  client.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  ASSERT_EQ(client.read(129).size(), 129u);
  client.send(maskedFrame(R"({"action":"mousedown","button":"left"})") +
              maskedFrame(R"({"action":"keydown","key":"shift"})") +
              maskedFrame(R"({"action":"move","x":25,"y":10})"));
  ASSERT_TRUE(waitForMask(display.get(), [&](unsigned mask) { return (mask & held) == held; }))
      << host->output();

  client.reset();
  auto released = waitForMask(display.get(), [&](unsigned mask) { return (mask & held) == 0; });
  ASSERT_TRUE(released) << "still held: " << std::hex << (pointerMask(display.get()) & held);
  std::printf("released %.0f ms after the reset\n",
              std::chrono::duration<double, std::milli>(*released).count());
  EXPECT_NE(host->output().find("\nws mousedown left"), std::string::npos);
}

} // namespace
} // namespace tovel::test
