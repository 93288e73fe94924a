#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include "input/key_names.h"
#include "platform/x11/x11_desktop.h"
#include "platform/x11/x11_keymap.h"
#include "support/process.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

// Another client of the server, to look at what the backend did.
class Probe {
public:
  explicit Probe(const XvfbServer& server) : display_(XOpenDisplay(server.display().c_str())) {}
  ~Probe() {
    if (display_)
      XCloseDisplay(display_);
  }
  bool open() const { return display_ != nullptr; }

  // The keycodes that are down, as the server's core keyboard state has them.
  std::vector<int> keysDown() {
    char bits[32];
    XQueryKeymap(display_, bits);
    std::vector<int> down;
    for (int keycode = 0; keycode < 256; ++keycode)
      if (bits[keycode / 8] & (1 << (keycode % 8)))
        down.push_back(keycode);
    return down;
  }

  // The keysym a keycode types unmodified, read from the server now.
  KeySym keysymOf(int keycode) {
    int perKeycode = 0;
    KeySym* keysyms = XGetKeyboardMapping(display_, ::KeyCode(keycode), 1, &perKeycode);
    KeySym keysym = keysyms && perKeycode > 0 ? keysyms[0] : NoSymbol;
    if (keysyms)
      XFree(keysyms);
    return keysym;
  }

  bool keyboardHas(KeySym keysym) {
    int minKeycode = 0, maxKeycode = 0;
    XDisplayKeycodes(display_, &minKeycode, &maxKeycode);
    for (int keycode = minKeycode; keycode <= maxKeycode; ++keycode)
      if (keysymOf(keycode) == keysym)
        return true;
    return false;
  }

  struct Pointer {
    int x = 0, y = 0;
    unsigned mask = 0;
  };
  Pointer pointer() {
    Window root, child;
    int x = 0, y = 0;
    Pointer p;
    XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &p.x, &p.y, &x, &y,
                  &p.mask);
    return p;
  }

private:
  Display* display_;
};

// The backend's requests travel on its own connection; wait until the server shows their effect.
bool eventually(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + 3s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

KeyEvent key(KeyCode code, bool down) {
  return makeKeyEvent(code, down);
}

MouseEvent mouse(MouseEventType type, double x, double y) {
  return makeMouseEvent(type, Point{x, y}, kLeftButton);
}

TEST(X11Input, EveryKeyNameReachesAKeyOfItsKeysymAndNothingStaysBound) {
  XvfbServer server;
  ASSERT_TRUE(server.running());
  Probe probe(server);
  ASSERT_TRUE(probe.open());
  // An application that was running before any key was bound must see the keys as well.
  ChildProcess witness(TOVEL_X_WITNESS, {"--focus"}, ChildProcess::Input::emptyFile,
                       server.environment());
  ASSERT_TRUE(witness.waitForOutput("FocusIn", 5s));
  auto desktop = X11Desktop::open(server.display());
  ASSERT_NE(desktop, nullptr);

  std::vector<std::pair<std::string, int>> bound; // names the keyboard lacked, and their keycode
  for (const auto& [name, code] : keyNameToKeyCode()) {
    KeySym keysym = *keysymForKeyCode(code);
    bool present = probe.keyboardHas(keysym);
    desktop->post(key(code, true));
    std::vector<int> down;
    ASSERT_TRUE(eventually([&] { return !(down = probe.keysDown()).empty(); })) << name;
    ASSERT_EQ(down.size(), 1u) << name;
    EXPECT_EQ(probe.keysymOf(down[0]), keysym) << name << " went down on keycode " << down[0];
    desktop->post(key(code, false));
    EXPECT_TRUE(eventually([&] { return probe.keysDown().empty(); })) << name << " stayed down";
    if (!present)
      bound.emplace_back(name, down[0]);
    std::string seen = std::string("KeyRelease keysym=") + XKeysymToString(keysym) + " ";
    EXPECT_TRUE(witness.waitForOutput(seen, 2s)) << name;
  }
  // Xvfb's keyboard lacks some of them, so the binding of spare keycodes was exercised too.
  ASSERT_FALSE(bound.empty());
  std::string names;
  for (const auto& [name, keycode] : bound)
    names += " " + name + "@" + std::to_string(keycode);
  std::printf("bound to spare keycodes:%s\n", names.c_str());

  // A key stays on the keycode it went down on: moving "a" elsewhere between its press and its
  // release must not leave the old key down. It moves to the keycode of the first bound key, which
  // is then no longer ours to give back.
  KeyCode a = *lookupKeyName("a");
  desktop->post(key(a, true));
  std::vector<int> down;
  ASSERT_TRUE(eventually([&] { return (down = probe.keysDown()).size() == 1; }));
  auto [takenName, taken] = bound.front();
  server.run("xmodmap -e 'keycode " + std::to_string(down[0]) + " = b B' -e 'keycode " +
             std::to_string(taken) + " = a A'");
  desktop->post(key(a, false));
  EXPECT_TRUE(eventually([&] { return probe.keysDown().empty(); }));
  // The next press follows the new layout.
  desktop->post(key(a, true));
  ASSERT_TRUE(eventually([&] { return (down = probe.keysDown()).size() == 1; }));
  EXPECT_EQ(down[0], taken);
  desktop->post(key(a, false));
  // The key whose keycode was taken finds another one.
  desktop->post(key(*lookupKeyName(takenName), true));
  ASSERT_TRUE(eventually([&] { return (down = probe.keysDown()).size() == 1; }));
  EXPECT_EQ(probe.keysymOf(down[0]), *keysymForKeyCode(*lookupKeyName(takenName)));
  desktop->post(key(*lookupKeyName(takenName), false));

  // Keys left down are released, and the spare keycodes given back, when the backend goes away.
  KeyCode f13 = *lookupKeyName("f13");
  desktop->post(key(*lookupKeyName("shift"), true));
  desktop->post(key(f13, true));
  ASSERT_TRUE(eventually([&] { return (down = probe.keysDown()).size() == 2; }));
  desktop.reset();
  EXPECT_TRUE(probe.keysDown().empty());
  for (const auto& [name, keycode] : bound) {
    if (keycode != taken) {
      EXPECT_EQ(probe.keysymOf(keycode), KeySym(NoSymbol)) << name;
    }
  }
  EXPECT_EQ(probe.keysymOf(taken), KeySym(XK_a));
  EXPECT_FALSE(probe.keyboardHas(*keysymForKeyCode(f13)));
}

TEST(X11Input, AModifierMissingFromTheLayoutIsBoundAsAModifier) {
  XvfbServer server;
  ASSERT_TRUE(server.running());
  // A layout whose right Control key is a menu key: it has no Control_R.
  server.run("xmodmap -e 'clear control' -e 'keycode 105 = Menu' -e 'add control = Control_L'");
  Probe probe(server);
  ASSERT_TRUE(probe.open());
  ASSERT_FALSE(probe.keyboardHas(XK_Control_R));
  auto desktop = X11Desktop::open(server.display());
  ASSERT_NE(desktop, nullptr);

  KeyCode rightControl = *lookupKeyName("rightControl");
  desktop->post(key(rightControl, true));
  std::vector<int> down;
  ASSERT_TRUE(eventually([&] { return (down = probe.keysDown()).size() == 1; }));
  EXPECT_EQ(probe.keysymOf(down[0]), KeySym(XK_Control_R));
  // Held, it modifies like the left Control key does.
  EXPECT_TRUE(eventually([&] { return (probe.pointer().mask & ControlMask) != 0; }));
  desktop->post(key(rightControl, false));
  EXPECT_TRUE(eventually([&] { return (probe.pointer().mask & ControlMask) == 0; }));

  desktop.reset();
  EXPECT_EQ(probe.keysymOf(down[0]), KeySym(NoSymbol));
  // Nor is it left in the modifier map, which lists keycodes as "(0x..)".
  char entry[16];
  std::snprintf(entry, sizeof entry, "(0x%x)", unsigned(down[0]));
  std::string modifiers = server.run("xmodmap -pm");
  EXPECT_EQ(modifiers.find(entry), std::string::npos) << modifiers;
}

TEST(X11Input, PointerGoesToTheGlobalPositionWithinTheRootWindow) {
  XvfbServer server;
  ASSERT_TRUE(server.running());
  // The primary monitor is the right half, so global (0, 0) is root (960, 0).
  server.run("xrandr --setmonitor left 960/254x1080/286+0+0 screen && "
             "xrandr --setmonitor '*right' 960/254x1080/286+960+0 none");
  Probe probe(server);
  ASSERT_TRUE(probe.open());
  auto desktop = X11Desktop::open(server.display());
  ASSERT_NE(desktop, nullptr);

  auto at = [&](int x, int y) {
    return eventually([&] {
      Probe::Pointer p = probe.pointer();
      return p.x == x && p.y == y;
    });
  };
  desktop->post(mouse(MouseEventType::mouseMoved, 10, 20));
  EXPECT_TRUE(at(970, 20));
  desktop->post(mouse(MouseEventType::leftMouseDragged, -900.4, 33.6));
  EXPECT_TRUE(at(60, 34));
  desktop->post(mouse(MouseEventType::mouseMoved, -5000, 1e300));
  EXPECT_TRUE(at(0, 1079));
  desktop->post(mouse(MouseEventType::mouseMoved, 5000, -7));
  EXPECT_TRUE(at(1919, 0));
  // A position that is no number moves nothing; the next real one still does.
  desktop->post(mouse(MouseEventType::mouseMoved, std::nan(""), 5));
  desktop->post(mouse(MouseEventType::mouseMoved, 5, INFINITY));
  desktop->post(mouse(MouseEventType::mouseMoved, 100, 200));
  EXPECT_TRUE(at(1060, 200));
  // A press or release without a place still happens, where the pointer is, so none is lost.
  desktop->post(mouse(MouseEventType::leftMouseDown, std::nan(""), 0));
  EXPECT_TRUE(desktop->primaryButtonDown());
  desktop->post(mouse(MouseEventType::leftMouseUp, 0, -INFINITY));
  EXPECT_FALSE(desktop->primaryButtonDown());
  EXPECT_TRUE(at(1060, 200));

  // Presses happen at their own position; only the left button counts as primary.
  desktop->post(mouse(MouseEventType::rightMouseDown, 40, 50));
  EXPECT_TRUE(at(1000, 50));
  EXPECT_FALSE(desktop->primaryButtonDown());
  EXPECT_TRUE(eventually([&] { return (probe.pointer().mask & Button3Mask) != 0; }));
  desktop->post(mouse(MouseEventType::leftMouseDown, 41, 50));
  EXPECT_TRUE(desktop->primaryButtonDown());
  desktop->post(mouse(MouseEventType::leftMouseUp, 41, 50));
  EXPECT_FALSE(desktop->primaryButtonDown());
  // The right button, still held, is let go when the backend goes away.
  desktop.reset();
  EXPECT_EQ(probe.pointer().mask & (Button1Mask | Button2Mask | Button3Mask), 0u);
}

} // namespace
} // namespace tovel::test
