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
// within 15 s is released. Without a session (while the compositor's is being replaced) input is
// dropped.
class GnomeInput {
public:
  // `place` maps a position in global display coordinates to a monitor stream (the nearest pixel
  // of the nearest monitor for a place outside all of them); none when nothing is recorded.
  using Placer = std::function<std::optional<StreamPoint>(Point global)>;
  // Told of each move just before it is sent, with where it goes in global display coordinates.
  using MoveObserver = std::function<void(Point global)>;

  GnomeInput(GnomeBus& bus, Placer place, MoveObserver moving);
  ~GnomeInput();

  // The session that input goes to from now on, or none. What the previous one held down, its
  // compositor has let go of (its virtual devices went with it), so nothing counts as held.
  void useSession(MutterRemoteDesktop* session);
  // The compositor has gone (and may come back as a new one): typing asks the next one for its
  // keymap.
  void compositorGone();

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
  Placer place_;
  MoveObserver moving_;
  std::mutex mutex_; // the members below
  MutterRemoteDesktop* session_ = nullptr;
  std::set<int> heldButtons_;
  std::map<std::uint32_t, std::uint64_t> heldKeys_; // keysym -> press number
  std::uint64_t presses_ = 0;
  std::uint64_t scrolls_ = 0;
  bool scrolling_ = false;
  bool keymapStale_ = false; // the keymap's compositor has gone
  // Typing (main thread): the session's keymap, and since when it has been waited for.
  std::unique_ptr<WaylandKeymap> keymap_;
  std::optional<std::chrono::steady_clock::time_point> keymapAsked_;
  bool keymapTapped_ = false;
  // A Caps Lock press the host sent, whose change the compositor has not told of yet: typing waits
  // for it (that many changes told), for a moment at most.
  struct CapsLockWait {
    std::uint64_t changes;
    std::chrono::steady_clock::time_point since;
  };
  std::optional<CapsLockWait> capsLockWait_;
};

} // namespace tovel
