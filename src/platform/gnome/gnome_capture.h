#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "platform/gnome/pipewire_feed.h"
#include "platform/monitor_layout.h"
#include "platform/shared_capture.h"

namespace tovel {

// The feed of a display's monitor; null for a display that is not one of the monitors.
using FeedFinder = std::function<std::shared_ptr<PipeWireFeed>(DisplayId display)>;

// Single grabs from the newest picture of a monitor stream: no copy, only a view into the picture,
// which the capturer holds until its next capture. The stream knows whether anything changed.
class GnomeScreenCapturer final : public ScreenCapturer {
public:
  explicit GnomeScreenCapturer(FeedFinder feeds) : feeds_(std::move(feeds)) {}

  std::optional<ImageView> capture(DisplayId display, const std::optional<Rect>& rect) override;
  bool unchangedSinceLastCapture(DisplayId display, const std::optional<Rect>& rect) override;

private:
  FeedFinder feeds_;
  std::shared_ptr<PipeWireFeed> feed_;
  std::shared_ptr<const BgraImage> held_;
  DisplayId display_ = 0;
  std::optional<Rect> rect_;
  std::uint64_t generation_ = 0;
};

// The continuous capture's pictures of one monitor, with the cursor drawn in from the cursor
// reports (copied only when the cursor is on the picture). The feed lasts while the compositor's
// sessions come and go.
class GnomeCaptureSource final : public CaptureSource {
public:
  // `layout` gives the current monitors, to place the pointer in screen coordinates.
  GnomeCaptureSource(std::shared_ptr<PipeWireFeed> feed, DisplayId display,
                     std::function<MonitorLayout()> layout)
      : feed_(std::move(feed)), display_(display), layout_(std::move(layout)) {}

  bool changed() override { return feed_->changes() != seen_; }
  std::optional<CapturedFrame> grab(bool always) override;
  void wait(std::optional<TimePoint> deadline) override { feed_->waitForChange(seen_, deadline); }
  void wake() override { feed_->wake(); }
  double clockNow() override;

private:
  std::shared_ptr<PipeWireFeed> feed_;
  DisplayId display_;
  std::function<MonitorLayout()> layout_;
  PicturePool pool_{3};
  std::uint64_t seen_ = 0;
  std::uint64_t pictureGeneration_ = 0;
  std::uint64_t cursorGeneration_ = 0;
};

} // namespace tovel
