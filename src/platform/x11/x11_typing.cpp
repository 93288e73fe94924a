#include "platform/x11/x11_typing.h"

#include <map>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "platform/x11/x11_key_watchdog.h"
#include "platform/x11/x11_keymap.h"
#include "platform/x11/x11_layout.h"

namespace tovel {

namespace {

// Characters per call: the rest waits for the next turn of the host's loop, which serves its
// clients in between.
constexpr std::size_t kCharactersPerCall = 64;
constexpr unsigned kAllModifiers = 0xff;

// The keycodes that hold a modifier other than Lock: caps lock is a locked modifier, which a
// release and a new press would toggle.
std::set<int> modifierKeycodes(Display* display) {
  std::set<int> keycodes;
  XModifierKeymap* modifiers = XGetModifierMapping(display);
  if (!modifiers)
    return keycodes;
  for (int index = 0; index < 8; ++index)
    for (int i = 0; index != LockMapIndex && i < modifiers->max_keypermod; ++i)
      if (int keycode = modifiers->modifiermap[index * modifiers->max_keypermod + i])
        keycodes.insert(keycode);
  XFreeModifiermap(modifiers);
  return keycodes;
}

} // namespace

TypingProgress typeTextThroughXTest(Display* display, X11Keymap& keymap, KeyWatchdog& watchdog,
                                    std::u32string_view text) {
  TypingProgress progress;
  std::optional<X11KeyboardState> keyboard = readKeyboardState(display);
  std::set<int> modifiers = modifierKeycodes(display);
  auto lift = [&](int keycode) { return modifiers.count(keycode) > 0; };
  watchdog.whileLifted(display, lift, [&](const std::set<int>& held) {
    ModifierMask locked = keyboard ? keyboard->locked : 0;
    if (keyboard && keyboard->latched)
      XkbLatchModifiers(display, XkbUseCoreKbd, kAllModifiers, 0);
    // Characters bound in this call, which the layout read before it does not show yet, and the
    // keycodes they took, which it shows with their old keysyms.
    std::map<char32_t, KeyStroke> bound;
    std::set<int> rebound;
    auto now = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> wait;
    auto strokeFor = [&](char32_t character) -> std::optional<KeyStroke> {
      if (auto it = bound.find(character); it != bound.end())
        return it->second;
      std::optional<KeyStroke> stroke;
      if (keyboard)
        stroke = chooseKeyStroke(keyboard->layout, character);
      if (stroke && !rebound.count(stroke->keycode)) {
        keymap.used(stroke->keycode, now);
        return stroke;
      }
      Keysym keysym = keysymForCharacter(character);
      X11Keymap::TypingKey key = keymap.keycodeForTyping(display, keysym, held, now);
      wait = key.wait;
      if (!key.keycode)
        return std::nullopt;
      rebound.insert(*key.keycode);
      return bound[character] = KeyStroke{*key.keycode, 0, keysym, 0};
    };
    for (std::size_t i = 0; i < text.size() && i < kCharactersPerCall; ++i) {
      std::optional<KeyStroke> stroke = strokeFor(text[i]);
      if (wait) {
        progress.resumeAfter = std::chrono::duration<double>(*wait - now).count();
        break;
      }
      ++progress.handled;
      if (!stroke) {
        progress.untypable += text[i];
        continue;
      }
      if (keyboard && stroke->modifiers != locked) {
        locked = stroke->modifiers;
        XkbLockModifiers(display, XkbUseCoreKbd, kAllModifiers, locked);
      }
      XTestFakeKeyEvent(display, unsigned(stroke->keycode), True, CurrentTime);
      XTestFakeKeyEvent(display, unsigned(stroke->keycode), False, CurrentTime);
    }
    if (keyboard && locked != keyboard->locked)
      XkbLockModifiers(display, XkbUseCoreKbd, kAllModifiers, keyboard->locked);
    if (keyboard && keyboard->latched)
      XkbLatchModifiers(display, XkbUseCoreKbd, kAllModifiers, keyboard->latched);
  });
  XSync(display, False);
  return progress;
}

} // namespace tovel
