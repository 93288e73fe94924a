#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

struct xkb_keymap;

namespace tovel {

struct KeymapListeners;

// The keyboard map of the Wayland compositor this process runs under ($WAYLAND_DISPLAY), as it
// hands it to every client with a keyboard: a thread of this object holds a client connection and
// keeps the newest map. A compositor's seat offers a keyboard only once it has one, which for a
// headless session means once some key has been injected.
class WaylandKeymap {
public:
  using Keymap = std::shared_ptr<xkb_keymap>; // read-only; may be used from any thread

  // Connects at once; alive() says whether that worked.
  WaylandKeymap();
  ~WaylandKeymap();
  WaylandKeymap(const WaylandKeymap&) = delete;
  WaylandKeymap& operator=(const WaylandKeymap&) = delete;

  // The newest keymap, none before the compositor has sent one.
  Keymap current() const;
  // False once the connection has failed or ended (the compositor went away).
  bool alive() const { return alive_; }

private:
  friend struct KeymapListeners;
  struct Client;
  void run();
  void store(Keymap keymap);

  std::unique_ptr<Client> client_;
  int wakeFd_ = -1; // an eventfd that ends the thread
  std::atomic<bool> alive_ = false;
  mutable std::mutex mutex_;
  Keymap keymap_;
  std::thread thread_;
};

} // namespace tovel
