#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/image.h"
#include "platform/picture_pool.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;

namespace tovel {

// The PipeWire connection that screen-cast frames come through, with its own thread.
class PipeWireLoop {
public:
  // Null, with the reason in `error`, when PipeWire cannot be reached.
  static std::unique_ptr<PipeWireLoop> connect(std::string& error);
  ~PipeWireLoop();

  pw_thread_loop* loop() const { return loop_; }
  pw_core* core() const { return core_; }

private:
  PipeWireLoop() = default;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
};

// The cursor as a screen cast reports it beside its pictures.
struct CursorSprite {
  int width = 0;
  int height = 0;
  int hotX = 0;
  int hotY = 0;
  std::vector<std::uint32_t> argb; // premultiplied 0xAARRGGBB, row by row
};

struct CursorState {
  // The hot spot in the stream's pixels; none while the cursor is not on this stream's monitor.
  std::optional<std::pair<int, int>> position;
  std::shared_ptr<const CursorSprite> sprite;
  std::uint64_t generation = 0; // counts changes of position or sprite
};

// The pictures of one monitor as screen-cast streams bring them from PipeWire: the newest picture
// (a copy in BGRA, damage-driven: the compositor sends one only when something changed) and the
// cursor reported with it. It outlives the streams it reads: when the compositor's session is
// replaced, it follows the new session's stream, and whoever holds it sees the new pictures. Used
// by any number of threads.
class PipeWireFeed {
public:
  using Clock = std::chrono::steady_clock;
  struct Events {
    // On PipeWire's thread, for each cursor position reported (in the stream's pixels) that
    // differs from the one before, before anyone can see it; with when the compositor took it,
    // where its buffer says.
    std::function<void(int x, int y, std::optional<Clock::time_point> taken)> cursorMoved;
    // On PipeWire's thread, when the stream followed fails or its node goes: which follow() it
    // was (see followed()) and why.
    std::function<void(std::uint64_t follow, const std::string& why)> failed;
  };

  explicit PipeWireFeed(PipeWireLoop& loop, Events events = {});
  ~PipeWireFeed();
  PipeWireFeed(const PipeWireFeed&) = delete;
  PipeWireFeed& operator=(const PipeWireFeed&) = delete;

  // Reads the stream of this PipeWire node from now on, instead of any before; the newest picture
  // stays until the node brings one. The session manager links the stream to the node, or, with
  // `linkItself`, the feed does (for a session whose manager does not). False, with the reason,
  // when the stream cannot be made.
  bool follow(std::uint32_t node, bool linkItself, std::string& error);
  // Stops reading: no node brings pictures until the next follow().
  void unfollow();
  // How many times follow() was called, and since the last time: whether a picture has come, and
  // whether the stream was linked (it agreed a format with the node).
  std::uint64_t followed() const;
  bool pictured() const;
  bool linked() const;

  struct Picture {
    std::shared_ptr<const BgraImage> image;
    std::uint64_t generation = 0; // 0: none yet
  };
  Picture newest() const;
  CursorState cursor() const;
  // Changes of picture or cursor so far.
  std::uint64_t changes() const;
  // Waits until the number of changes passes `seen`, the deadline passes, the feed ends or
  // wake() is called. True when there was a change.
  bool waitForChange(std::uint64_t seen, std::optional<Clock::time_point> deadline);
  void wake();
  // Ends the feed for good: waits return at once.
  void end();
  bool ended() const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace tovel
