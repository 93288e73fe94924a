#include "platform/x11/x11_typing.h"

#include <algorithm>
#include <map>
#include <optional>

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
// Seconds between binding keys and pressing them.
constexpr double kSettle = 0.02;

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
  text = text.substr(0, kCharactersPerCall);
  std::optional<X11KeyboardState> keyboard = readKeyboardState(display);
  auto now = std::chrono::steady_clock::now();
  // Keys the layout read does not show: without XKB, the bindings.
  std::map<char32_t, KeyStroke> unshown;
  auto strokeFor = [&](char32_t character) -> std::optional<KeyStroke> {
    if (auto it = unshown.find(character); it != unshown.end())
      return it->second;
    return keyboard ? chooseKeyStroke(keyboard->layout, character) : std::nullopt;
  };

  // Characters without a key get one first, all of them before any key is pressed: an
  // application using Xlib may miss a change of the keyboard map that reaches it while it is
  // still fetching the previous one, and then reads a bound key it is pressed on as typing
  // nothing. Keys found are marked used, so that no binding made here takes one of them.
  std::set<int> held = watchdog.heldKeycodes();
  std::set<char32_t> unbindable;
  std::optional<std::chrono::steady_clock::time_point> wait;
  bool bound = false;
  for (char32_t character : text) {
    if (auto stroke = strokeFor(character)) {
      keymap.used(stroke->keycode, now);
      continue;
    }
    if (unbindable.count(character))
      continue;
    Keysym keysym = keysymForCharacter(character);
    X11Keymap::TypingKey key = keymap.keycodeForTyping(display, keysym, held, now);
    if (key.wait) {
      wait = key.wait;
      break;
    }
    bound = bound || key.fresh;
    if (!key.keycode)
      unbindable.insert(character);
    else if (!key.fresh)
      unshown[character] = KeyStroke{*key.keycode, 0, keysym, 0};
  }
  if (bound) {
    // The keys are pressed in the next call, after applications have had a moment to take the
    // new map.
    XSync(display, False);
    progress.resumeAfter = kSettle;
    return progress;
  }

  std::set<int> modifiers = modifierKeycodes(display);
  auto lift = [&](int keycode) { return modifiers.count(keycode) > 0; };
  watchdog.whileLifted(display, lift, [&](const std::set<int>&) {
    ModifierMask locked = keyboard ? keyboard->locked : 0;
    if (keyboard && keyboard->latched)
      XkbLatchModifiers(display, XkbUseCoreKbd, kAllModifiers, 0);
    for (char32_t character : text) {
      std::optional<KeyStroke> stroke = strokeFor(character);
      if (!stroke && !unbindable.count(character))
        break; // its key is not free yet
      ++progress.handled;
      if (!stroke) {
        progress.untypable += character;
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
  if (progress.handled < text.size() && wait)
    progress.resumeAfter = std::max(std::chrono::duration<double>(*wait - now).count(), kSettle);
  XSync(display, False);
  return progress;
}

} // namespace tovel
