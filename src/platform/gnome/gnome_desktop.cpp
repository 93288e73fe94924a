#include "platform/gnome/gnome_desktop.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <gio/gio.h>

#include "platform/gnome/gnome_capture.h"
#include "platform/monitor_layout.h"

namespace tovel {

namespace {

constexpr double kDefaultDoubleClickInterval = 0.4;
// A move sent to the compositor shows in the cursor reports a frame or two later; until then, for
// at most this long, the pointer is where it was sent.
constexpr auto kMoveSettleLimit = std::chrono::milliseconds(500);
// How long start-up waits for the screen cast's first pictures.
constexpr auto kFirstPictureWait = std::chrono::seconds(2);
// A feed with no picture this long after connecting is connected again: a stream made while the
// session's PipeWire was still starting may never be linked.
constexpr auto kUnlinkedFeedLimit = std::chrono::seconds(3);
constexpr const char* kMouseSchema = "org.gnome.desktop.peripherals.mouse";

GSettings* openMouseSettings() {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (!source)
    return nullptr;
  GSettingsSchema* schema = g_settings_schema_source_lookup(source, kMouseSchema, TRUE);
  if (!schema)
    return nullptr;
  GSettings* settings = nullptr;
  if (g_settings_schema_has_key(schema, "double-click"))
    settings = g_settings_new_full(schema, nullptr, nullptr);
  g_settings_schema_unref(schema);
  return settings;
}

// The nearest place on the monitor to a root position; the compositor takes fractions of a pixel.
Point clampToMonitor(const Monitor& monitor, Point root) {
  double x =
      std::clamp(root.x, double(monitor.x), double(monitor.x + std::max(monitor.width, 1) - 1));
  double y =
      std::clamp(root.y, double(monitor.y), double(monitor.y + std::max(monitor.height, 1) - 1));
  return Point{x, y};
}

double distanceTo(const Monitor& monitor, Point root) {
  double dx = std::max({double(monitor.x) - root.x, 0.0, root.x - (monitor.x + monitor.width)});
  double dy = std::max({double(monitor.y) - root.y, 0.0, root.y - (monitor.y + monitor.height)});
  return dx * dx + dy * dy;
}

} // namespace

bool GnomeDesktop::inWaylandSession() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  return name && *name;
}

std::unique_ptr<GnomeDesktop> GnomeDesktop::open(std::string& error) {
  std::unique_ptr<GnomeDesktop> desktop(new GnomeDesktop);
  if (!desktop->begin(error))
    return nullptr;
  return desktop;
}

bool GnomeDesktop::begin(std::string& error) {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  waylandDisplay_ = wayland ? wayland : "";
  bus_ = GnomeBus::connect(error);
  if (!bus_)
    return false;
  if (!bus_->hasOwner("org.gnome.Mutter.RemoteDesktop") ||
      !bus_->hasOwner("org.gnome.Mutter.ScreenCast")) {
    error = "the session bus offers no org.gnome.Mutter.RemoteDesktop and ScreenCast";
    return false;
  }
  displays_ = std::make_unique<GnomeDisplays>(*bus_);
  if (!displays_->start(error))
    return false;
  pipewire_ = PipeWireLoop::connect(error);
  if (!pipewire_)
    return false;
  session_ = MutterRemoteDesktop::create(*bus_, error);
  if (!session_)
    return false;
  input_ = std::make_unique<GnomeInput>(*bus_, *session_,
                                        [this](Point global) { return place(global); });
  hub_ = std::make_unique<CaptureHub>([this](DisplayId display, PlatformError& failure)
                                          -> std::unique_ptr<CaptureSource> {
    std::shared_ptr<PipeWireFeed> feed = feedFor(display, std::chrono::seconds(3));
    if (!feed) {
      failure = PlatformError{ENODEV, "no recorded monitor for display " + std::to_string(display)};
      return nullptr;
    }
    return std::make_unique<GnomeCaptureSource>(std::move(feed), display,
                                                [this] { return displays_->layout(); });
  });
  mouseSettings_ = openMouseSettings();

  MonitorLayout layout = displays_->layout();
  recordMonitors(layout);
  {
    std::lock_guard lock(mutex_);
    if (recordings_.empty()) {
      error = "no monitor of the session could be recorded";
      return false;
    }
  }
  if (!session_->start(error))
    return false;
  // The first pictures bring where the pointer is: relative moves made before them would start
  // from a guess.
  auto until = std::chrono::steady_clock::now() + kFirstPictureWait;
  for (const Monitor& monitor : layout.monitors)
    if (std::shared_ptr<PipeWireFeed> feed = feedFor(monitor.id, kFirstPictureWait))
      while (feed->changes() == 0 && !feed->ended() && std::chrono::steady_clock::now() < until)
        feed->waitForChange(0, until);
  if (const Monitor* primary = layout.primary())
    lastSeen_ = Point{primary->x + primary->width / 2.0, primary->y + primary->height / 2.0};

  displays_->setChangeHandler([this](const MonitorLayout& changed) {
    recordMonitors(changed);
    std::lock_guard lock(handlerMutex_);
    if (screenHandler_)
      screenHandler_();
  });
  return true;
}

GnomeDesktop::~GnomeDesktop() {
  // Nothing runs on the bus thread any more (timers of the input, stream reports); the streams
  // go before PipeWire, the sessions before the bus.
  if (bus_)
    bus_->stop();
  {
    std::lock_guard lock(mutex_);
    recordings_.clear();
  }
  hub_.reset();
  input_.reset();
  session_.reset();
  bus_.reset();
  pipewire_.reset();
  displays_.reset();
  if (mouseSettings_)
    g_object_unref(mouseSettings_);
}

void GnomeDesktop::recordMonitors(const MonitorLayout& layout) {
  std::vector<std::string> added;
  {
    std::lock_guard lock(mutex_);
    for (auto it = recordings_.begin(); it != recordings_.end();) {
      bool present = std::any_of(layout.monitors.begin(), layout.monitors.end(),
                                 [&](const Monitor& m) { return m.name == it->first; });
      it = present ? std::next(it) : recordings_.erase(it);
    }
    for (const Monitor& monitor : layout.monitors)
      if (!recordings_.count(monitor.name))
        added.push_back(monitor.name);
  }
  for (const std::string& connector : added) {
    std::string why;
    {
      std::lock_guard lock(mutex_);
      recordings_[connector] = Recording{};
    }
    // The stream's node comes on the bus thread once it runs.
    std::optional<std::string> stream = session_->recordMonitor(
        connector,
        [this, connector](std::uint32_t node) {
          std::string failure;
          std::shared_ptr<PipeWireFeed> feed = PipeWireFeed::connect(*pipewire_, node, failure);
          std::lock_guard lock(mutex_);
          auto found = recordings_.find(connector);
          if (found != recordings_.end()) {
            found->second.feed = std::move(feed);
            found->second.node = node;
            found->second.connectedAt = std::chrono::steady_clock::now();
          }
          recordingsChanged_.notify_all();
        },
        why);
    std::lock_guard lock(mutex_);
    if (stream)
      recordings_[connector].stream = *stream;
    else
      recordings_.erase(connector);
  }
}

std::shared_ptr<PipeWireFeed> GnomeDesktop::feedFor(DisplayId display,
                                                    std::chrono::milliseconds wait) {
  std::optional<std::string> connector = displays_->connector(display);
  if (!connector)
    return nullptr;
  std::unique_lock lock(mutex_);
  std::shared_ptr<PipeWireFeed> feed;
  recordingsChanged_.wait_for(lock, wait, [&] {
    auto found = recordings_.find(*connector);
    if (found == recordings_.end())
      return true; // not recorded (any more)
    feed = found->second.feed;
    return bool(feed);
  });
  // PipeWire may not know the node yet when the compositor names it (the stream then fails
  // with "no node available"), or may never link it: connect again.
  auto found = recordings_.find(*connector);
  bool unlinked = feed && feed->changes() == 0 && found != recordings_.end() &&
                  std::chrono::steady_clock::now() - found->second.connectedAt > kUnlinkedFeedLimit;
  if (feed && (feed->ended() || unlinked) && found != recordings_.end() &&
      found->second.node != 0) {
    std::string failure;
    if (std::shared_ptr<PipeWireFeed> again =
            PipeWireFeed::connect(*pipewire_, found->second.node, failure)) {
      found->second.feed = feed = std::move(again);
      found->second.connectedAt = std::chrono::steady_clock::now();
    }
  }
  return feed;
}

std::optional<StreamPoint> GnomeDesktop::place(Point global) {
  MonitorLayout layout = displays_->layout();
  Point root = layout.globalToRoot(global);
  const Monitor* nearest = nullptr;
  for (const Monitor& monitor : layout.monitors)
    if (!nearest || distanceTo(monitor, root) < distanceTo(*nearest, root))
      nearest = &monitor;
  if (!nearest)
    return std::nullopt;
  std::lock_guard lock(mutex_);
  auto recording = recordings_.find(nearest->name);
  if (recording == recordings_.end() || recording->second.stream.empty())
    return std::nullopt;
  Point target = clampToMonitor(*nearest, root);
  return StreamPoint{recording->second.stream, target.x - nearest->x, target.y - nearest->y,
                     layout.rootToGlobal(target.x, target.y)};
}

std::optional<MouseEvent> GnomeDesktop::createMouseEvent(MouseEventType type, Point position,
                                                         MouseButton button) {
  return makeMouseEvent(type, position, button);
}

std::optional<KeyEvent> GnomeDesktop::createKeyboardEvent(KeyCode key, bool keyDown) {
  return makeKeyEvent(key, keyDown);
}

std::optional<ScrollEvent> GnomeDesktop::createScrollWheelEvent(std::int32_t wheel1,
                                                                std::int32_t wheel2) {
  return makeScrollEvent(wheel1, wheel2);
}

void GnomeDesktop::post(const MouseEvent& event) {
  std::optional<Point> moved = input_->post(event);
  if (!moved)
    return;
  Point root = displays_->layout().globalToRoot(*moved);
  std::lock_guard lock(mutex_);
  lastMove_ = Move{root, std::chrono::steady_clock::now()};
}

std::vector<Screen> GnomeDesktop::screens() {
  MonitorLayout layout = displays_->layout();
  std::vector<Screen> screens;
  for (const Monitor& monitor : layout.monitors)
    screens.push_back(makeScreen(layout, monitor, displays_->scale(monitor.id)));
  return screens;
}

std::optional<Screen> GnomeDesktop::mainScreen() {
  // Without the windows, the screen with the pointer stands for the one with the focused window.
  MonitorLayout layout = displays_->layout();
  const Monitor* chosen = layout.primary();
  if (!chosen)
    return std::nullopt;
  Point pointer = layout.globalToRoot(Point{});
  {
    Point location = mouseLocation();
    const Monitor* primary = layout.primary();
    pointer = layout.globalToRoot(Point{location.x, primary->height - location.y});
  }
  if (const Monitor* holder = monitorAt(layout, pointer.x, pointer.y))
    chosen = holder;
  return makeScreen(layout, *chosen, displays_->scale(chosen->id));
}

Point GnomeDesktop::mouseLocation() {
  MonitorLayout layout = displays_->layout();
  std::lock_guard lock(mutex_);
  std::optional<Point> reported;
  for (const auto& [connector, recording] : recordings_) {
    if (!recording.feed)
      continue;
    CursorState cursor = recording.feed->cursor();
    const Monitor* monitor = nullptr;
    for (const Monitor& m : layout.monitors)
      if (m.name == connector)
        monitor = &m;
    if (cursor.position && monitor) {
      reported = Point{double(monitor->x + cursor.position->first),
                       double(monitor->y + cursor.position->second)};
      break;
    }
  }
  if (lastMove_) {
    // The cursor reports whole pixels: while it agrees with the last move, the move's own place
    // stands, fractions and all; before the move shows, too, for a while.
    bool agrees = reported && std::abs(reported->x - lastMove_->root.x) < 1 &&
                  std::abs(reported->y - lastMove_->root.y) < 1;
    lastMove_->shown = lastMove_->shown || agrees;
    bool pending =
        !lastMove_->shown && std::chrono::steady_clock::now() - lastMove_->at < kMoveSettleLimit;
    if (agrees || pending || !reported)
      reported = lastMove_->root;
    else
      lastMove_.reset(); // moved by someone else, or put elsewhere by the compositor
  }
  if (reported)
    lastSeen_ = *reported;
  return rootToScreen(layout, lastSeen_.x, lastSeen_.y);
}

double GnomeDesktop::doubleClickInterval() {
  if (!mouseSettings_)
    return kDefaultDoubleClickInterval;
  std::lock_guard lock(mutex_);
  int milliseconds = g_settings_get_int(mouseSettings_, "double-click");
  return milliseconds > 0 ? milliseconds / 1000.0 : kDefaultDoubleClickInterval;
}

void GnomeDesktop::setScreenChangeHandler(std::function<void()> handler) {
  std::lock_guard lock(handlerMutex_);
  screenHandler_ = std::move(handler);
}

Rect GnomeDesktop::displayBounds(DisplayId display) {
  MonitorLayout layout = displays_->layout();
  const Monitor* monitor = layout.find(display);
  return monitor ? layout.globalBounds(*monitor) : Rect{};
}

std::variant<std::vector<DisplayId>, PlatformError> GnomeDesktop::activeDisplayList() {
  std::vector<DisplayId> ids;
  for (const Monitor& monitor : displays_->layout().monitors)
    ids.push_back(monitor.id);
  return ids;
}

std::optional<std::vector<WindowInfo>> GnomeDesktop::windowList(WindowListOption) {
  return std::vector<WindowInfo>{};
}

std::unique_ptr<ScreenCapturer> GnomeDesktop::createScreenCapturer() {
  return std::make_unique<GnomeScreenCapturer>(
      [this](DisplayId display, std::chrono::milliseconds wait) { return feedFor(display, wait); });
}

std::optional<std::vector<CaptureDisplay>> GnomeDesktop::capturableDisplays() {
  MonitorLayout layout = displays_->layout();
  std::vector<CaptureDisplay> displays;
  for (const Monitor& monitor : layout.monitors)
    displays.push_back(CaptureDisplay{monitor.id, monitor.width, monitor.height,
                                      describeMonitor(layout, monitor)});
  return displays;
}

std::unique_ptr<ContinuousCapture>
GnomeDesktop::startContinuousCapture(DisplayId display, const ContinuousCaptureSettings& settings,
                                     FrameHandler handler, PlatformError& error) {
  return hub_->subscribe(display, settings, std::move(handler), error);
}

} // namespace tovel
