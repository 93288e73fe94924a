#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/monitor_layout.h"
#include "platform/picture_pool.h"
#include "platform/shared_capture.h"

namespace tovel {

class WaylandClient;
class Screencopy;

// The output a display shows, as the desktop's connection knows it now; none for a display that
// is gone.
using MonitorFinder = std::function<std::optional<Monitor>(DisplayId display)>;

// The continuous capture's pictures of one output: copies with damage on a connection of the
// capture thread's own, so the compositor sends a picture only when something changed, with the
// cursor drawn in by the compositor.
class WlrootsCaptureSource final : public CaptureSource {
public:
  // `pointer` gives where the pointer is, in screen coordinates, for each frame. Null, with the
  // reason, when the output cannot be captured.
  static std::unique_ptr<WlrootsCaptureSource>
  open(const Monitor& monitor, std::function<std::optional<Point>()> pointer, PlatformError& error);
  ~WlrootsCaptureSource() override;

  bool changed() override;
  std::optional<CapturedFrame> grab(bool always) override;
  void wait(std::optional<TimePoint> deadline) override;
  void wake() override;
  double clockNow() override;

private:
  WlrootsCaptureSource() = default;
  void retryLater();

  std::unique_ptr<WaylandClient> client_;
  std::unique_ptr<Screencopy> copy_;
  std::function<std::optional<Point>()> pointer_;
  int wakeFd_ = -1;
  PicturePool pool_{3};
  BgraImage scratch_;
  std::optional<CapturedFrame> newest_;
  std::optional<TimePoint> retryAt_; // after a failed copy
};

// Single grabs for the picture stream, on a connection of the capturer's own: the first grab of a
// display waits for a fresh copy; after it, a copy with damage stays asked for, so that a grab of
// a still screen hands out the same picture again at no cost and knows that nothing changed.
class WlrootsScreenCapturer final : public ScreenCapturer {
public:
  explicit WlrootsScreenCapturer(MonitorFinder monitors);
  ~WlrootsScreenCapturer() override;

  std::optional<ImageView> capture(DisplayId display, const std::optional<Rect>& rect) override;
  bool unchangedSinceLastCapture(DisplayId display, const std::optional<Rect>& rect) override;

private:
  MonitorFinder monitors_;
  std::unique_ptr<WaylandClient> client_;
  std::unique_ptr<Screencopy> copy_;
  std::string output_;       // whose copies these are
  std::optional<int> shown_; // the buffer of the picture handed out last
  std::optional<ImageView> picture_;
  BgraImage scratch_;
  std::optional<DisplayId> display_;
  std::optional<Rect> rect_;
};

} // namespace tovel
