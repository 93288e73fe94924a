// WlrootsInput's typing of text, apart from its keys and pointer.
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <set>
#include <vector>

#include "platform/wlroots/wayland_client.h"
#include "platform/wlroots/wlroots_input.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"

namespace tovel {

namespace {

using Steady = std::chrono::steady_clock;

// Characters per part. A part is sent once the compositor has handled the one before it: a long
// text sent at once would fill the connection, which ends it.
constexpr std::size_t kCharactersPerCall = 100;
// How often to look for the compositor's answer.
constexpr double kAnswerPoll = 0.002;
// Between the compositor taking a new keymap and the first key on it, for clients that fetch a
// changed keymap only when told of it (Xwayland's X clients): one still fetching would read the
// key with the old one.
constexpr auto kSettle = std::chrono::milliseconds(20);
// A key the compositor handed on this recently keeps its keysym: an application that has read
// the new keymap before handling the press (Xlib takes a map change in as it reads it) would read
// the press with the new one.
constexpr auto kRebindRest = std::chrono::milliseconds(500);

double secondsUntil(Steady::time_point now, Steady::time_point then) {
  return std::max(std::chrono::duration<double>(then - now).count(), kAnswerPoll);
}

Keysym keysymFor(char32_t c) {
  return c == U'\n' ? XKB_KEY_Return : c == U'\t' ? XKB_KEY_Tab : xkb_utf32_to_keysym(c);
}

} // namespace

TypingProgress WlrootsInput::typeText(std::u32string_view text) {
  std::lock_guard lock(mutex_);
  if (client_.broken())
    return TypingProgress{text.size(), std::u32string(text), 0};
  auto now = Steady::now();
  if (typingAnswer_) {
    if (!client_.answered(*typingAnswer_))
      return TypingProgress{0, {}, kAnswerPoll};
    // Applications read what the compositor has handed on from about now: the rest of the keys
    // and the settling of a keymap count from here.
    for (std::uint32_t keycode : unanswered_)
      typedAt_[keycode] = now;
    unanswered_.clear();
    if (keymapUnanswered_)
      typableFrom_ = now + kSettle;
    keymapUnanswered_ = false;
    typingAnswer_.reset();
  }

  // A part: up to the first character without a keysym, which is typed as nothing.
  text = text.substr(0, kCharactersPerCall);
  std::vector<Keysym> keysyms;
  for (char32_t c : text) {
    Keysym keysym = keysymFor(c);
    if (!keysym)
      break;
    keysyms.push_back(keysym);
  }
  if (keysyms.empty())
    return TypingProgress{1, std::u32string(1, text.front()), 0};

  // The keys held down and those that have not rested keep their keysyms.
  std::set<std::uint32_t> keep = heldKeycodes();
  std::optional<Steady::time_point> restEnds;
  for (auto it = typedAt_.begin(); it != typedAt_.end();) {
    Steady::time_point ends = it->second + kRebindRest;
    if (ends <= now) {
      it = typedAt_.erase(it);
      continue;
    }
    if (keep.insert(it->first).second)
      restEnds = restEnds ? std::min(*restEnds, ends) : ends;
    ++it;
  }
  std::vector<std::uint32_t> keycodes = keymap_.reserve(keysyms, keep);
  if (keycodes.empty()) {
    if (restEnds)
      return TypingProgress{0, {}, secondsUntil(now, *restEnds)};
    // Every spare key is held down.
    return TypingProgress{1, std::u32string(1, text.front()), 0};
  }
  if (uploaded_ != keymap_.generation()) {
    uploadKeymapIfChanged();
    // Not sent: the compositor's keymap lacks the new keys.
    if (uploaded_ != keymap_.generation())
      return TypingProgress{keycodes.size(), std::u32string(text.substr(0, keycodes.size())), 0};
    client_.flush();
    typingAnswer_ = client_.requestAnswer();
    keymapUnanswered_ = true;
    return TypingProgress{0, {}, kAnswerPoll};
  }
  if (now < typableFrom_)
    return TypingProgress{0, {}, secondsUntil(now, typableFrom_)};

  // The keys' first level, whatever injection holds or locks; put back afterwards, also where the
  // compositor reset them with a new keymap. A key on the person's own keyboard is another keyboard
  // of the seat, whose modifiers do not apply here.
  bool modified = depressed_ != 0 || locked_ != 0;
  if (modified)
    zwp_virtual_keyboard_v1_modifiers(keyboard_, 0, 0, 0, 0);
  for (std::uint32_t keycode : keycodes) {
    sendKey(keycode, true);
    sendKey(keycode, false);
  }
  if (modified)
    zwp_virtual_keyboard_v1_modifiers(keyboard_, depressed_, 0, locked_, 0);
  client_.flush();
  unanswered_ = std::move(keycodes);
  typingAnswer_ = client_.requestAnswer();
  return TypingProgress{unanswered_.size(), {}, 0};
}

} // namespace tovel
