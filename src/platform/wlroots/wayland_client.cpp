#include "platform/wlroots/wayland_client.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <wayland-client.h>

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace tovel {

namespace {

using Steady = std::chrono::steady_clock;

// How long connecting waits for the compositor's first answers.
constexpr auto kConnectTimeout = std::chrono::seconds(5);

void writeOne(int fd) {
  std::uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void drain(int fd) {
  std::uint64_t count;
  while (::read(fd, &count, sizeof count) > 0) {
  }
}

int millisecondsUntil(std::optional<Steady::time_point> deadline) {
  if (!deadline)
    return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Steady::now()).count();
  return int(std::clamp<long long>(left, 0, 60'000));
}

// Reads and handles the events of one queue until `done` or the deadline; for a caller beside
// the event thread, which reads the same socket.
bool dispatchQueueUntil(wl_display* display, wl_event_queue* queue, const bool& done,
                        Steady::time_point deadline) {
  while (!done) {
    if (wl_display_prepare_read_queue(display, queue) != 0) {
      if (wl_display_dispatch_queue_pending(display, queue) < 0)
        return false;
      continue;
    }
    wl_display_flush(display);
    if (Steady::now() >= deadline) {
      wl_display_cancel_read(display);
      return false;
    }
    pollfd p{wl_display_get_fd(display), POLLIN, 0};
    int ready = ::poll(&p, 1, millisecondsUntil(deadline));
    if (ready > 0 && (p.revents & POLLIN)) {
      if (wl_display_read_events(display) < 0)
        return false;
    } else {
      wl_display_cancel_read(display);
      if (ready > 0)
        return false; // hung up
    }
    if (wl_display_dispatch_queue_pending(display, queue) < 0)
      return false;
  }
  return true;
}

void syncDone(void* data, wl_callback*, std::uint32_t) {
  *static_cast<bool*>(data) = true;
}
const wl_callback_listener syncListener{syncDone};

} // namespace

// --- Outputs -----------------------------------------------------------------------------------

struct OutputListeners {
  struct Context {
    WaylandClient* client;
    WaylandOutput* output;
  };

  static void geometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t,
                       std::int32_t, std::int32_t, const char*, const char*,
                       std::int32_t transform) {
    auto* c = static_cast<Context*>(data);
    std::lock_guard lock(c->client->mutex_);
    c->output->geometryX = x;
    c->output->geometryY = y;
    c->output->transform = transform;
  }
  static void mode(void* data, wl_output*, std::uint32_t flags, std::int32_t width,
                   std::int32_t height, std::int32_t) {
    if (!(flags & WL_OUTPUT_MODE_CURRENT))
      return;
    auto* c = static_cast<Context*>(data);
    std::lock_guard lock(c->client->mutex_);
    c->output->modeWidth = width;
    c->output->modeHeight = height;
  }
  static void done(void* data, wl_output*) {
    auto* c = static_cast<Context*>(data);
    {
      std::lock_guard lock(c->client->mutex_);
      c->output->described = true;
    }
    c->client->outputChanged();
  }
  static void scale(void* data, wl_output*, std::int32_t factor) {
    auto* c = static_cast<Context*>(data);
    std::lock_guard lock(c->client->mutex_);
    c->output->scale = std::max(1, factor);
  }
  static void name(void* data, wl_output*, const char* name) {
    auto* c = static_cast<Context*>(data);
    std::lock_guard lock(c->client->mutex_);
    if (c->output->name.empty())
      c->output->name = name ? name : "";
  }
  static void description(void*, wl_output*, const char*) {}

  static void logicalPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
    auto* c = static_cast<Context*>(data);
    std::lock_guard lock(c->client->mutex_);
    c->output->logicalPosition = std::pair{x, y};
  }
  static void logicalSize(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
    auto* c = static_cast<Context*>(data);
    std::lock_guard lock(c->client->mutex_);
    c->output->logicalSize = std::pair{width, height};
  }
  // Sent by xdg-output before version 3; from 3 on, wl_output's done closes the description.
  static void xdgDone(void* data, zxdg_output_v1*) { done(data, nullptr); }
  static void xdgName(void* data, zxdg_output_v1*, const char* name) {
    auto* c = static_cast<Context*>(data);
    std::lock_guard lock(c->client->mutex_);
    c->output->name = name ? name : "";
  }
  static void xdgDescription(void*, zxdg_output_v1*, const char*) {}

  static constexpr wl_output_listener outputListener{geometry, mode, done,
                                                     scale,    name, description};
  static constexpr zxdg_output_v1_listener xdgListener{logicalPosition, logicalSize, xdgDone,
                                                       xdgName, xdgDescription};
};

void WaylandClient::watchOutput(WaylandOutput& output) {
  auto* context = new OutputListeners::Context{this, &output};
  wl_output_add_listener(output.output, &OutputListeners::outputListener, context);
  if (xdgOutputManager_) {
    output.xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputManager_, output.output);
    zxdg_output_v1_add_listener(output.xdgOutput, &OutputListeners::xdgListener, context);
  }
}

MonitorLayout WaylandClient::layoutLocked() const {
  std::vector<const WaylandOutput*> described;
  for (const auto& [global, output] : outputs_)
    if (output->described)
      described.push_back(output.get());
  MonitorLayout layout;
  const WaylandOutput* primary = nullptr;
  for (const WaylandOutput* output : described)
    if (output->logicalPosition && output->logicalPosition->first == 0 &&
        output->logicalPosition->second == 0) {
      primary = output;
      break;
    }
  if (!primary && !described.empty())
    primary = described.front();
  auto monitorOf = [&](const WaylandOutput& output) {
    Monitor monitor;
    monitor.name = output.name.empty() ? "output-" + std::to_string(output.global) : output.name;
    auto id = ids_.find(monitor.name);
    monitor.id = id != ids_.end() ? id->second : 0;
    int scale = std::max(1, output.scale);
    bool rotated = output.transform % 2 == 1;
    int width = rotated ? output.modeHeight : output.modeWidth;
    int height = rotated ? output.modeWidth : output.modeHeight;
    monitor.x = output.logicalPosition ? output.logicalPosition->first : output.geometryX;
    monitor.y = output.logicalPosition ? output.logicalPosition->second : output.geometryY;
    monitor.width = output.logicalSize ? output.logicalSize->first : width / scale;
    monitor.height = output.logicalSize ? output.logicalSize->second : height / scale;
    monitor.primary = &output == primary;
    return monitor;
  };
  if (primary)
    layout.monitors.push_back(monitorOf(*primary));
  for (const WaylandOutput* output : described)
    if (output != primary)
      layout.monitors.push_back(monitorOf(*output));
  std::erase_if(layout.monitors, [](const Monitor& m) { return m.width <= 0 || m.height <= 0; });
  return layout;
}

MonitorLayout WaylandClient::layout() const {
  std::lock_guard lock(mutex_);
  return layoutLocked();
}

double WaylandClient::backingScale(DisplayId display) const {
  std::lock_guard lock(mutex_);
  MonitorLayout layout = layoutLocked();
  const Monitor* monitor = layout.find(display);
  if (!monitor)
    return 1.0;
  for (const auto& [global, output] : outputs_) {
    std::string name = output->name.empty() ? "output-" + std::to_string(global) : output->name;
    if (name != monitor->name)
      continue;
    // The pixels per logical point, fractional scales included.
    bool rotated = output->transform % 2 == 1;
    int pixels = rotated ? output->modeHeight : output->modeWidth;
    if (pixels > 0 && monitor->width > 0)
      return double(pixels) / monitor->width;
    return std::max(1, output->scale);
  }
  return 1.0;
}

wl_output* WaylandClient::outputNamed(const std::string& name) const {
  std::lock_guard lock(mutex_);
  for (const auto& [global, output] : outputs_)
    if (output->described &&
        (output->name.empty() ? "output-" + std::to_string(global) : output->name) == name)
      return output->output;
  return nullptr;
}

void WaylandClient::setLayoutHandler(std::function<void(const MonitorLayout&)> handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void WaylandClient::outputChanged() {
  std::function<void(const MonitorLayout&)> handler;
  MonitorLayout layout;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [global, output] : outputs_) {
      if (!output->described)
        continue;
      std::string name = output->name.empty() ? "output-" + std::to_string(global) : output->name;
      if (!ids_.count(name))
        ids_[name] = nextId_++;
    }
    layout = layoutLocked();
    if (sameLayout(layout, reported_))
      return;
    reported_ = layout;
    handler = handler_;
  }
  if (handler)
    handler(layout);
}

// --- Globals -----------------------------------------------------------------------------------

void WaylandClient::registryGlobal(void* data, wl_registry* registry, std::uint32_t name,
                                   const char* interface, std::uint32_t version) {
  static_cast<WaylandClient*>(data)->addGlobal(registry, name, interface, version);
}

void WaylandClient::registryGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
  static_cast<WaylandClient*>(data)->removeGlobal(name);
}

void WaylandClient::addGlobal(wl_registry* registry, std::uint32_t name, const char* interface,
                              std::uint32_t version) {
  auto bind = [&](const wl_interface* type, std::uint32_t highest) {
    return wl_registry_bind(registry, name, type, std::min(version, highest));
  };
  std::string_view is = interface;
  if (is == wl_seat_interface.name && !seat_) {
    seat_ = static_cast<wl_seat*>(bind(&wl_seat_interface, 1));
  } else if (is == wl_shm_interface.name && !shm_) {
    shm_ = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
  } else if (is == zxdg_output_manager_v1_interface.name && !xdgOutputManager_) {
    xdgOutputVersion_ = std::min(version, 3u);
    xdgOutputManager_ =
        static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3));
    // Outputs announced before the manager get theirs now.
    std::lock_guard lock(mutex_);
    for (auto& [global, output] : outputs_)
      if (!output->xdgOutput) {
        output->xdgOutput =
            zxdg_output_manager_v1_get_xdg_output(xdgOutputManager_, output->output);
        zxdg_output_v1_add_listener(output->xdgOutput, &OutputListeners::xdgListener,
                                    wl_output_get_user_data(output->output));
      }
  } else if (is == zwlr_virtual_pointer_manager_v1_interface.name && !pointerManager_) {
    pointerManager_ = static_cast<zwlr_virtual_pointer_manager_v1*>(
        bind(&zwlr_virtual_pointer_manager_v1_interface, 1));
  } else if (is == zwp_virtual_keyboard_manager_v1_interface.name && !keyboardManager_) {
    keyboardManager_ = static_cast<zwp_virtual_keyboard_manager_v1*>(
        bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
  } else if (is == zwlr_screencopy_manager_v1_interface.name && !screencopy_) {
    screencopyVersion_ = std::min(version, 2u);
    screencopy_ =
        static_cast<zwlr_screencopy_manager_v1*>(bind(&zwlr_screencopy_manager_v1_interface, 2));
  } else if (is == wl_output_interface.name) {
    auto output = std::make_unique<WaylandOutput>();
    output->global = name;
    output->output = static_cast<wl_output*>(bind(&wl_output_interface, 4));
    WaylandOutput& added = *output;
    {
      std::lock_guard lock(mutex_);
      outputs_[name] = std::move(output);
    }
    watchOutput(added);
  }
}

void WaylandClient::removeGlobal(std::uint32_t name) {
  std::unique_ptr<WaylandOutput> gone;
  {
    std::lock_guard lock(mutex_);
    auto found = outputs_.find(name);
    if (found == outputs_.end())
      return;
    gone = std::move(found->second);
    outputs_.erase(found);
  }
  delete static_cast<OutputListeners::Context*>(wl_output_get_user_data(gone->output));
  if (gone->xdgOutput)
    zxdg_output_v1_destroy(gone->xdgOutput);
  if (wl_output_get_version(gone->output) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
    wl_output_release(gone->output);
  else
    wl_output_destroy(gone->output);
  outputChanged();
}

std::string WaylandClient::missingGlobals() const {
  std::vector<const char*> missing;
  if (!pointerManager_)
    missing.push_back(zwlr_virtual_pointer_manager_v1_interface.name);
  if (!keyboardManager_)
    missing.push_back(zwp_virtual_keyboard_manager_v1_interface.name);
  if (!screencopy_ || screencopyVersion_ < 2)
    missing.push_back(screencopy_ ? "zwlr_screencopy_manager_v1 version 2"
                                  : zwlr_screencopy_manager_v1_interface.name);
  if (!seat_)
    missing.push_back(wl_seat_interface.name);
  if (!shm_)
    missing.push_back(wl_shm_interface.name);
  std::string text;
  for (const char* name : missing)
    text += (text.empty() ? "" : ", ") + std::string(name);
  return text;
}

// --- Connection --------------------------------------------------------------------------------

std::unique_ptr<WaylandClient> WaylandClient::connect(std::string& error) {
  std::unique_ptr<WaylandClient> client(new WaylandClient);
  client->display_ = wl_display_connect(nullptr);
  if (!client->display_) {
    const char* name = std::getenv("WAYLAND_DISPLAY");
    error = std::string("cannot connect to the Wayland display ") + (name ? name : "") + ": " +
            std::strerror(errno);
    return nullptr;
  }
  client->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  static const wl_registry_listener registryListener{registryGlobal, registryGlobalRemove};
  client->registry_ = wl_display_get_registry(client->display_);
  wl_registry_add_listener(client->registry_, &registryListener, client.get());
  // The globals, then what the outputs say of themselves.
  for (int round = 0; round < 2; ++round) {
    bool done = false;
    wl_callback* callback = wl_display_sync(client->display_);
    wl_callback_add_listener(callback, &syncListener, &done);
    auto deadline = Steady::now() + kConnectTimeout;
    while (!done && client->waitForEvents(deadline, -1) && Steady::now() < deadline) {
    }
    if (!done) {
      error = "the Wayland compositor did not answer";
      return nullptr;
    }
    wl_callback_destroy(callback);
  }
  client->outputChanged();
  return client;
}

WaylandClient::~WaylandClient() {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(timerMutex_);
      stopping_ = true;
    }
    wake();
    thread_.join();
  }
  if (display_) {
    {
      std::lock_guard lock(mutex_);
      for (auto& [global, output] : outputs_) {
        delete static_cast<OutputListeners::Context*>(wl_output_get_user_data(output->output));
        if (output->xdgOutput)
          zxdg_output_v1_destroy(output->xdgOutput);
        wl_output_destroy(output->output);
      }
      outputs_.clear();
    }
    if (xdgOutputManager_)
      zxdg_output_manager_v1_destroy(xdgOutputManager_);
    if (pointerManager_)
      zwlr_virtual_pointer_manager_v1_destroy(pointerManager_);
    if (keyboardManager_)
      zwp_virtual_keyboard_manager_v1_destroy(keyboardManager_);
    if (screencopy_)
      zwlr_screencopy_manager_v1_destroy(screencopy_);
    if (shm_)
      wl_shm_destroy(shm_);
    if (seat_)
      wl_seat_destroy(seat_);
    if (registry_)
      wl_registry_destroy(registry_);
    for (auto& [callback, ticket] : answers_)
      wl_callback_destroy(callback);
    wl_display_flush(display_);
    wl_display_disconnect(display_);
  }
  if (wakeFd_ >= 0)
    ::close(wakeFd_);
}

bool WaylandClient::broken() const {
  return wl_display_get_error(display_) != 0;
}

void WaylandClient::flush() {
  wl_display_flush(display_);
}

bool WaylandClient::sync(std::chrono::milliseconds timeout) {
  if (broken())
    return false;
  // A queue of its own, so that only this answer is handled on the calling thread.
  wl_event_queue* queue = wl_display_create_queue(display_);
  auto* wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(display_));
  wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper), queue);
  wl_callback* callback = wl_display_sync(wrapper);
  wl_proxy_wrapper_destroy(wrapper);
  bool done = false;
  wl_callback_add_listener(callback, &syncListener, &done);
  bool answered = dispatchQueueUntil(display_, queue, done, Steady::now() + timeout);
  wl_callback_destroy(callback);
  wl_event_queue_destroy(queue);
  return answered;
}

std::uint64_t WaylandClient::requestAnswer() {
  std::uint64_t ticket = ++asked_;
  // Made on the event thread, which alone reads this connection's answers: one made elsewhere
  // could be answered before its listener is set. It follows every request sent before the call.
  postAfter(std::chrono::milliseconds(0), [this, ticket] {
    static const wl_callback_listener listener{answerDone};
    wl_callback* callback = wl_display_sync(display_);
    if (!callback) {
      answered_ = ticket;
      return;
    }
    wl_callback_add_listener(callback, &listener, this);
    answers_.emplace_back(callback, ticket);
    wl_display_flush(display_);
  });
  return ticket;
}

void WaylandClient::answerDone(void* data, wl_callback*, std::uint32_t) {
  // The compositor answers in the order asked.
  auto* client = static_cast<WaylandClient*>(data);
  auto [callback, ticket] = client->answers_.front();
  client->answers_.pop_front();
  wl_callback_destroy(callback);
  client->answered_ = ticket;
}

bool WaylandClient::answered(std::uint64_t ticket) const {
  return answered_ >= ticket || broken();
}

bool WaylandClient::pump() {
  return waitForEvents(Steady::now(), -1);
}

bool WaylandClient::waitForEvents(std::optional<Steady::time_point> deadline, int wakeFd) {
  while (wl_display_prepare_read(display_) != 0)
    if (wl_display_dispatch_pending(display_) < 0)
      return false;
  if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
    wl_display_cancel_read(display_);
    return false;
  }
  pollfd fds[2] = {{wl_display_get_fd(display_), POLLIN, 0}, {wakeFd, POLLIN, 0}};
  int ready = ::poll(fds, wakeFd >= 0 ? 2 : 1, millisecondsUntil(deadline));
  if (ready > 0 && (fds[0].revents & POLLIN)) {
    if (wl_display_read_events(display_) < 0)
      return false;
  } else {
    wl_display_cancel_read(display_);
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
      return false;
  }
  if (wakeFd >= 0 && (fds[1].revents & POLLIN))
    drain(wakeFd);
  return wl_display_dispatch_pending(display_) >= 0;
}

// --- The event thread --------------------------------------------------------------------------

void WaylandClient::startThread() {
  if (thread_.joinable())
    return;
  thread_ = std::thread([this] { run(); });
  pthread_setname_np(thread_.native_handle(), "tovel-wayland");
}

void WaylandClient::wake() {
  if (wakeFd_ >= 0)
    writeOne(wakeFd_);
}

void WaylandClient::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
  {
    std::lock_guard lock(timerMutex_);
    timers_.emplace(Steady::now() + delay, std::move(task));
  }
  wake();
}

void WaylandClient::run() {
  while (true) {
    std::optional<Steady::time_point> next;
    std::vector<std::function<void()>> due;
    {
      std::lock_guard lock(timerMutex_);
      if (stopping_)
        return;
      auto now = Steady::now();
      while (!timers_.empty() && timers_.begin()->first <= now) {
        due.push_back(std::move(timers_.begin()->second));
        timers_.erase(timers_.begin());
      }
      if (!timers_.empty())
        next = timers_.begin()->first;
    }
    for (auto& task : due)
      task();
    if (!due.empty())
      continue; // a task may have set another timer
    if (!waitForEvents(next, wakeFd_)) {
      // The compositor is gone: the timers still run (they only send into the void), so that
      // nothing waits for them forever.
      std::unique_lock lock(timerMutex_);
      if (stopping_)
        return;
      lock.unlock();
      pollfd p{wakeFd_, POLLIN, 0};
      ::poll(&p, 1, millisecondsUntil(next));
      drain(wakeFd_);
    }
  }
}

} // namespace tovel
