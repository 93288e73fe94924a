#include "platform/x11/x11_key_watchdog.h"

#include <algorithm>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace tovel {

namespace {

void postKey(Display* display, int keycode, bool down) {
  XTestFakeKeyEvent(display, unsigned(keycode), down ? True : False, CurrentTime);
  XFlush(display);
}

} // namespace

int HeldKeys::press(KeyCode key, int keycode, TimePoint deadline) {
  for (Entry& entry : entries_)
    if (entry.key.key == key) {
      entry.deadline = deadline;
      return entry.key.keycode;
    }
  entries_.push_back({{key, keycode}, deadline});
  return keycode;
}

std::optional<int> HeldKeys::keycodeOf(KeyCode key) const {
  for (const Entry& entry : entries_)
    if (entry.key.key == key)
      return entry.key.keycode;
  return std::nullopt;
}

std::set<int> HeldKeys::keycodes() const {
  std::set<int> keycodes;
  for (const Entry& entry : entries_)
    keycodes.insert(entry.key.keycode);
  return keycodes;
}

std::optional<int> HeldKeys::release(KeyCode key) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [key](const Entry& entry) { return entry.key.key == key; });
  if (it == entries_.end())
    return std::nullopt;
  int keycode = it->key.keycode;
  entries_.erase(it);
  return keycode;
}

std::vector<HeldKeys::Key> HeldKeys::takeDue(TimePoint now) {
  std::vector<Key> due;
  std::erase_if(entries_, [&](const Entry& entry) {
    if (entry.deadline > now)
      return false;
    due.push_back(entry.key);
    return true;
  });
  return due;
}

std::vector<HeldKeys::Key> HeldKeys::takeAll() {
  std::vector<Key> all;
  for (const Entry& entry : entries_)
    all.push_back(entry.key);
  entries_.clear();
  return all;
}

std::optional<HeldKeys::TimePoint> HeldKeys::nextDeadline() const {
  std::optional<TimePoint> next;
  for (const Entry& entry : entries_)
    if (!next || entry.deadline < *next)
      next = entry.deadline;
  return next;
}

KeyWatchdog::KeyWatchdog(ThreadConnections& connections)
    : connections_(connections), thread_([this] { run(); }) {}

KeyWatchdog::~KeyWatchdog() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void KeyWatchdog::press(Display* display, KeyCode key, const Resolve& resolve) {
  std::lock_guard lock(mutex_);
  std::optional<int> keycode = keys_.keycodeOf(key);
  if (!keycode)
    keycode = resolve(keys_.keycodes());
  if (!keycode)
    return;
  postKey(display, keys_.press(key, *keycode, std::chrono::steady_clock::now() + kHoldLimit), true);
  wake_.notify_all();
}

void KeyWatchdog::release(Display* display, KeyCode key, const Resolve& resolve) {
  std::lock_guard lock(mutex_);
  // A release with no press of ours before it still goes out, as a physical key's would.
  std::optional<int> keycode = keys_.release(key);
  if (!keycode)
    keycode = resolve(keys_.keycodes());
  if (keycode)
    postKey(display, *keycode, false);
}

void KeyWatchdog::releaseAll(Display* display) {
  std::lock_guard lock(mutex_);
  for (const HeldKeys::Key& key : keys_.takeAll())
    postKey(display, key.keycode, false);
}

std::set<int> KeyWatchdog::heldKeycodes() {
  std::lock_guard lock(mutex_);
  return keys_.keycodes();
}

void KeyWatchdog::whileLifted(Display* display, const std::function<bool(int keycode)>& lift,
                              const std::function<void(const std::set<int>& held)>& body) {
  std::lock_guard lock(mutex_);
  std::set<int> held = keys_.keycodes();
  std::vector<int> lifted;
  for (int keycode : held)
    if (lift(keycode)) {
      XTestFakeKeyEvent(display, unsigned(keycode), False, CurrentTime);
      lifted.push_back(keycode);
    }
  body(held);
  for (int keycode : lifted)
    XTestFakeKeyEvent(display, unsigned(keycode), True, CurrentTime);
  XFlush(display);
}

void KeyWatchdog::run() {
  // Opened now, so that a late release does not wait for a connection.
  Display* display = connections_.forThisThread();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (auto deadline = keys_.nextDeadline())
      wake_.wait_until(lock, *deadline);
    else
      wake_.wait(lock);
    if (stopping_)
      break;
    std::vector<HeldKeys::Key> due = keys_.takeDue(std::chrono::steady_clock::now());
    if (due.empty())
      continue;
    if (!display)
      display = connections_.forThisThread();
    if (!display)
      continue;
    for (const HeldKeys::Key& key : due)
      postKey(display, key.keycode, false);
    // Processed before the lock goes, so a press made right after cannot overtake the release
    // on its way through the server.
    XSync(display, False);
  }
}

} // namespace tovel
