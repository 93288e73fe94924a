#include "platform/gnome/gnome_capture.h"

#include <cmath>
#include <cstring>

#include "platform/blend.h"

namespace tovel {

namespace {

// How long a capture waits for a monitor's first picture.
constexpr auto kMonitorPictureWait = std::chrono::seconds(3);

double seconds(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

} // namespace

std::optional<ImageView> GnomeScreenCapturer::capture(DisplayId display,
                                                      const std::optional<Rect>& rect) {
  held_.reset();
  std::shared_ptr<PipeWireFeed> feed = feeds_(display);
  if (!feed)
    return std::nullopt;
  PipeWireFeed::Picture picture = feed->newest();
  auto until = std::chrono::steady_clock::now() + kMonitorPictureWait;
  while (!picture.image && !feed->ended() && std::chrono::steady_clock::now() < until) {
    feed->waitForChange(feed->changes(), until);
    picture = feed->newest();
  }
  if (!picture.image)
    return std::nullopt;
  std::optional<PixelRect> area =
      clipToPicture(rect, picture.image->width(), picture.image->height());
  if (!area)
    return std::nullopt;
  feed_ = feed;
  held_ = picture.image;
  display_ = display;
  rect_ = rect;
  generation_ = picture.generation;
  const BgraImage& image = *held_;
  return ImageView{image.data() + std::size_t(area->y) * image.stride() + std::size_t(area->x) * 4,
                   area->width, area->height, image.stride()};
}

bool GnomeScreenCapturer::unchangedSinceLastCapture(DisplayId display,
                                                    const std::optional<Rect>& rect) {
  if (!feed_ || !held_ || display != display_ || rect.has_value() != rect_.has_value())
    return false;
  if (rect && (rect->x != rect_->x || rect->y != rect_->y || rect->width != rect_->width ||
               rect->height != rect_->height))
    return false;
  // The display may show another monitor now.
  return feeds_(display) == feed_ && !feed_->ended() && feed_->newest().generation == generation_;
}

std::optional<CapturedFrame> GnomeCaptureSource::grab(bool always) {
  seen_ = feed_->changes();
  PipeWireFeed::Picture picture = feed_->newest();
  CursorState cursor = feed_->cursor();
  if (!picture.image)
    return std::nullopt;
  if (!always && picture.generation == pictureGeneration_ && cursor.generation == cursorGeneration_)
    return std::nullopt;

  CapturedFrame frame;
  frame.captureTime = seconds(std::chrono::steady_clock::now());
  frame.timestamp = clockNow();
  const BgraImage& source = *picture.image;
  std::shared_ptr<const BgraImage> shown = picture.image;
  const CursorSprite* sprite = cursor.sprite.get();
  if (cursor.position && sprite && sprite->width > 0) {
    int x = cursor.position->first - sprite->hotX, y = cursor.position->second - sprite->hotY;
    bool onPicture = x < source.width() && y < source.height() && x + sprite->width > 0 &&
                     y + sprite->height > 0;
    if (onPicture) {
      std::shared_ptr<BgraImage> copy = pool_.take(source.width(), source.height());
      std::memcpy(copy->data(), source.data(), source.stride() * std::size_t(source.height()));
      blendPremultiplied(sprite->argb.data(), sprite->width, sprite->height, copy->data(),
                         copy->stride(), copy->width(), copy->height(), x, y);
      shown = std::move(copy);
    }
  }
  frame.image = shown->view();
  frame.pixels = shown;
  if (cursor.position) {
    MonitorLayout layout = layout_();
    if (const Monitor* monitor = layout.find(display_))
      frame.pointer = rootToScreen(layout, monitor->x + cursor.position->first,
                                   monitor->y + cursor.position->second);
  }
  pictureGeneration_ = picture.generation;
  cursorGeneration_ = cursor.generation;
  return frame;
}

double GnomeCaptureSource::clockNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

} // namespace tovel
