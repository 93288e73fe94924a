#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>

#include "mp4/box_writer.h"
#include "mp4/mp4_clients.h"
#include "support/test_client.h"
#include "support/wait.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// The client list on a main loop of its own, with real connections from test clients.
class Mp4ClientsTest : public ::testing::Test {
protected:
  Mp4ClientsTest() {
    Mp4Clients::Hooks hooks;
    hooks.startStreaming = hooks.lastClientGone = [] {};
    hooks.keyFrameNeeded = [this] { ++keyFramesAsked; };
    hooks.frameNeeded = [this] { ++framesAsked; };
    clients = std::make_unique<Mp4Clients>(
        log, hooks, Bytes(initialization.begin(), initialization.end()), "avc1.4d402a");
    loop = std::thread([this] { io.run(); });
  }
  ~Mp4ClientsTest() override {
    io.stop();
    loop.join();
    for (auto& connection : connections)
      connection->abandon();
  }

  template <typename F> void onLoop(F f) {
    std::atomic<bool> done{false};
    asio::post(io, [&] {
      f();
      done = true;
    });
    while (!done)
      std::this_thread::sleep_for(1ms);
  }
  // A registered client that asked for the whole stream; its answer and segment already read.
  ConnectionPtr join(TestClient& client) {
    std::size_t before = 0;
    onLoop([&] { before = clients->size(); });
    ConnectionPtr connection = connections.emplace_back(Connection::create(io, acceptor.accept()));
    onLoop([&] { clients->sendInitialHeaders(connection); });
    EXPECT_EQ(client.read(fullHead.size() + initializationChunk.size()),
              fullHead + initializationChunk);
    EXPECT_TRUE(waitUntil([&] {
      std::size_t now = 0;
      onLoop([&] { now = clients->size(); });
      return now == before + 1;
    }));
    return connection;
  }
  // Hands out one fragment framed as the streamer frames it, its name before and after the
  // decode time; what a client is sent for it at a decode time of `time` frames.
  void send(const std::string& name, bool keyFrame) {
    std::string sizeLine = hexSize(name) + "\r\n";
    SharedFragment fragment;
    std::string head = sizeLine + name + std::string(8, '\0'), body = name + "\r\n";
    fragment.head = std::make_shared<const Bytes>(head.begin(), head.end());
    fragment.decodeTimeAt = sizeLine.size() + name.size();
    fragment.body = std::make_shared<const Bytes>(body.begin(), body.end());
    fragment.duration = kDuration;
    fragment.keyFrame = keyFrame;
    onLoop([&] { clients->sendToClients(fragment); });
  }
  static std::string framed(const std::string& name, std::uint64_t time) {
    auto ticks = uint64ToBytes(time * kDuration);
    return hexSize(name) + "\r\n" + name + std::string(ticks.begin(), ticks.end()) + name + "\r\n";
  }
  static std::string hexSize(const std::string& name) {
    return (std::ostringstream() << std::uppercase << std::hex << 2 * name.size() + 8).str();
  }

  static constexpr std::uint32_t kDuration = 1500;
  const std::string initialization = "ftyp and moov";
  const std::string initializationChunk = "D\r\nftyp and moov\r\n";
  const std::string fullHead = "HTTP/1.1 200 OK\r\nContent-Type: video/mp4; "
                               "codecs=\"avc1.4d402a\"\r\nConnection: keep-alive\r\n"
                               "Transfer-Encoding: chunked\r\nCache-Control: no-store\r\n\r\n";
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  asio::ip::tcp::acceptor acceptor{io, {asio::ip::address_v4::loopback(), 0}};
  std::vector<ConnectionPtr> connections;
  MemoryLog log;
  std::atomic<int> keyFramesAsked{0}, framesAsked{0};
  std::unique_ptr<Mp4Clients> clients;
  std::thread loop;
};

TEST_F(Mp4ClientsTest, ASlowClientLosesFragmentsUntilItsNextKeyFrame) {
  TestClient slow(acceptor.local_endpoint().port(), 8192);
  ConnectionPtr connection = join(slow);
  // Fragments it does not read pile up in its queue, past the cap.
  std::size_t sent = 0;
  std::string big(256 * 1024, 'k');
  while (connection->queuedBytes() <= Mp4Clients::kQueueCap) {
    send(big, true);
    sent += framed(big, 0).size();
  }
  // What it may hold is a bound on the host's memory per client: about 1 MiB.
  EXPECT_LE(connection->queuedBytes(), 1024 * 1024 + framed(big, 0).size());
  EXPECT_EQ(framesAsked, Mp4Clients::kStartFragments - 1); // enough bytes: after the first two
  int asked = keyFramesAsked;
  send("P-dropped", false);
  EXPECT_TRUE(log.contains("Client too slow: its fragments are dropped until its next key frame"));
  EXPECT_EQ(keyFramesAsked, asked); // no key frame would get through now

  // Once it has caught up it asks for a key frame, once, and gets nothing before it.
  EXPECT_EQ(slow.read(sent, 60s).size(), sent);
  ASSERT_TRUE(waitUntil([&] { return connection->queuedBytes() == 0; }));
  send("P-waiting", false);
  send("P-waiting", false);
  EXPECT_EQ(keyFramesAsked, asked + 1);
  // Its timeline goes on where it was, with no gap for what it lost.
  std::size_t kept = sent / framed(big, 0).size();
  send("K-next", true);
  EXPECT_EQ(slow.read(framed("K-next", kept).size()), framed("K-next", kept));
}

} // namespace
} // namespace tovel::test
