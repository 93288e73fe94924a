// The owner's control path while one address floods the host: the real program (built-in virtual
// desktop) on port 8096, N idle connections from 127.0.0.1 and a client trickling a request
// header one byte a second, then 20 POST /move round trips on fresh connections from the same
// address. Prints how many were answered, their median and slowest time, and how many of the
// flood's connections the host has closed. Ends by itself after about 30 s.
//
//   tovel_idle_flood_load [idle connections] [host descriptor limit] [host binary]
//
// Defaults: 1000 idle connections, a host limited to 1024 descriptors (the usual soft limit of a
// desktop session), the host built beside this program. Uses port 8096: stop any running host.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "server/responses.h"
#include "support/host_binary.h"
#include "support/process.h"
#include "support/test_client.h"

namespace {

using namespace std::chrono_literals;
using tovel::bench::Clock;
using tovel::test::ChildProcess;
using tovel::test::TestClient;

const std::string kMove =
    "POST /move HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 13\r\n\r\n{\"x\":1,\"y\":1}";

bool raiseOwnDescriptorLimit(rlim_t needed) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur >= needed)
    return true;
  limit.rlim_cur = std::min(limit.rlim_max, needed);
  ::setrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_cur >= needed;
}

} // namespace

int main(int argc, char** argv) {
  int idleCount = argc > 1 ? std::atoi(argv[1]) : 1000;
  rlim_t hostLimit = argc > 2 ? rlim_t(std::atol(argv[2])) : 1024;
  std::string binary = argc > 3 ? argv[3] : TOVEL_HOST_BINARY;
  if (!raiseOwnDescriptorLimit(rlim_t(idleCount) + 200)) {
    std::fprintf(stderr, "needs %d descriptors: raise the hard limit (ulimit -Hn)\n",
                 idleCount + 200);
    return 1;
  }

  std::unique_ptr<ChildProcess> started = tovel::test::startHostBinary(binary, {"DISPLAY="});
  if (!started)
    return 1; // what the host printed is already on the output
  ChildProcess& host = *started;
  rlimit limit{hostLimit, hostLimit};
  rlimit old{};
  ::prlimit(host.pid(), RLIMIT_NOFILE, nullptr, &old);
  limit.rlim_max = old.rlim_max;
  ::prlimit(host.pid(), RLIMIT_NOFILE, &limit, nullptr);

  std::vector<std::unique_ptr<TestClient>> idle;
  for (int i = 0; i < idleCount; ++i) {
    idle.push_back(std::make_unique<TestClient>(tovel::test::kHostPort));
    if (!idle.back()->connected()) {
      std::fprintf(stderr, "connection %d failed\n", i);
      return 1;
    }
  }
  // The slowloris: a whole request, one byte a second, for as long as the measurement runs.
  std::atomic<bool> stop{false};
  std::atomic<bool> slowClosed{false};
  std::thread slow([&] {
    TestClient client(tovel::test::kHostPort);
    for (std::size_t sent = 0; !stop && sent < kMove.size(); ++sent) {
      client.send(kMove.substr(sent, 1));
      for (int i = 0; i < 10 && !stop; ++i)
        std::this_thread::sleep_for(100ms);
    }
    slowClosed = client.waitClosed(0ms);
  });
  std::this_thread::sleep_for(2s); // the host takes what waits in its listen queue

  std::vector<double> answeredMs;
  int closedUnanswered = 0;
  for (int round = 0; round < 20; ++round) {
    auto start = Clock::now();
    TestClient client(tovel::test::kHostPort);
    client.send(kMove);
    std::string answer = client.read(tovel::kControlAcknowledgement.size(), 5s);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (answer == tovel::kControlAcknowledgement)
      answeredMs.push_back(ms);
    else
      closedUnanswered += client.waitClosed(0ms);
  }
  int floodClosed = 0;
  for (const auto& client : idle)
    floodClosed += client->waitClosed(0ms); // nothing of the flood is ever answered
  stop = true;
  slow.join();

  std::printf("idle connections: %d from 127.0.0.1, host descriptor limit %ld\n", idleCount,
              long(hostLimit));
  std::printf("POST /move on fresh connections: %zu of 20 answered, %d closed unanswered\n",
              answeredMs.size(), closedUnanswered);
  if (!answeredMs.empty())
    std::printf("round trip: median %.2f ms, slowest %.2f ms\n",
                tovel::bench::percentile(answeredMs, 0.5),
                *std::max_element(answeredMs.begin(), answeredMs.end()));
  std::printf("flood connections closed by the host: %d of %d; the slowloris %s\n", floodClosed,
              idleCount, slowClosed ? "was closed" : "was still open");
  std::string output = host.output();
  std::printf("host log about the flood:\n");
  for (std::size_t at = 0; at < output.size();) {
    std::size_t end = output.find('\n', at);
    std::string line = output.substr(at, end - at);
    if (line.find("connections") != std::string::npos ||
        line.find("descriptors") != std::string::npos)
      std::printf("  %s\n", line.c_str());
    at = end == std::string::npos ? output.size() : end + 1;
  }
  host.closeInput();
  host.waitForExit(5s);
  return 0;
}
