// First: it includes GoogleTest before Xlib, whose macros (None, Bool) clash with its names.
#include "system/x11/x11_test.h"

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include <cmath>
#include <thread>

#include "common/log.h"
#include "common/utf8_text.h"
#include "input/injection_state.h"
#include "input/key_names.h"
#include "input/pointer.h"
#include "platform/sim/manual_clock.h"
#include "platform/x11/x11_desktop.h"
#include "platform/x11/x11_keymap.h"
#include "support/witness_text.h"

namespace tovel::test {
namespace {

// A server with a focused witness that reports what reaches it, and the backend on it. The
// backend's requests travel on its own connection: tests wait until the server shows their effect.
class X11InputTest : public X11Test<> {
protected:
  void SetUp() override {
    X11Test::SetUp();
    ASSERT_TRUE(witness.process.waitForOutput("FocusIn", 10s));
    desktop = X11Desktop::open(server.display());
    ASSERT_NE(desktop, nullptr);
  }

  // The keycodes that are down, and a wait until exactly `count` are.
  std::vector<int> keysDown() {
    char bits[32];
    XQueryKeymap(display, bits);
    std::vector<int> down;
    for (int keycode = 0; keycode < 256; ++keycode)
      if (bits[keycode / 8] & (1 << (keycode % 8)))
        down.push_back(keycode);
    return down;
  }
  std::vector<int> waitForKeysDown(std::size_t count) {
    std::vector<int> down;
    EXPECT_TRUE(waitUntil([&] { return (down = keysDown()).size() == count; })) << down.size();
    return down;
  }
  // The keysym each keycode types unmodified, as the server has them now.
  std::vector<KeySym> keymap() {
    int min = 0, max = 0, perKeycode = 0;
    XDisplayKeycodes(display, &min, &max);
    KeySym* keysyms = XGetKeyboardMapping(display, ::KeyCode(min), max - min + 1, &perKeycode);
    std::vector<KeySym> column(256, NoSymbol);
    for (int keycode = min; keysyms && keycode <= max; ++keycode)
      column[std::size_t(keycode)] = keysyms[(keycode - min) * perKeycode];
    XFree(keysyms);
    return column;
  }
  KeySym keysymOf(int keycode) { return keymap()[std::size_t(keycode)]; }
  bool keyboardHas(KeySym keysym) { return std::ranges::count(keymap(), keysym) > 0; }
  unsigned mask() { return std::get<2>(server.pointer()); }
  void key(const std::string& name, bool down) {
    desktop->post(makeKeyEvent(*lookupKeyName(name), down));
  }
  void mouse(MouseEventType type, double x, double y) {
    desktop->post(makeMouseEvent(type, Point{x, y}, kLeftButton));
  }
  // Types the text as the host does, pausing where the backend asks to; the witness has then
  // received `expected` (the text itself when empty), all it was typed since it started.
  bool typed(const std::u32string& text, std::string expected = "") {
    for (std::size_t done = 0; done < text.size();) {
      TypingProgress progress = desktop->typeText(std::u32string_view(text).substr(done));
      EXPECT_TRUE(progress.untypable.empty());
      done += progress.handled;
      std::this_thread::sleep_for(std::chrono::duration<double>(progress.resumeAfter));
    }
    if (expected.empty())
      for (char32_t c : text)
        expected += encodeUtf8(c);
    return received(expected);
  }
  bool received(const std::string& text) {
    return waitUntil([&] { return witnessTypedText(witness.process.output()) == text; }, 30s);
  }
  int spareKeycodes() { return std::stoi(server.run("xmodmap -pke | awk 'NF == 3' | wc -l")); }

  Witness witness{server, {"--focus"}};
  std::unique_ptr<X11Desktop> desktop;
};

TEST_F(X11InputTest, EveryKeyNameReachesAKeyOfItsKeysymAndNothingStaysBound) {
  // The witness, running before any key was bound, must see the keys as well.
  std::vector<std::pair<std::string, int>> bound; // names the keyboard lacked, and their keycode
  for (const auto& [name, code] : keyNameToKeyCode()) {
    KeySym keysym = *keysymForKeyCode(code);
    bool present = keyboardHas(keysym);
    key(name, true);
    std::vector<int> down = waitForKeysDown(1);
    ASSERT_EQ(down.size(), 1u) << name;
    EXPECT_EQ(keysymOf(down[0]), keysym) << name << " went down on keycode " << down[0];
    key(name, false);
    EXPECT_TRUE(waitForKeysDown(0).empty()) << name << " stayed down";
    if (!present)
      bound.emplace_back(name, down[0]);
    std::string seen = std::string("KeyRelease keysym=") + XKeysymToString(keysym) + " ";
    EXPECT_TRUE(witness.process.waitForOutput(seen, 2s)) << name;
  }
  // Xvfb's keyboard lacks some of them, so the binding of spare keycodes was exercised too.
  ASSERT_FALSE(bound.empty());

  // A key stays on the keycode it went down on: moving "a" elsewhere between its press and its
  // release (pressed again in between, as a repeat does) must not leave the old key down. It moves
  // to the keycode of the first bound key, which is then no longer ours to give back.
  key("a", true);
  std::vector<int> down = waitForKeysDown(1);
  ASSERT_EQ(down.size(), 1u);
  auto [takenName, taken] = bound.front();
  server.run("xmodmap -e 'keycode " + std::to_string(down[0]) + " = b B' -e 'keycode " +
             std::to_string(taken) + " = a A'");
  key("a", true);
  key("a", false);
  waitForKeysDown(0);
  // The next press follows the new layout, and the key whose keycode was taken finds another.
  key("a", true);
  EXPECT_EQ(waitForKeysDown(1), std::vector{taken});
  key("a", false);
  key(takenName, true);
  down = waitForKeysDown(1);
  ASSERT_EQ(down.size(), 1u);
  EXPECT_EQ(keysymOf(down[0]), *keysymForKeyCode(*lookupKeyName(takenName)));
  key(takenName, false);

  // Keys left down are released, and the spare keycodes given back, when the backend goes away.
  key("shift", true);
  key("f13", true);
  waitForKeysDown(2);
  desktop.reset();
  EXPECT_TRUE(keysDown().empty());
  for (const auto& [name, keycode] : bound) {
    EXPECT_EQ(keysymOf(keycode), keycode == taken ? KeySym(XK_a) : KeySym(NoSymbol)) << name;
    EXPECT_FALSE(keyboardHas(*keysymForKeyCode(*lookupKeyName(name)))) << name;
  }
}

TEST_F(X11InputTest, AModifierMissingFromTheLayoutIsBoundAsAModifier) {
  // A layout whose right Control key is a menu key: it has no Control_R.
  server.run("xmodmap -e 'clear control' -e 'keycode 105 = Menu' -e 'add control = Control_L'");
  ASSERT_FALSE(keyboardHas(XK_Control_R));

  key("rightControl", true);
  std::vector<int> down = waitForKeysDown(1);
  ASSERT_EQ(down.size(), 1u);
  EXPECT_EQ(keysymOf(down[0]), KeySym(XK_Control_R));
  // Held, it modifies like the left Control key does.
  EXPECT_TRUE(waitUntil([&] { return (mask() & ControlMask) != 0; }));
  key("rightControl", false);
  EXPECT_TRUE(waitUntil([&] { return (mask() & ControlMask) == 0; }));

  desktop.reset();
  EXPECT_EQ(keysymOf(down[0]), KeySym(NoSymbol));
  // Nor is it left in the modifier map, which lists keycodes as "(0x..)".
  char entry[16];
  std::snprintf(entry, sizeof entry, "(0x%x)", unsigned(down[0]));
  std::string modifiers = server.run("xmodmap -pm");
  EXPECT_EQ(modifiers.find(entry), std::string::npos) << modifiers;
}

TEST_F(X11InputTest, PointerGoesToTheGlobalPositionWithinTheRootWindow) {
  // The primary monitor is the right half, so global (0, 0) is root (960, 0).
  server.run(kTwoMonitors);
  using enum MouseEventType;
  const struct {
    MouseEventType type;
    double x, y;
    int rootX, rootY;
  } moves[] = {{mouseMoved, 10, 20, 970, 20},
               {leftMouseDragged, -900.4, 33.6, 60, 34},
               {mouseMoved, -5000, 1e300, 0, 1079},
               {mouseMoved, 5000, -7, 1919, 0}};
  for (const auto& move : moves) {
    mouse(move.type, move.x, move.y);
    EXPECT_TRUE(server.pointerReaches(move.rootX, move.rootY)) << move.x << "," << move.y;
  }
  // A position that is no number moves nothing; the next real one still does.
  mouse(mouseMoved, std::nan(""), 5);
  mouse(mouseMoved, 5, INFINITY);
  mouse(mouseMoved, 100, 200);
  EXPECT_TRUE(server.pointerReaches(1060, 200));
  // A press or release without a place still happens, where the pointer is, so none is lost.
  mouse(leftMouseDown, std::nan(""), 0);
  EXPECT_TRUE(desktop->primaryButtonDown());
  mouse(leftMouseUp, 0, -INFINITY);
  EXPECT_FALSE(desktop->primaryButtonDown());
  EXPECT_TRUE(server.pointerReaches(1060, 200));

  // A press happens where the pointer is, whatever position its event carries (one read before
  // moves still queued in the server must not move the pointer back); only the left button
  // counts as primary.
  mouse(rightMouseDown, 40, 50);
  EXPECT_TRUE(server.pointerReaches(1060, 200));
  EXPECT_FALSE(desktop->primaryButtonDown());
  EXPECT_TRUE(waitUntil([&] { return (mask() & Button3Mask) != 0; }));
  // The right button, still held, is let go when the backend goes away.
  desktop.reset();
  EXPECT_EQ(mask() & (Button1Mask | Button2Mask | Button3Mask), 0u);
}

TEST_F(X11InputTest, RelativeMovesAddUpWhilePointerEventsAreFrozen) {
  // A client holding a synchronous pointer grab, as a window manager's click-to-focus grab is
  // while it decides where a click goes: the server queues pointer events, injected ones too.
  ChildProcess grabber(TOVEL_X_WITNESS, {"--commands"}, ChildProcess::Input::pipe,
                       server.environment());
  ASSERT_TRUE(grabber.waitForOutput("ready ", 10s));
  server.run("xdotool mousemove 500 400");
  ASSERT_TRUE(server.pointerReaches(500, 400));
  grabber.writeInput("grab-sync\n");
  ASSERT_TRUE(grabber.waitForOutput("grabbed\n", 10s)) << grabber.output();

  ManualClock clock;
  InjectionState state;
  MemoryLog log;
  InputContext input{*desktop, clock, state, log};
  for (int i = 0; i < 50; ++i)
    performMouseMove(input, 2, 1, kLeftButton);
  // The moves really are held back: the server still shows the pointer where it was.
  EXPECT_EQ(server.pointer(), std::tuple(500, 400, 0u));
  grabber.writeInput("release\n");
  ASSERT_TRUE(grabber.waitForOutput("released\n", 10s)) << grabber.output();
  EXPECT_TRUE(server.pointerReaches(600, 450));

  // Once the server shows the target, its reports count again: a move made by someone else is
  // where the next relative move starts.
  EXPECT_EQ(desktop->mouseLocation(), (Point{600, 1080 - 450}));
  server.run("xdotool mousemove 20 30");
  ASSERT_TRUE(server.pointerReaches(20, 30));
  performMouseMove(input, 5, 5, kLeftButton);
  EXPECT_TRUE(server.pointerReaches(25, 35));

  // Frozen again, a move back to where the server still shows the pointer leaves nothing to wait
  // for: after the release the next move starts from there.
  grabber.writeInput("grab-sync\n");
  ASSERT_TRUE(grabber.waitForOutput("released\ngrabbed\n", 10s)) << grabber.output();
  performMouseMove(input, 10, 0, kLeftButton);
  performMouseMove(input, -10, 0, kLeftButton);
  grabber.writeInput("release\n");
  ASSERT_TRUE(grabber.waitForOutput("released\ngrabbed\nreleased\n", 10s)) << grabber.output();
  performMouseMove(input, 1, 1, kLeftButton);
  EXPECT_TRUE(server.pointerReaches(26, 36));
}

// Typing on a German keyboard: held shift and a locked caps lock do not change what is typed,
// and are as they were after. With a second layout active, its characters come from its keys; the
// first one's, which the active group lacks, from keys of their own (the first group's keys would
// type the second's).
TEST_F(X11InputTest, TypingIgnoresHeldAndLockedModifiersAndUsesTheActiveGroup) {
  server.run("setxkbmap de");
  key("shift", true);
  XkbLockModifiers(display, XkbUseCoreKbd, LockMask, LockMask);
  XSync(display, False);
  EXPECT_TRUE(typed(U"a1@Aß\n")) << witness.process.output();
  XkbStateRec state;
  XkbGetState(display, XkbUseCoreKbd, &state);
  EXPECT_EQ(state.locked_mods, unsigned(LockMask));
  // Shift is still held: the next key takes it, and cancels caps lock out.
  key("a", true);
  key("a", false);
  EXPECT_TRUE(received("a1@Aß\na")) << witness.process.output();

  key("shift", false);
  server.run("setxkbmap -layout de,ru");
  XkbLockModifiers(display, XkbUseCoreKbd, LockMask, 0);
  XkbLockGroup(display, XkbUseCoreKbd, 1);
  XSync(display, False);
  EXPECT_TRUE(typed(U"фaЖ@z", "a1@Aß\naфaЖ@z")) << witness.process.output();
}

// More characters than the keyboard has spare keycodes: bindings are taken back for new ones
// once they have rested, every character still arrives as itself, and none stays bound.
TEST_F(X11InputTest, TypingBeyondTheSpareKeycodesLeavesNoneBound) {
  int spare = spareKeycodes();
  ASSERT_GT(spare, 5);
  std::u32string text;
  for (int i = 0; i < spare + 12; ++i) {
    text += char32_t(0x4E00 + i); // CJK ideographs, which no layout has
    text += U"ж "[i % 2];         // and one bound early and used all along
  }
  EXPECT_TRUE(typed(text)) << witness.process.output();
  desktop.reset();
  EXPECT_EQ(spareKeycodes(), spare);
}

} // namespace
} // namespace tovel::test
