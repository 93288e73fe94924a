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
// How long start-up waits for the screen cast's first pictures.
constexpr auto kStartPictureWait = std::chrono::seconds(2);
// A feed with no picture this long after connecting is connected again: nothing may have linked
// its stream (a session whose manager, WirePlumber, is not running), and then it links it itself.
constexpr auto kUnlinkedFeedLimit = std::chrono::milliseconds(3000);
// A stream that failed (PipeWire did not know the node yet) is connected again after this.
constexpr auto kFeedRetryDelay = std::chrono::milliseconds(250);
// Each further attempt for the same stream waits twice as long, up to this.
constexpr auto kLongestFeedWait = std::chrono::milliseconds(30000);

std::chrono::milliseconds backedOff(std::chrono::milliseconds first, unsigned attempts) {
  auto wait = first;
  for (unsigned i = 0; i < attempts && wait < kLongestFeedWait; ++i)
    wait *= 2;
  return std::min(wait, kLongestFeedWait);
}

std::string secondsText(std::chrono::milliseconds wait) {
  std::string text = std::to_string(wait.count() / 1000);
  if (wait.count() % 1000)
    text += "." + std::to_string(wait.count() % 1000 / 100);
  return text + " s";
}
// A new session that the compositor refused is asked for again after this.
constexpr auto kReopenRetryDelay = std::chrono::seconds(2);
// Mutter's names: it is back once it owns them all again.
constexpr const char* kMutterNames[] = {"org.gnome.Mutter.RemoteDesktop",
                                        "org.gnome.Mutter.ScreenCast",
                                        "org.gnome.Mutter.DisplayConfig"};
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

std::unique_ptr<GnomeDesktop> GnomeDesktop::open(Log& log, std::string& error) {
  std::unique_ptr<GnomeDesktop> desktop(new GnomeDesktop(log));
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
  for (const char* name : {kMutterNames[0], kMutterNames[1]})
    if (!bus_->hasOwner(name)) {
      error = "the session bus offers no org.gnome.Mutter.RemoteDesktop and ScreenCast";
      return false;
    }
  displays_ = std::make_unique<GnomeDisplays>(*bus_);
  if (!displays_->start(error))
    return false;
  pipewire_ = PipeWireLoop::connect(error);
  if (!pipewire_)
    return false;
  input_ = std::make_unique<GnomeInput>(
      *bus_, [this](Point global) { return place(global); },
      [this](Point global) { pointer_.moving(displays_->layout().globalToRoot(global)); });
  hub_ = std::make_unique<CaptureHub>([this](DisplayId display, PlatformError& failure)
                                          -> std::unique_ptr<CaptureSource> {
    std::shared_ptr<PipeWireFeed> feed = feedFor(display);
    if (!feed) {
      failure = PlatformError{ENODEV, "no recorded monitor for display " + std::to_string(display)};
      return nullptr;
    }
    return std::make_unique<GnomeCaptureSource>(std::move(feed), display,
                                                [this] { return displays_->layout(); });
  });
  mouseSettings_ = openMouseSettings();

  bool opened = false;
  bus_->run([&] { opened = openSession(error); });
  if (!opened)
    return false;
  // The first pictures bring where the pointer is: relative moves made before them would start
  // from a guess.
  MonitorLayout layout = displays_->layout();
  if (const Monitor* primary = layout.primary())
    firstGuess_ = Point{primary->x + primary->width / 2.0, primary->y + primary->height / 2.0};
  auto until = std::chrono::steady_clock::now() + kStartPictureWait;
  for (const Monitor& monitor : layout.monitors)
    if (std::shared_ptr<PipeWireFeed> feed = feedFor(monitor.id))
      while (feed->changes() == 0 && std::chrono::steady_clock::now() < until)
        feed->waitForChange(0, until);

  displays_->setChangeHandler([this](const MonitorLayout& changed) {
    if (session_)
      recordMonitors(changed);
    std::lock_guard lock(handlerMutex_);
    if (screenHandler_)
      screenHandler_();
  });
  // A restarted Mutter is a new owner of its names.
  for (const char* name : kMutterNames)
    bus_->subscribe(
        "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
        [this](GVariant* parameters) {
          const gchar *name = nullptr, *before = nullptr, *after = nullptr;
          g_variant_get(parameters, "(&s&s&s)", &name, &before, &after);
          bool owned = after && *after;
          bus_->post([this, owned] { compositorChanged(owned); });
        },
        name);
  return true;
}

GnomeDesktop::~GnomeDesktop() {
  // Nothing runs on the bus thread any more (timers of the input, stream reports); the streams
  // go before PipeWire, the sessions before the bus.
  if (bus_)
    bus_->stop();
  hub_.reset();
  input_.reset();
  session_.reset();
  {
    std::lock_guard lock(mutex_);
    recordings_.clear();
    feeds_.clear();
  }
  bus_.reset();
  pipewire_.reset();
  displays_.reset();
  if (mouseSettings_)
    g_object_unref(mouseSettings_);
}

bool GnomeDesktop::openSession(std::string& error) {
  std::uint64_t number = ++sessionNumber_;
  session_ = MutterRemoteDesktop::create(
      *bus_, [this, number] { bus_->post([this, number] { sessionClosed(number); }); }, error);
  if (!session_)
    return false;
  recordMonitors(displays_->layout());
  bool recorded;
  {
    std::lock_guard lock(mutex_);
    recorded = !recordings_.empty();
  }
  if (!recorded) {
    error = "no monitor of the session could be recorded";
    dropSession();
    return false;
  }
  if (!session_->start(error)) {
    dropSession();
    return false;
  }
  input_->useSession(session_.get());
  sharing_ = Sharing::sharing;
  return true;
}

void GnomeDesktop::dropSession() {
  input_->useSession(nullptr);
  // Moves on their way went to the session that ended.
  pointer_.forgetMoves();
  std::vector<std::shared_ptr<PipeWireFeed>> feeds;
  {
    std::lock_guard lock(mutex_);
    recordings_.clear();
    for (const auto& [connector, feed] : feeds_)
      feeds.push_back(feed);
  }
  // Their last pictures stand until the next session's streams bring new ones.
  for (const std::shared_ptr<PipeWireFeed>& feed : feeds)
    feed->unfollow();
  session_.reset();
}

void GnomeDesktop::sessionClosed(std::uint64_t session) {
  if (session != sessionNumber_ || sharing_ != Sharing::sharing)
    return;
  log_.print("GNOME ended the screen sharing (stopped from the top bar, or a shared monitor went "
             "away): sharing again. Quit Tovel Host to stop sharing.");
  dropSession();
  sharing_ = Sharing::reopening;
  reopen();
}

void GnomeDesktop::compositorChanged(bool owned) {
  if (!owned) {
    if (sharing_ == Sharing::compositorGone)
      return;
    log_.print("Mutter, GNOME's compositor, has left the session bus (it stopped or restarted): "
               "input and pictures wait until it is back.");
    dropSession();
    input_->compositorGone();
    sharing_ = Sharing::compositorGone;
    ++retries_;
    tellReturn_ = true;
    return;
  }
  if (sharing_ != Sharing::compositorGone)
    return;
  for (const char* name : kMutterNames)
    if (!bus_->hasOwner(name))
      return;
  sharing_ = Sharing::reopening;
  reopen();
}

void GnomeDesktop::reopen() {
  std::string why;
  // A restarted compositor may have other monitors, and does not say so.
  if (displays_->reload(why) && openSession(why)) {
    if (tellReturn_)
      log_.print("Screen sharing started again: input and pictures are back.");
    tellReturn_ = false;
    return;
  }
  if (!tellReturn_)
    log_.print("Screen sharing cannot start again yet (" + why + "): trying again every " +
               std::to_string(kReopenRetryDelay.count()) + " s.");
  tellReturn_ = true;
  std::uint64_t retry = ++retries_;
  bus_->postAfter(std::chrono::duration_cast<std::chrono::milliseconds>(kReopenRetryDelay),
                  [this, retry] {
                    if (sharing_ == Sharing::reopening && retries_ == retry)
                      reopen();
                  });
}

void GnomeDesktop::recordMonitors(const MonitorLayout& layout) {
  std::vector<std::string> added;
  std::vector<std::shared_ptr<PipeWireFeed>> gone;
  {
    std::lock_guard lock(mutex_);
    for (auto it = recordings_.begin(); it != recordings_.end();) {
      bool present = std::any_of(layout.monitors.begin(), layout.monitors.end(),
                                 [&](const Monitor& m) { return m.name == it->first; });
      if (!present && feeds_.count(it->first))
        gone.push_back(feeds_[it->first]);
      it = present ? std::next(it) : recordings_.erase(it);
    }
    for (const Monitor& monitor : layout.monitors)
      if (!recordings_.count(monitor.name))
        added.push_back(monitor.name);
  }
  for (const std::shared_ptr<PipeWireFeed>& feed : gone)
    feed->unfollow();
  for (const std::string& connector : added) {
    feedOf(connector);
    {
      std::lock_guard lock(mutex_);
      recordings_[connector] = Recording{};
    }
    std::string why;
    // The stream's node comes on the bus thread once it runs.
    std::optional<std::string> stream = session_->recordMonitor(
        connector,
        [this, connector, session = sessionNumber_](std::uint32_t node) {
          nodeAdded(session, connector, node);
        },
        why);
    std::lock_guard lock(mutex_);
    if (stream)
      recordings_[connector].stream = *stream;
    else
      recordings_.erase(connector);
  }
}

void GnomeDesktop::nodeAdded(std::uint64_t session, const std::string& connector,
                             std::uint32_t node) {
  if (session != sessionNumber_)
    return;
  {
    std::lock_guard lock(mutex_);
    auto found = recordings_.find(connector);
    if (found == recordings_.end())
      return;
    found->second.node = node;
    found->second.attempts = 0;
  }
  followNode(connector, node);
}

std::shared_ptr<PipeWireFeed> GnomeDesktop::followedFeed(const std::string& connector,
                                                         std::uint32_t node, Recording* recording) {
  std::lock_guard lock(mutex_);
  auto found = recordings_.find(connector);
  auto feed = feeds_.find(connector);
  if (found == recordings_.end() || found->second.node != node || feed == feeds_.end())
    return nullptr;
  if (recording)
    *recording = found->second;
  return feed->second;
}

void GnomeDesktop::followNode(const std::string& connector, std::uint32_t node) {
  Recording recording;
  std::shared_ptr<PipeWireFeed> feed = followedFeed(connector, node, &recording);
  if (!feed)
    return;
  std::string failure;
  bool connected = feed->follow(node, recording.linkItself, failure);
  std::uint64_t followed = feed->followed();
  if (!connected) {
    feedFailed(connector, followed, failure);
    return;
  }
  auto wait = backedOff(kUnlinkedFeedLimit, recording.attempts);
  bus_->postAfter(wait, [this, connector, node, feed, followed, wait, session = sessionNumber_] {
    if (session != sessionNumber_ || feed->followed() != followed)
      return;
    if (feed->pictured()) {
      std::lock_guard lock(mutex_);
      auto found = recordings_.find(connector);
      if (found != recordings_.end() && found->second.node == node)
        found->second.attempts = 0;
      return;
    }
    bool linked = feed->linked();
    reconnectFeed(connector, node,
                  "brought no picture in " + secondsText(wait) +
                      (linked ? " (its stream was linked)"
                              : " (nothing linked its stream: no PipeWire session manager?)"),
                  !linked);
  });
}

void GnomeDesktop::feedFailed(const std::string& connector, std::uint64_t follow,
                              const std::string& why) {
  std::shared_ptr<PipeWireFeed> feed;
  Recording recording;
  {
    std::lock_guard lock(mutex_);
    auto found = recordings_.find(connector);
    if (found == recordings_.end() || found->second.node == 0 || !feeds_.count(connector))
      return;
    recording = found->second;
    feed = feeds_[connector];
  }
  // An older stream's end is old news.
  if (feed->followed() != follow)
    return;
  bus_->postAfter(
      backedOff(kFeedRetryDelay, recording.attempts),
      [this, connector, feed, follow, why, node = recording.node, session = sessionNumber_] {
        if (session == sessionNumber_ && feed->followed() == follow)
          reconnectFeed(connector, node, "failed (" + why + ")", false);
      });
}

void GnomeDesktop::reconnectFeed(const std::string& connector, std::uint32_t node,
                                 const std::string& what, bool linkItself) {
  std::string how;
  {
    std::lock_guard lock(mutex_);
    auto found = recordings_.find(connector);
    if (found == recordings_.end() || found->second.node != node)
      return;
    ++found->second.attempts;
    if (linkItself && !found->second.linkItself) {
      found->second.linkItself = true;
      how = " and linking it itself";
    }
  }
  log_.print("The screen cast of " + connector + " " + what + ": connecting to it again" + how +
             ".");
  followNode(connector, node);
}

std::shared_ptr<PipeWireFeed> GnomeDesktop::feedOf(const std::string& connector) {
  {
    std::lock_guard lock(mutex_);
    auto found = feeds_.find(connector);
    if (found != feeds_.end())
      return found->second;
  }
  PipeWireFeed::Events events;
  events.cursorMoved = [this, connector](int x, int y,
                                         std::optional<PipeWireFeed::Clock::time_point> taken) {
    MonitorLayout layout = displays_->layout();
    for (const Monitor& monitor : layout.monitors)
      if (monitor.name == connector)
        pointer_.reported(Point{double(monitor.x + x), double(monitor.y + y)}, taken);
  };
  events.failed = [this, connector](std::uint64_t follow, const std::string& why) {
    bus_->post([this, connector, follow, why] { feedFailed(connector, follow, why); });
  };
  auto feed = std::make_shared<PipeWireFeed>(*pipewire_, std::move(events));
  std::lock_guard lock(mutex_);
  return feeds_.emplace(connector, std::move(feed)).first->second;
}

std::shared_ptr<PipeWireFeed> GnomeDesktop::feedFor(DisplayId display) {
  std::optional<std::string> connector = displays_->connector(display);
  if (!connector)
    return nullptr;
  std::lock_guard lock(mutex_);
  auto found = feeds_.find(*connector);
  return found == feeds_.end() ? nullptr : found->second;
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
  Point root = pointer_.position().value_or(firstGuess_);
  return rootToScreen(layout, root.x, root.y);
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
  return displays_->layout().globalBounds(display);
}

std::variant<std::vector<DisplayId>, PlatformError> GnomeDesktop::activeDisplayList() {
  return displays_->layout().displayIds();
}

std::optional<std::vector<WindowInfo>> GnomeDesktop::windowList(WindowListOption) {
  return std::vector<WindowInfo>{};
}

std::unique_ptr<ScreenCapturer> GnomeDesktop::createScreenCapturer() {
  return std::make_unique<GnomeScreenCapturer>(
      [this](DisplayId display) { return feedFor(display); });
}

std::optional<std::vector<CaptureDisplay>> GnomeDesktop::capturableDisplays() {
  return captureDisplays(displays_->layout());
}

std::unique_ptr<ContinuousCapture>
GnomeDesktop::startContinuousCapture(DisplayId display, const ContinuousCaptureSettings& settings,
                                     FrameHandler handler, PlatformError& error) {
  return hub_->subscribe(display, settings, std::move(handler), error);
}

} // namespace tovel
