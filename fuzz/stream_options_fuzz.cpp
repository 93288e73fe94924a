// Feeds arbitrary request targets to everything that reads picture-stream options: the MJPEG
// stream's start options and per-frame region selection, with the capture and the rendering of
// the frame they ask for, and the follow-capture stream's options, crop and output size, on a
// small two-screen virtual desktop made afresh per input.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/log.h"
#include "common/text.h"
#include "mjpeg/follow_capture_stream.h"
#include "mjpeg/frame_renderer.h"
#include "mjpeg/jpeg_encoder.h"
#include "mjpeg/mjpeg_stream.h"
#include "mjpeg/stream_options.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/virtual_desktop.h"

namespace {

class NullLog final : public tovel::Log {
public:
  void print(std::string_view) override {}
};

tovel::Screen screen(tovel::DisplayId number, tovel::Rect frame, double scale) {
  tovel::Screen s;
  s.number = number;
  s.frame = frame;
  s.backingScale = scale;
  s.description = "screen " + std::to_string(number);
  return s;
}

tovel::VirtualWindow window(tovel::WindowId number, tovel::Rect bounds) {
  tovel::VirtualWindow w;
  w.info.number = number;
  w.info.bounds = bounds;
  w.info.layer = 0;
  w.info.ownerName = "Owner";
  w.info.title = "Window " + std::to_string(number);
  return w;
}

// Small screens keep every capture and frame cheap; the wide window is between the two size
// limits of "window=auto".
void setUp(tovel::VirtualDesktop& desktop) {
  desktop.setScreens({screen(1, {0, 0, 96, 54}, 1), screen(2, {96, 18, 48, 36}, 2)});
  desktop.setWindows({window(201, {6, 6, 30, 18}), window(202, {45, 35, 1000, 12}),
                      window(203, {100, 3, 30, 24})});
}

// Pointer positions (screen coordinates, y up) a stream meets frame after frame: over the small
// window, over the wide one, on the second screen, in a corner, and off every screen.
constexpr tovel::Point kPointers[] = {{20, 39}, {60, 14}, {115, 35}, {0, 0}, {-50, 500}};

bool within(const tovel::PixelRect& r, int width, int height) {
  return r.x >= 0 && r.y >= 0 && r.width > 0 && r.height > 0 && r.x + r.width <= width &&
         r.y + r.height <= height;
}

void mjpegStream(tovel::VirtualDesktop& desktop, tovel::Log& log, const std::string& target) {
  tovel::MjpegStreamState state;
  state.requestTarget = target;
  tovel::readStreamStartOptions(desktop, log, state);
  if (state.targetSize && !tovel::contains(target, "size="))
    __builtin_trap();
  state.capturer = desktop.createScreenCapturer();
  tovel::FrameRenderer renderer(desktop);
  for (tovel::Point pointer : kPointers) {
    desktop.setMouseLocation(pointer);
    if (!tovel::selectStreamRegion(desktop, log, state))
      continue;
    std::optional<tovel::ImageView> image =
        state.capturer->capture(*state.displayID, state.cropRect);
    if (!image)
      continue;
    // Whatever the options, a picture that was captured makes a frame.
    if (!renderer.renderFrame(*image, state.maxSize, *state.displayID, state.cropRect, target))
      __builtin_trap();
  }
}

void followStream(tovel::VirtualDesktop& desktop, const std::string& target) {
  tovel::FollowOptions options = tovel::parseFollowOptions(target);
  auto displays = desktop.capturableDisplays();
  if (!displays)
    return;
  tovel::JpegEncoder encoder;
  tovel::BgraImage picture;
  tovel::BgraImage scaled;
  for (const tovel::CaptureDisplay& display : *displays) {
    desktop.render(display.id, picture);
    tovel::ImageView image = picture.view();
    for (tovel::Point pointer : kPointers) {
      auto crop = tovel::followCropRect(options, pointer,
                                        tovel::Size{double(display.width), double(display.height)},
                                        image.width, image.height);
      if (!crop)
        continue;
      if (!within(*crop, image.width, image.height))
        __builtin_trap();
      auto size = tovel::followOutputSize(options, crop->width, crop->height);
      if (!size)
        continue;
      if (size->width < 1 || size->height < 1 || size->width > 16384 || size->height > 16384)
        __builtin_trap();
      // Frames as large as a follow size may ask for are too slow to make here; the small ones
      // go through the same scaling and encoding as the stream's.
      if (double(size->width) * size->height > 512 * 512)
        continue;
      tovel::ImageView cut{image.pixel(crop->x, crop->y), crop->width, crop->height, image.stride};
      if (!tovel::scaleForOutput(cut, scaled, size->width, size->height, options.highres) ||
          !encoder.encode(scaled.view(), tovel::jpegQuality(options.jpegCompression())))
        __builtin_trap();
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string target(reinterpret_cast<const char*>(data), size);
  tovel::ManualClock clock;
  tovel::VirtualDesktop desktop(clock);
  NullLog log;
  setUp(desktop);

  mjpegStream(desktop, log, target);
  followStream(desktop, target);

  // The quality options and the numbers in an option never fail, whatever the text.
  double factor = tovel::compressionFactor(target);
  if (factor != 0.9 && factor != 0.1 && factor != 0.3)
    __builtin_trap();
  if (tovel::highInterpolation(target) != (factor == 0.9))
    __builtin_trap();
  for (std::string_view key : {"size=", "max="})
    if (tovel::optionNumbers(target, key).size() > size)
      __builtin_trap();
  return 0;
}
