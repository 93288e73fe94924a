// The real program on a headless GNOME session, a headless sway and Xvfb, the same figures side by
// side, one table: how long a POST /move takes to reach the compositor's pointer, and the MJPEG and
// MP4 streams of a changing full-screen picture (frames per second, the host's CPU per frame, and
// the display server's CPU meanwhile: Mutter composites and copies every picture into PipeWire,
// sway composites and copies it into the host's shared memory, Xvfb copies its picture into shared
// memory).
//
//   tovel_desktop_compare [SECONDS]     (uses port 8096; each stream figure measured for SECONDS)
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "support/desktop_session.h"
#include "support/host_binary.h"
#include "support/mjpeg_reader.h"
#include "support/mp4_stream_reader.h"
#include "support/process.h"
#include "support/test_client.h"
#include "support/xvfb.h"

// After the test support: Xlib's macros (None, Bool) would break the gtest headers it includes.
#include <X11/Xlib.h>

namespace {

using tovel::bench::Clock;
using tovel::bench::cpuSeconds;
using tovel::bench::percentile;
using tovel::test::ChildProcess;

constexpr int kMoves = 200;

struct Figures {
  double moveP50Ms = 0, moveP99Ms = 0;
  double mjpegFps = 0, mjpegHostMs = 0, mjpegServerMs = 0;
  double mp4Fps = 0, mp4HostMs = 0, mp4ServerMs = 0;
};

// Waits for the answer to one request on a keep-alive connection (a short body follows the head).
bool readAnswer(tovel::test::TestClient& client) {
  std::string seen;
  while (seen.find("\r\n\r\n") == std::string::npos) {
    std::optional<std::string> more = client.readSome(4096, std::chrono::seconds(5));
    if (!more || more->empty())
      return false;
    seen += *more;
  }
  return true;
}

void sendMove(tovel::test::TestClient& client, int dx, int dy) {
  std::string body = "{\"x\":" + std::to_string(dx) + ",\"y\":" + std::to_string(dy) + "}";
  client.send("POST /move HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
              "Content-Length: " +
              std::to_string(body.size()) + "\r\n\r\n" + body);
}

// Round trips of POST /move on a still screen, each to the moment `arrived(n)` says the n-th move
// has reached the compositor's pointer; the moves go right and left by 7 points.
template <typename Arrived> std::vector<double> moveRoundTrips(Arrived arrived) {
  tovel::test::TestClient client(tovel::test::kHostPort);
  std::vector<double> times;
  for (int i = 1; i <= kMoves; ++i) {
    auto start = Clock::now();
    sendMove(client, i % 2 ? 7 : -7, 0);
    auto deadline = start + std::chrono::seconds(5);
    while (!arrived(i) && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    if (Clock::now() >= deadline) {
      std::fprintf(stderr, "move %d did not arrive\n", i);
      return times;
    }
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (!readAnswer(client))
      return times;
  }
  return times;
}

// Frames of a stream in `seconds` after one second of warming up, with the host's and the display
// server's CPU over the same time.
template <typename Count>
void measureStream(pid_t host, pid_t server, double seconds, Count frames, double& fps,
                   double& hostMs, double& serverMs) {
  tovel::bench::sleepFor(1);
  long before = frames();
  double hostBefore = cpuSeconds(host), serverBefore = cpuSeconds(server);
  auto start = Clock::now();
  tovel::bench::sleepFor(seconds);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  long counted = frames() - before;
  fps = counted / elapsed;
  hostMs = counted > 0 ? 1000 * (cpuSeconds(host) - hostBefore) / counted : 0;
  serverMs = counted > 0 ? 1000 * (cpuSeconds(server) - serverBefore) / counted : 0;
}

void measureStreams(pid_t host, pid_t server, double seconds, Figures& figures) {
  {
    tovel::test::TestClient client(tovel::test::kHostPort);
    client.send("GET /screen.mjpg?max=1280x720 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    tovel::test::MjpegReader reader(client);
    tovel::test::readHead(client, std::chrono::seconds(5));
    std::atomic<long> count = 0;
    std::atomic<bool> done = false;
    std::thread reading([&] {
      while (!done && reader.readFrame())
        ++count;
    });
    measureStream(
        host, server, seconds, [&] { return count.load(); }, figures.mjpegFps, figures.mjpegHostMs,
        figures.mjpegServerMs);
    done = true;
    reading.join(); // after the frame it is reading: the stream goes on
    client.close();
  }
  tovel::test::Mp4StreamReader mp4(tovel::test::kHostPort, "Host: 127.0.0.1\r\n");
  measureStream(
      host, server, seconds, [&] { return long(mp4.fragments().size()); }, figures.mp4Fps,
      figures.mp4HostMs, figures.mp4ServerMs);
  mp4.close();
}

pid_t newestProcess(const char* name) {
  std::string pid = tovel::test::commandOutput(std::string("pgrep -n -x ") + name);
  return pid_t(std::atoi(pid.c_str()));
}

// The host on a Wayland session whose compositor process is `server`.
template <typename Session>
std::optional<Figures> onWayland(const Session& session, const char* server, bool firstMoveIsMotion,
                                 double seconds) {
  if (!session.running()) {
    std::fprintf(stderr, "no %s session:\n%s\n", server, session.log().c_str());
    return std::nullopt;
  }
  // The moves on a still screen, as a user moves the pointer over a desktop; then the streams
  // of a second, changing window over it.
  ChildProcess witness(TOVEL_WAYLAND_WITNESS, {}, ChildProcess::Input::pipe, session.environment());
  if (!witness.waitForOutput("ready", std::chrono::seconds(10)))
    return std::nullopt;
  std::unique_ptr<ChildProcess> host =
      tovel::test::startHostBinary(TOVEL_HOST_BINARY, session.environment());
  if (!host)
    return std::nullopt;
  // The first move brings the pointer into the witness's window, which then reports motion.
  {
    tovel::test::TestClient client(tovel::test::kHostPort);
    sendMove(client, 1, 1);
    if (!witness.waitForOutput("\nenter ", std::chrono::seconds(5)))
      return std::nullopt;
    // sway enters the window where the host put the pointer at start-up, then moves it.
    if (firstMoveIsMotion && !witness.waitForOutput("\nmotion ", std::chrono::seconds(5)))
      return std::nullopt;
  }
  auto motions = [&] {
    std::string output = witness.output();
    long count = 0;
    for (std::size_t at = 0; (at = output.find("\nmotion ", at)) != std::string::npos; ++at)
      ++count;
    return count;
  };
  long before = motions();
  std::vector<double> trips = moveRoundTrips([&](int n) { return motions() >= before + n; });
  Figures figures;
  figures.moveP50Ms = percentile(trips, 0.5);
  figures.moveP99Ms = percentile(trips, 0.99);
  ChildProcess animation(TOVEL_WAYLAND_WITNESS, {"--animate"}, ChildProcess::Input::pipe,
                         session.environment());
  if (!animation.waitForOutput("ready", std::chrono::seconds(10)))
    return std::nullopt;
  measureStreams(host->pid(), newestProcess(server), seconds, figures);
  return figures;
}

std::optional<Figures> onXvfb(double seconds) {
  tovel::test::XvfbServer server;
  if (!server.running())
    return std::nullopt;
  std::unique_ptr<ChildProcess> host =
      tovel::test::startHostBinary(TOVEL_HOST_BINARY, server.environment());
  if (!host)
    return std::nullopt;
  Display* display = XOpenDisplay(server.display().c_str());
  if (!display)
    return std::nullopt;
  auto pointerX = [&] {
    Window root, child;
    int rootX = 0, rootY = 0, x = 0, y = 0;
    unsigned mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y,
                  &mask);
    return rootX;
  };
  int start = pointerX();
  std::vector<double> trips =
      moveRoundTrips([&](int n) { return pointerX() == start + (n % 2 ? 7 : 0); });
  XCloseDisplay(display);
  Figures figures;
  figures.moveP50Ms = percentile(trips, 0.5);
  figures.moveP99Ms = percentile(trips, 0.99);
  ChildProcess animation(TOVEL_X_ANIMATION, {}, ChildProcess::Input::emptyFile,
                         server.environment());
  measureStreams(host->pid(), newestProcess("Xvfb"), seconds, figures);
  return figures;
}

void row(const char* what, const std::string& gnome, const std::string& sway,
         const std::string& xvfb) {
  std::printf("| %-58s | %14s | %14s | %14s |\n", what, gnome.c_str(), sway.c_str(), xvfb.c_str());
}

std::string format(const char* pattern, double a, double b = 0) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, a, b);
  return text;
}

} // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 10;
  XInitThreads();
  std::optional<Figures> gnome, sway;
  {
    tovel::test::GnomeSession session;
    gnome = onWayland(session, "mutter", false, seconds);
  }
  {
    tovel::test::SwaySession session;
    sway = onWayland(session, "sway", true, seconds);
  }
  std::optional<Figures> xvfb = onXvfb(seconds);
  if (!gnome || !sway || !xvfb) {
    std::fprintf(stderr, "the %s desktop could not be measured\n",
                 !gnome  ? "GNOME"
                 : !sway ? "sway"
                         : "Xvfb");
    return 1;
  }
  std::printf("The real program on headless GNOME, headless sway and Xvfb, 1920x1080, a changing\n"
              "full-screen picture, %.0f s per stream figure, %d moves\n\n",
              seconds, kMoves);
  row("figure", "GNOME", "sway", "Xvfb");
  row("---", "---", "---", "---");
  struct Line {
    const char* what;
    const char* pattern;
    double Figures::*first;
    double Figures::*second; // or null
  };
  for (const Line& line :
       {Line{"POST /move to the compositor's pointer: p50 / p99 (ms)", "%.2f / %.2f",
             &Figures::moveP50Ms, &Figures::moveP99Ms},
        Line{"MJPEG max=1280x720: frames/s", "%.1f", &Figures::mjpegFps, nullptr},
        Line{"MJPEG: host CPU ms per frame", "%.2f", &Figures::mjpegHostMs, nullptr},
        Line{"MJPEG: display server CPU ms per frame", "%.2f", &Figures::mjpegServerMs, nullptr},
        Line{"MP4 1920x1080: frames/s", "%.1f", &Figures::mp4Fps, nullptr},
        Line{"MP4: host CPU ms per frame", "%.2f", &Figures::mp4HostMs, nullptr},
        Line{"MP4: display server CPU ms per frame", "%.2f", &Figures::mp4ServerMs, nullptr}}) {
    auto cell = [&](const Figures& f) {
      return format(line.pattern, f.*line.first, line.second ? f.*line.second : 0);
    };
    row(line.what, cell(*gnome), cell(*sway), cell(*xvfb));
  }
  return 0;
}
