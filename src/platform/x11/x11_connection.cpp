#include "platform/x11/x11_connection.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xge.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tovel {

struct ThreadConnections::Registry {
  explicit Registry(std::string name) : displayName(std::move(name)) {}

  // Takes the thread's connection out; the caller closes it, outside the lock.
  std::unique_ptr<XConnection> take(std::thread::id thread) {
    std::lock_guard lock(mutex);
    auto it = connections.find(thread);
    if (it == connections.end())
      return nullptr;
    std::unique_ptr<XConnection> connection = std::move(it->second);
    connections.erase(it);
    return connection;
  }

  const std::string displayName;
  std::mutex mutex;
  std::unordered_map<std::thread::id, std::unique_ptr<XConnection>> connections; // under mutex
};

namespace {

// Closes, when its thread ends, the thread's connections of every registry still alive.
class ThreadExitGuard {
public:
  ~ThreadExitGuard() {
    std::thread::id self = std::this_thread::get_id();
    for (const auto& weak : registries_)
      if (auto registry = weak.lock())
        registry->take(self).reset();
  }

  void watch(const std::shared_ptr<ThreadConnections::Registry>& registry) {
    // Registries that have gone are forgotten, so a long-lived thread's list stays short.
    std::erase_if(registries_, [](const auto& weak) { return weak.expired(); });
    registries_.push_back(registry);
  }

private:
  std::vector<std::weak_ptr<ThreadConnections::Registry>> registries_;
};

thread_local ThreadExitGuard exitGuard;

// libXext keeps one list, for the whole process, of the displays that use the Generic Event
// Extension; a display joins it with its first extension call (RandR, XTest, MIT-SHM...). The list
// is made on first use and freed when the last display on it closes, both without a lock: a thread
// closing the last such connection while another thread's connection makes its first extension
// call writes into freed memory, and the heap corruption ends the process some time later. A
// connection of our own that joins the list as the first one opens, and is never closed, keeps
// the list alive for as long as the process runs.
void keepExtensionListAlive(Display* opened) {
  static std::mutex mutex;
  static Display* keeper = nullptr;
  std::lock_guard lock(mutex);
  if (keeper)
    return;
  keeper = XOpenDisplay(DisplayString(opened));
  int eventBase = 0, errorBase = 0;
  if (keeper)
    XGEQueryExtension(keeper, &eventBase, &errorBase);
}

} // namespace

std::unique_ptr<XConnection> XConnection::open(const std::string& displayName) {
  Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
  if (!display)
    return nullptr;
  keepExtensionListAlive(display);
  return std::unique_ptr<XConnection>(new XConnection(display));
}

XConnection::~XConnection() {
  if (display_)
    XCloseDisplay(display_);
}

ThreadConnections::ThreadConnections(std::string displayName)
    : displayName_(displayName), registry_(std::make_shared<Registry>(std::move(displayName))) {}

// A thread ending at the same time may hold the registry a moment longer; it then closes the rest.
ThreadConnections::~ThreadConnections() = default;

Display* ThreadConnections::forThisThread() {
  std::thread::id self = std::this_thread::get_id();
  {
    std::lock_guard lock(registry_->mutex);
    auto it = registry_->connections.find(self);
    if (it != registry_->connections.end())
      return it->second->get();
  }
  // Opened outside the lock: other threads need not wait for a slow server.
  std::unique_ptr<XConnection> connection = XConnection::open(displayName_);
  if (!connection)
    return nullptr;
  Display* display = connection->get();
  {
    std::lock_guard lock(registry_->mutex);
    registry_->connections.emplace(self, std::move(connection));
  }
  exitGuard.watch(registry_);
  return display;
}

std::size_t ThreadConnections::openCount() const {
  std::lock_guard lock(registry_->mutex);
  return registry_->connections.size();
}

} // namespace tovel
