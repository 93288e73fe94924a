#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "platform/events.h"
#include "platform/x11/x11_connection.h"

namespace tovel {

// Keys pressed through injection whose release has not come yet: the keycode each went down on
// and the time by which it must be let go.
class HeldKeys {
public:
  using TimePoint = std::chrono::steady_clock::time_point;
  struct Key {
    KeyCode key;
    int keycode;
  };

  // Records a press and returns the keycode to press. A key already down stays on its keycode,
  // so that its one release reaches it even when the layout has changed in between; the deadline
  // moves to the later press.
  int press(KeyCode key, int keycode, TimePoint deadline);
  // The keycode the key is down on; none when it is not down.
  std::optional<int> keycodeOf(KeyCode key) const;
  // The keycodes of every key down.
  std::set<int> keycodes() const;
  // The keycode the key went down on, now forgotten; none when it is not down.
  std::optional<int> release(KeyCode key);
  // Forgets and returns the keys whose deadline has come.
  std::vector<Key> takeDue(TimePoint now);
  std::vector<Key> takeAll();
  std::optional<TimePoint> nextDeadline() const;

private:
  struct Entry {
    Key key;
    TimePoint deadline;
  };
  std::vector<Entry> entries_; // a handful at most
};

// Posts key presses and releases through XTest, and releases any key whose release has not come
// 15 s after its press: X keeps an injected key down until its release, and a lost release would
// otherwise leave a modifier held, or a key repeating, for good. The late releases are posted by
// a thread of this object on a connection of its own.
class KeyWatchdog {
public:
  static constexpr std::chrono::seconds kHoldLimit{15};
  // Gives the keycode for a key, never one of the keycodes held down.
  using Resolve = std::function<std::optional<int>(const std::set<int>& held)>;

  explicit KeyWatchdog(ThreadConnections& connections);
  // Stops the thread at once; keys still down stay down (see releaseAll).
  ~KeyWatchdog();
  KeyWatchdog(const KeyWatchdog&) = delete;
  KeyWatchdog& operator=(const KeyWatchdog&) = delete;

  // A key that is not down goes down, or comes up, on the keycode resolve() gives. Everything
  // happens under the lock of the late releases, so one of them never crosses a fresh press.
  void press(Display* display, KeyCode key, const Resolve& resolve);
  void release(Display* display, KeyCode key, const Resolve& resolve);
  // Releases every key still down.
  void releaseAll(Display* display);
  // The keycodes of the keys down.
  std::set<int> heldKeycodes();
  // Runs `body` with the held keys whose keycode `lift` picks let go for the time being: they are
  // released before it and pressed again after it, their deadlines unchanged. `body` gets the
  // keycodes of every key held, and no late release comes in between.
  void whileLifted(Display* display, const std::function<bool(int keycode)>& lift,
                   const std::function<void(const std::set<int>& held)>& body);

private:
  void run();

  ThreadConnections& connections_;
  std::mutex mutex_;
  std::condition_variable wake_;
  HeldKeys keys_;
  bool stopping_ = false;
  std::thread thread_;
};

} // namespace tovel
