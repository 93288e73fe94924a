#include "platform/gnome/wayland_keymap.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

namespace tovel {

struct WaylandKeymap::Client {
  WaylandKeymap* owner = nullptr;
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_seat* seat = nullptr;
  wl_keyboard* keyboard = nullptr;

  ~Client() {
    if (keyboard)
      wl_keyboard_destroy(keyboard);
    if (seat)
      wl_seat_destroy(seat);
    if (registry)
      wl_registry_destroy(registry);
    if (display)
      wl_display_disconnect(display);
  }
};

namespace {

// Compiles the map in a context of its own: xkbcommon's reference counts are not atomic, so no
// two maps that threads may let go of at once share one.
WaylandKeymap::Keymap compile(const char* text, std::size_t size) {
  xkb_context* context = xkb_context_new(
      xkb_context_flags(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
  if (!context)
    return nullptr;
  xkb_keymap* keymap = xkb_keymap_new_from_buffer(
      context, text, strnlen(text, size), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
  xkb_context_unref(context);
  if (!keymap)
    return nullptr;
  return WaylandKeymap::Keymap(keymap, xkb_keymap_unref);
}

} // namespace

// Wayland calls these with the client as their data.
struct KeymapListeners {
  static void keymap(void* data, wl_keyboard*, std::uint32_t format, int fd, std::uint32_t size) {
    auto* client = static_cast<WaylandKeymap::Client*>(data);
    if (format != WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
      ::close(fd);
      return;
    }
    void* text = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (text == MAP_FAILED)
      return;
    WaylandKeymap::Keymap compiled = compile(static_cast<const char*>(text), size);
    ::munmap(text, size);
    if (compiled)
      client->owner->store(std::move(compiled));
  }
  static void enter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
  static void leave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
  static void key(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
  }
  static void modifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t,
                        std::uint32_t, std::uint32_t) {}
  static void repeat(void*, wl_keyboard*, std::int32_t, std::int32_t) {}

  static void capabilities(void* data, wl_seat* seat, std::uint32_t capabilities) {
    auto* client = static_cast<WaylandKeymap::Client*>(data);
    static const wl_keyboard_listener listener{keymap, enter, leave, key, modifiers, repeat};
    if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !client->keyboard) {
      client->keyboard = wl_seat_get_keyboard(seat);
      wl_keyboard_add_listener(client->keyboard, &listener, client);
    } else if (!(capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && client->keyboard) {
      wl_keyboard_release(client->keyboard);
      client->keyboard = nullptr;
    }
  }
  static void name(void*, wl_seat*, const char*) {}

  static void global(void* data, wl_registry* registry, std::uint32_t id, const char* interface,
                     std::uint32_t version) {
    auto* client = static_cast<WaylandKeymap::Client*>(data);
    static const wl_seat_listener listener{capabilities, name};
    if (std::strcmp(interface, wl_seat_interface.name) != 0 || client->seat)
      return;
    // Version 3 for wl_keyboard.release; the first seat is the session's.
    client->seat = static_cast<wl_seat*>(
        wl_registry_bind(registry, id, &wl_seat_interface, std::min<std::uint32_t>(version, 3)));
    wl_seat_add_listener(client->seat, &listener, client);
  }
  static void globalRemove(void*, wl_registry*, std::uint32_t) {}
};

WaylandKeymap::WaylandKeymap() : client_(std::make_unique<Client>()) {
  client_->owner = this;
  client_->display = wl_display_connect(nullptr);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (!client_->display || wakeFd_ < 0)
    return;
  static const wl_registry_listener listener{KeymapListeners::global,
                                             KeymapListeners::globalRemove};
  client_->registry = wl_display_get_registry(client_->display);
  wl_registry_add_listener(client_->registry, &listener, client_.get());
  wl_display_flush(client_->display);
  alive_ = true;
  thread_ = std::thread([this] { run(); });
}

WaylandKeymap::~WaylandKeymap() {
  if (thread_.joinable()) {
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
  }
  client_.reset();
  if (wakeFd_ >= 0)
    ::close(wakeFd_);
}

WaylandKeymap::Keymap WaylandKeymap::current() const {
  std::lock_guard lock(mutex_);
  return keymap_;
}

void WaylandKeymap::store(Keymap keymap) {
  std::lock_guard lock(mutex_);
  keymap_ = std::move(keymap);
}

void WaylandKeymap::run() {
  wl_display* display = client_->display;
  while (true) {
    // The usual read protocol: what is queued already is dispatched before waiting for more.
    if (wl_display_dispatch_pending(display) < 0)
      break;
    if (wl_display_prepare_read(display) != 0)
      continue;
    wl_display_flush(display);
    pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      wl_display_cancel_read(display);
      return;
    }
    if (ready < 0) {
      wl_display_cancel_read(display);
      if (errno == EINTR)
        continue;
      break;
    }
    if (wl_display_read_events(display) < 0)
      break;
  }
  alive_ = false;
}

} // namespace tovel
