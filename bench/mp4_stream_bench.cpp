// The live MP4 stream end to end, and the same work done by ffmpeg, on one private 1920 x 1080
// Xvfb screen:
//   1. the host (in this process, on the X display) with one loopback client reading
//      /screen.mp4 while tovel_x_animation changes the picture 60 times a second: fragments per
//      second, the delay from capture to the client's socket (median, 99th percentile), CPU;
//   2. the same client on a still screen: CPU per second, and the size of the frames that send
//      the unchanged picture again;
//   3. ffmpeg -f x11grab at 60 frames a second encoding with libx264 at the host's settings on
//      the same animation: frames per second and CPU, and the host-to-ffmpeg ratio per frame.
// CPU is user + system time from /proc; for the host it includes the reading client's thread.
//
//   tovel_mp4_stream_bench [seconds]

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "bench_support.h"
#include "host/host.h"
#include "platform/clock.h"
#include "platform/x11/x11_desktop.h"
#include "support/mp4_stream_reader.h"
#include "support/process.h"
#include "support/xvfb.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tovel::bench::cpuSeconds;
using tovel::bench::DiscardLog;
using tovel::bench::percentile;

struct StreamFigures {
  double framesPerSecond = 0;
  double cpuPerSecond = 0;
  double medianDelayMs = 0;
  double p99DelayMs = 0;
  double bytesPerFrame = 0; // movie-fragment and media-data boxes
};

// One client reads the stream for the given time after a second of warming up.
StreamFigures measureHost(tovel::Host& host, double seconds) {
  tovel::test::Mp4StreamReader reader(host.port());
  reader.waitForFragments(1);
  std::this_thread::sleep_for(1s);
  std::size_t before = reader.fragments().size();
  double cpuBefore = cpuSeconds("self");
  auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  double cpu = cpuSeconds("self") - cpuBefore;
  std::vector<tovel::test::Mp4Fragment> fragments = reader.fragments();
  reader.close();

  StreamFigures figures;
  figures.framesPerSecond = double(fragments.size() - before) / elapsed;
  figures.cpuPerSecond = cpu / elapsed;
  double bytes = 0;
  for (std::size_t i = before; i < fragments.size(); ++i)
    bytes += double(fragments[i].bytes.size());
  figures.bytesPerFrame = fragments.size() > before ? bytes / double(fragments.size() - before) : 0;
  std::vector<double> delays =
      tovel::bench::captureToClientDelaysMs(*host.streamer(), fragments, before);
  figures.medianDelayMs = percentile(delays, 0.5);
  figures.p99DelayMs = percentile(delays, 0.99);
  return figures;
}

// ffmpeg grabbing and encoding the same screen at the host's settings.
StreamFigures measureFfmpeg(const tovel::test::XvfbServer& server, double seconds) {
  tovel::bench::RateFigures figures =
      tovel::bench::measureFfmpeg(server.display(),
                                  {"-c:v", "libx264", "-preset", "ultrafast", "-tune",
                                   "zerolatency", "-x264-params", "cabac=1:keyint=60", "-bf", "0"},
                                  seconds);
  return StreamFigures{figures.framesPerSecond, figures.cpuPerSecond, 0, 0};
}

} // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::stod(argv[1]) : 10.0;
  tovel::test::XvfbServer server;
  if (!server.running()) {
    std::fprintf(stderr, "cannot start Xvfb\n");
    return 1;
  }
  auto desktop = tovel::X11Desktop::open(server.display());
  if (!desktop) {
    std::fprintf(stderr, "cannot open the X display\n");
    return 1;
  }
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  tovel::SystemClock clock;
  DiscardLog log;
  tovel::HostOptions options;
  options.port = 0;
  tovel::Host host(io, *desktop, clock, log, options);
  if (!host.start()) {
    std::fprintf(stderr, "the host did not start\n");
    return 1;
  }
  std::thread loop([&] { io.run(); });

  StreamFigures changing, still, ffmpeg;
  {
    tovel::test::ChildProcess animation(
        TOVEL_X_ANIMATION, {}, tovel::test::ChildProcess::Input::emptyFile, server.environment());
    changing = measureHost(host, seconds);
    ffmpeg = measureFfmpeg(server, seconds);
  }
  still = measureHost(host, seconds);

  std::printf("live MP4 at 1920x1080, one loopback client, %.0f s each\n", seconds);
  std::printf("%-34s %10s %12s %14s %12s %12s %12s\n", "", "frames/s", "CPU s/s", "CPU ms/frame",
              "bytes/frame", "delay p50", "delay p99");
  std::printf("%-34s %10.1f %12.3f %14.2f %12.0f %10.1fms %10.1fms\n", "host, changing screen",
              changing.framesPerSecond, changing.cpuPerSecond,
              1000 * changing.cpuPerSecond / changing.framesPerSecond, changing.bytesPerFrame,
              changing.medianDelayMs, changing.p99DelayMs);
  // A still screen is sent again once a second: the CPU is that of the idle host and those
  // repeated frames.
  std::printf("%-34s %10.1f %12.3f %14s %12.0f %12s %12s\n", "host, still screen",
              still.framesPerSecond, still.cpuPerSecond, "-", still.bytesPerFrame, "-", "-");
  std::printf("%-34s %10.1f %12.3f %14.2f %12s %12s %12s\n", "ffmpeg x11grab + libx264, changing",
              ffmpeg.framesPerSecond, ffmpeg.cpuPerSecond,
              1000 * ffmpeg.cpuPerSecond / ffmpeg.framesPerSecond, "-", "-", "-");
  std::printf("host / ffmpeg CPU per frame: %.2f\n",
              (changing.cpuPerSecond / changing.framesPerSecond) /
                  (ffmpeg.cpuPerSecond / ffmpeg.framesPerSecond));

  io.stop();
  loop.join();
  return 0;
}
