#pragma once
// Method calls to Mutter on the session bus, for the programs that act as another client of
// GNOME; a failure ends the program (fail()).

#include <gio/gio.h>

#include <string>

#include "witness_output.h"

namespace tovel::witness {

inline GDBusConnection* sessionBus() {
  static GDBusConnection* bus = [] {
    GError* error = nullptr;
    GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!connection)
      fail(std::string("no session bus: ") + error->message);
    return connection;
  }();
  return bus;
}

// The object path the method returns (a session's, a stream's); empty for one that returns none.
inline std::string callMutter(const char* service, const std::string& path, const char* interface,
                              const char* method, GVariant* parameters = nullptr) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(sessionBus(), service, path.c_str(), interface,
                                                method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                10000, nullptr, &error);
  if (!reply)
    fail(std::string(method) + ": " + error->message);
  const char* object = "";
  if (g_variant_is_of_type(reply, G_VARIANT_TYPE("(o)")))
    g_variant_get(reply, "(&o)", &object);
  std::string result = object;
  g_variant_unref(reply);
  return result;
}

} // namespace tovel::witness
