// Whole-pipeline figure for the picture stream: the real host on a private X server, N loopback
// clients each reading /screen.mjpg for a few seconds. Prints frames per second per client and in
// all, and the host's CPU time per delivered frame.
//
//   tovel_mjpeg_stream_load [seconds] [target]      (uses port 8096; stop any running host)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "support/process.h"
#include "support/xvfb.h"

namespace {

using Clock = std::chrono::steady_clock;

using tovel::bench::cpuSeconds;

int connectToHost() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(8096);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads the stream and counts frames by their part heads until the deadline.
long countFrames(const std::string& target, Clock::time_point start, Clock::time_point end) {
  int fd = connectToHost();
  if (fd < 0)
    return -1;
  std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string window;
  long frames = 0;
  std::vector<char> buffer(1 << 16);
  const std::string marker = "Content-Type: image/jpeg\r\n";
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0)
      continue;
    ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0)
      break;
    // Only whole frames after the start count; the marker may straddle two reads.
    window.append(buffer.data(), std::size_t(n));
    std::size_t at = 0;
    while ((at = window.find(marker, at)) != std::string::npos) {
      if (Clock::now() >= start)
        ++frames;
      at += marker.size();
    }
    window.erase(0, window.size() > marker.size() ? window.size() - marker.size() : 0);
  }
  close(fd);
  return frames;
}

} // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::stod(argv[1]) : 5.0;
  std::string target = argc > 2 ? argv[2] : "/screen.mjpg";

  tovel::test::XvfbServer server;
  if (!server.running()) {
    std::fprintf(stderr, "cannot start Xvfb\n");
    return 1;
  }
  // Something to look at: a patterned root window.
  server.run("xsetroot -mod 8 8 -fg '#3366cc' -bg '#ffcc00'");
  tovel::test::ChildProcess host(TOVEL_HOST_BINARY, {}, tovel::test::ChildProcess::Input::pipe,
                                 server.environment());
  host.waitForOutput("Tovel Host started.", std::chrono::seconds(10));
  int probe = -1;
  for (int i = 0; i < 200 && (probe = connectToHost()) < 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  if (probe < 0) {
    std::fprintf(stderr, "the host did not start:\n%s\n", host.output().c_str());
    return 1;
  }
  close(probe);

  std::printf("target %s, %.0f s per run, %u cores\n", target.c_str(), seconds,
              std::thread::hardware_concurrency());
  std::printf("%8s %14s %14s %22s\n", "clients", "fps/client", "fps total", "host CPU ms/frame");
  for (int clients : {1, 4, 16}) {
    std::vector<long> counts(std::size_t(clients), 0);
    auto warmUp = std::chrono::milliseconds(500);
    auto start = Clock::now() + warmUp;
    auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
      threads.emplace_back([&, c] { counts[std::size_t(c)] = countFrames(target, start, end); });
    std::this_thread::sleep_until(start);
    double cpuBefore = cpuSeconds(host.pid());
    std::this_thread::sleep_until(end);
    double cpuAfter = cpuSeconds(host.pid());
    for (auto& t : threads)
      t.join();
    long total = 0;
    for (long n : counts)
      total += n;
    double fpsTotal = double(total) / seconds;
    std::printf("%8d %14.1f %14.1f %22.2f\n", clients, fpsTotal / clients, fpsTotal,
                total > 0 ? 1000.0 * (cpuAfter - cpuBefore) / double(total) : 0.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  host.signal(SIGTERM);
  return 0;
}
