#include "platform/x11/x11_screens.h"

#include <X11/Xlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/monitor_layout.h"
#include "platform/x11/x11_error_trap.h"
#include "platform/x11/x11_layout_watch.h"
#include "platform/x11/x11_monitors.h"
#include "platform/x11/x11_properties.h"
#include "platform/x11/x11_xsettings.h"

namespace tovel {

namespace {

// The longest a screen change can wait in Xlib's queue before the watcher looks again.
constexpr int kHeldEventLimitMs = 500;
constexpr double kDefaultDoubleClickInterval = 0.4;
// Settings managers rarely change the value; reading it once a second spares a round trip or two
// on every click.
constexpr auto kSettingsLifetime = std::chrono::seconds(1);

// The root position of the window's centre.
std::optional<Point> windowCentre(Display* display, Window window) {
  Window root = None, child = None;
  int x = 0, y = 0, rootX = 0, rootY = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  if (!XGetGeometry(display, window, &root, &x, &y, &width, &height, &border, &depth))
    return std::nullopt;
  if (!XTranslateCoordinates(display, window, root, 0, 0, &rootX, &rootY, &child))
    return std::nullopt;
  return Point{rootX + width / 2.0, rootY + height / 2.0};
}

// The window manager's active window, if there is one.
std::optional<Window> activeWindow(Display* display) {
  Atom active = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  return readWindow(display, DefaultRootWindow(display), active);
}

} // namespace

struct X11Screens::Impl {
  Impl(ThreadConnections& c, PendingPointer* p) : connections(c), pointer(p) {}
  ~Impl() { stopWatcher(); }

  bool startWatcher();
  void stopWatcher();
  void watch(std::unique_ptr<XConnection> connection, MonitorLayout layout,
             X11LayoutWatch layoutWatch);
  void notify();

  ThreadConnections& connections;
  PendingPointer* pointer;

  // Held while the handler runs and while it is replaced, so that once a new handler is set the
  // old one is no longer running. Recursive so that the handler may replace itself.
  std::recursive_mutex handlerMutex;
  std::function<void()> handler;

  std::mutex watcherMutex;
  std::thread watcher;
  int wakeFd = -1;

  std::mutex settingsMutex;
  std::optional<std::chrono::steady_clock::time_point> settingsReadAt;
  double doubleClickInterval = kDefaultDoubleClickInterval;
};

X11Screens::X11Screens(ThreadConnections& connections, PendingPointer* pointer)
    : impl_(std::make_unique<Impl>(connections, pointer)) {}

X11Screens::~X11Screens() = default;

std::vector<Screen> X11Screens::screens() {
  Display* display = impl_->connections.forThisThread();
  if (!display)
    return {};
  MonitorLayout layout = queryMonitors(display);
  std::vector<Screen> screens;
  for (const Monitor& monitor : layout.monitors)
    screens.push_back(makeScreen(layout, monitor));
  return screens;
}

std::optional<Screen> X11Screens::mainScreen() {
  Display* display = impl_->connections.forThisThread();
  if (!display)
    return std::nullopt;
  MonitorLayout layout = queryMonitors(display);
  const Monitor* chosen = layout.primary();
  if (!chosen)
    return std::nullopt;
  {
    // The focused window may close while it is looked at.
    XErrorTrap trap(display);
    if (std::optional<Window> window = activeWindow(display))
      if (std::optional<Point> centre = windowCentre(display, *window))
        if (const Monitor* holder = monitorAt(layout, centre->x, centre->y))
          chosen = holder;
  }
  return makeScreen(layout, *chosen);
}

Point X11Screens::mouseLocation() {
  Display* display = impl_->connections.forThisThread();
  if (!display)
    return {};
  RootPoint position = queryPointer(display).position;
  if (impl_->pointer)
    position = impl_->pointer->resolve(position);
  return rootToScreen(queryMonitors(display), position.x, position.y);
}

double X11Screens::doubleClickInterval() {
  std::lock_guard lock(impl_->settingsMutex);
  auto now = std::chrono::steady_clock::now();
  if (impl_->settingsReadAt && now - *impl_->settingsReadAt < kSettingsLifetime)
    return impl_->doubleClickInterval;
  double interval = kDefaultDoubleClickInterval;
  if (Display* display = impl_->connections.forThisThread()) {
    if (std::optional<std::vector<std::uint8_t>> blob = readXSettings(display)) {
      std::vector<XSetting> settings = parseXSettings(blob->data(), blob->size());
      std::optional<std::int32_t> milliseconds =
          findXSettingInteger(settings, "Net/DoubleClickTime");
      if (milliseconds && *milliseconds > 0)
        interval = *milliseconds / 1000.0;
    }
  }
  impl_->settingsReadAt = now;
  impl_->doubleClickInterval = interval;
  return interval;
}

void X11Screens::setScreenChangeHandler(std::function<void()> handler) {
  bool wanted = bool(handler);
  {
    std::lock_guard lock(impl_->handlerMutex);
    impl_->handler = std::move(handler);
  }
  if (wanted)
    impl_->startWatcher();
}

Rect X11Screens::displayBounds(DisplayId display) {
  Display* connection = impl_->connections.forThisThread();
  if (!connection)
    return Rect{};
  return queryMonitors(connection).globalBounds(display);
}

std::variant<std::vector<DisplayId>, PlatformError> X11Screens::activeDisplayList() {
  Display* display = impl_->connections.forThisThread();
  if (!display)
    return PlatformError{1000, "the X display " + impl_->connections.displayName() +
                                   " cannot be reached"};
  return queryMonitors(display).displayIds();
}

// --- Screen changes ----------------------------------------------------------------------------

// The watcher gets a connection of its own and selects its events before returning, so that no
// change made after the handler is set goes unseen.
bool X11Screens::Impl::startWatcher() {
  std::lock_guard lock(watcherMutex);
  if (watcher.joinable())
    return true;
  std::unique_ptr<XConnection> connection = XConnection::open(connections.displayName());
  if (!connection)
    return false;
  Display* display = connection->get();
  X11LayoutWatch layoutWatch(display);
  if (!layoutWatch.reports())
    return false;
  MonitorLayout layout = queryMonitors(display);
  XSync(display, False);
  wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0)
    return false;
  watcher = std::thread(&Impl::watch, this, std::move(connection), std::move(layout), layoutWatch);
  return true;
}

void X11Screens::Impl::stopWatcher() {
  std::lock_guard lock(watcherMutex);
  if (!watcher.joinable())
    return;
  std::uint64_t one = 1;
  while (::write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
  watcher.join();
  ::close(wakeFd);
  wakeFd = -1;
}

void X11Screens::Impl::watch(std::unique_ptr<XConnection> connection, MonitorLayout layout,
                             X11LayoutWatch layoutWatch) {
  Display* display = connection->get();
  while (true) {
    bool changed = false;
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (layoutWatch.handle(event))
        changed = true;
    }
    // One change comes as several events; the layout is compared once they are all read, and
    // only a real difference is reported.
    if (changed) {
      MonitorLayout now = queryMonitors(display);
      if (!sameLayout(now, layout)) {
        layout = std::move(now);
        notify();
      }
      continue; // the query may have queued more events
    }
    // Xlib can take an event off the socket during a round trip and then hold it back from
    // XPending, so a readable socket is not the only sign of one: the wait is bounded, and a
    // held change is read at most that late.
    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int ready = ::poll(fds, 2, kHeldEventLimitMs);
    if (ready < 0 && errno != EINTR)
      return;
    if (fds[1].revents != 0)
      return;
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
      return; // the server is gone
  }
}

void X11Screens::Impl::notify() {
  std::lock_guard lock(handlerMutex);
  // A copy, so that the handler may replace itself while it runs.
  std::function<void()> current = handler;
  if (current)
    current();
}

} // namespace tovel
