#include "platform/x11/x11_continuous_capture.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_monitors.h"
#include "platform/x11/x11_pointer.h"
#include "platform/x11/x11_screen_layout.h"

namespace tovel {

namespace {

bool overlaps(const std::vector<RootArea>& areas, const RootArea& area) {
  for (const RootArea& a : areas)
    if (a.x < area.x + area.width && area.x < a.x + a.width && a.y < area.y + area.height &&
        area.y < a.y + a.height)
      return true;
  return false;
}

double wallClockNow() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

} // namespace

// --- Damage -------------------------------------------------------------------------------------

struct X11DamageWatcher::State {
  Display* display = nullptr;
  int notifyEvent = 0;
  Damage damage = 0;
  XserverRegion region = 0;
  bool damaged = false;

  ~State() {
    if (damage)
      XDamageDestroy(display, damage);
    if (region)
      XFixesDestroyRegion(display, region);
  }
};

std::unique_ptr<X11DamageWatcher> X11DamageWatcher::create(Display* display, std::string* why) {
  auto fail = [&](const char* reason) {
    if (why)
      *why = reason;
    return nullptr;
  };
  int damageEvent = 0, damageError = 0, fixesEvent = 0, fixesError = 0;
  if (!display || !XDamageQueryExtension(display, &damageEvent, &damageError))
    return fail("the X server has no DAMAGE extension");
  if (!XFixesQueryExtension(display, &fixesEvent, &fixesError))
    return fail("the X server has no XFIXES extension");
  // Both must be told which version the client speaks before their requests are used.
  int major = 2, minor = 0;
  if (!XFixesQueryVersion(display, &major, &minor) || major < 2)
    return fail("the X server's XFIXES is older than version 2");
  major = 1, minor = 1;
  if (!XDamageQueryVersion(display, &major, &minor))
    return fail("the X server's DAMAGE cannot be used");
  auto state = std::make_unique<State>();
  state->display = display;
  state->notifyEvent = damageEvent + XDamageNotify;
  // One event when the damage goes from empty to non-empty, none for further drawing until it
  // is taken: an unchanged or busy screen costs no traffic between frames.
  state->damage = XDamageCreate(display, DefaultRootWindow(display), XDamageReportNonEmpty);
  state->region = XFixesCreateRegion(display, nullptr, 0);
  return std::unique_ptr<X11DamageWatcher>(new X11DamageWatcher(std::move(state)));
}

X11DamageWatcher::X11DamageWatcher(std::unique_ptr<State> state) : state_(std::move(state)) {}

X11DamageWatcher::~X11DamageWatcher() = default;

bool X11DamageWatcher::readEvents() {
  Display* display = state_->display;
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == state_->notifyEvent)
      state_->damaged = true;
  }
  return state_->damaged;
}

std::vector<RootArea> X11DamageWatcher::take() {
  Display* display = state_->display;
  state_->damaged = false;
  XDamageSubtract(display, state_->damage, None, state_->region);
  int count = 0;
  XRectangle* rectangles = XFixesFetchRegion(display, state_->region, &count);
  std::vector<RootArea> areas;
  for (int i = 0; rectangles && i < count; ++i)
    areas.push_back(
        RootArea{rectangles[i].x, rectangles[i].y, rectangles[i].width, rectangles[i].height});
  if (rectangles)
    XFree(rectangles);
  return areas;
}

// --- Capture thread -----------------------------------------------------------------------------

struct X11ContinuousCapture::Worker {
  std::unique_ptr<XConnection> connection;
  std::unique_ptr<X11ShmGrabber> grabber;
  std::unique_ptr<X11DamageWatcher> damage;
  DisplayId display = 0;
  ContinuousCaptureSettings settings;
  FrameHandler handler;
  int wakeFd = -1;
  std::atomic<bool> stopping{false};
  BgraImage scaled;

  ~Worker() {
    release();
    if (wakeFd >= 0)
      ::close(wakeFd);
  }

  // Everything that holds server resources goes before the connection it lives on.
  void release() {
    damage.reset();
    grabber.reset();
    connection.reset();
  }

  void requestStop() {
    stopping = true;
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(wakeFd, &one, sizeof one);
  }

  void run() {
    using Steady = std::chrono::steady_clock;
    Display* x = connection->get();
    const auto interval = std::chrono::duration_cast<Steady::duration>(
        std::chrono::duration<double>(settings.minimumFrameInterval));
    bool firstFrame = true;
    std::optional<Steady::time_point> lastFrame;
    while (!stopping) {
      bool damaged = damage->readEvents();
      std::optional<Steady::duration> wait; // none: until something happens
      if (firstFrame || damaged) {
        Steady::time_point now = Steady::now();
        Steady::time_point due = lastFrame ? *lastFrame + interval : now;
        if (now >= due) {
          if (auto grabbed = deliverFrame(firstFrame))
            lastFrame = grabbed;
          firstFrame = false;
          continue;
        }
        wait = due - now;
      }
      XFlush(x);
      pollfd fds[2] = {{ConnectionNumber(x), POLLIN, 0}, {wakeFd, POLLIN, 0}};
      timespec timeout{};
      if (wait) {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*wait).count();
        timeout.tv_sec = time_t(ns / 1'000'000'000);
        timeout.tv_nsec = long(ns % 1'000'000'000);
      }
      if (::ppoll(fds, 2, wait ? &timeout : nullptr, nullptr) < 0 && errno != EINTR)
        break;
      if (fds[1].revents)
        break;
    }
    // The connection and the segment go with the thread, not with the last owner.
    release();
  }

  // Grabs and hands over a frame when the monitor changed (or always, for the first one); the
  // moment of the grab, which the interval is measured from, when a frame went out.
  std::optional<std::chrono::steady_clock::time_point> deliverFrame(bool always) {
    // Damage is taken before the grab, so drawing during the grab counts for the next frame.
    std::vector<RootArea> drawn = damage->take();
    Display* x = connection->get();
    MonitorLayout layout = queryMonitors(x);
    const Monitor* monitor = layout.find(display);
    std::optional<RootArea> root = rootWindowArea(x);
    if (!monitor || !root)
      return std::nullopt;
    std::optional<RootArea> area = captureArea(*monitor, std::nullopt, root->width, root->height);
    if (!area || (!always && !overlaps(drawn, *area)))
      return std::nullopt;
    // Both clocks read as the grab is asked for: the server copies the pixels when it reads the
    // request, and the interval between frames is then exact whatever a grab costs.
    auto grabbed = std::chrono::steady_clock::now();
    double timestamp = wallClockNow();
    // Asked on this thread's own connection, right before the pixels: a handler that wanted it
    // from the platform would need a connection for this thread too.
    PointerReport pointer = queryPointer(x);
    std::optional<ImageView> picture = grabber->grab(*area);
    if (!picture)
      return std::nullopt;
    std::optional<ImageView> frame = atSettingsSize(*picture, settings, scaled);
    if (!frame || stopping)
      return std::nullopt;
    std::optional<Point> location;
    if (pointer.onThisScreen)
      location = rootToScreen(layout, pointer.position.x, pointer.position.y);
    handler(CapturedFrame{*frame, timestamp, location});
    return grabbed;
  }
};

std::unique_ptr<X11ContinuousCapture>
X11ContinuousCapture::start(const std::string& displayName, DisplayId display,
                            const ContinuousCaptureSettings& settings, FrameHandler handler,
                            PlatformError& error) {
  if (!acceptable(handler, settings, error))
    return nullptr;
  auto worker = std::make_shared<Worker>();
  worker->connection = XConnection::open(displayName);
  if (!worker->connection) {
    error = PlatformError{ECONNREFUSED, "cannot open X display \"" + displayName + "\""};
    return nullptr;
  }
  Display* x = worker->connection->get();
  if (!queryMonitors(x).find(display)) {
    error = PlatformError{ENODEV, "no display " + std::to_string(display)};
    return nullptr;
  }
  std::string why;
  worker->damage = X11DamageWatcher::create(x, &why);
  if (worker->damage)
    worker->grabber = X11ShmGrabber::create(x, &why);
  if (!worker->damage || !worker->grabber) {
    error = PlatformError{ENOTSUP, why};
    return nullptr;
  }
  worker->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (worker->wakeFd < 0) {
    error = PlatformError{errno, "cannot create the capture thread's wake-up descriptor"};
    return nullptr;
  }
  worker->display = display;
  worker->settings = settings;
  if (!std::isfinite(settings.minimumFrameInterval) || settings.minimumFrameInterval < 0)
    worker->settings.minimumFrameInterval = 0;
  // Forever is as good as a day and keeps the time arithmetic in range.
  worker->settings.minimumFrameInterval = std::min(worker->settings.minimumFrameInterval, 86400.0);
  worker->handler = std::move(handler);

  // The thread and the stop request share the worker, which outlives this object only when it
  // is destroyed from its own handler.
  std::unique_ptr<X11ContinuousCapture> capture(new X11ContinuousCapture);
  if (!capture->startThread([worker] { worker->run(); }, [worker] { worker->requestStop(); },
                            error))
    return nullptr;
  return capture;
}

} // namespace tovel
