#include "mjpeg/frame_renderer.h"

#include <cairo.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

#include "common/text.h"
#include "platform/screen_queries.h"

#include "platform/scale.h"

namespace tovel {

// cairo's RGB24 is a native-endian 0xXXRRGGBB word: the bytes B, G, R, X only on little-endian
// machines, which is what lets it draw straight onto the BGRX frame.
static_assert(std::endian::native == std::endian::little);

namespace {

// JPEG cannot hold a wider or taller picture.
constexpr double kMaxJpegSide = 65535;
// Far beyond any display; keeps an absurd maximum size from asking for gigabytes.
constexpr double kMaxBitmapPixels = double(1 << 26);

// The bitmap side for a size in drawing units: the nearest integer, at least 1; none when it
// cannot be a JPEG side.
std::optional<int> bitmapSide(double units) {
  if (std::isnan(units) || units < 1)
    return 1;
  if (!(units < kMaxJpegSide + 0.5))
    return std::nullopt;
  return int(std::lround(units));
}

// The pointer in device pixels from the top-left corner of the screen's display; unchanged
// without a screen.
Point pointerOnScreen(Point mouse, const std::optional<Screen>& screen) {
  if (!screen)
    return mouse;
  const Rect& f = screen->frame;
  double b = screen->backingScale;
  return Point{(mouse.x - f.x) * b, (f.height - (mouse.y - f.y)) * b};
}

} // namespace

Size outputSize(int pixelWidth, int pixelHeight, Size maxSize, double scale) {
  double aspect = double(pixelWidth) / pixelHeight;
  Size out;
  if (aspect > 1.0) {
    out.width = std::min(maxSize.width, pixelWidth / scale);
    out.height = out.width / aspect;
    if (out.height > maxSize.height) {
      out.height = maxSize.height;
      out.width = out.height * aspect;
    }
  } else {
    out.height = std::min(maxSize.height, pixelHeight / scale);
    out.width = out.height * aspect;
    if (out.width > maxSize.width) {
      out.width = maxSize.width;
      out.height = out.width / aspect;
    }
  }
  return out;
}

MarkerGeometry markerGeometry(Point pointerInCapture, int pixelWidth, Size outSize) {
  // The output keeps the capture's aspect ratio, so one factor serves both axes.
  double sx = outSize.width / pixelWidth;
  MarkerGeometry marker;
  marker.center = Point{pointerInCapture.x * sx, pointerInCapture.y * sx};
  marker.diameter = std::max(4.0, std::max(outSize.width, outSize.height) * 0.0125);
  marker.lineWidth = std::max(1.0, marker.diameter * 0.2);
  return marker;
}

Point adjustedMouseLocation(Platform& platform, DisplayId display) {
  return pointerOnScreen(platform.mouseLocation(), screenOfDisplay(platform, display));
}

double compressionFactor(std::string_view requestTarget) {
  if (contains(requestTarget, "quality=high"))
    return 0.9;
  if (contains(requestTarget, "quality=low"))
    return 0.1;
  return 0.3;
}

bool highInterpolation(std::string_view requestTarget) {
  return contains(requestTarget, "quality=high");
}

bool scaleForOutput(const ImageView& from, BgraImage& into, int width, int height,
                    bool highInterpolation) {
  // Box averaging keeps text readable when a screen shrinks several times over; point sampling
  // is the cheap default.
  return scaleBgra(from, into, width, height,
                   highInterpolation ? ScaleFilter::box : ScaleFilter::nearest);
}

bool drawPointerMarker(BgraImage& picture, Size outSize, const MarkerGeometry& marker) {
  int width = picture.width();
  int height = picture.height();
  if (width <= 0 || height <= 0)
    return false;
  // A marker wholly off the picture would leave no trace, and skipping it keeps far-away
  // coordinates out of cairo's fixed-point range. The comparisons also drop NaN.
  double reach = marker.diameter / 2 + marker.lineWidth * 0.75;
  const Point& c = marker.center;
  bool visible = outSize.width > 0 && outSize.height > 0 && c.x + reach > 0 &&
                 c.x - reach < outSize.width && c.y + reach > 0 && c.y - reach < outSize.height;
  if (!visible)
    return true;
  // A tiny output size ("max=1e-60") stretches the marker to a circle millions of pixels round,
  // which cairo would flatten into as many segments: such a circle is not worth drawing.
  double stretch = std::max(width / outSize.width, height / outSize.height);
  if (!(reach * stretch <= 4.0 * (width + height)))
    return true;
  if (cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, width) != int(picture.stride()))
    return false;

  // RGB24 ignores the padding byte, so captures whose fourth byte is 0 still blend as opaque.
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
      picture.data(), CAIRO_FORMAT_RGB24, width, height, int(picture.stride()));
  cairo_t* cr = cairo_create(surface);
  // Drawing units span the whole bitmap, whose sides were rounded, so the marker stays on the
  // pointer as the capture was stretched.
  cairo_scale(cr, width / outSize.width, height / outSize.height);
  // cairo's y axis points down. Drawn y-up on a surface outH high, the centre would be at
  // (H - relY) * sx, that is outH - relY * sx since outH = H * sx: flipped, relY * sx.
  cairo_arc(cr, c.x, c.y, marker.diameter / 2, 0, 2 * std::numbers::pi);
  cairo_set_source_rgba(cr, 1, 1, 1, 0.15);
  cairo_fill_preserve(cr);
  cairo_set_source_rgba(cr, 1, 1, 1, 0.75);
  cairo_set_line_width(cr, marker.lineWidth * 1.5);
  cairo_stroke_preserve(cr);
  cairo_set_source_rgba(cr, 0, 0, 0, 0.5);
  cairo_set_line_width(cr, marker.lineWidth);
  cairo_stroke(cr);
  bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  ok = ok && cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok;
}

FrameRenderer::FrameRenderer(Platform& platform) : platform_(platform) {}

FrameRenderer::~FrameRenderer() = default;

std::optional<std::span<const std::uint8_t>>
FrameRenderer::renderFrame(const ImageView& image, Size maxSize, DisplayId display,
                           const std::optional<Rect>& cropRect, std::string_view requestTarget,
                           std::optional<Point> mouseLocation) {
  if (image.empty())
    return std::nullopt;
  // One look at the screens serves both the scale and the pointer.
  std::optional<Screen> screen = screenOfDisplay(platform_, display);
  double scale = screen ? screen->backingScale : 1.0;
  Size out = outputSize(image.width, image.height, maxSize, scale);
  std::optional<int> width = bitmapSide(out.width);
  std::optional<int> height = bitmapSide(out.height);
  if (!width || !height || double(*width) * *height > kMaxBitmapPixels)
    return std::nullopt;

  Point pointer =
      pointerOnScreen(mouseLocation ? *mouseLocation : platform_.mouseLocation(), screen);
  Point origin = cropRect ? Point{cropRect->x, cropRect->y} : Point{};
  Point inCapture{pointer.x - origin.x * scale, pointer.y - origin.y * scale};
  MarkerGeometry marker = markerGeometry(inCapture, image.width, out);

  if (!scaleForOutput(image, scaled_, *width, *height, highInterpolation(requestTarget)) ||
      !drawPointerMarker(scaled_, out, marker))
    return std::nullopt;
  return encoder_.encode(scaled_.view(), jpegQuality(compressionFactor(requestTarget)));
}

} // namespace tovel
