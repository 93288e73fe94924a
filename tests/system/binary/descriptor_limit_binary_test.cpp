#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "server/responses.h"
#include "support/host_binary.h"
#include "support/test_client.h"

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

const std::string kOutOfDescriptors =
    "Out of file descriptors: new connections wait until some close";

TEST(HostBinary, RunningOutOfDescriptorsPausesAcceptingWithoutSpinningAndRecovers) {
  auto host = startHostBinary(TOVEL_HOST_BINARY, {"DISPLAY="});
  ASSERT_TRUE(host);
  rlimit limit{256, 256};
  ASSERT_EQ(::prlimit(host->pid(), RLIMIT_NOFILE, &limit, nullptr), 0);

  // More than the host can take: the rest wait in the listen queue.
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 400; ++i) {
    clients.push_back(std::make_unique<TestClient>(kHostPort));
    ASSERT_TRUE(clients.back()->connected()) << i;
  }
  ASSERT_TRUE(host->waitForOutput(kOutOfDescriptors, 60s)) << host->output();

  // A host that retried at once would keep its loop busy for as long as the connections are
  // held; this window is what it would show it in.
  double cpuBefore = cpuSeconds(host->pid());
  double demandBefore = demandSeconds(host->pid());
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1s);
  // The connections it did take are still served meanwhile.
  clients.front()->send("POST /move HTTP/1.1\r\nContent-Length: 13\r\n\r\n{\"x\":1,\"y\":1}");
  EXPECT_EQ(clients.front()->read(kControlAcknowledgement.size(), 30s), kControlAcknowledgement);
  double cpu = cpuSeconds(host->pid()) - cpuBefore;
  double demand = demandSeconds(host->pid()) - demandBefore;
  double held = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(cpu, 0.3) << "CPU seconds while the connections were held for " << held << " s";
  EXPECT_LT(demand, 0.3 * held) << "seconds the loop was busy in " << held << " s";
  // Logged once, not once per retry.
  std::string output = host->output();
  std::size_t episodes = 0;
  for (std::size_t at = output.find(kOutOfDescriptors); at != std::string::npos;
       at = output.find(kOutOfDescriptors, at + 1))
    ++episodes;
  EXPECT_EQ(episodes, 1u) << output;

  clients.clear();
  ASSERT_TRUE(host->waitForOutput("Accepting connections again", 60s)) << host->output();
  TestClient after(kHostPort);
  after.send("POST /move HTTP/1.1\r\nContent-Length: 13\r\n\r\n{\"x\":1,\"y\":1}");
  EXPECT_EQ(after.read(kControlAcknowledgement.size(), 30s), kControlAcknowledgement);
}

} // namespace
} // namespace tovel::test
