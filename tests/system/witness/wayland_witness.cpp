// A small Wayland client that the GNOME system tests use as a witness: a fullscreen window filled
// with one colour that prints every pointer and keyboard event it receives, one line each.
//
//   tovel_wayland_witness [--colour RRGGBB] [--keymap FILE] [--animate] [--marks]
//
// With --animate it shows the benchmarks' changing picture (support/animation_scene.h) instead of
// its colour, a new frame each time the compositor asks for one.
//
// With --marks its colour has two rectangles on it, a blue and a red one (kMarks), so that a
// picture of it shows where it is and how it is scaled.
//
// With --keymap it writes the compositor's keymap (XKB text) to FILE when it receives it, before
// it says "keymap".
// Over it the cursor is a 16 x 16 black square with a white border, its hot spot at the top left.
// Output lines: "ready 1920x1080" once its picture is on screen, then e.g. "enter x=10 y=20",
// "motion x=11.5 y=20", "button button=272 state=pressed", "axis axis=vertical value=-30",
// "axis_source source=finger", "axis_stop axis=vertical", "frame", "keyboard_enter",
// "key keysym=A state=pressed", "modifiers depressed=0x1 latched=0x0 locked=0x0 group=0".
// After a press that types something, what it types as hex UTF-8 bytes: "typed=c3a9" for an e with
// acute, "typed=0d" for Return.
// A fullscreen window on the primary monitor has its surface coordinates equal to the global ones.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/animation_scene.h"
#include "support/witness_marks.h"
#include "xdg-shell-client-protocol.h"

namespace {

// One whole line at a time, flushed at once: the tests read lines as they come.
void say(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  std::vprintf(pattern, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

struct Witness {
  std::uint32_t colour = 0x3366cc;
  std::string keymapFile;
  wl_display* display = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  wl_seat* seat = nullptr;
  xdg_wm_base* wmBase = nullptr;
  wl_surface* surface = nullptr;
  xdg_surface* xdgSurface = nullptr;
  xdg_toplevel* toplevel = nullptr;
  wl_pointer* pointer = nullptr;
  wl_keyboard* keyboard = nullptr;
  wl_buffer* buffer = nullptr;
  wl_surface* cursor = nullptr; // a plain square, so that the cursor looks the same everywhere
  int width = 0, height = 0;    // of the buffer shown
  int configuredWidth = 0, configuredHeight = 0; // as the compositor last asked
  bool announced = false;
  bool animate = false;
  bool marks = false;
  long frame = 0;
  std::uint32_t* pixels[2] = {nullptr, nullptr}; // animation buffers, mapped
  wl_buffer* frames[2] = {nullptr, nullptr};
  xkb_context* xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap = nullptr;
  xkb_state* keyState = nullptr;
};

double fixed(wl_fixed_t value) {
  return wl_fixed_to_double(value);
}

// A buffer of shared memory whose pixels stay mapped at `pixels` (width * height of them).
wl_buffer* makeCanvas(Witness& w, int width, int height, std::uint32_t format,
                      std::uint32_t** pixels) {
  std::size_t size = std::size_t(width) * std::size_t(height) * 4;
  int fd = memfd_create("tovel-witness", MFD_CLOEXEC);
  if (fd < 0)
    return nullptr;
  void* data = MAP_FAILED;
  if (ftruncate(fd, off_t(size)) == 0)
    data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    close(fd);
    return nullptr;
  }
  *pixels = static_cast<std::uint32_t*>(data);
  wl_shm_pool* pool = wl_shm_create_pool(w.shm, fd, int(size));
  wl_buffer* buffer = wl_shm_pool_create_buffer(pool, 0, width, height, width * 4, format);
  wl_shm_pool_destroy(pool);
  close(fd);
  return buffer;
}

// A buffer filled with one colour; a border of another colour when `border` is not negative, the
// marks when asked for.
wl_buffer* makeBuffer(Witness& w, int width, int height, std::uint32_t argb, int border = -1,
                      std::uint32_t borderArgb = 0, bool marks = false) {
  std::uint32_t* pixels = nullptr;
  wl_buffer* buffer = makeCanvas(w, width, height, WL_SHM_FORMAT_ARGB8888, &pixels);
  if (!buffer)
    return nullptr;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      bool edge = x < border || y < border || x >= width - border || y >= height - border;
      std::uint32_t colour = edge ? borderArgb : argb;
      if (marks)
        for (const tovel::test::WitnessMark& mark : tovel::test::kWitnessMarks)
          if (x >= mark.left * width && x < mark.right * width && y >= mark.top * height &&
              y < mark.bottom * height)
            colour = 0xff000000u | mark.rgb;
      pixels[std::size_t(y) * std::size_t(width) + std::size_t(x)] = colour;
    }
  munmap(pixels, std::size_t(width) * std::size_t(height) * 4);
  return buffer;
}

void drawScene(const Witness& w, std::uint32_t* pixels) {
  std::fill(pixels, pixels + std::size_t(w.width) * std::size_t(w.height),
            tovel::test::kSceneBackground);
  for (const tovel::test::SceneShape& s : tovel::test::animationScene(w.frame, w.width, w.height)) {
    double cx = s.x + s.width / 2.0, cy = s.y + s.height / 2.0;
    for (int y = std::max(0, s.y); y < std::min(w.height, s.y + s.height); ++y)
      for (int x = std::max(0, s.x); x < std::min(w.width, s.x + s.width); ++x) {
        double dx = (x + 0.5 - cx) / (s.width / 2.0), dy = (y + 0.5 - cy) / (s.height / 2.0);
        if (!s.round || dx * dx + dy * dy <= 1)
          pixels[std::size_t(y) * std::size_t(w.width) + std::size_t(x)] = s.rgb;
      }
  }
}

const wl_callback_listener& frameListenerRef();

// Shows the next picture of the animation and asks to be called for the one after.
void showNextFrame(Witness& w) {
  int index = int(w.frame % 2);
  if (!w.frames[index])
    w.frames[index] = makeCanvas(w, w.width, w.height, WL_SHM_FORMAT_XRGB8888, &w.pixels[index]);
  if (!w.frames[index])
    return;
  drawScene(w, w.pixels[index]);
  ++w.frame;
  wl_surface_attach(w.surface, w.frames[index], 0, 0);
  wl_surface_damage_buffer(w.surface, 0, 0, w.width, w.height);
  wl_callback_add_listener(wl_surface_frame(w.surface), &frameListenerRef(), &w);
  wl_surface_commit(w.surface);
}

void frameDone(void* data, wl_callback* callback, std::uint32_t) {
  auto& w = *static_cast<Witness*>(data);
  wl_callback_destroy(callback);
  if (w.animate && w.announced)
    showNextFrame(w);
  // The first frame callback comes once the compositor has shown the picture.
  if (!w.announced) {
    w.announced = true;
    say("ready %dx%d", w.width, w.height);
    if (w.animate)
      showNextFrame(w);
  }
}
const wl_callback_listener frameListener{frameDone};
const wl_callback_listener& frameListenerRef() {
  return frameListener;
}

void xdgSurfaceConfigure(void* data, xdg_surface* surface, std::uint32_t serial) {
  auto& w = *static_cast<Witness*>(data);
  xdg_surface_ack_configure(surface, serial);
  // Fullscreen: the compositor says the size; before it does, any size will do.
  int width = w.configuredWidth > 0 ? w.configuredWidth : 640;
  int height = w.configuredHeight > 0 ? w.configuredHeight : 480;
  if (w.buffer && width == w.width && height == w.height) {
    wl_surface_commit(w.surface);
    return;
  }
  if (w.buffer)
    wl_buffer_destroy(w.buffer);
  w.buffer = makeBuffer(w, width, height, 0xff000000u | w.colour, -1, 0, w.marks);
  if (!w.buffer) {
    std::fprintf(stderr, "cannot make a buffer of %dx%d\n", width, height);
    std::exit(1);
  }
  w.width = width, w.height = height;
  wl_surface_attach(w.surface, w.buffer, 0, 0);
  wl_surface_damage_buffer(w.surface, 0, 0, width, height);
  if (!w.announced && w.configuredWidth > 0)
    wl_callback_add_listener(wl_surface_frame(w.surface), &frameListener, &w);
  wl_surface_commit(w.surface);
}
const xdg_surface_listener xdgSurfaceListener{xdgSurfaceConfigure};

void toplevelConfigure(void* data, xdg_toplevel*, std::int32_t width, std::int32_t height,
                       wl_array*) {
  auto& w = *static_cast<Witness*>(data);
  w.configuredWidth = width;
  w.configuredHeight = height;
}
void toplevelClose(void*, xdg_toplevel*) {
  std::exit(0);
}
const xdg_toplevel_listener toplevelListener{toplevelConfigure, toplevelClose, nullptr, nullptr};

void wmBasePing(void*, xdg_wm_base* base, std::uint32_t serial) {
  xdg_wm_base_pong(base, serial);
}
const xdg_wm_base_listener wmBaseListener{wmBasePing};

// Pointer events.
void pointerEnter(void* data, wl_pointer* pointer, std::uint32_t serial, wl_surface*, wl_fixed_t x,
                  wl_fixed_t y) {
  auto& w = *static_cast<Witness*>(data);
  // Without a cursor of its own a window shows none at all.
  if (!w.cursor) {
    w.cursor = wl_compositor_create_surface(w.compositor);
    wl_surface_attach(w.cursor, makeBuffer(w, 16, 16, 0xff000000u, 2, 0xffffffffu), 0, 0);
    wl_surface_damage_buffer(w.cursor, 0, 0, 16, 16);
    wl_surface_commit(w.cursor);
  }
  wl_pointer_set_cursor(pointer, serial, w.cursor, 0, 0);
  say("enter x=%g y=%g", fixed(x), fixed(y));
}
void pointerLeave(void*, wl_pointer*, std::uint32_t, wl_surface*) {
  say("leave");
}
void pointerMotion(void*, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
  say("motion x=%g y=%g", fixed(x), fixed(y));
}
void pointerButton(void*, wl_pointer*, std::uint32_t, std::uint32_t, std::uint32_t button,
                   std::uint32_t state) {
  say("button button=%u state=%s", button,
      state == WL_POINTER_BUTTON_STATE_PRESSED ? "pressed" : "released");
}
const char* axisName(std::uint32_t axis) {
  return axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? "vertical" : "horizontal";
}
void pointerAxis(void*, wl_pointer*, std::uint32_t, std::uint32_t axis, wl_fixed_t value) {
  say("axis axis=%s value=%g", axisName(axis), fixed(value));
}
void pointerFrame(void*, wl_pointer*) {
  say("frame");
}
void pointerAxisSource(void*, wl_pointer*, std::uint32_t source) {
  const char* names[] = {"wheel", "finger", "continuous", "wheel_tilt"};
  say("axis_source source=%s", source < 4 ? names[source] : "unknown");
}
void pointerAxisStop(void*, wl_pointer*, std::uint32_t, std::uint32_t axis) {
  say("axis_stop axis=%s", axisName(axis));
}
void pointerAxisDiscrete(void*, wl_pointer*, std::uint32_t axis, std::int32_t steps) {
  say("axis_discrete axis=%s steps=%d", axisName(axis), steps);
}
const wl_pointer_listener pointerListener{
    pointerEnter, pointerLeave,      pointerMotion,   pointerButton,       pointerAxis,
    pointerFrame, pointerAxisSource, pointerAxisStop, pointerAxisDiscrete, nullptr};

// Keyboard events, named through the compositor's own keymap.
void keyboardKeymap(void* data, wl_keyboard*, std::uint32_t format, int fd, std::uint32_t size) {
  auto& w = *static_cast<Witness*>(data);
  if (format != WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
    close(fd);
    return;
  }
  void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (text == MAP_FAILED)
    return;
  xkb_keymap* keymap =
      xkb_keymap_new_from_string(w.xkb, static_cast<const char*>(text), XKB_KEYMAP_FORMAT_TEXT_V1,
                                 XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (!w.keymapFile.empty())
    if (FILE* out = std::fopen(w.keymapFile.c_str(), "w")) {
      std::fwrite(text, 1, strnlen(static_cast<const char*>(text), size), out);
      std::fclose(out);
    }
  munmap(text, size);
  if (!keymap)
    return;
  say("keymap");
  xkb_state_unref(w.keyState);
  xkb_keymap_unref(w.keymap);
  w.keymap = keymap;
  w.keyState = xkb_state_new(keymap);
}
void keyboardEnter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {
  say("keyboard_enter");
}
void keyboardLeave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {
  say("keyboard_leave");
}
void keyboardKey(void* data, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t key,
                 std::uint32_t state) {
  auto& w = *static_cast<Witness*>(data);
  char name[64] = "NoSymbol";
  // Evdev codes are 8 below XKB's; the state's modifiers make a shifted 'a' read "A".
  if (w.keyState)
    xkb_keysym_get_name(xkb_state_key_get_one_sym(w.keyState, key + 8), name, sizeof name);
  say("key keysym=%s state=%s", name,
      state == WL_KEYBOARD_KEY_STATE_PRESSED ? "pressed" : "released");
  if (state != WL_KEYBOARD_KEY_STATE_PRESSED || !w.keyState)
    return;
  // What an application reads the press as typing, Caps Lock's capitals included.
  char utf8[64] = {};
  xkb_state_key_get_utf8(w.keyState, key + 8, utf8, sizeof utf8);
  if (!*utf8)
    return;
  std::string hex;
  for (const char* c = utf8; *c; ++c) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02x", unsigned(static_cast<unsigned char>(*c)));
    hex += byte;
  }
  say("typed=%s", hex.c_str());
}
void keyboardModifiers(void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed,
                       std::uint32_t latched, std::uint32_t locked, std::uint32_t group) {
  auto& w = *static_cast<Witness*>(data);
  if (w.keyState)
    xkb_state_update_mask(w.keyState, depressed, latched, locked, 0, 0, group);
  say("modifiers depressed=0x%x latched=0x%x locked=0x%x group=%u", depressed, latched, locked,
      group);
}
void keyboardRepeatInfo(void*, wl_keyboard*, std::int32_t, std::int32_t) {}
const wl_keyboard_listener keyboardListener{keyboardKeymap, keyboardEnter,     keyboardLeave,
                                            keyboardKey,    keyboardModifiers, keyboardRepeatInfo};

void seatCapabilities(void* data, wl_seat* seat, std::uint32_t capabilities) {
  auto& w = *static_cast<Witness*>(data);
  if ((capabilities & WL_SEAT_CAPABILITY_POINTER) && !w.pointer) {
    w.pointer = wl_seat_get_pointer(seat);
    wl_pointer_add_listener(w.pointer, &pointerListener, &w);
  }
  if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !w.keyboard) {
    w.keyboard = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(w.keyboard, &keyboardListener, &w);
  }
}
void seatName(void*, wl_seat*, const char*) {}
const wl_seat_listener seatListener{seatCapabilities, seatName};

void registryGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                    std::uint32_t version) {
  auto& w = *static_cast<Witness*>(data);
  auto bind = [&](const wl_interface* type, std::uint32_t highest) {
    return wl_registry_bind(registry, name, type, std::min(version, highest));
  };
  if (std::strcmp(interface, wl_compositor_interface.name) == 0)
    w.compositor = static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4));
  else if (std::strcmp(interface, wl_shm_interface.name) == 0)
    w.shm = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
  else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
    w.wmBase = static_cast<xdg_wm_base*>(bind(&xdg_wm_base_interface, 1));
    xdg_wm_base_add_listener(w.wmBase, &wmBaseListener, &w);
  } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && !w.seat) {
    // Version 7: axis sources and stops, but not yet the high-resolution wheel events of 8.
    w.seat = static_cast<wl_seat*>(bind(&wl_seat_interface, 7));
    wl_seat_add_listener(w.seat, &seatListener, &w);
  }
}
void registryGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener registryListener{registryGlobal, registryGlobalRemove};

} // namespace

int main(int argc, char** argv) {
  Witness w;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--colour" && i + 1 < argc)
      w.colour = std::uint32_t(std::strtoul(argv[++i], nullptr, 16)) & 0xffffffu;
    else if (arg == "--keymap" && i + 1 < argc)
      w.keymapFile = argv[++i];
    else if (arg == "--animate")
      w.animate = true;
    else if (arg == "--marks")
      w.marks = true;
  }

  w.display = wl_display_connect(nullptr);
  if (!w.display) {
    std::fprintf(stderr, "cannot connect to the Wayland display\n");
    return 1;
  }
  wl_registry* registry = wl_display_get_registry(w.display);
  wl_registry_add_listener(registry, &registryListener, &w);
  wl_display_roundtrip(w.display);
  if (!w.compositor || !w.shm || !w.wmBase || !w.xkb) {
    std::fprintf(stderr, "the compositor lacks wl_compositor, wl_shm or xdg_wm_base\n");
    return 1;
  }

  w.surface = wl_compositor_create_surface(w.compositor);
  w.xdgSurface = xdg_wm_base_get_xdg_surface(w.wmBase, w.surface);
  xdg_surface_add_listener(w.xdgSurface, &xdgSurfaceListener, &w);
  w.toplevel = xdg_surface_get_toplevel(w.xdgSurface);
  xdg_toplevel_add_listener(w.toplevel, &toplevelListener, &w);
  xdg_toplevel_set_title(w.toplevel, "Witness");
  xdg_toplevel_set_app_id(w.toplevel, "tovel.witness");
  xdg_toplevel_set_fullscreen(w.toplevel, nullptr);
  // The first commit carries no buffer; the compositor answers with the fullscreen size.
  wl_surface_commit(w.surface);

  while (wl_display_dispatch(w.display) != -1) {
  }
  std::fprintf(stderr, "the compositor closed the connection\n");
  return 1;
}
