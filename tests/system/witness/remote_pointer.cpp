// Moves the pointer of a GNOME session the way another program would: through a remote-desktop
// session of its own on the session bus.
//
//   tovel_gnome_remote_pointer
//
// It prints "ready" once its session has started; then, for each line "move DX DY" on its
// standard input, it moves the pointer by that much and prints "moved" once Mutter has taken the
// call. It ends when its input closes.
#include <gio/gio.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

namespace {

constexpr const char* kService = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kSession = "org.gnome.Mutter.RemoteDesktop.Session";

// A method's reply, or none with the error printed.
GVariant* call(GDBusConnection* bus, const std::string& path, const char* interface,
               const char* method, GVariant* parameters, const char* replyType = nullptr) {
  GError* error = nullptr;
  GVariant* reply =
      g_dbus_connection_call_sync(bus, kService, path.c_str(), interface, method, parameters,
                                  replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                  G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
  if (!reply) {
    std::fprintf(stderr, "%s: %s\n", method, error->message);
    g_error_free(error);
  }
  return reply;
}

} // namespace

int main() {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    std::fprintf(stderr, "no session bus: %s\n", error->message);
    return 1;
  }
  GVariant* reply =
      call(bus, "/org/gnome/Mutter/RemoteDesktop", kService, "CreateSession", nullptr, "(o)");
  if (!reply)
    return 1;
  const char* path = nullptr;
  g_variant_get(reply, "(&o)", &path);
  std::string session = path;
  g_variant_unref(reply);
  if (!(reply = call(bus, session, kSession, "Start", nullptr)))
    return 1;
  g_variant_unref(reply);
  std::printf("ready\n");
  std::fflush(stdout);

  for (std::string line; std::getline(std::cin, line);) {
    std::istringstream words(line);
    std::string command;
    double dx = 0, dy = 0;
    if (!(words >> command >> dx >> dy) || command != "move") {
      std::fprintf(stderr, "not understood: %s\n", line.c_str());
      continue;
    }
    if (!(reply = call(bus, session, kSession, "NotifyPointerMotionRelative",
                       g_variant_new("(dd)", dx, dy))))
      return 1;
    g_variant_unref(reply);
    std::printf("moved\n");
    std::fflush(stdout);
  }
  if ((reply = call(bus, session, kSession, "Stop", nullptr)))
    g_variant_unref(reply);
  g_object_unref(bus);
  return 0;
}
