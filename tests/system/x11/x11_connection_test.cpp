// First: it includes GoogleTest before Xlib, whose macros (None, Bool) clash with its names.
#include "system/x11/x11_test.h"

#include <X11/extensions/XRes.h>

#include <future>
#include <thread>

namespace tovel::test {
namespace {

using X11Connections = X11Test<>;

TEST_F(X11Connections, AThreadsConnectionGoesWithTheThreadOrWithTheObjectWhicheverGoesFirst) {
  // The server's clients, as its X-Resource extension counts them; it notices a closed
  // connection a moment after the client has closed it.
  auto clientsNow = [&] {
    int count = -1;
    XResClient* clients = nullptr;
    if (XResQueryClients(display, &count, &clients))
      XFree(clients);
    return count;
  };
  auto clientsReach = [&](int count) { return waitUntil([&] { return clientsNow() == count; }); };
  const int before = clientsNow();
  ASSERT_GT(before, 0);
  auto connections = std::make_unique<ThreadConnections>(server.display());

  // Threads that come and go, several at a time: each has one connection while it runs.
  for (int round = 0; round < 3; ++round) {
    std::promise<void> go;
    std::shared_future<void> released = go.get_future().share();
    std::vector<std::promise<bool>> opened(6);
    std::vector<std::thread> threads;
    for (auto& promise : opened)
      threads.emplace_back([&, &promise = promise] {
        Display* first = connections->forThisThread();
        promise.set_value(first && connections->forThisThread() == first);
        released.wait();
      });
    for (auto& promise : opened)
      EXPECT_TRUE(promise.get_future().get());
    EXPECT_EQ(connections->openCount(), opened.size());
    EXPECT_TRUE(clientsReach(before + int(opened.size())));
    go.set_value();
    for (std::thread& thread : threads)
      thread.join();
    EXPECT_EQ(connections->openCount(), 0u) << "round " << round;
    EXPECT_TRUE(clientsReach(before)) << "round " << round;
  }

  // A thread with connections of two objects: both close when it ends. The first object goes
  // while the thread still runs, and takes that thread's connection with it.
  auto other = std::make_unique<ThreadConnections>(server.display());
  std::promise<void> opened, objectGone;
  std::thread lingering([&] {
    connections->forThisThread();
    other->forThisThread();
    opened.set_value();
    objectGone.get_future().wait();
  });
  opened.get_future().wait();
  EXPECT_TRUE(clientsReach(before + 2));
  connections.reset();
  EXPECT_TRUE(clientsReach(before + 1));
  objectGone.set_value();
  lingering.join();
  EXPECT_EQ(other->openCount(), 0u);
  EXPECT_TRUE(clientsReach(before));

  // The calling thread's connection, which outlives the test, goes with its object.
  ASSERT_NE(other->forThisThread(), nullptr);
  EXPECT_TRUE(clientsReach(before + 1));
  other.reset();
  EXPECT_TRUE(clientsReach(before));
}

} // namespace
} // namespace tovel::test
