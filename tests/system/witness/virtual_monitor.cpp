// Adds a second monitor to a GNOME session for as long as it runs: a virtual screen-cast stream
// of Mutter, whose monitor exists only while someone consumes the stream.
//
//   tovel_gnome_virtual_monitor [--size WxH]   (1024x768 unless given)
//
// On the session bus it creates a screen-cast session, records a virtual monitor and starts it;
// it takes the stream's frames from PipeWire (BGRx, of that size) and hands each buffer back at
// once. It prints "ready WxH" once the stream streams and keeps everything alive until its standard
// input closes.
#include <gio/gio.h>
#include <glib-unix.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Monitor {
  GMainLoop* mainLoop = g_main_loop_new(nullptr, FALSE);
  GDBusConnection* bus = nullptr;
  std::string sessionPath;
  std::string streamPath;
  guint32 node = 0;
  bool nodeKnown = false;
  int width = 1024, height = 768;
  pw_thread_loop* pwLoop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  spa_video_info_raw format{};
  std::atomic<bool> announced = false;
  int status = 0;
};

void fail(Monitor& m, const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  m.status = 1;
  g_main_loop_quit(m.mainLoop);
}

// A method of Mutter's screen cast; none (with the error printed) when it fails.
GVariant* call(Monitor& m, const std::string& path, const char* interface, const char* method,
               GVariant* parameters, const char* replyType) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(m.bus, "org.gnome.Mutter.ScreenCast", path.c_str(),
                                                interface, method, parameters,
                                                replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                                G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
  if (!reply) {
    fail(m, std::string(method) + ": " + error->message);
    g_error_free(error);
  }
  return reply;
}

void streamStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto& m = *static_cast<Monitor*>(data);
  if (state == PW_STREAM_STATE_STREAMING && !m.announced.exchange(true)) {
    std::printf("ready %ux%u\n", m.format.size.width, m.format.size.height);
    std::fflush(stdout);
  } else if (state == PW_STREAM_STATE_ERROR) {
    std::fprintf(stderr, "stream error: %s\n", error ? error : "");
    std::exit(1);
  }
}

void streamParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto& m = *static_cast<Monitor*>(data);
  if (param && id == SPA_PARAM_Format)
    spa_format_video_raw_parse(param, &m.format);
}

// Frames are not looked at: each buffer goes straight back to the compositor.
void streamProcess(void* data) {
  auto& m = *static_cast<Monitor*>(data);
  while (pw_buffer* buffer = pw_stream_dequeue_buffer(m.stream))
    pw_stream_queue_buffer(m.stream, buffer);
}

const pw_stream_events streamEvents = [] {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = streamStateChanged;
  events.param_changed = streamParamChanged;
  events.process = streamProcess;
  return events;
}();

bool connectStream(Monitor& m) {
  m.pwLoop = pw_thread_loop_new("virtual-monitor", nullptr);
  m.context = pw_context_new(pw_thread_loop_get_loop(m.pwLoop), nullptr, 0);
  if (!m.context || pw_thread_loop_start(m.pwLoop) != 0)
    return false;
  pw_thread_loop_lock(m.pwLoop);
  m.core = pw_context_connect(m.context, nullptr, 0);
  if (!m.core) {
    pw_thread_loop_unlock(m.pwLoop);
    return false;
  }
  m.stream = pw_stream_new(m.core, "tovel-virtual-monitor",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                             "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  pw_stream_add_listener(m.stream, &m.streamListener, &streamEvents, &m);

  std::uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  spa_rectangle size = SPA_RECTANGLE(std::uint32_t(m.width), std::uint32_t(m.height));
  spa_fraction rate = SPA_FRACTION(30, 1), slowest = SPA_FRACTION(0, 1),
               fastest = SPA_FRACTION(1000, 1);
  spa_pod_frame frame;
  spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(
      &builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
      SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest),
      SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), 0);
  const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame))};
  int result = pw_stream_connect(
      m.stream, PW_DIRECTION_INPUT, m.node,
      pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
  pw_thread_loop_unlock(m.pwLoop);
  return result == 0;
}

void streamAdded(GDBusConnection*, const char*, const char*, const char*, const char*,
                 GVariant* parameters, gpointer data) {
  auto& m = *static_cast<Monitor*>(data);
  if (m.nodeKnown)
    return;
  g_variant_get(parameters, "(u)", &m.node);
  m.nodeKnown = true;
  if (!connectStream(m))
    fail(m, "cannot connect a PipeWire stream to node " + std::to_string(m.node));
}

void sessionClosed(GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
                   gpointer data) {
  fail(*static_cast<Monitor*>(data), "the screen-cast session was closed");
}

gboolean inputReadable(gint fd, GIOCondition, gpointer data) {
  char buffer[256];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n > 0)
    return G_SOURCE_CONTINUE;
  g_main_loop_quit(static_cast<Monitor*>(data)->mainLoop);
  return G_SOURCE_REMOVE;
}

} // namespace

int main(int argc, char** argv) {
  Monitor m;
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--size" && i + 1 < argc &&
        std::sscanf(argv[++i], "%dx%d", &m.width, &m.height) != 2) {
      std::fprintf(stderr, "usage: %s [--size WxH]\n", argv[0]);
      return 2;
    }
  pw_init(&argc, &argv);
  GError* error = nullptr;
  m.bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!m.bus) {
    std::fprintf(stderr, "no session bus: %s\n", error->message);
    return 1;
  }

  GVariant* reply = call(m, "/org/gnome/Mutter/ScreenCast", "org.gnome.Mutter.ScreenCast",
                         "CreateSession", g_variant_new_parsed("(@a{sv} {},)"), "(o)");
  if (!reply)
    return 1;
  const char* path = nullptr;
  g_variant_get(reply, "(&o)", &path);
  m.sessionPath = path;
  g_variant_unref(reply);
  g_dbus_connection_signal_subscribe(m.bus, nullptr, "org.gnome.Mutter.ScreenCast.Session",
                                     "Closed", m.sessionPath.c_str(), nullptr,
                                     G_DBUS_SIGNAL_FLAGS_NONE, sessionClosed, &m, nullptr);

  // Cursor mode 1: the cursor drawn into the monitor's frames.
  reply = call(m, m.sessionPath, "org.gnome.Mutter.ScreenCast.Session", "RecordVirtual",
               g_variant_new_parsed("({'cursor-mode': <uint32 1>},)"), "(o)");
  if (!reply)
    return 1;
  g_variant_get(reply, "(&o)", &path);
  m.streamPath = path;
  g_variant_unref(reply);
  g_dbus_connection_signal_subscribe(m.bus, nullptr, "org.gnome.Mutter.ScreenCast.Stream",
                                     "PipeWireStreamAdded", m.streamPath.c_str(), nullptr,
                                     G_DBUS_SIGNAL_FLAGS_NONE, streamAdded, &m, nullptr);
  reply = call(m, m.sessionPath, "org.gnome.Mutter.ScreenCast.Session", "Start", nullptr, nullptr);
  if (!reply)
    return 1;
  g_variant_unref(reply);

  g_unix_fd_add(STDIN_FILENO, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), inputReadable, &m);
  g_main_loop_run(m.mainLoop);

  if (m.stream) {
    pw_thread_loop_lock(m.pwLoop);
    pw_stream_destroy(m.stream);
    pw_thread_loop_unlock(m.pwLoop);
  }
  if (m.pwLoop)
    pw_thread_loop_stop(m.pwLoop);
  if (m.core)
    pw_core_disconnect(m.core);
  if (m.context)
    pw_context_destroy(m.context);
  if (m.pwLoop)
    pw_thread_loop_destroy(m.pwLoop);
  if (m.status == 0) {
    GVariant* stopped =
        call(m, m.sessionPath, "org.gnome.Mutter.ScreenCast.Session", "Stop", nullptr, nullptr);
    if (stopped)
      g_variant_unref(stopped);
  }
  g_object_unref(m.bus);
  return m.status;
}
