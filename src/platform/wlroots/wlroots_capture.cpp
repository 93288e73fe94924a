#include "platform/wlroots/wlroots_capture.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/wlroots/wayland_client.h"
#include "platform/wlroots/wlroots_screencopy.h"

namespace tovel {

namespace {

using Steady = std::chrono::steady_clock;

// How long a grab waits for the compositor's copy, and how long a failed copy (an output going
// away, the compositor busy) is left before the next try.
constexpr auto kCopyWait = std::chrono::seconds(3);
constexpr auto kRetryDelay = std::chrono::milliseconds(100);

double seconds(Steady::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

std::unique_ptr<WaylandClient> connectFor(const std::string& output, wl_output*& found,
                                          PlatformError& error) {
  std::string why;
  std::unique_ptr<WaylandClient> client = WaylandClient::connect(why);
  if (!client) {
    error = PlatformError{ECONNREFUSED, why};
    return nullptr;
  }
  found = client->outputNamed(output);
  if (!found || !client->screencopy() || !client->shm()) {
    error = PlatformError{ENODEV, "the compositor offers no screencopy of the output " + output};
    return nullptr;
  }
  return client;
}

} // namespace

// --- Continuous capture ------------------------------------------------------------------------

std::unique_ptr<WlrootsCaptureSource>
WlrootsCaptureSource::open(const Monitor& monitor, std::function<std::optional<Point>()> pointer,
                           PlatformError& error) {
  std::unique_ptr<WlrootsCaptureSource> source(new WlrootsCaptureSource);
  wl_output* output = nullptr;
  source->client_ = connectFor(monitor.name, output, error);
  if (!source->client_)
    return nullptr;
  source->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (source->wakeFd_ < 0) {
    error = PlatformError{errno, std::strerror(errno)};
    return nullptr;
  }
  source->pointer_ = std::move(pointer);
  source->copy_ = std::make_unique<Screencopy>(*source->client_, output, true);
  // The first picture at once; the ones after it when something changed.
  source->copy_->request(false);
  return source;
}

WlrootsCaptureSource::~WlrootsCaptureSource() {
  copy_.reset();
  client_.reset();
  if (wakeFd_ >= 0)
    ::close(wakeFd_);
}

void WlrootsCaptureSource::retryLater() {
  retryAt_ = Steady::now() + kRetryDelay;
}

bool WlrootsCaptureSource::changed() {
  client_->pump();
  if (copy_->state() == Screencopy::State::failed && !retryAt_)
    retryLater();
  return copy_->state() == Screencopy::State::ready || (retryAt_ && Steady::now() >= *retryAt_);
}

std::optional<CapturedFrame> WlrootsCaptureSource::grab(bool always) {
  client_->pump();
  if (retryAt_ && Steady::now() >= *retryAt_) {
    retryAt_.reset();
    copy_->request(false);
  }
  std::optional<ImageView> picture = copy_->picture(scratch_);
  if (!picture) {
    if (copy_->state() == Screencopy::State::failed && !retryAt_)
      retryLater();
    if (always && newest_)
      return newest_;
    return std::nullopt;
  }
  std::shared_ptr<BgraImage> image = pool_.take(picture->width, picture->height);
  for (int y = 0; y < picture->height; ++y)
    std::memcpy(image->row(y), picture->pixel(0, y), std::size_t(picture->width) * 4);
  CapturedFrame frame;
  frame.captureTime = seconds(Steady::now());
  frame.timestamp = clockNow();
  frame.image = image->view();
  frame.pixels = image;
  frame.pointer = pointer_();
  if (newest_)
    frame.changed = copy_->damage();
  newest_ = frame;
  // The copy is out of the buffer: the next one may go into it.
  copy_->request(true);
  return frame;
}

void WlrootsCaptureSource::wait(std::optional<TimePoint> deadline) {
  if (retryAt_ && (!deadline || *retryAt_ < *deadline))
    deadline = retryAt_;
  if (!client_->waitForEvents(deadline, wakeFd_)) {
    // The compositor is gone: nothing will come, but the thread must still hear wake().
    pollfd p{wakeFd_, POLLIN, 0};
    int timeout = -1;
    if (deadline)
      timeout = int(std::max<long long>(
          0, std::chrono::ceil<std::chrono::milliseconds>(*deadline - Steady::now()).count()));
    ::poll(&p, 1, timeout);
    std::uint64_t count;
    while (::read(wakeFd_, &count, sizeof count) > 0) {
    }
  }
}

void WlrootsCaptureSource::wake() {
  std::uint64_t one = 1;
  while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

double WlrootsCaptureSource::clockNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// --- Single grabs ------------------------------------------------------------------------------

WlrootsScreenCapturer::WlrootsScreenCapturer(MonitorFinder monitors)
    : monitors_(std::move(monitors)) {}

WlrootsScreenCapturer::~WlrootsScreenCapturer() {
  copy_.reset();
  client_.reset();
}

std::optional<ImageView> WlrootsScreenCapturer::capture(DisplayId display,
                                                        const std::optional<Rect>& rect) {
  std::optional<Monitor> monitor = monitors_(display);
  if (!monitor)
    return std::nullopt;
  if (client_ && (monitor->name != output_ || client_->broken())) {
    copy_.reset();
    client_.reset();
  }
  if (!client_) {
    PlatformError ignored;
    wl_output* output = nullptr;
    client_ = connectFor(monitor->name, output, ignored);
    if (!client_)
      return std::nullopt;
    output_ = monitor->name;
    copy_ = std::make_unique<Screencopy>(*client_, output, false);
    shown_.reset();
  }
  client_->pump();
  Screencopy::State state = copy_->state();
  if (!shown_ || state == Screencopy::State::failed || state == Screencopy::State::idle) {
    // Nothing to go on: a fresh copy, waited for.
    copy_->request(false);
    copy_->waitWhilePending(Steady::now() + kCopyWait);
    picture_ = copy_->picture(scratch_);
    if (!picture_) {
      shown_.reset();
      return std::nullopt;
    }
    shown_ = copy_->readyBuffer();
    copy_->request(true, shown_);
  } else if (state == Screencopy::State::ready) {
    // Something changed since the picture handed out last: the copy it brought is the newest.
    picture_ = copy_->picture(scratch_);
    shown_ = copy_->readyBuffer();
    copy_->request(true, shown_);
  }
  display_ = display;
  rect_ = rect;
  if (!picture_)
    return std::nullopt;
  // Display-local points to the picture's pixels.
  std::optional<Rect> pixels = rect;
  if (pixels && monitor->width > 0) {
    double scale = double(picture_->width) / monitor->width;
    pixels = Rect{rect->x * scale, rect->y * scale, rect->width * scale, rect->height * scale};
  }
  std::optional<PixelRect> area = clipToPicture(pixels, picture_->width, picture_->height);
  if (!area)
    return std::nullopt;
  return ImageView{picture_->pixel(area->x, area->y), area->width, area->height, picture_->stride};
}

bool WlrootsScreenCapturer::unchangedSinceLastCapture(DisplayId display,
                                                      const std::optional<Rect>& rect) {
  if (!client_ || !shown_ || display_ != display || rect.has_value() != rect_.has_value())
    return false;
  if (rect && !(*rect == *rect_))
    return false;
  client_->pump();
  // The copy with damage still waits: nothing on the output has changed.
  return copy_->state() == Screencopy::State::pending;
}

} // namespace tovel
