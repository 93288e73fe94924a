// GnomeInput's typing of text, apart from its keys and pointer.
#include <X11/keysym.h>

#include <map>

#include "platform/gnome/gnome_input.h"
#include "platform/gnome/mutter_keysyms.h"
#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/gnome/wayland_keymap.h"

namespace tovel {

namespace {

// Characters per call, so that a long text leaves the host's loop free for its clients between
// parts.
constexpr std::size_t kCharactersPerCall = 100;
// How long the first text waits for the session's keymap.
constexpr auto kKeymapWait = std::chrono::seconds(5);
constexpr auto kKeymapTapAfter = std::chrono::milliseconds(200);
constexpr double kKeymapPoll = 0.02;
// How long typing waits for the compositor to tell of a Caps Lock change the host has sent.
constexpr auto kCapsLockWait = std::chrono::seconds(2);

bool isModifierKeysym(std::uint32_t keysym) {
  switch (keysym) {
  case XK_Shift_L:
  case XK_Shift_R:
  case XK_Control_L:
  case XK_Control_R:
  case XK_Alt_L:
  case XK_Alt_R:
  case XK_Super_L:
  case XK_Super_R:
  case XK_Meta_L:
  case XK_Meta_R:
  case XK_ISO_Level3_Shift:
    return true;
  default:
    return false;
  }
}

} // namespace

TypingProgress GnomeInput::typeText(std::u32string_view text) {
  bool stale = false;
  {
    std::lock_guard lock(mutex_);
    // Without a session (while it is being replaced) nothing can be typed.
    if (!session_)
      return TypingProgress{text.size(), std::u32string(text), 0};
    std::swap(stale, keymapStale_);
  }
  // A compositor that went away (and maybe came back) gets a new client.
  if (!keymap_ || !keymap_->alive() || stale) {
    keymap_ = std::make_unique<WaylandKeymap>();
    keymapAsked_.reset();
    keymapTapped_ = false;
    // No keymap without the compositor: nothing can be known to come out right.
    if (!keymap_->alive())
      return TypingProgress{text.size(), std::u32string(text), 0};
  }
  WaylandKeymap::Keymap keymap = keymap_->current();
  if (!keymap) {
    auto now = std::chrono::steady_clock::now();
    if (!keymapAsked_)
      keymapAsked_ = now;
    // A headless session's seat is no keyboard, and tells no client its keymap, until a key has
    // been injected: when none has come in a moment, a tap of shift makes it one.
    if (!keymapTapped_ && now - *keymapAsked_ >= kKeymapTapAfter) {
      keymapTapped_ = true;
      std::lock_guard lock(mutex_);
      if (session_ && !heldKeys_.count(XK_Shift_L)) {
        session_->key(XK_Shift_L, true);
        session_->key(XK_Shift_L, false);
      }
    }
    if (now - *keymapAsked_ < kKeymapWait)
      return TypingProgress{0, {}, kKeymapPoll};
    return TypingProgress{text.size(), std::u32string(text), 0};
  }

  TypingProgress progress;
  std::map<char32_t, std::optional<Keysym>> keysyms;
  std::lock_guard lock(mutex_);
  if (!session_)
    return TypingProgress{text.size(), std::u32string(text), 0};
  // Mutter types under the session's Caps Lock, which a key the host just sent may be turning
  // (unless the keymap has no Caps Lock key, when Mutter dropped it).
  if (capsLockWait_ && session_->capsLockChanges() < capsLockWait_->changes &&
      std::chrono::steady_clock::now() - capsLockWait_->since < kCapsLockWait &&
      mutterHasKey(keymap.get(), XK_Caps_Lock))
    return TypingProgress{0, {}, kKeymapPoll};
  capsLockWait_.reset();
  bool capsLock = session_->capsLock();
  // The held modifiers would change what the keys type: let go while typing, pressed again after.
  std::vector<std::uint32_t> lifted;
  for (const auto& [keysym, press] : heldKeys_)
    if (isModifierKeysym(keysym)) {
      session_->key(keysym, false);
      lifted.push_back(keysym);
    }
  for (; progress.handled < text.size() && progress.handled < kCharactersPerCall;
       ++progress.handled) {
    char32_t character = text[progress.handled];
    auto known = keysyms.find(character);
    if (known == keysyms.end())
      known = keysyms.emplace(character, mutterKeysymFor(keymap.get(), character, capsLock)).first;
    if (!known->second) {
      progress.untypable += character;
      continue;
    }
    session_->key(*known->second, true);
    session_->key(*known->second, false);
  }
  for (std::uint32_t keysym : lifted)
    session_->key(keysym, true);
  return progress;
}

} // namespace tovel
