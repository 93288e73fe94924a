#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/image.h"

struct wl_output;
struct wl_buffer;
struct zwlr_screencopy_frame_v1;

namespace tovel {

class WaylandClient;

// Copies of one output's picture into shared memory through wlr-screencopy, on a connection that
// the caller's thread pumps. Two buffers, so that one picture can be read while the next is being
// copied into the other. A copy "with damage" waits until something on the output changed, and
// says what: a still screen costs nothing.
class Screencopy {
public:
  enum class State { idle, pending, ready, failed };

  // overlayCursor: the compositor draws the cursor into the picture.
  Screencopy(WaylandClient& client, wl_output* output, bool overlayCursor);
  ~Screencopy();
  Screencopy(const Screencopy&) = delete;
  Screencopy& operator=(const Screencopy&) = delete;

  // Asks for the next picture, into the buffer that does not hold `keep` (none: either). A copy
  // in progress is given up.
  void request(bool withDamage, std::optional<int> keep = std::nullopt);
  State state() const { return state_; }
  // Waits, pumping the connection, until the copy is no longer pending or the deadline has come.
  void waitWhilePending(std::chrono::steady_clock::time_point deadline);

  // The finished copy (state ready): which buffer holds it, and its picture in BGRA. The pixels
  // stay valid until that buffer is copied into again.
  int readyBuffer() const { return buffer_; }
  // The ready picture as BGRA: the buffer itself when the compositor wrote BGRA top row first,
  // else a converted copy (into `scratch`).
  std::optional<ImageView> picture(BgraImage& scratch) const;
  // What changed since the previous copy with damage, in the picture's pixels; empty for a plain
  // copy.
  const std::vector<PixelRect>& damage() const { return damage_; }

  // The frame's events (its listener).
  static void onBuffer(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                       std::uint32_t, std::uint32_t);
  static void onFlags(void*, zwlr_screencopy_frame_v1*, std::uint32_t);
  static void onReady(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                      std::uint32_t);
  static void onFailed(void*, zwlr_screencopy_frame_v1*);
  static void onDamage(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                       std::uint32_t, std::uint32_t);

private:
  struct Buffer {
    wl_buffer* buffer = nullptr;
    void* data = nullptr;
    std::size_t size = 0;
    std::uint32_t format = 0, width = 0, height = 0, stride = 0;
  };
  void abandon();
  bool prepare(Buffer& buffer, std::uint32_t format, std::uint32_t width, std::uint32_t height,
               std::uint32_t stride);
  static void release(Buffer& buffer);

  WaylandClient& client_;
  wl_output* output_;
  bool overlayCursor_;
  zwlr_screencopy_frame_v1* frame_ = nullptr;
  Buffer buffers_[2];
  int buffer_ = 0; // the one the copy in progress or finished goes to
  bool withDamage_ = false;
  bool yInvert_ = false;
  State state_ = State::idle;
  std::vector<PixelRect> damage_;
};

} // namespace tovel
