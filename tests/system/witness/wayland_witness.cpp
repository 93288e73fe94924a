// A small Wayland client that the GNOME and sway system tests use as a witness: a fullscreen
// window (on the primary monitor, so its surface coordinates are the global ones) filled with one
// colour, that prints every pointer and keyboard event it receives, one line each.
//
//   tovel_wayland_witness [--colour RRGGBB] [--keymap FILE] [--animate] [--marks]
//
// --animate: the benchmarks' changing picture (support/animation_scene.h), a frame per callback.
// --marks:   a blue and a red rectangle on the colour (support/animation_scene.h), to show where the
//            window is and how it is scaled.
// --keymap:  the compositor's keymap (XKB text) written to FILE before it says "keymap".
// Its cursor is a 16 x 16 black square with a white border, the hot spot at the top left.
//
// Output lines: "ready 1920x1080" once its picture is on screen, then e.g. "enter x=10 y=20",
// "motion x=11.5 y=20", "button button=272 state=pressed", "axis axis=vertical value=-30",
// "axis_source source=finger", "axis_stop axis=vertical", "frame", "keyboard_enter",
// "key keysym=A state=pressed", "modifiers depressed=0x1 latched=0x0 locked=0x0 group=0", and
// after a press that types something its hex UTF-8 bytes: "typed=c3a9" for an e with acute.

// The listeners below name only the events they take; the others stay null.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <sys/mman.h>
#include <unistd.h>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "support/animation_scene.h"
#include "witness_output.h"
#include "xdg-shell-client-protocol.h"

using namespace tovel::witness;
using std::uint32_t;
using Shape = tovel::test::SceneShape;

namespace {

uint32_t colour = 0x3366cc;
const char* keymapFile = nullptr;
bool animate = false, marks = false, announced = false;
wl_compositor* compositor = nullptr;
wl_shm* shm = nullptr;
wl_seat* seat = nullptr;
xdg_wm_base* wmBase = nullptr;
wl_surface* surface = nullptr;
wl_surface* cursor = nullptr; // a plain square, so that the cursor looks the same everywhere
wl_buffer* shown = nullptr;
int width = 0, height = 0;                     // of the buffer shown
int configuredWidth = 0, configuredHeight = 0; // as the compositor last asked
long frame = 0;
struct Canvas {
  wl_buffer* buffer = nullptr;
  uint32_t* pixels = nullptr; // width * height of them, mapped
};
Canvas frames[2]; // the animation's
xkb_context* xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
xkb_state* keyState = nullptr;

// A buffer of shared memory with its pixels mapped; the program ends when there is none.
Canvas makeCanvas(int w, int h, uint32_t format) {
  std::size_t size = std::size_t(w) * std::size_t(h) * 4;
  int fd = memfd_create("tovel-witness", MFD_CLOEXEC);
  void* data = fd >= 0 && ftruncate(fd, off_t(size)) == 0
                   ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                   : MAP_FAILED;
  if (data == MAP_FAILED)
    fail("cannot make a buffer of " + std::to_string(w) + "x" + std::to_string(h));
  wl_shm_pool* pool = wl_shm_create_pool(shm, fd, int(size));
  Canvas canvas{wl_shm_pool_create_buffer(pool, 0, w, h, w * 4, format),
                static_cast<uint32_t*>(data)};
  wl_shm_pool_destroy(pool);
  close(fd);
  return canvas;
}

// The background with the shapes over it, opaque; a round shape is the ellipse in its rectangle.
void paint(uint32_t* pixels, int w, int h, uint32_t background, const std::vector<Shape>& shapes) {
  std::fill(pixels, pixels + std::size_t(w) * std::size_t(h), 0xff000000u | background);
  for (const Shape& s : shapes) {
    double cx = s.x + s.width / 2.0, cy = s.y + s.height / 2.0;
    for (int y = std::max(0, s.y); y < std::min(h, s.y + s.height); ++y)
      for (int x = std::max(0, s.x); x < std::min(w, s.x + s.width); ++x) {
        double dx = (x + 0.5 - cx) / (s.width / 2.0), dy = (y + 0.5 - cy) / (s.height / 2.0);
        if (!s.round || dx * dx + dy * dy <= 1)
          pixels[std::size_t(y) * std::size_t(w) + std::size_t(x)] = 0xff000000u | s.rgb;
      }
  }
}

// A picture that stays as painted.
wl_buffer* picture(int w, int h, uint32_t background, const std::vector<Shape>& shapes) {
  Canvas canvas = makeCanvas(w, h, WL_SHM_FORMAT_ARGB8888);
  paint(canvas.pixels, w, h, background, shapes);
  munmap(canvas.pixels, std::size_t(w) * std::size_t(h) * 4);
  return canvas.buffer;
}

// The witness's colour, with the marks on it when asked for: a pixel is in a mark when its place
// as fractions of the size is.
wl_buffer* witnessPicture(int w, int h) {
  auto at = [](double fraction, int size) { return int(std::ceil(fraction * size)); };
  std::vector<Shape> shapes;
  for (const tovel::test::WitnessMark& m : tovel::test::kWitnessMarks)
    if (marks)
      shapes.push_back({at(m.left, w), at(m.top, h), at(m.right, w) - at(m.left, w),
                        at(m.bottom, h) - at(m.top, h), m.rgb});
  return picture(w, h, colour, shapes);
}

void showNextFrame();

// The first frame callback comes once the compositor has shown the picture.
const wl_callback_listener frameListener{[](void*, wl_callback* callback, uint32_t) {
  wl_callback_destroy(callback);
  if (!announced) {
    announced = true;
    say("ready %dx%d", width, height);
  }
  if (animate)
    showNextFrame();
}};

// Shows the next picture of the animation and asks to be called for the one after.
void showNextFrame() {
  Canvas& canvas = frames[frame % 2];
  if (!canvas.buffer)
    canvas = makeCanvas(width, height, WL_SHM_FORMAT_XRGB8888);
  paint(canvas.pixels, width, height, tovel::test::kSceneBackground,
        tovel::test::animationScene(frame, width, height));
  ++frame;
  wl_surface_attach(surface, canvas.buffer, 0, 0);
  wl_surface_damage_buffer(surface, 0, 0, width, height);
  wl_callback_add_listener(wl_surface_frame(surface), &frameListener, nullptr);
  wl_surface_commit(surface);
}

const xdg_surface_listener xdgSurfaceListener{[](void*, xdg_surface* xdgSurface, uint32_t serial) {
  xdg_surface_ack_configure(xdgSurface, serial);
  // Fullscreen: the compositor says the size; before it does, any size will do.
  int w = configuredWidth > 0 ? configuredWidth : 640;
  int h = configuredHeight > 0 ? configuredHeight : 480;
  if (!shown || w != width || h != height) {
    if (shown)
      wl_buffer_destroy(shown);
    width = w, height = h;
    shown = witnessPicture(w, h);
    wl_surface_attach(surface, shown, 0, 0);
    wl_surface_damage_buffer(surface, 0, 0, w, h);
    if (!announced && configuredWidth > 0)
      wl_callback_add_listener(wl_surface_frame(surface), &frameListener, nullptr);
  }
  wl_surface_commit(surface);
}};

const xdg_toplevel_listener toplevelListener{
    .configure = [](void*, xdg_toplevel*, int32_t w, int32_t h,
                    wl_array*) { configuredWidth = w, configuredHeight = h; },
    .close = [](void*, xdg_toplevel*) { std::exit(0); },
};

const char* axisName(uint32_t axis) {
  return axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? "vertical" : "horizontal";
}

const wl_pointer_listener pointerListener{
    .enter =
        [](void*, wl_pointer* pointer, uint32_t serial, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
          wl_pointer_set_cursor(pointer, serial, cursor, 0, 0);
          say("enter x=%g y=%g", wl_fixed_to_double(x), wl_fixed_to_double(y));
        },
    .leave = [](void*, wl_pointer*, uint32_t, wl_surface*) { say("leave"); },
    .motion =
        [](void*, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
          say("motion x=%g y=%g", wl_fixed_to_double(x), wl_fixed_to_double(y));
        },
    .button =
        [](void*, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
          say("button button=%u state=%s", button,
              state == WL_POINTER_BUTTON_STATE_PRESSED ? "pressed" : "released");
        },
    .axis =
        [](void*, wl_pointer*, uint32_t, uint32_t axis, wl_fixed_t value) {
          say("axis axis=%s value=%g", axisName(axis), wl_fixed_to_double(value));
        },
    .frame = [](void*, wl_pointer*) { say("frame"); },
    .axis_source =
        [](void*, wl_pointer*, uint32_t source) {
          const char* names[] = {"wheel", "finger", "continuous", "wheel_tilt"};
          say("axis_source source=%s", source < 4 ? names[source] : "unknown");
        },
    .axis_stop = [](void*, wl_pointer*, uint32_t,
                    uint32_t axis) { say("axis_stop axis=%s", axisName(axis)); },
    .axis_discrete =
        [](void*, wl_pointer*, uint32_t axis, int32_t steps) {
          say("axis_discrete axis=%s steps=%d", axisName(axis), steps);
        },
};

// Keys are named through the compositor's own keymap.
const wl_keyboard_listener keyboardListener{
    .keymap =
        [](void*, wl_keyboard*, uint32_t format, int fd, uint32_t size) {
          void* text = format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1
                           ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0)
                           : MAP_FAILED;
          close(fd);
          if (text == MAP_FAILED)
            return;
          const char* keymapText = static_cast<const char*>(text);
          if (keymapFile)
            std::ofstream(keymapFile).write(keymapText, std::streamsize(strnlen(keymapText, size)));
          xkb_keymap* keymap = xkb_keymap_new_from_string(
              xkb, keymapText, XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
          munmap(text, size);
          if (!keymap)
            return;
          say("keymap");
          xkb_state_unref(keyState);
          keyState = xkb_state_new(keymap);
          xkb_keymap_unref(keymap); // the state holds it
        },
    .enter = [](void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) { say("keyboard_enter"); },
    .leave = [](void*, wl_keyboard*, uint32_t, wl_surface*) { say("keyboard_leave"); },
    .key =
        [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t state) {
          char name[64] = "NoSymbol";
          // Evdev codes are 8 below XKB's; the state's modifiers make a shifted 'a' read "A".
          if (keyState)
            xkb_keysym_get_name(xkb_state_key_get_one_sym(keyState, key + 8), name, sizeof name);
          bool pressed = state == WL_KEYBOARD_KEY_STATE_PRESSED;
          say("key keysym=%s state=%s", name, pressed ? "pressed" : "released");
          // What an application reads the press as typing, Caps Lock's capitals included.
          char utf8[64] = {};
          if (pressed && keyState)
            xkb_state_key_get_utf8(keyState, key + 8, utf8, sizeof utf8);
          if (*utf8)
            say("typed=%s", hexBytes(utf8).c_str());
        },
    .modifiers =
        [](void*, wl_keyboard*, uint32_t, uint32_t depressed, uint32_t latched, uint32_t locked,
           uint32_t group) {
          if (keyState)
            xkb_state_update_mask(keyState, depressed, latched, locked, 0, 0, group);
          say("modifiers depressed=0x%x latched=0x%x locked=0x%x group=%u", depressed, latched,
              locked, group);
        },
    .repeat_info = [](void*, wl_keyboard*, int32_t, int32_t) {},
};

const wl_seat_listener seatListener{
    .capabilities =
        [](void*, wl_seat* seat, uint32_t capabilities) {
          static wl_pointer* pointer = nullptr;
          static wl_keyboard* keyboard = nullptr;
          if ((capabilities & WL_SEAT_CAPABILITY_POINTER) && !pointer)
            wl_pointer_add_listener(pointer = wl_seat_get_pointer(seat), &pointerListener, nullptr);
          if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !keyboard)
            wl_keyboard_add_listener(keyboard = wl_seat_get_keyboard(seat), &keyboardListener,
                                     nullptr);
        },
    .name = [](void*, wl_seat*, const char*) {},
};

const xdg_wm_base_listener wmBaseListener{
    [](void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }};

const wl_registry_listener registryListener{
    .global =
        [](void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
          auto is = [&](const wl_interface& type) {
            return std::strcmp(interface, type.name) == 0;
          };
          auto bind = [&](const wl_interface& type, uint32_t highest) {
            return wl_registry_bind(registry, name, &type, std::min(version, highest));
          };
          if (is(wl_compositor_interface))
            compositor = static_cast<wl_compositor*>(bind(wl_compositor_interface, 4));
          else if (is(wl_shm_interface))
            shm = static_cast<wl_shm*>(bind(wl_shm_interface, 1));
          else if (is(xdg_wm_base_interface))
            xdg_wm_base_add_listener(wmBase =
                                         static_cast<xdg_wm_base*>(bind(xdg_wm_base_interface, 1)),
                                     &wmBaseListener, nullptr);
          // Version 7: axis sources and stops, but not yet the high-resolution wheel events of 8.
          else if (is(wl_seat_interface) && !seat)
            wl_seat_add_listener(seat = static_cast<wl_seat*>(bind(wl_seat_interface, 7)),
                                 &seatListener, nullptr);
        },
    .global_remove = [](void*, wl_registry*, uint32_t) {},
};

} // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--colour" && i + 1 < argc)
      colour = uint32_t(std::strtoul(argv[++i], nullptr, 16)) & 0xffffffu;
    else if (arg == "--keymap" && i + 1 < argc)
      keymapFile = argv[++i];
    else if (arg == "--animate" || arg == "--marks")
      (arg == "--animate" ? animate : marks) = true;
    else
      usage(argv[0], "[--colour RRGGBB] [--keymap FILE] [--animate] [--marks]");
  }

  wl_display* display = wl_display_connect(nullptr);
  if (!display)
    fail("cannot connect to the Wayland display");
  wl_registry_add_listener(wl_display_get_registry(display), &registryListener, nullptr);
  wl_display_roundtrip(display);
  if (!compositor || !shm || !wmBase || !xkb)
    fail("the compositor lacks wl_compositor, wl_shm or xdg_wm_base");
  surface = wl_compositor_create_surface(compositor);
  xdg_surface* xdgSurface = xdg_wm_base_get_xdg_surface(wmBase, surface);
  xdg_surface_add_listener(xdgSurface, &xdgSurfaceListener, nullptr);
  xdg_toplevel* toplevel = xdg_surface_get_toplevel(xdgSurface);
  xdg_toplevel_add_listener(toplevel, &toplevelListener, nullptr);
  xdg_toplevel_set_title(toplevel, "Witness");
  xdg_toplevel_set_app_id(toplevel, "tovel.witness");
  xdg_toplevel_set_fullscreen(toplevel, nullptr);
  // Without a cursor of its own a window shows none at all.
  cursor = wl_compositor_create_surface(compositor);
  wl_surface_attach(cursor, picture(16, 16, 0xffffff, {{2, 2, 12, 12, 0x000000}}), 0, 0);
  wl_surface_damage_buffer(cursor, 0, 0, 16, 16);
  wl_surface_commit(cursor);
  // The first commit carries no buffer; the compositor answers with the fullscreen size.
  wl_surface_commit(surface);
  while (wl_display_dispatch(display) != -1) {
  }
  fail("the compositor closed the connection");
}
