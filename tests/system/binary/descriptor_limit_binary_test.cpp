#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "server/responses.h"
#include "support/host_binary.h"
#include "support/http_requests.h"
#include "support/test_client.h"
#include "support/wait.h"
#include "support/websocket_upgrade.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

// User and system CPU time the process has used, in seconds.
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The command name in parentheses may hold spaces; the fields counted here follow it.
  std::istringstream fields(all.substr(all.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) // utime, stime
      ticks += std::stod(field);
  return ticks / double(::sysconf(_SC_CLK_TCK));
}

// Time the main thread (the event loop) spent running or waiting for a core to run on, in
// seconds. Unlike CPU time it does not shrink on a loaded machine: a thread that never sleeps
// shows the whole wall time.
double demandSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
  double run = 0, wait = 0;
  stat >> run >> wait;
  return (run + wait) / 1e9;
}

// With a descriptor limit far below the connection cap, idle connections give up their
// descriptors to newcomers; with every descriptor in use, accepting pauses without spinning and
// goes on once some close.
TEST(HostBinary, RunningOutOfDescriptorsClosesIdleConnectionsElsePausesAcceptingWithoutSpinning) {
  auto host = startHostBinary(TOVEL_HOST_BINARY, {"DISPLAY="});
  ASSERT_TRUE(host);
  rlimit limit{256, 256};
  ASSERT_EQ(::prlimit(host->pid(), RLIMIT_NOFILE, &limit, nullptr), 0);

  // More idle connections than the host has descriptors: the newest are held, and a newcomer
  // is served all the same.
  const std::string reclaiming =
      "Out of file descriptors: the longest idle connections are closed to make room";
  std::vector<std::unique_ptr<TestClient>> idle;
  for (int i = 0; i < 400; ++i) {
    idle.push_back(std::make_unique<TestClient>(kHostPort));
    ASSERT_TRUE(idle.back()->connected()) << i;
  }
  ASSERT_TRUE(idle.front()->waitClosed(60s)) << host->output();
  TestClient newcomer(kHostPort);
  newcomer.send(kMoveRequest);
  EXPECT_EQ(newcomer.read(kControlAcknowledgement.size(), 30s), kControlAcknowledgement);
  EXPECT_TRUE(idle.back()->staysSilent(0ms));
  EXPECT_EQ(occurrences(host->output(), reclaiming), 1u) << host->output();
  idle.clear();
  newcomer.close();

  // WebSockets, which are never closed to make room, until the host has no descriptor left: the
  // last one waits in the listen queue.
  const std::string waiting = "Out of file descriptors: new connections wait until some close";
  auto outOfDescriptors = [&] { return occurrences(host->output(), waiting) > 0; };
  std::vector<std::unique_ptr<TestClient>> held;
  while (!outOfDescriptors()) {
    ASSERT_LT(held.size(), 300u) << host->output();
    held.push_back(std::make_unique<TestClient>(kHostPort));
    held.back()->send(kWebSocketUpgrade);
    std::string answer;
    while (answer.size() < kWebSocketAccepted.size() && !outOfDescriptors()) {
      std::optional<std::string> bytes = held.back()->readSome(kWebSocketAccepted.size(), 50ms);
      ASSERT_TRUE(bytes) << "WebSocket " << held.size() << " closed unanswered:\n"
                         << host->output();
      answer += *bytes;
    }
  }

  // A host that retried at once would keep its loop busy for as long as the connections are
  // held; this window is what it would show it in.
  double cpuBefore = cpuSeconds(host->pid());
  double demandBefore = demandSeconds(host->pid());
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1s);
  // The connections it did take are still served meanwhile.
  held.front()->send(logFrame("still served"));
  EXPECT_TRUE(host->waitForOutput("still served", 30s));
  double cpu = cpuSeconds(host->pid()) - cpuBefore;
  double demand = demandSeconds(host->pid()) - demandBefore;
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(cpu, 0.3) << "CPU seconds while the connections were held for " << elapsed << " s";
  EXPECT_LT(demand, 0.3 * elapsed) << "seconds the loop was busy in " << elapsed << " s";
  // Logged once, not once per retry.
  EXPECT_EQ(occurrences(host->output(), waiting), 1u) << host->output();

  const std::string again = "Accepting connections again";
  std::size_t before = occurrences(host->output(), again);
  held.clear();
  ASSERT_TRUE(waitUntil([&] { return occurrences(host->output(), again) > before; }, 60s))
      << host->output();
  TestClient after(kHostPort);
  after.send(kMoveRequest);
  EXPECT_EQ(after.read(kControlAcknowledgement.size(), 30s), kControlAcknowledgement);
}

} // namespace
} // namespace tovel::test
