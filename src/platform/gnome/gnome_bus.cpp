#include "platform/gnome/gnome_bus.h"

#include <algorithm>
#include <cstdint>
#include <future>

namespace tovel {

namespace {

// Long enough for a compositor busy with a frame, short enough that a hung one is noticed.
constexpr int kCallTimeoutMs = 5000;

std::string messageOf(GError* error) {
  std::string text = error ? error->message : "unknown error";
  if (error)
    g_error_free(error);
  return text;
}

} // namespace

std::unique_ptr<GnomeBus> GnomeBus::connect(std::string& error) {
  GError* failure = nullptr;
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &failure);
  if (!address) {
    error = "no session bus: " + messageOf(failure);
    return nullptr;
  }
  // A connection of our own rather than GIO's shared one: the sessions made on it end with it.
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address,
      GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                           G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &failure);
  g_free(address);
  if (!connection) {
    error = "cannot connect to the session bus: " + messageOf(failure);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  return std::unique_ptr<GnomeBus>(new GnomeBus(connection, g_main_context_new()));
}

GnomeBus::GnomeBus(GDBusConnection* connection, GMainContext* context)
    : connection_(connection), context_(context), loop_(g_main_loop_new(context, FALSE)) {
  thread_ = std::thread([this] {
    g_main_context_push_thread_default(context_);
    g_main_loop_run(loop_);
    g_main_context_pop_thread_default(context_);
  });
}

GnomeBus::~GnomeBus() {
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, handler] : handlers_)
      g_dbus_connection_signal_unsubscribe(connection_, id);
  }
  // Closing first ends the sessions at once rather than when the compositor notices.
  g_dbus_connection_close_sync(connection_, nullptr, nullptr);
  stop();
  g_main_loop_unref(loop_);
  g_object_unref(connection_);
  g_main_context_unref(context_);
}

void GnomeBus::stop() {
  g_main_loop_quit(loop_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
    thread_.join();
    running_ = false;
  }
}

bool GnomeBus::hasOwner(const std::string& name) {
  BusReply reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        "NameHasOwner", g_variant_new("(s)", name.c_str()), "(b)");
  gboolean owned = FALSE;
  if (reply)
    g_variant_get(reply.value.get(), "(b)", &owned);
  return owned;
}

BusReply GnomeBus::call(const char* service, const std::string& path, const char* interface,
                        const char* method, GVariant* parameters, const char* replyType) {
  GError* failure = nullptr;
  GVariant* value = g_dbus_connection_call_sync(
      connection_, service, path.c_str(), interface, method, parameters,
      replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
      kCallTimeoutMs, nullptr, &failure);
  BusReply reply;
  if (value)
    reply.value.reset(value);
  else
    reply.error = messageOf(failure);
  return reply;
}

void GnomeBus::send(const char* service, const std::string& path, const char* interface,
                    const char* method, GVariant* parameters) {
  // Without a callback the call goes out marked as wanting no reply, and none comes.
  g_dbus_connection_call(connection_, service, path.c_str(), interface, method, parameters, nullptr,
                         G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
}

Variant GnomeBus::property(const char* service, const std::string& path, const char* interface,
                           const char* name) {
  BusReply reply = call(service, path, "org.freedesktop.DBus.Properties", "Get",
                        g_variant_new("(ss)", interface, name), "(v)");
  if (!reply)
    return nullptr;
  GVariant* inner = nullptr;
  g_variant_get(reply.value.get(), "(v)", &inner);
  return Variant(inner);
}

guint GnomeBus::subscribe(const char* service, const char* interface, const char* member,
                          const std::string& path, SignalHandler handler, const char* arg0) {
  auto owned = std::make_unique<SignalHandler>(std::move(handler));
  auto deliver = [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                    GVariant* parameters,
                    gpointer data) { (*static_cast<SignalHandler*>(data))(parameters); };
  // Signals are delivered in the thread-default context of the thread that subscribes: the bus
  // thread's, which only that thread may push.
  SignalHandler* target = owned.get();
  guint id = 0;
  run([&] {
    id = g_dbus_connection_signal_subscribe(connection_, service, interface, member, path.c_str(),
                                            arg0, G_DBUS_SIGNAL_FLAGS_NONE, deliver, target,
                                            nullptr);
  });
  std::lock_guard lock(mutex_);
  handlers_[id] = std::move(owned);
  return id;
}

void GnomeBus::unsubscribe(guint subscription) {
  // On the bus thread, which delivers the signals: a delivery already queued for the subscription
  // checks for it there, and finds it gone.
  run([&] { g_dbus_connection_signal_unsubscribe(connection_, subscription); });
  std::lock_guard lock(mutex_);
  handlers_.erase(subscription);
}

void GnomeBus::post(std::function<void()> task) {
  auto* owned = new std::function<void()>(std::move(task));
  g_main_context_invoke_full(
      context_, G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      owned, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void GnomeBus::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
  auto* owned = new std::function<void()>(std::move(task));
  GSource* source = g_timeout_source_new(guint(std::max<std::int64_t>(0, delay.count())));
  g_source_set_callback(
      source,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      owned, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
  g_source_attach(source, context_);
  g_source_unref(source);
}

void GnomeBus::run(const std::function<void()>& task) {
  if (std::this_thread::get_id() == thread_.get_id() || !running_) {
    task();
    return;
  }
  std::promise<void> done;
  post([&] {
    task();
    done.set_value();
  });
  done.get_future().wait();
}

} // namespace tovel
