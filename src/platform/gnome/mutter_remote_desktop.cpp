#include "platform/gnome/mutter_remote_desktop.h"

#include "platform/gnome/gnome_bus.h"

namespace tovel {

namespace {

constexpr const char* kRemoteService = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemoteSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kCastService = "org.gnome.Mutter.ScreenCast";
constexpr const char* kCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kCastStream = "org.gnome.Mutter.ScreenCast.Stream";
// The cursor comes beside each picture rather than drawn into it.
constexpr guint32 kCursorAsMetadata = 2;

std::string pathOf(const BusReply& reply) {
  const gchar* path = nullptr;
  g_variant_get(reply.value.get(), "(&o)", &path);
  return path ? path : "";
}

} // namespace

std::unique_ptr<MutterRemoteDesktop>
MutterRemoteDesktop::create(GnomeBus& bus, std::function<void()> onClosed, std::string& error) {
  BusReply remote = bus.call(kRemoteService, "/org/gnome/Mutter/RemoteDesktop", kRemoteService,
                             "CreateSession", nullptr, "(o)");
  if (!remote) {
    error = "cannot start a remote-desktop session: " + remote.error;
    return nullptr;
  }
  std::string remotePath = pathOf(remote);
  Variant id = bus.property(kRemoteService, remotePath, kRemoteSession, "SessionId");
  if (!id || !g_variant_is_of_type(id.get(), G_VARIANT_TYPE_STRING)) {
    error = "the remote-desktop session has no id";
    return nullptr;
  }
  GVariantBuilder properties;
  g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&properties, "{sv}", "remote-desktop-session-id",
                        g_variant_new_string(g_variant_get_string(id.get(), nullptr)));
  BusReply cast = bus.call(kCastService, "/org/gnome/Mutter/ScreenCast", kCastService,
                           "CreateSession", g_variant_new("(a{sv})", &properties), "(o)");
  if (!cast) {
    error = "cannot start a screen-cast session: " + cast.error;
    bus.call(kRemoteService, remotePath, kRemoteSession, "Stop", nullptr);
    return nullptr;
  }
  std::unique_ptr<MutterRemoteDesktop> session(
      new MutterRemoteDesktop(bus, std::move(remotePath), pathOf(cast)));
  // Either session's end is the end of both.
  auto closed = [self = session.get(), onClosed = std::move(onClosed)](GVariant*) {
    self->closed_ = true;
    onClosed();
  };
  // The compositor's Caps Lock, which it applies to the keys it types for us too.
  auto capsLockChanged = [self = session.get()](GVariant* parameters) {
    Variant changed(g_variant_get_child_value(parameters, 1));
    gboolean on = false;
    if (g_variant_lookup(changed.get(), "CapsLockState", "b", &on)) {
      self->capsLock_ = on;
      ++self->capsLockChanges_;
    }
  };
  session->subscriptions_ = {
      bus.subscribe(kRemoteService, kRemoteSession, "Closed", session->remotePath_, closed),
      bus.subscribe(kCastService, kCastSession, "Closed", session->castPath_, closed),
      bus.subscribe(kRemoteService, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                    session->remotePath_, capsLockChanged, kRemoteSession)};
  Variant capsLock =
      bus.property(kRemoteService, session->remotePath_, kRemoteSession, "CapsLockState");
  if (capsLock && g_variant_is_of_type(capsLock.get(), G_VARIANT_TYPE_BOOLEAN))
    session->capsLock_ = g_variant_get_boolean(capsLock.get());
  return session;
}

MutterRemoteDesktop::~MutterRemoteDesktop() {
  std::vector<unsigned> subscriptions;
  {
    std::lock_guard lock(mutex_);
    subscriptions.swap(subscriptions_);
  }
  for (unsigned subscription : subscriptions)
    bus_.unsubscribe(subscription);
  // Ends the screen cast too; whatever the device held down is let go by the compositor.
  if (!closed_)
    bus_.call(kRemoteService, remotePath_, kRemoteSession, "Stop", nullptr);
}

std::optional<std::string>
MutterRemoteDesktop::recordMonitor(const std::string& connector,
                                   std::function<void(std::uint32_t)> onNode, std::string& error) {
  GVariantBuilder properties;
  g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&properties, "{sv}", "cursor-mode",
                        g_variant_new_uint32(kCursorAsMetadata));
  BusReply reply = bus_.call(kCastService, castPath_, kCastSession, "RecordMonitor",
                             g_variant_new("(sa{sv})", connector.c_str(), &properties), "(o)");
  if (!reply) {
    error = "cannot record the monitor " + connector + ": " + reply.error;
    return std::nullopt;
  }
  std::string stream = pathOf(reply);
  guint subscription = bus_.subscribe(nullptr, kCastStream, "PipeWireStreamAdded", stream,
                                      [onNode = std::move(onNode)](GVariant* parameters) {
                                        guint32 node = 0;
                                        g_variant_get(parameters, "(u)", &node);
                                        onNode(node);
                                      });
  {
    std::lock_guard lock(mutex_);
    subscriptions_.push_back(subscription);
  }
  // A stream recorded after the session started is started by itself.
  if (started_) {
    BusReply begun = bus_.call(kCastService, stream, kCastStream, "Start", nullptr);
    if (!begun) {
      error = "cannot start recording the monitor " + connector + ": " + begun.error;
      return std::nullopt;
    }
  }
  return stream;
}

bool MutterRemoteDesktop::start(std::string& error) {
  BusReply reply = bus_.call(kRemoteService, remotePath_, kRemoteSession, "Start", nullptr);
  if (!reply) {
    error = "cannot start the remote-desktop session: " + reply.error;
    return false;
  }
  started_ = true;
  return true;
}

void MutterRemoteDesktop::moveTo(const std::string& stream, double x, double y) {
  bus_.send(kRemoteService, remotePath_, kRemoteSession, "NotifyPointerMotionAbsolute",
            g_variant_new("(sdd)", stream.c_str(), x, y));
}

void MutterRemoteDesktop::button(int evdevButton, bool pressed) {
  bus_.send(kRemoteService, remotePath_, kRemoteSession, "NotifyPointerButton",
            g_variant_new("(ib)", evdevButton, gboolean(pressed)));
}

void MutterRemoteDesktop::key(std::uint32_t keysym, bool pressed) {
  bus_.send(kRemoteService, remotePath_, kRemoteSession, "NotifyKeyboardKeysym",
            g_variant_new("(ub)", keysym, gboolean(pressed)));
}

void MutterRemoteDesktop::scroll(double dx, double dy, std::uint32_t flags) {
  bus_.send(kRemoteService, remotePath_, kRemoteSession, "NotifyPointerAxis",
            g_variant_new("(ddu)", dx, dy, flags));
}

} // namespace tovel
