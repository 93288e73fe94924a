// The host side by side with ffmpeg on one private 1920 x 1080 Xvfb screen with a changing
// picture, each figure measured for the same time, printed as one table:
//   - MJPEG /screen.mjpg?max=1280x720 to one loopback client against ffmpeg x11grab + mjpeg at
//     the quality that gives the same mean frame size;
//   - MP4 /screen.mp4 at 1920 x 1080 against ffmpeg x11grab + libx264 at the host's settings,
//     and the delay from capture to the client's socket;
//   - the control path on a virtual desktop: WebSocket moves handled per second, POST /move
//     round trips with 50 keep-alive clients;
//   - the host's CPU with no client, and with one MJPEG or one MP4 client on a still screen;
//   - 16 MJPEG clients at the default size.
// The hosts run in this process (port 0); CPU is user + system time from /proc, less the CPU of
// this program's own MJPEG and control clients (the MP4 reader's thread is counted in).
//
//   tovel_perf_compare [seconds]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "bench_support.h"
#include "host/host.h"
#include "platform/clock.h"
#include "platform/sim/virtual_desktop.h"
#include "platform/x11/x11_desktop.h"
#include "support/mp4_stream_reader.h"
#include "support/process.h"
#include "support/websocket_frames.h"
#include "support/xvfb.h"

namespace {

using namespace std::chrono_literals;
using tovel::bench::Clock;
using tovel::bench::cpuSeconds;
using tovel::bench::DiscardLog;
using tovel::bench::percentile;
using tovel::bench::RateFigures;
using tovel::bench::sleepFor;
using tovel::bench::threadCpuSeconds;

// A host in this process on its own loop thread, listening on a free port.
class InProcessHost {
public:
  InProcessHost(tovel::Platform& platform) {
    tovel::HostOptions options;
    options.port = 0;
    host_ = std::make_unique<tovel::Host>(io_, platform, clock_, log_, options);
    started_ = host_->start();
    loop_ = std::thread([this] { io_.run(); });
  }
  ~InProcessHost() {
    io_.stop();
    loop_.join();
    host_.reset();
  }
  bool started() const { return started_; }
  tovel::Host& host() { return *host_; }
  std::uint16_t port() const { return host_->port(); }

private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
  tovel::SystemClock clock_;
  DiscardLog log_;
  std::unique_ptr<tovel::Host> host_;
  bool started_ = false;
  std::thread loop_;
};

int connectTo(std::uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0)
      return false;
    sent += std::size_t(n);
  }
  return true;
}

// The measuring window every client of one figure shares.
struct Window {
  Clock::time_point start;
  Clock::time_point end;
  static Window after(double warmUpSeconds, double seconds) {
    auto start = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(warmUpSeconds));
    return {start, start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(seconds))};
  }
  double seconds() const { return std::chrono::duration<double>(end - start).count(); }
};

// What one picture-stream client saw in the window, and the CPU its own thread spent.
struct MjpegCount {
  long frames = 0;
  double bytes = 0;
  double clientCpu = 0;
};

// Reads a picture stream until the window ends, counting the frames whose part head arrives in
// the window and their JPEG bytes. The parts are found by their head and skipped by their
// length, so the reading costs little.
MjpegCount readMjpeg(std::uint16_t port, const std::string& target, Window window) {
  MjpegCount count;
  int fd = connectTo(port);
  if (fd < 0)
    return count;
  sendAll(fd, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  const std::string marker = "Content-Type: image/jpeg\r\nContent-Length: ";
  std::string pending;
  std::size_t skip = 0; // JPEG bytes still to pass over
  std::vector<char> buffer(1 << 18);
  std::optional<double> cpuAtStart;
  bool counting = false;
  while (true) {
    auto now = Clock::now();
    if (now >= window.end)
      break;
    if (!counting && now >= window.start) {
      counting = true;
      cpuAtStart = threadCpuSeconds();
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0)
      continue;
    ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0)
      break;
    std::size_t at = 0;
    if (skip > 0) {
      std::size_t passed = std::min(skip, std::size_t(n));
      skip -= passed;
      at = passed;
    }
    pending.append(buffer.data() + at, std::size_t(n) - at);
    while (skip == 0) {
      std::size_t head = pending.find(marker);
      if (head == std::string::npos) {
        // Keep only what may be the start of a head cut by the read.
        if (pending.size() > marker.size())
          pending.erase(0, pending.size() - marker.size());
        break;
      }
      std::size_t end = pending.find("\r\n\r\n", head);
      if (end == std::string::npos) {
        pending.erase(0, head);
        break;
      }
      std::size_t length = std::strtoul(pending.c_str() + head + marker.size(), nullptr, 10);
      if (counting) {
        ++count.frames;
        count.bytes += double(length);
      }
      std::size_t body = end + 4;
      std::size_t available = pending.size() - body;
      if (available >= length) {
        pending.erase(0, body + length);
      } else {
        skip = length - available;
        pending.clear();
      }
    }
  }
  if (cpuAtStart)
    count.clientCpu = threadCpuSeconds() - *cpuAtStart;
  close(fd);
  return count;
}

struct MjpegFigures {
  std::vector<double> framesPerSecond; // per client
  double meanFrameBytes = 0;
  double hostCpuPerSecond = 0;
  double totalFramesPerSecond() const {
    double total = 0;
    for (double f : framesPerSecond)
      total += f;
    return total;
  }
};

MjpegFigures measureMjpeg(InProcessHost& host, const std::string& target, int clients,
                          double seconds) {
  Window window = Window::after(1, seconds);
  std::vector<MjpegCount> counts{std::size_t(clients)};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back(
        [&, c] { counts[std::size_t(c)] = readMjpeg(host.port(), target, window); });
  std::this_thread::sleep_until(window.start);
  double cpuBefore = cpuSeconds("self");
  std::this_thread::sleep_until(window.end);
  double cpu = cpuSeconds("self") - cpuBefore;
  for (auto& t : threads)
    t.join();
  MjpegFigures figures;
  long frames = 0;
  double bytes = 0;
  for (const MjpegCount& count : counts) {
    figures.framesPerSecond.push_back(double(count.frames) / window.seconds());
    frames += count.frames;
    bytes += count.bytes;
    cpu -= count.clientCpu;
  }
  figures.meanFrameBytes = frames > 0 ? bytes / double(frames) : 0;
  figures.hostCpuPerSecond = cpu / window.seconds();
  return figures;
}

// Mean JPEG size ffmpeg makes of the screen scaled to 1280 x 720 at quality q, over a short run.
double ffmpegMjpegFrameBytes(const std::string& display, int q) {
  constexpr int kFrames = 45;
  std::string command = "DISPLAY=" + display +
                        " ffmpeg -v error -nostdin -f x11grab -framerate 60 -video_size 1920x1080"
                        " -i " +
                        display + ".0 -vf scale=1280:720 -c:v mjpeg -q:v " + std::to_string(q) +
                        " -frames:v " + std::to_string(kFrames) + " -f mjpeg - 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe)
    return 0;
  std::vector<char> buffer(1 << 16);
  double bytes = 0;
  std::size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    bytes += double(n);
  pclose(pipe);
  return bytes / kFrames;
}

// The ffmpeg quality (2 best .. 31 smallest) whose mean frame size is nearest the given one;
// the size falls as q rises, so a bisection finds it in a few short runs.
int ffmpegQualityForSize(const std::string& display, double targetBytes, double& foundBytes) {
  int low = 2, high = 31;
  while (high - low > 1) {
    int middle = (low + high) / 2;
    if (ffmpegMjpegFrameBytes(display, middle) > targetBytes)
      low = middle;
    else
      high = middle;
  }
  double lowBytes = ffmpegMjpegFrameBytes(display, low);
  double highBytes = ffmpegMjpegFrameBytes(display, high);
  bool lowNearer = std::abs(lowBytes - targetBytes) < std::abs(highBytes - targetBytes);
  foundBytes = lowNearer ? lowBytes : highBytes;
  return lowNearer ? low : high;
}

struct Mp4Figures {
  RateFigures rate;
  double medianDelayMs = 0;
  double p99DelayMs = 0;
};

// One client reads the MP4 stream for the given time after a second of warming up.
Mp4Figures measureMp4(InProcessHost& host, double seconds) {
  tovel::test::Mp4StreamReader reader(host.port());
  reader.waitForFragments(1);
  sleepFor(1);
  std::size_t before = reader.fragments().size();
  double cpuBefore = cpuSeconds("self");
  auto start = Clock::now();
  sleepFor(seconds);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  double cpu = cpuSeconds("self") - cpuBefore;
  std::vector<tovel::test::Mp4Fragment> fragments = reader.fragments();
  reader.close();

  Mp4Figures figures;
  figures.rate = {double(fragments.size() - before) / elapsed, cpu / elapsed};
  std::vector<double> delays =
      tovel::bench::captureToClientDelaysMs(*host.host().streamer(), fragments, before);
  figures.medianDelayMs = percentile(delays, 0.5);
  figures.p99DelayMs = percentile(delays, 0.99);
  return figures;
}

// Host CPU on a still screen: with no client, with one MJPEG client alone, with one MP4 client
// alone.
struct StillFigures {
  double idleCpuPerSecond = 0;
  double mjpegCpuPerSecond = 0;
  double mjpegFramesPerSecond = 0;
  double mp4CpuPerSecond = 0;
  double mp4FramesPerSecond = 0;
};

StillFigures measureStill(InProcessHost& host, const std::string& mjpegTarget, double seconds) {
  StillFigures figures;
  sleepFor(1); // the streams of the clients just gone wind down
  double cpuBefore = cpuSeconds("self");
  auto start = Clock::now();
  sleepFor(seconds);
  figures.idleCpuPerSecond = (cpuSeconds("self") - cpuBefore) /
                             std::chrono::duration<double>(Clock::now() - start).count();

  Window window = Window::after(1, seconds);
  MjpegCount mjpeg;
  std::thread client([&] { mjpeg = readMjpeg(host.port(), mjpegTarget, window); });
  std::this_thread::sleep_until(window.start);
  cpuBefore = cpuSeconds("self");
  std::this_thread::sleep_until(window.end);
  double cpu = cpuSeconds("self") - cpuBefore;
  client.join();
  figures.mjpegCpuPerSecond = (cpu - mjpeg.clientCpu) / window.seconds();
  figures.mjpegFramesPerSecond = double(mjpeg.frames) / window.seconds();

  tovel::test::Mp4StreamReader mp4(host.port());
  mp4.waitForFragments(1);
  sleepFor(1);
  std::size_t fragmentsBefore = mp4.fragments().size();
  cpuBefore = cpuSeconds("self");
  start = Clock::now();
  sleepFor(seconds);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  figures.mp4CpuPerSecond = (cpuSeconds("self") - cpuBefore) / elapsed;
  figures.mp4FramesPerSecond = double(mp4.fragments().size() - fragmentsBefore) / elapsed;
  mp4.close();
  return figures;
}

struct ControlFigures {
  double webSocketMovesPerSecond = 0;
  double postMedianMs = 0;
  double postP99Ms = 0;
  double postsPerSecond = 0;
  double saturatedMedianMs = 0;
  double saturatedP99Ms = 0;
};

// Reads until the end of an HTTP answer head; the control answers have no body.
bool readAnswer(int fd, std::string& pending) {
  char buffer[4096];
  while (true) {
    std::size_t end = pending.find("\r\n\r\n");
    if (end != std::string::npos) {
      pending.erase(0, end + 4);
      return true;
    }
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
      return false;
    pending.append(buffer, std::size_t(n));
  }
}

std::size_t postedMoves(tovel::VirtualDesktop& desktop) {
  std::size_t moves = 0;
  for (const tovel::RecordedEvent& event : desktop.events())
    if (event.mouse())
      ++moves;
  return moves;
}

ControlFigures measureControl(double seconds) {
  ControlFigures figures;
  tovel::SystemClock clock;
  tovel::VirtualDesktop desktop(clock);
  InProcessHost host(desktop);
  if (!host.started())
    return figures;

  // One WebSocket client sending moves back and forth as fast as it can; what the host handled
  // is what reached the desktop.
  {
    int fd = connectTo(host.port());
    sendAll(fd, "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    std::string pending;
    readAnswer(fd, pending);
    std::string batch;
    for (int i = 0; i < 64; ++i)
      batch += tovel::test::maskedFrame(i % 2 ? R"({"action":"move","x":-3,"y":2})"
                                              : R"({"action":"move","x":3,"y":-2})");
    std::atomic<bool> stop{false};
    std::thread sender([&] {
      while (!stop && sendAll(fd, batch)) {
      }
    });
    sleepFor(1);
    std::size_t before = postedMoves(desktop);
    auto start = Clock::now();
    sleepFor(seconds);
    std::size_t after = postedMoves(desktop);
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    shutdown(fd, SHUT_RDWR);
    sender.join();
    close(fd);
    figures.webSocketMovesPerSecond = double(after - before) / elapsed;
  }

  // 50 keep-alive clients posting moves: each one after another as fast as the host answers
  // (throughput; a round trip then mostly waits behind the other 49), then each every 10 ms, the
  // pace of a finger's touch moves (round trip).
  constexpr int kClients = 50;
  auto posts = [&](std::optional<Clock::duration> pace) {
    Window window = Window::after(1, seconds);
    std::vector<std::vector<double>> roundTrips(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
      clients.emplace_back([&, c] {
        int fd = connectTo(host.port());
        if (fd < 0)
          return;
        const std::string body = R"({"x":1,"y":-1})";
        const std::string request = "POST /move HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                                    "application/json\r\nContent-Length: " +
                                    std::to_string(body.size()) + "\r\n\r\n" + body;
        std::string pending;
        // Paced clients start spread over one period, and keep their schedule.
        auto due = Clock::now() + (pace ? *pace * c / kClients : Clock::duration{});
        while (true) {
          if (pace)
            std::this_thread::sleep_until(due);
          auto sent = Clock::now();
          if (sent >= window.end || !sendAll(fd, request) || !readAnswer(fd, pending))
            break;
          if (sent >= window.start)
            roundTrips[std::size_t(c)].push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
          if (pace)
            due = std::max(due + *pace, Clock::now());
        }
        close(fd);
      });
    for (auto& t : clients)
      t.join();
    std::vector<double> all;
    for (const auto& times : roundTrips)
      all.insert(all.end(), times.begin(), times.end());
    return std::pair(all, window.seconds());
  };
  auto [saturated, saturatedSeconds] = posts(std::nullopt);
  figures.postsPerSecond = double(saturated.size()) / saturatedSeconds;
  figures.saturatedMedianMs = percentile(saturated, 0.5);
  figures.saturatedP99Ms = percentile(saturated, 0.99);
  auto [paced, pacedSeconds] = posts(std::chrono::milliseconds(10));
  figures.postMedianMs = percentile(paced, 0.5);
  figures.postP99Ms = percentile(paced, 0.99);
  return figures;
}

double ratio(double a, double b) {
  return b > 0 ? a / b : 0;
}

void row(const char* what, const char* host, const char* other, const char* ratioText) {
  std::printf("| %-58s | %18s | %18s | %8s |\n", what, host, other, ratioText);
}

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

} // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::stod(argv[1]) : 10.0;
  if (!(seconds > 0)) {
    std::fprintf(stderr, "usage: tovel_perf_compare [seconds]\n");
    return 2;
  }
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

  MjpegFigures mjpeg, sixteen;
  RateFigures ffmpegMjpeg, ffmpegH264;
  int quality = 0;
  double ffmpegFrameBytes = 0;
  Mp4Figures mp4;
  StillFigures still;
  {
    InProcessHost host(*desktop);
    if (!host.started()) {
      std::fprintf(stderr, "the host did not start\n");
      return 1;
    }
    {
      tovel::test::ChildProcess animation(
          TOVEL_X_ANIMATION, {}, tovel::test::ChildProcess::Input::emptyFile, server.environment());
      std::fprintf(stderr, "MJPEG 1280x720 ...\n");
      mjpeg = measureMjpeg(host, "/screen.mjpg?max=1280x720", 1, seconds);
      quality = ffmpegQualityForSize(server.display(), mjpeg.meanFrameBytes, ffmpegFrameBytes);
      ffmpegMjpeg =
          tovel::bench::measureFfmpeg(server.display(),
                                      // x11grab can stamp two frames alike, which the mjpeg encoder
                                      // refuses unless such frames are dropped.
                                      {"-vf", "scale=1280:720", "-c:v", "mjpeg", "-q:v",
                                       std::to_string(quality), "-fps_mode", "vfr"},
                                      seconds);
      std::fprintf(stderr, "MP4 1920x1080 ...\n");
      mp4 = measureMp4(host, seconds);
      ffmpegH264 = tovel::bench::measureFfmpeg(server.display(),
                                               {"-c:v", "libx264", "-preset", "ultrafast", "-tune",
                                                "zerolatency", "-x264-params", "cabac=1:keyint=60",
                                                "-bf", "0"},
                                               seconds);
      std::fprintf(stderr, "16 MJPEG clients ...\n");
      sixteen = measureMjpeg(host, "/screen.mjpg", 16, seconds);
    }
    std::fprintf(stderr, "still screen ...\n");
    still = measureStill(host, "/screen.mjpg?max=1280x720", seconds);
  }
  std::fprintf(stderr, "control path ...\n");
  ControlFigures control = measureControl(seconds);

  double hostMjpegMs = ratio(1000 * mjpeg.hostCpuPerSecond, mjpeg.totalFramesPerSecond());
  std::vector<double> perClient = sixteen.framesPerSecond;
  std::sort(perClient.begin(), perClient.end());

  std::printf("Tovel Host and ffmpeg on one 1920x1080 Xvfb screen, %.0f s per figure, %u cores\n\n",
              seconds, std::thread::hardware_concurrency());
  row("figure", "host", "ffmpeg", "ratio");
  std::printf("|%s|%s|%s|%s|\n", std::string(60, '-').c_str(), std::string(20, '-').c_str(),
              std::string(20, '-').c_str(), std::string(10, '-').c_str());
  row("MJPEG 1280x720, changing: frames/s", format("%.1f", mjpeg.totalFramesPerSecond()).c_str(),
      format("%.1f", ffmpegMjpeg.framesPerSecond).c_str(), "");
  row("MJPEG 1280x720: mean frame size (KB)", format("%.1f", mjpeg.meanFrameBytes / 1000).c_str(),
      format("%.1f", ffmpegFrameBytes / 1000).c_str(), ("q=" + std::to_string(quality)).c_str());
  row("MJPEG 1280x720: CPU ms per frame", format("%.2f", hostMjpegMs).c_str(),
      format("%.2f", ffmpegMjpeg.cpuMsPerFrame()).c_str(),
      format("%.2f", ratio(hostMjpegMs, ffmpegMjpeg.cpuMsPerFrame())).c_str());
  row("MP4 1920x1080, changing: frames/s", format("%.1f", mp4.rate.framesPerSecond).c_str(),
      format("%.1f", ffmpegH264.framesPerSecond).c_str(), "");
  row("MP4 1920x1080: CPU ms per frame", format("%.2f", mp4.rate.cpuMsPerFrame()).c_str(),
      format("%.2f", ffmpegH264.cpuMsPerFrame()).c_str(),
      format("%.2f", ratio(mp4.rate.cpuMsPerFrame(), ffmpegH264.cpuMsPerFrame())).c_str());
  row("MP4 1920x1080: capture-to-socket delay p50 / p99 (ms)",
      (format("%.1f", mp4.medianDelayMs) + " / " + format("%.1f", mp4.p99DelayMs)).c_str(), "", "");
  row("WebSocket moves handled per second", format("%.0f", control.webSocketMovesPerSecond).c_str(),
      "", "");
  row("POST /move, 50 clients at 100/s each: p50 / p99 (ms)",
      (format("%.2f", control.postMedianMs) + " / " + format("%.2f", control.postP99Ms)).c_str(),
      "", "");
  row("POST /move, 50 clients flat out: requests/s",
      format("%.0f", control.postsPerSecond).c_str(), "", "");
  row("POST /move, 50 clients flat out: p50 / p99 (ms)",
      (format("%.2f", control.saturatedMedianMs) + " / " + format("%.2f", control.saturatedP99Ms))
          .c_str(),
      "", "");
  row("idle host, no client: CPU % of a core", format("%.2f", 100 * still.idleCpuPerSecond).c_str(),
      "", "");
  row("still screen, MJPEG 1280x720: frames/s", format("%.1f", still.mjpegFramesPerSecond).c_str(),
      "", "");
  double stillMjpegMs = ratio(1000 * still.mjpegCpuPerSecond, still.mjpegFramesPerSecond);
  row("still MJPEG 1280x720: CPU ms per frame (ratio to changing)", format("%.2f", stillMjpegMs).c_str(), "",
      format("%.2f", ratio(stillMjpegMs, hostMjpegMs)).c_str());
  row("still screen, MP4: frames/s / CPU % of a core",
      (format("%.1f", still.mp4FramesPerSecond) + " / " +
       format("%.2f", 100 * still.mp4CpuPerSecond))
          .c_str(),
      "", "");
  row("16 MJPEG clients, default size: frames/s each min / median",
      (format("%.1f", perClient.empty() ? 0 : perClient.front()) + " / " +
       format("%.1f", percentile(perClient, 0.5)))
          .c_str(),
      "", "");
  row("16 MJPEG clients: host CPU ms per frame",
      format("%.2f", ratio(1000 * sixteen.hostCpuPerSecond, sixteen.totalFramesPerSecond()))
          .c_str(),
      "", "");
  return 0;
}
