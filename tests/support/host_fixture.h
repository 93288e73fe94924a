#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "common/log.h"
#include "host/host.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/virtual_desktop.h"
#include "server/responses.h"
#include "support/http_requests.h"
#include "support/test_client.h"
#include "support/wait.h"
#include "support/websocket_upgrade.h"

namespace tovel::test {

using namespace std::chrono_literals;

// Moves a test clock `step` seconds every `period` of real time while it exists, so that pictures
// which change with the clock keep changing and streams keep sending.
class ClockTicker {
public:
  explicit ClockTicker(ManualClock& clock, double step = 0.1,
                       std::chrono::milliseconds period = 25ms)
      : thread_([this, &clock, step, period] {
          for (; ticking_; std::this_thread::sleep_for(period))
            clock.advance(step);
        }) {}
  ~ClockTicker() {
    ticking_ = false;
    thread_.join();
  }

private:
  std::atomic<bool> ticking_{true};
  std::thread thread_;
};

// The whole host, in this process, on the virtual desktop and an ephemeral port, with its main
// loop running on a thread of the test.
class HostFixture : public ::testing::Test {
protected:
  void SetUp() override {
    HostOptions options;
    options.port = 0;
    options.programPath = programPath;
    options.appSite = appSite;
    options.appSiteTimeOuts = appSiteTimeOuts;
    options.videoSettings = videoSettings;
    options.maxConnections = maxConnections;
    options.maxConnectionsPerAddress = maxConnectionsPerAddress;
    options.exitProcess = [](int) {}; // the test goes on
    host = std::make_unique<Host>(io, desktop, clock, log, options);
    ASSERT_TRUE(host->start());
    log.clear(); // of what start-up printed
    loop = std::thread([this] { io.run(); });
  }
  void TearDown() override {
    ticker.reset();
    io.stop();
    if (loop.joinable())
      loop.join();
    host.reset();
  }

  std::uint16_t port() const { return host->port(); }

  // Runs a function on the host's main loop and waits for it, and so for all the loop had queued.
  template <typename F> void onLoop(F&& f) {
    std::atomic<bool> done{false};
    asio::post(io, [&] {
      f();
      done = true;
    });
    while (!done)
      std::this_thread::sleep_for(1ms);
  }
  void settle() {
    onLoop([] {});
  }
  // What reached the desktop by now, and the vertical amounts of its scrolls in order.
  std::vector<RecordedEvent> events() {
    settle();
    return desktop.events();
  }
  std::vector<int> scrolledAmounts() {
    std::vector<int> amounts;
    for (const RecordedEvent& e : events())
      if (e.scroll())
        amounts.push_back(e.scroll()->wheel1);
    return amounts;
  }
  std::size_t mp4Clients() {
    std::size_t count = 0;
    onLoop([&] { count = host->streamer()->clients().size(); });
    return count;
  }

  // A move posted on the connection is acknowledged.
  static bool moveAnswered(TestClient& client) {
    client.send(kMoveRequest);
    return client.read(kControlAcknowledgement.size()) == kControlAcknowledgement;
  }
  // The MJPEG stream's head comes for a GET of the target.
  static bool streamOpened(TestClient& client, std::string_view target = "/screen.mjpg") {
    client.send(getRequest(target));
    return client.read(kMjpegStreamHead.size()) == kMjpegStreamHead;
  }
  // Upgrades the connection, sending the bytes after the request in the same write, and waits
  // until the host reads frames from it.
  bool webSocketOpened(TestClient& client, std::string_view following = "") {
    log.clear();
    return openWebSocket(client, following) && log.waitFor("WebSocket handshake complete", 20s);
  }

  // Puts the pointer at a global display position (y down) of the 1080-high primary display.
  void pointAt(double x, double y) { desktop.setMouseLocation(Point{x, 1080 - y}); }
  // A titled application window filled with one colour (0xAARRGGBB).
  static VirtualWindow window(WindowId number, Rect bounds, std::uint32_t colour) {
    VirtualWindow w;
    w.info = WindowInfo{number, bounds, 0, "Painter", "Title"};
    w.colour = colour;
    return w;
  }

  // Derived fixtures may change these before SetUp runs. The encoder is small by default, so that
  // it costs little where the MP4 stream is not tested.
  std::string programPath = "/nonexistent/tovel-host";
  std::string appSite = "https://tovel-app.invalid";
  PageFetchTimeOuts appSiteTimeOuts;
  H264EncoderSettings videoSettings{.width = 320, .height = 192};
  std::size_t maxConnections = Listener::kMaxConnections;
  std::size_t maxConnectionsPerAddress = Listener::kMaxConnectionsPerAddress;

  ManualClock clock;
  VirtualDesktop desktop{clock};
  MemoryLog log;
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::unique_ptr<Host> host;
  std::thread loop;
  std::optional<ClockTicker> ticker; // for the tests whose streams must keep sending
};

} // namespace tovel::test
