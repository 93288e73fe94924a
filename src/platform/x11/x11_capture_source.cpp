#include "platform/x11/x11_capture_source.h"

#include <X11/Xlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/x11/x11_monitors.h"
#include "platform/monitor_layout.h"

namespace tovel {

namespace {

// How often the pointer is looked at: its moves are drawn, but the server reports none.
constexpr auto kPointerLookInterval = std::chrono::milliseconds(16);
// The part of the picture around the hot spot that a cursor covers.
constexpr int kCursorReach = 64;

bool overlaps(const RootArea& a, const RootArea& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

// Part of `area` in the picture of `frame`, in the picture's pixels; none when outside it.
std::optional<PixelRect> within(const RootArea& frame, const RootArea& area) {
  int x0 = std::max(frame.x, area.x), y0 = std::max(frame.y, area.y);
  int x1 = std::min(frame.x + frame.width, area.x + area.width);
  int y1 = std::min(frame.y + frame.height, area.y + area.height);
  if (x1 <= x0 || y1 <= y0)
    return std::nullopt;
  return PixelRect{x0 - frame.x, y0 - frame.y, x1 - x0, y1 - y0};
}

RootArea cursorArea(RootPoint pointer) {
  return RootArea{pointer.x - kCursorReach, pointer.y - kCursorReach, 2 * kCursorReach,
                  2 * kCursorReach};
}

double seconds(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

} // namespace

std::unique_ptr<X11CaptureSource> X11CaptureSource::open(const std::string& displayName,
                                                         DisplayId display, PlatformError& error) {
  std::unique_ptr<X11CaptureSource> source(new X11CaptureSource);
  source->connection_ = XConnection::open(displayName);
  if (!source->connection_) {
    error = PlatformError{ECONNREFUSED, "cannot open X display \"" + displayName + "\""};
    return nullptr;
  }
  Display* x = source->connection_->get();
  if (!queryMonitors(x).find(display)) {
    error = PlatformError{ENODEV, "no display " + std::to_string(display)};
    return nullptr;
  }
  std::string why;
  source->damage_ = X11DamageWatcher::create(x, &why);
  if (source->damage_)
    source->grabber_ = X11ShmGrabber::create(x, &why);
  if (!source->damage_ || !source->grabber_) {
    error = PlatformError{ENOTSUP, why};
    return nullptr;
  }
  source->cursor_ = X11Cursor::create(x);
  source->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (source->wakeFd_ < 0) {
    error = PlatformError{errno, "cannot create the capture thread's wake-up descriptor"};
    return nullptr;
  }
  source->display_ = display;
  source->layoutWatch_.emplace(x);
  return source;
}

X11CaptureSource::~X11CaptureSource() {
  // Everything that holds server resources goes before the connection it lives on.
  cursor_.reset();
  grabber_.reset();
  damage_.reset();
  connection_.reset();
  if (wakeFd_ >= 0)
    ::close(wakeFd_);
}

void X11CaptureSource::readEvents() {
  Display* x = connection_->get();
  while (XPending(x) > 0) {
    XEvent event;
    XNextEvent(x, &event);
    if (layoutWatch_->handle(event))
      area_.reset();
    else if (!damage_->handle(event) && cursor_) {
      cursor_->handle(event);
    }
  }
}

bool X11CaptureSource::changed() {
  readEvents();
  if (damage_->damaged() || (cursor_ && cursor_->changed()))
    return true;
  PointerReport pointer = queryPointer(connection_->get());
  std::optional<RootPoint> now;
  if (pointer.onThisScreen)
    now = pointer.position;
  return now != pointer_;
}

std::optional<CapturedFrame> X11CaptureSource::grab(bool always) {
  Display* x = connection_->get();
  readEvents();
  // Taken before the grab, so that drawing during the grab counts for the next picture.
  std::vector<RootArea> drawn = damage_->take();
  bool shapeChanged = cursor_ && cursor_->changed();
  // Monitors and the root size change at run time, and a grab outside the root is an X error:
  // without RandR's reports the area is asked for every time.
  if (!area_ || !layoutWatch_->reports()) {
    area_.reset();
    layout_ = queryMonitors(x);
    const Monitor* monitor = layout_.find(display_);
    std::optional<RootArea> root = rootWindowArea(x);
    if (!monitor || !root)
      return std::nullopt;
    area_ = captureArea(*monitor, std::nullopt, root->width, root->height);
  }
  if (!area_)
    return std::nullopt;
  const RootArea area = *area_;

  // Read on this connection right before the pixels, so the cursor goes where the pointer was.
  PointerReport report = queryPointer(x);
  std::optional<RootPoint> pointer;
  if (report.onThisScreen)
    pointer = report.position;

  std::vector<PixelRect> changed;
  for (const RootArea& a : drawn)
    if (auto part = within(area, a))
      changed.push_back(*part);
  if (pointer != pointer_ || shapeChanged) {
    for (const std::optional<RootPoint>& p : {pointer_, pointer})
      if (p)
        if (auto part = within(area, cursorArea(*p)))
          changed.push_back(*part);
  }
  if (!always && changed.empty()) {
    pointer_ = pointer; // what moved or was drawn is elsewhere
    return std::nullopt;
  }

  // Both clocks read as the grab is asked for: the server copies the pixels when it reads the
  // request.
  CapturedFrame frame;
  frame.captureTime = seconds(std::chrono::steady_clock::now());
  frame.timestamp = clockNow();
  std::optional<X11ShmGrabber::OwnedPicture> picture = grabber_->grabOwned(area);
  if (!picture) {
    area_.reset(); // perhaps the screen changed under it: asked for again next time
    return std::nullopt;
  }
  if (cursor_ && pointer && overlaps(area, cursorArea(*pointer)))
    cursor_->drawInto(picture->data, picture->stride, area, *pointer);
  pointer_ = pointer;
  frame.image = ImageView{picture->data, picture->width, picture->height, picture->stride};
  frame.pixels = std::move(picture->owner);
  if (pointer)
    frame.pointer = rootToScreen(layout_, pointer->x, pointer->y);
  if (!always)
    frame.changed = std::move(changed);
  return frame;
}

void X11CaptureSource::wait(std::optional<TimePoint> deadline) {
  Display* x = connection_->get();
  XFlush(x);
  if (XPending(x) > 0)
    return;
  auto now = std::chrono::steady_clock::now();
  TimePoint until = now + kPointerLookInterval;
  if (deadline && *deadline < until)
    until = *deadline;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(until - now, {})).count();
  timespec timeout{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
  pollfd fds[2] = {{ConnectionNumber(x), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  ::ppoll(fds, 2, &timeout, nullptr);
  if (fds[1].revents) {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t read = ::read(wakeFd_, &count, sizeof count);
  }
}

void X11CaptureSource::wake() {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

double X11CaptureSource::clockNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

} // namespace tovel
