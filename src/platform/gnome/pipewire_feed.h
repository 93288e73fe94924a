#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
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

// One screen-cast stream read from PipeWire: the newest picture (a copy in BGRA, damage-driven:
// the compositor sends one only when something changed) and the cursor reported with it. Used by
// any number of threads.
class PipeWireFeed {
public:
  using Clock = std::chrono::steady_clock;

  // Connects to the node; null, with the reason in `error`, when the stream cannot be made.
  static std::unique_ptr<PipeWireFeed> connect(PipeWireLoop& loop, std::uint32_t node,
                                               std::string& error);
  ~PipeWireFeed();
  PipeWireFeed(const PipeWireFeed&) = delete;
  PipeWireFeed& operator=(const PipeWireFeed&) = delete;

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
  // Whether the stream has ended (its monitor went away, or the compositor stopped it).
  bool ended() const;

private:
  struct Impl;
  explicit PipeWireFeed(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

} // namespace tovel
