#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <gio/gio.h>

namespace tovel {

// A GVariant held by reference.
struct VariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

// The result of a method call: the reply's arguments, or the error's message.
struct BusReply {
  Variant value;
  std::string error;
  explicit operator bool() const { return bool(value); }
};

// A private connection to the session bus, with a thread of its own that delivers signals and
// the replies of calls whose answer nobody waits for. Mutter ties remote-desktop and screen-cast
// sessions to the connection that made them, so they end when this object goes. GDBus connections
// may be used from any thread.
class GnomeBus {
public:
  using SignalHandler = std::function<void(GVariant* parameters)>;

  // Null, with the reason in `error`, when the session bus cannot be reached.
  static std::unique_ptr<GnomeBus> connect(std::string& error);
  ~GnomeBus();
  GnomeBus(const GnomeBus&) = delete;
  GnomeBus& operator=(const GnomeBus&) = delete;

  // Whether a name has an owner on the bus.
  bool hasOwner(const std::string& name);
  // Calls a method and waits for its reply. `parameters` is consumed when floating.
  BusReply call(const char* service, const std::string& path, const char* interface,
                const char* method, GVariant* parameters, const char* replyType = nullptr);
  // Sends a call that wants no reply: calls arrive in the order they were sent, and a failure
  // goes unnoticed.
  void send(const char* service, const std::string& path, const char* interface, const char* method,
            GVariant* parameters);
  // A property of an object, or none.
  Variant property(const char* service, const std::string& path, const char* interface,
                   const char* name);
  // Calls `handler` on the bus thread for every signal `member` of `interface` sent from `path`
  // (whose first argument is `arg0`, when given). The subscription's number, for unsubscribe().
  guint subscribe(const char* service, const char* interface, const char* member,
                  const std::string& path, SignalHandler handler, const char* arg0 = nullptr);
  // Ends a subscription: its handler is not called again once this returns. Not from within that
  // handler.
  void unsubscribe(guint subscription);
  // Runs `task` on the bus thread, at once or after `delay`.
  void post(std::function<void()> task);
  void postAfter(std::chrono::milliseconds delay, std::function<void()> task);
  // Runs `task` on the bus thread (here, once the thread has ended) and waits for it.
  void run(const std::function<void()>& task);

  // Waits until every call sent so far has been written to the bus.
  void flush() { g_dbus_connection_flush_sync(connection_, nullptr, nullptr); }
  // Ends the bus thread: no signal, reply or posted task runs after this returns. Calls that wait
  // for their reply still work.
  void stop();

private:
  GnomeBus(GDBusConnection* connection, GMainContext* context);

  GDBusConnection* connection_;
  GMainContext* context_;
  GMainLoop* loop_;
  std::thread thread_;
  std::atomic<bool> running_ = true;
  std::mutex mutex_;                                         // the member below
  std::map<guint, std::unique_ptr<SignalHandler>> handlers_; // by subscription
};

} // namespace tovel
