#include "platform/gnome/gnome_displays.h"

#include <algorithm>
#include <cmath>

#include "platform/gnome/gnome_bus.h"

namespace tovel {

namespace {

constexpr const char* kService = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kPath = "/org/gnome/Mutter/DisplayConfig";
constexpr const char* kStateType = "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})";
// Positions and sizes are logical pixels (sizes divided by the scale) in this layout mode, and
// physical pixels in the other one.
constexpr guint32 kLogicalLayout = 1;

struct Mode {
  int width = 0;
  int height = 0;
};

} // namespace

std::vector<GnomeMonitor> parseDisplayState(GVariant* state) {
  std::vector<GnomeMonitor> result;
  if (!state || !g_variant_is_of_type(state, G_VARIANT_TYPE(kStateType)))
    return result;
  GVariant* monitors = g_variant_get_child_value(state, 1);
  GVariant* logical = g_variant_get_child_value(state, 2);
  GVariant* properties = g_variant_get_child_value(state, 3);

  // Every connector's current mode.
  std::map<std::string, Mode> modes;
  for (gsize i = 0; i < g_variant_n_children(monitors); ++i) {
    GVariant* monitor = g_variant_get_child_value(monitors, i);
    const gchar* connector = nullptr;
    GVariant* identity = g_variant_get_child_value(monitor, 0);
    g_variant_get_child(identity, 0, "&s", &connector);
    GVariant* modeList = g_variant_get_child_value(monitor, 1);
    for (gsize m = 0; m < g_variant_n_children(modeList); ++m) {
      GVariant* mode = g_variant_get_child_value(modeList, m);
      gint32 width = 0, height = 0;
      g_variant_get_child(mode, 1, "i", &width);
      g_variant_get_child(mode, 2, "i", &height);
      GVariant* modeProperties = g_variant_get_child_value(mode, 6);
      gboolean current = FALSE;
      g_variant_lookup(modeProperties, "is-current", "b", &current);
      if (current && connector)
        modes[connector] = Mode{width, height};
      g_variant_unref(modeProperties);
      g_variant_unref(mode);
    }
    g_variant_unref(modeList);
    g_variant_unref(identity);
    g_variant_unref(monitor);
  }

  guint32 layoutMode = kLogicalLayout;
  g_variant_lookup(properties, "layout-mode", "u", &layoutMode);
  for (gsize i = 0; i < g_variant_n_children(logical); ++i) {
    GVariant* entry = g_variant_get_child_value(logical, i);
    GnomeMonitor monitor;
    guint32 transform = 0;
    gboolean primary = FALSE;
    g_variant_get_child(entry, 0, "i", &monitor.x);
    g_variant_get_child(entry, 1, "i", &monitor.y);
    g_variant_get_child(entry, 2, "d", &monitor.scale);
    g_variant_get_child(entry, 3, "u", &transform);
    g_variant_get_child(entry, 4, "b", &primary);
    monitor.primary = primary;
    GVariant* shown = g_variant_get_child_value(entry, 5);
    if (g_variant_n_children(shown) > 0) {
      GVariant* identity = g_variant_get_child_value(shown, 0);
      const gchar* connector = nullptr;
      g_variant_get_child(identity, 0, "&s", &connector);
      monitor.connector = connector ? connector : "";
      g_variant_unref(identity);
    }
    g_variant_unref(shown);
    g_variant_unref(entry);
    auto mode = modes.find(monitor.connector);
    if (mode == modes.end() || !(monitor.scale > 0))
      continue;
    // Odd transforms turn the monitor a quarter.
    bool turned = transform % 2 == 1;
    double width = turned ? mode->second.height : mode->second.width;
    double height = turned ? mode->second.width : mode->second.height;
    if (layoutMode == kLogicalLayout) {
      width /= monitor.scale;
      height /= monitor.scale;
    }
    monitor.width = int(std::lround(width));
    monitor.height = int(std::lround(height));
    result.push_back(monitor);
  }
  g_variant_unref(properties);
  g_variant_unref(logical);
  g_variant_unref(monitors);
  return result;
}

GnomeDisplays::GnomeDisplays(GnomeBus& bus) : bus_(bus) {}

bool GnomeDisplays::start(std::string& error) {
  bus_.subscribe(kService, kService, "MonitorsChanged", kPath, [this](GVariant*) {
    std::string why;
    if (refresh(why))
      tell();
  });
  return refresh(error);
}

bool GnomeDisplays::reload(std::string& error) {
  MonitorLayout before = layout();
  if (!refresh(error))
    return false;
  if (!sameLayout(before, layout()))
    tell();
  return true;
}

void GnomeDisplays::tell() {
  std::function<void(const MonitorLayout&)> handler;
  MonitorLayout layout;
  {
    std::lock_guard lock(mutex_);
    handler = handler_;
    layout = layout_;
  }
  if (handler)
    handler(layout);
}

bool GnomeDisplays::refresh(std::string& error) {
  BusReply reply = bus_.call(kService, kPath, kService, "GetCurrentState", nullptr, kStateType);
  if (!reply) {
    error = "cannot read the display configuration: " + reply.error;
    return false;
  }
  std::vector<GnomeMonitor> monitors = parseDisplayState(reply.value.get());
  if (monitors.empty()) {
    error = "the display configuration lists no monitor";
    return false;
  }
  std::lock_guard lock(mutex_);
  MonitorLayout layout;
  scales_.clear();
  for (const GnomeMonitor& gnome : monitors) {
    auto [id, added] = ids_.try_emplace(gnome.connector, nextId_);
    if (added)
      ++nextId_;
    Monitor monitor;
    monitor.id = id->second;
    monitor.x = gnome.x;
    monitor.y = gnome.y;
    monitor.width = gnome.width;
    monitor.height = gnome.height;
    monitor.primary = gnome.primary;
    monitor.name = gnome.connector;
    layout.monitors.push_back(monitor);
    scales_[monitor.id] = gnome.scale;
  }
  std::stable_partition(layout.monitors.begin(), layout.monitors.end(),
                        [](const Monitor& m) { return m.primary; });
  layout.monitors.front().primary = true;
  layout_ = std::move(layout);
  return true;
}

MonitorLayout GnomeDisplays::layout() const {
  std::lock_guard lock(mutex_);
  return layout_;
}

std::optional<std::string> GnomeDisplays::connector(DisplayId display) const {
  std::lock_guard lock(mutex_);
  const Monitor* monitor = layout_.find(display);
  return monitor ? std::optional<std::string>(monitor->name) : std::nullopt;
}

double GnomeDisplays::scale(DisplayId display) const {
  std::lock_guard lock(mutex_);
  auto found = scales_.find(display);
  return found == scales_.end() ? 1.0 : found->second;
}

void GnomeDisplays::setChangeHandler(std::function<void(const MonitorLayout&)> handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

} // namespace tovel
