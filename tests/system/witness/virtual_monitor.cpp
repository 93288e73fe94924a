// Adds a second monitor to a GNOME session for as long as it runs: a virtual screen-cast stream
// of Mutter, whose monitor exists only while someone consumes the stream.
//
//   tovel_gnome_virtual_monitor [--size WxH]   (1024x768 unless given)
//
// It records a virtual monitor in a screen-cast session of its own and takes the stream's frames
// (BGRx, of that size) from PipeWire, handing each buffer back at once. It prints "ready WxH" once
// the stream streams; when its standard input closes it stops the session and exits with status 0.

// The listeners below name only the events they take; the others stay null.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <glib-unix.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <unistd.h>

#include "mutter_call.h"

using namespace tovel::witness;

namespace {

constexpr const char* kService = "org.gnome.Mutter.ScreenCast";
constexpr const char* kSession = "org.gnome.Mutter.ScreenCast.Session";

// PipeWire runs in the GLib main loop, so every callback below runs on the one thread.
pw_loop* loop = nullptr;
pw_stream* stream = nullptr;
spa_video_info_raw format{};
int width = 1024, height = 768;

const pw_stream_events streamEvents{
    .version = PW_VERSION_STREAM_EVENTS,
    .state_changed =
        [](void*, pw_stream_state, pw_stream_state state, const char* error) {
          static bool announced = false;
          if (state == PW_STREAM_STATE_STREAMING && !announced) {
            announced = true;
            say("ready %ux%u", format.size.width, format.size.height);
          } else if (state == PW_STREAM_STATE_ERROR) {
            fail(std::string("stream error: ") + (error ? error : ""));
          }
        },
    .param_changed =
        [](void*, std::uint32_t id, const spa_pod* param) {
          if (param && id == SPA_PARAM_Format)
            spa_format_video_raw_parse(param, &format);
        },
    // Frames are not looked at: each buffer goes straight back to the compositor.
    .process =
        [](void*) {
          while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream))
            pw_stream_queue_buffer(stream, buffer);
        },
};

// Mutter names the stream's PipeWire node once the session has started.
void streamAdded(GDBusConnection*, const char*, const char*, const char*, const char*,
                 GVariant* parameters, gpointer) {
  if (stream)
    return;
  std::uint32_t node = 0;
  g_variant_get(parameters, "(u)", &node);
  stream = pw_stream_new_simple(loop, "tovel-virtual-monitor",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                  "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr),
                                &streamEvents, nullptr);
  std::uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  spa_video_info_raw wanted{};
  wanted.format = SPA_VIDEO_FORMAT_BGRx;
  wanted.size = SPA_RECTANGLE(std::uint32_t(width), std::uint32_t(height));
  const spa_pod* params[] = {spa_format_video_raw_build(&builder, SPA_PARAM_EnumFormat, &wanted)};
  if (!stream ||
      pw_stream_connect(stream, PW_DIRECTION_INPUT, node,
                        pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                        params, 1) != 0)
    fail("cannot connect a PipeWire stream to node " + std::to_string(node));
}

} // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) != "--size" || i + 1 == argc ||
        std::sscanf(argv[++i], "%dx%d", &width, &height) != 2)
      usage(argv[0], "[--size WxH]");
  pw_init(&argc, &argv);
  loop = pw_loop_new(nullptr);
  pw_loop_enter(loop);
  g_unix_fd_add(
      pw_loop_get_fd(loop), G_IO_IN,
      [](int, GIOCondition, gpointer) {
        pw_loop_iterate(loop, 0);
        return gboolean(G_SOURCE_CONTINUE);
      },
      nullptr);

  std::string session = callMutter(kService, "/org/gnome/Mutter/ScreenCast", kService,
                                   "CreateSession", g_variant_new_parsed("(@a{sv} {},)"));
  g_dbus_connection_signal_subscribe(
      sessionBus(), nullptr, kSession, "Closed", session.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
         gpointer) { fail("the screen-cast session was closed"); },
      nullptr, nullptr);
  // Cursor mode 1: the cursor drawn into the monitor's frames.
  std::string streamPath = callMutter(kService, session, kSession, "RecordVirtual",
                                      g_variant_new_parsed("({'cursor-mode': <uint32 1>},)"));
  g_dbus_connection_signal_subscribe(sessionBus(), nullptr, "org.gnome.Mutter.ScreenCast.Stream",
                                     "PipeWireStreamAdded", streamPath.c_str(), nullptr,
                                     G_DBUS_SIGNAL_FLAGS_NONE, streamAdded, nullptr, nullptr);
  callMutter(kService, session, kSession, "Start");

  GMainLoop* mainLoop = g_main_loop_new(nullptr, FALSE);
  g_unix_fd_add(
      STDIN_FILENO, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR),
      [](int fd, GIOCondition, gpointer mainLoop) {
        char buffer[256];
        if (::read(fd, buffer, sizeof buffer) > 0)
          return gboolean(G_SOURCE_CONTINUE);
        g_main_loop_quit(static_cast<GMainLoop*>(mainLoop));
        return gboolean(G_SOURCE_REMOVE);
      },
      mainLoop);
  g_main_loop_run(mainLoop);
  callMutter(kService, session, kSession, "Stop");
  return 0;
}
