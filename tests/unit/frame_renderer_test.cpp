#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "mjpeg/frame_renderer.h"
#include "mjpeg/jpeg_encoder.h"
#include "support/pictures.h"
#include "support/virtual_input.h"

namespace tovel {
namespace {

TEST(FrameGeometry, OutputSizeMarkerAndQuality) {
  // Capture pixels, maximum size, scale and the output, which keeps the aspect ratio within the
  // maximum and the region's size in points, unrounded (562.5). A non-square maximum limits the
  // other side once the first has been fitted.
  const double outputs[][7] = {
      {2880, 1800, 480, 480, 2, 480, 300},      {2880, 1800, 1920, 1920, 2, 1440, 900},
      {600, 900, 480, 480, 1, 320, 480},        {900, 1800, 1920, 1920, 2, 450, 900},
      {1920, 1080, 1000, 1000, 1, 1000, 562.5}, {1080, 1920, 270, 1920, 1, 270, 480}};
  for (auto [w, h, maxW, maxH, scale, outW, outH] : outputs) {
    Size out = outputSize(int(w), int(h), Size{maxW, maxH}, scale);
    EXPECT_DOUBLE_EQ(out.width, outW) << w << "x" << h << " in " << maxW << "x" << maxH;
    EXPECT_DOUBLE_EQ(out.height, outH) << w << "x" << h << " in " << maxW << "x" << maxH;
  }
  // The marker follows the output's longer side, down to a floor for the ring and its line.
  const double markers[][4] = {
      {480, 300, 6, 1.2}, {300, 480, 6, 1.2}, {400, 200, 5, 1}, {320, 100, 4, 1}};
  for (auto [w, h, diameter, lineWidth] : markers) {
    MarkerGeometry m = markerGeometry(Point{}, int(w), Size{w, h});
    EXPECT_DOUBLE_EQ(m.diameter, diameter) << w << "x" << h;
    EXPECT_DOUBLE_EQ(m.lineWidth, lineWidth) << w << "x" << h;
  }
  // Both axes scale by the output's share of the capture width; y stays down.
  EXPECT_EQ(markerGeometry(Point{320, 160}, 640, Size{480, 240}).center, (Point{240, 120}));
  EXPECT_EQ(markerGeometry(Point{600, 300}, 1920, Size{480, 270}).center, (Point{150, 75}));
  // The last quality asked for wins; high also averages when scaling.
  EXPECT_EQ(compressionFactor("?quality=high"), 0.9);
  EXPECT_EQ(compressionFactor("?quality=low"), 0.1);
  EXPECT_EQ(compressionFactor("?follow=hd"), 0.3);
  EXPECT_EQ(compressionFactor("?quality=low&quality=high"), 0.9);
  EXPECT_TRUE(highInterpolation("?quality=low&quality=high"));
  EXPECT_FALSE(highInterpolation("?quality=low") || highInterpolation("?follow=hd"));
  EXPECT_EQ(jpegQuality(0.9), 90);
}

class FrameRendererTest : public test::VirtualInputTest {
protected:
  // A w x h capture whose pixel (x, y) has the colour f(x, y) (0xRRGGBB), with a padding byte.
  template <typename F> static BgraImage paint(int w, int h, F f, std::uint8_t padding = 0) {
    BgraImage image(w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        std::uint32_t c = f(x, y);
        std::uint8_t* p = image.row(y) + x * 4;
        p[0] = c & 0xff, p[1] = (c >> 8) & 0xff, p[2] = c >> 16, p[3] = padding;
      }
    return image;
  }
  static BgraImage halves(int w, int h, std::uint8_t padding = 0) {
    return paint(
        w, h, [w](int x, int) { return x < w / 2 ? 0xdc0000u : 0x0000dcu; }, padding);
  }

  void placePointer(Point displayLocal) { // on the 1920x1080 screen 1
    desktop.setMouseLocation(Point{displayLocal.x, 1080 - displayLocal.y});
  }

  // The frame rendered and decoded; an empty picture when either fails.
  BgraImage render(const BgraImage& image, double max, std::optional<Rect> crop = {},
                   std::string_view target = "?quality=high") {
    auto jpeg = renderer.renderFrame(image.view(), Size{max, max}, 1, crop, target);
    return jpeg ? test::decodeJpeg({reinterpret_cast<const char*>(jpeg->data()), jpeg->size()})
                : BgraImage{};
  }
  static double luma(const BgraImage& image, int x, int y) {
    return test::averageColour(image, x, y, 0).luma();
  }

  FrameRenderer renderer{desktop};
};

TEST_F(FrameRendererTest, PointerIsConvertedToDevicePixelsOfItsDisplay) {
  desktop.setScreens({Screen{1, Rect{0, 0, 1920, 1080}, 1.0, "primary"},
                      Screen{7, Rect{1920, 200, 1280, 800}, 2.0, "right"}});
  desktop.setMouseLocation(Point{2000, 700});
  EXPECT_EQ(adjustedMouseLocation(desktop, 7), (Point{160, 600}));
  EXPECT_EQ(adjustedMouseLocation(desktop, 1), (Point{2000, 380}));
  EXPECT_EQ(adjustedMouseLocation(desktop, 99), (Point{2000, 700}));
}

// Sizes, rounding and colours of ordinary frames are the MJPEG stream's tests; here the extremes.
TEST_F(FrameRendererTest, TinyFramesAreOnePixelAndEmptyCapturesAreRefused) {
  for (double max : {0.0, 1e-60}) { // 1e-60: a marker ring of 10^60 pixels used to hang cairo
    BgraImage frame = render(halves(1920, 1080), max);
    EXPECT_EQ(frame.width() * frame.height(), 1) << max;
  }
  EXPECT_FALSE(renderer.renderFrame(ImageView{}, Size{480, 480}, 1, std::nullopt, ""));
}

TEST_F(FrameRendererTest, MarkerRingShowsWhereThePointerIs) {
  // A 640x320-point region at (100, 50) always gives a 480x240 output (0.75 units per point).
  // The middle, then points off the middle line so that a flipped y would show.
  const std::pair<double, Point> cases[] = {
      {1, {420, 210}}, {1, {180, 110}}, {2, {640, 330}}, {2, {420, 210}}};
  for (auto [scale, local] : cases) {
    desktop.setScreens({Screen{1, Rect{0, 0, 1920, 1080}, scale, "screen"}});
    placePointer(local);
    BgraImage dark = paint(
        int(640 * scale), int(320 * scale), [](int, int) { return 0x1e1e1eu; }, 30);
    BgraImage frame = render(dark, 480, Rect{100, 50, 640, 320});
    ASSERT_EQ(frame.width(), 480);
    int cx = int(std::lround((local.x - 100) * 0.75)), cy = int(std::lround((local.y - 50) * 0.75));
    double background = luma(frame, cx + 12, cy);
    EXPECT_GT(luma(frame, cx + 3, cy), background + 50) << cx << "," << cy;
    EXPECT_GT(luma(frame, cx, cy - 3), background + 50) << cx << "," << cy;
    if (std::abs(cy - 120) > 20) {
      EXPECT_NEAR(luma(frame, cx, 240 - cy), background, 4) << "mirrored " << cx << "," << cy;
    }
  }
}

TEST_F(FrameRendererTest, HighQualityAveragesAndCostsMoreBytes) {
  placePointer(Point{-500, -500});
  // One-pixel checks: averaging gives grey, point sampling keeps one of the two colours.
  BgraImage checks = paint(960, 960, [](int x, int y) { return (x + y) % 2 ? 0xffffffu : 0u; });
  BgraImage smooth = render(checks, 480, std::nullopt, "?quality=high");
  BgraImage sharp = render(checks, 480, std::nullopt, "?quality=low");
  ASSERT_TRUE(smooth.width() == 480 && sharp.width() == 480);
  EXPECT_NEAR(luma(smooth, 200, 200), 128, 12);
  EXPECT_GT(std::abs(luma(sharp, 200, 200) - 128), 100);

  BgraImage detail =
      paint(480, 480, [](int x, int y) { return 0x010101u * ((x * 7 + y * 13 + x * y) & 0xff); });
  auto bytes = [&](const char* target) {
    auto jpeg = renderer.renderFrame(detail.view(), Size{480, 480}, 1, std::nullopt, target);
    return jpeg ? jpeg->size() : 0;
  };
  std::size_t low = bytes("?quality=low"), standard = bytes("?follow=hd");
  EXPECT_LT(low, standard);
  EXPECT_LT(standard, bytes("?quality=high"));
}

TEST_F(FrameRendererTest, BuffersAreReusedAndPaddingIgnored) {
  placePointer(Point{200, 100}); // on the picture, so blending meets the padding byte
  auto first = renderer.renderFrame(halves(800, 400, 0x00).view(), Size{480, 480}, 1, {}, "");
  ASSERT_TRUE(first);
  std::vector<std::uint8_t> firstBytes(first->begin(), first->end());
  auto second = renderer.renderFrame(halves(800, 400, 0xff).view(), Size{480, 480}, 1, {}, "");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->data(), first->data());
  EXPECT_EQ(std::vector<std::uint8_t>(second->begin(), second->end()), firstBytes);

  JpegEncoder encoder;
  BgraImage picture = halves(64, 48);
  auto a = encoder.encode(picture.view(), 90), b = encoder.encode(picture.view(), 10);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(b->data(), a->data());
  EXPECT_FALSE(encoder.encode(ImageView{}, 90));
}

} // namespace
} // namespace tovel
