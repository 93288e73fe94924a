#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/events.h"
#include "platform/platform.h"

namespace tovel {

class GnomeBus;
class MutterRemoteDesktop;
class WaylandKeymap;

// Where an absolute pointer position goes: a recorded monitor's stream and the position within it.
struct StreamPoint {
  std::string stream;
  double x = 0;
  double y = 0;
  Point global; // the same place in global display coordinates
};

// Synthetic input through the remote-desktop session: pointer moves to absolute places, evdev
// buttons, keys as keysyms (the compositor finds their keys in its own keymap), and pixel
// scrolling as smooth finger scrolling, finished when no scroll has come for a moment. The
// compositor keeps an injected key down until its release, so a press whose release has not come
// within 15 s is released.
class GnomeInput {
public:
  // `place` maps a position in global display coordinates to a monitor stream (the nearest pixel
  // of the nearest monitor for a place outside all of them); none when nothing is recorded.
  using Placer = std::function<std::optional<StreamPoint>(Point global)>;

  GnomeInput(GnomeBus& bus, MutterRemoteDesktop& session, Placer place);
  ~GnomeInput();

  // Returns where a move put the pointer, in global display coordinates; none for other events.
  std::optional<Point> post(const MouseEvent& event);
  void post(const KeyEvent& event);
  void post(const ScrollEvent& event);
  bool primaryButtonDown();
  // See Platform::typeText: what the session's keymap lets Mutter type (gnome_typing.cpp).
  TypingProgress typeText(std::u32string_view text);
  // Lets go of every key and button still held by injection.
  void releaseAll();

private:
  void finishScrollLater();

  GnomeBus& bus_;
  MutterRemoteDesktop& session_;
  Placer place_;
  std::mutex mutex_; // the members below
  std::set<int> heldButtons_;
  std::map<std::uint32_t, std::uint64_t> heldKeys_; // keysym -> press number
  std::uint64_t presses_ = 0;
  std::uint64_t scrolls_ = 0;
  bool scrolling_ = false;
  // Typing: the session's keymap, and since when it has been waited for.
  std::unique_ptr<WaylandKeymap> keymap_;
  std::optional<std::chrono::steady_clock::time_point> keymapAsked_;
  bool keymapTapped_ = false;
};

} // namespace tovel
