#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "mjpeg/jpeg_encoder.h"
#include "platform/image.h"
#include "platform/platform.h"

namespace tovel {

// The size of the output picture for a capture of pixelWidth x pixelHeight pixels taken at the
// given scale (pixels per point): the capture's aspect ratio, fitting in maxSize, and never larger
// than the captured region measured in points. Not rounded.
Size outputSize(int pixelWidth, int pixelHeight, Size maxSize, double scale);

// The pointer marker on an output picture: a circle of the given diameter centred on the pointer,
// drawn with the given base line width. Output units, y down.
struct MarkerGeometry {
  Point center;
  double diameter = 0;
  double lineWidth = 0;
};

// The marker for a pointer at (relX, relY) device pixels from the captured picture's top-left,
// on an output of outSize for a capture pixelWidth pixels wide.
MarkerGeometry markerGeometry(Point pointerInCapture, int pixelWidth, Size outSize);

// The pointer position in device pixels relative to the top-left corner of the given display
// (y down); the global position unchanged when no screen has that display.
Point adjustedMouseLocation(Platform& platform, DisplayId display);

// Resizes a capture for the stream: point sampling, or area averaging when high interpolation is
// asked for. False when a size is empty or the scaler fails.
bool scaleForOutput(const ImageView& from, BgraImage& into, int width, int height,
                    bool highInterpolation);

// Draws the marker on a picture whose whole extent is outSize drawing units. False when drawing
// fails.
bool drawPointerMarker(BgraImage& picture, Size outSize, const MarkerGeometry& marker);

// The JPEG compression factor a request asks for: 0.9 with "quality=high", 0.1 with
// "quality=low", else 0.3; high quality also means smooth scaling.
double compressionFactor(std::string_view requestTarget);
bool highInterpolation(std::string_view requestTarget);

// Turns captures into JPEG frames: scales the picture to the output size, draws the pointer
// marker and encodes. Keeps its buffers and encoder from frame to frame; one renderer serves one
// stream, one frame at a time.
class FrameRenderer {
public:
  explicit FrameRenderer(Platform& platform);
  ~FrameRenderer();

  // The JPEG bytes of one frame, valid until the next call; none when scaling, drawing or
  // encoding fails. cropRect is the display-local rectangle that was captured (none: the whole
  // display); pointer is the mouse location to mark (none: asked of the platform).
  std::optional<std::span<const std::uint8_t>>
  renderFrame(const ImageView& image, Size maxSize, DisplayId display,
              const std::optional<Rect>& cropRect, std::string_view requestTarget,
              std::optional<Point> pointer = std::nullopt);

private:
  Platform& platform_;
  BgraImage scaled_;
  JpegEncoder encoder_;
};

} // namespace tovel
