#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "mjpeg/frame_renderer.h"
#include "mjpeg/jpeg_encoder.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/virtual_desktop.h"

namespace tovel {
namespace {

TEST(FrameGeometryTest, OutputKeepsAspectWithinMaxAndPointSize) {
  struct Case {
    int w, h;
    double max, scale;
    Size expected;
  };
  const Case cases[] = {
      {2880, 1800, 480, 2, {480, 300}},     {2880, 1800, 1280, 2, {1280, 800}},
      {2880, 1800, 1920, 2, {1440, 900}},   {1280, 640, 480, 2, {480, 240}},
      {600, 900, 480, 1, {320, 480}},       {1000, 1000, 480, 1, {480, 480}},
      {1920, 1080, 1000, 1, {1000, 562.5}}, {3000, 200, 480, 1, {480, 32}},
  };
  for (const Case& c : cases) {
    Size out = outputSize(c.w, c.h, Size{c.max, c.max}, c.scale);
    EXPECT_DOUBLE_EQ(out.width, c.expected.width) << c.w << "x" << c.h << " max " << c.max;
    EXPECT_DOUBLE_EQ(out.height, c.expected.height) << c.w << "x" << c.h << " max " << c.max;
  }
  // A non-square maximum limits the other side once the first has been fitted.
  EXPECT_EQ(outputSize(1920, 1080, Size{1920, 270}, 1), (Size{480, 270}));
  EXPECT_EQ(outputSize(1080, 1920, Size{270, 1920}, 1), (Size{270, 480}));
}

TEST(FrameGeometryTest, MarkerSizeFollowsTheLongerSide) {
  struct Case {
    Size out;
    double diameter, lineWidth;
  };
  const Case cases[] = {{{480, 300}, 6, 1.2},
                        {{1280, 800}, 16, 3.2},
                        {{400, 200}, 5, 1.0},
                        {{320, 100}, 4, 1.0},
                        {{180, 320}, 4, 1.0}};
  for (const Case& c : cases) {
    MarkerGeometry m = markerGeometry(Point{}, int(c.out.width), c.out);
    EXPECT_DOUBLE_EQ(m.diameter, c.diameter) << c.out.width << "x" << c.out.height;
    EXPECT_DOUBLE_EQ(m.lineWidth, c.lineWidth) << c.out.width << "x" << c.out.height;
  }
}

TEST(FrameGeometryTest, MarkerCentreMatchesTheYUpPlacement) {
  // A 640x320-point region at (100, 50) on a scale-1 display, pointer at display-local (420, 210).
  Size out = outputSize(640, 320, Size{480, 480}, 1);
  MarkerGeometry m = markerGeometry(Point{420 - 100, 210 - 50}, 640, out);
  EXPECT_EQ(m.center, (Point{240, 120}));

  // Off-centre pointers on a scale-2 capture: the centre of a y-up rectangle at
  // y = (H - relY) * sx - d / 2, flipped on an outH-high surface, is where the marker lands.
  const int w = 2880, h = 1800;
  out = outputSize(w, h, Size{480, 480}, 2);
  for (Point rel : {Point{100, 300}, Point{2700, 1650}, Point{-50, 2000}}) {
    m = markerGeometry(rel, w, out);
    double sx = out.width / w;
    double yUp = (h - rel.y) * sx - m.diameter / 2;
    EXPECT_NEAR(m.center.y, out.height - (yUp + m.diameter / 2), 1e-9);
  }
}

class FrameRendererTest : public ::testing::Test {
protected:
  struct Decoded {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
    const std::uint8_t* at(int x, int y) const { return &rgb[(std::size_t(y) * width + x) * 3]; }
    double luma(int x, int y) const {
      const std::uint8_t* p = at(x, y);
      return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
    }
  };

  static std::optional<Decoded> decode(std::span<const std::uint8_t> jpeg) {
    tjhandle handle = tjInitDecompress();
    Decoded out;
    int subsampling = 0, colourspace = 0;
    bool ok = tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &out.width, &out.height,
                                  &subsampling, &colourspace) == 0;
    if (ok) {
      out.rgb.resize(std::size_t(out.width) * out.height * 3);
      ok = tjDecompress2(handle, jpeg.data(), jpeg.size(), out.rgb.data(), out.width, 0, out.height,
                         TJPF_RGB, 0) == 0;
    }
    tjDestroy(handle);
    return ok ? std::optional(out) : std::nullopt;
  }

  // A capture whose left half is red and right half blue, with the given padding byte.
  static BgraImage halves(int w, int h, std::uint8_t padding = 0) {
    BgraImage image(w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        std::uint8_t* p = image.row(y) + x * 4;
        bool left = x < w / 2;
        p[0] = left ? 0 : 220, p[1] = 0, p[2] = left ? 220 : 0, p[3] = padding;
      }
    return image;
  }

  void placePointer(Point displayLocal) { // on the 1920x1080 screen 1
    desktop.setMouseLocation(Point{displayLocal.x, 1080 - displayLocal.y});
  }

  std::optional<Decoded> render(const BgraImage& image, double max, std::optional<Rect> crop = {},
                                std::string_view target = "/screen.mjpg?quality=high") {
    auto jpeg = renderer.renderFrame(image.view(), Size{max, max}, 1, crop, target);
    return jpeg ? decode(*jpeg) : std::nullopt;
  }

  ManualClock clock;
  VirtualDesktop desktop{clock};
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

TEST(FrameOptionsTest, QualityAndInterpolationFromTheTarget) {
  EXPECT_EQ(compressionFactor("/screen.mjpg?quality=high"), 0.9);
  EXPECT_TRUE(highInterpolation("/screen.mjpg?quality=high"));
  EXPECT_EQ(compressionFactor("/screen.mjpg?quality=low"), 0.1);
  EXPECT_FALSE(highInterpolation("/screen.mjpg?quality=low"));
  EXPECT_EQ(compressionFactor("/screen.mjpg?follow=hd"), 0.3);
  EXPECT_FALSE(highInterpolation("/screen.mjpg?follow=hd"));
  EXPECT_EQ(compressionFactor("/screen.mjpg?quality=highest"), 0.9);
  EXPECT_EQ(compressionFactor("/screen.mjpg?quality=low&quality=high"), 0.9);
  EXPECT_TRUE(highInterpolation("/screen.mjpg?quality=low&quality=high"));
  EXPECT_EQ(jpegQuality(0.9), 90);
  EXPECT_EQ(jpegQuality(0.3), 30);
  EXPECT_EQ(jpegQuality(0.1), 10);
}

TEST_F(FrameRendererTest, FrameHasTheRoundedSizeAndTheCapturesColours) {
  desktop.setScreens({Screen{1, Rect{0, 0, 1920, 1080}, 2.0, "retina"}});
  placePointer(Point{-500, -500}); // keep the marker off the picture
  for (std::string_view target : {"/screen.mjpg?quality=high", "/screen.mjpg"}) {
    auto frame = render(halves(1280, 640), 480, std::nullopt, target);
    ASSERT_TRUE(frame) << target;
    EXPECT_EQ(frame->width, 480);
    EXPECT_EQ(frame->height, 240);
    for (int y : {5, 120, 234})
      for (int x : {5, 230, 250, 474}) {
        const std::uint8_t* p = frame->at(x, y);
        bool left = x < 240;
        EXPECT_NEAR(p[0], left ? 220 : 0, 12) << target << " at " << x << "," << y;
        EXPECT_NEAR(p[1], 0, 12) << target << " at " << x << "," << y;
        EXPECT_NEAR(p[2], left ? 0 : 220, 12) << target << " at " << x << "," << y;
      }
  }

  desktop.setScreens({Screen{1, Rect{0, 0, 1920, 1080}, 1.0, "plain"}});
  auto odd = render(halves(1920, 1080), 1000);
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->width, 1000);
  EXPECT_EQ(odd->height, 563); // 562.5 units
  auto tiny = render(halves(1920, 1080), 0);
  ASSERT_TRUE(tiny);
  EXPECT_EQ(tiny->width * tiny->height, 1);
  EXPECT_FALSE(renderer.renderFrame(ImageView{}, Size{480, 480}, 1, std::nullopt, ""));
}

TEST_F(FrameRendererTest, MarkerRingShowsWhereThePointerIs) {
  struct Case {
    double scale;
    Point local; // display-local points
  };
  // A 640x320-point region at (100, 50) always gives a 480x240 output (0.75 units per point).
  // The middle, then points off the middle line so that a flipped y would show.
  const Case cases[] = {{1, {420, 210}}, {1, {180, 110}}, {2, {640, 330}}, {2, {420, 210}}};
  const Rect crop{100, 50, 640, 320};
  for (const Case& c : cases) {
    desktop.setScreens({Screen{1, Rect{0, 0, 1920, 1080}, c.scale, "screen"}});
    placePointer(c.local);
    BgraImage dark(int(640 * c.scale), int(320 * c.scale));
    std::fill_n(dark.data(), dark.stride() * dark.height(), std::uint8_t(30));
    auto frame = render(dark, 480, crop);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->width, 480);
    int cx = int(std::lround((c.local.x - crop.x) * 0.75));
    int cy = int(std::lround((c.local.y - crop.y) * 0.75));
    double background = frame->luma(cx + 12, cy);
    EXPECT_GT(frame->luma(cx + 3, cy), background + 50) << cx << "," << cy;
    EXPECT_GT(frame->luma(cx, cy - 3), background + 50) << cx << "," << cy;
    if (std::abs(cy - 120) > 20) {
      EXPECT_NEAR(frame->luma(cx, 240 - cy), background, 4) << "mirrored " << cx << "," << cy;
    }
  }
}

TEST_F(FrameRendererTest, HighQualityAveragesAndCostsMoreBytes) {
  desktop.setScreens({Screen{1, Rect{0, 0, 1920, 1080}, 1.0, "plain"}});
  placePointer(Point{-500, -500});
  // One-pixel checks: averaging gives grey, point sampling keeps one of the two colours.
  BgraImage checks(960, 960);
  for (int y = 0; y < 960; ++y)
    for (int x = 0; x < 960; ++x)
      std::fill_n(checks.row(y) + x * 4, 3, std::uint8_t((x + y) % 2 ? 255 : 0));
  auto smooth = render(checks, 480, std::nullopt, "/screen.mjpg?quality=high");
  auto sharp = render(checks, 480, std::nullopt, "/screen.mjpg?quality=low");
  ASSERT_TRUE(smooth && sharp);
  EXPECT_NEAR(smooth->luma(200, 200), 128, 12);
  EXPECT_GT(std::abs(sharp->luma(200, 200) - 128), 100);

  BgraImage detail(480, 480);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 480; ++x)
      std::fill_n(detail.row(y) + x * 4, 3, std::uint8_t((x * 7 + y * 13 + x * y) & 0xff));
  std::size_t sizes[3];
  const char* targets[3] = {"?quality=low", "?follow=hd", "?quality=high"};
  for (int i = 0; i < 3; ++i) {
    auto jpeg = renderer.renderFrame(detail.view(), Size{480, 480}, 1, std::nullopt, targets[i]);
    ASSERT_TRUE(jpeg);
    sizes[i] = jpeg->size();
  }
  EXPECT_LT(sizes[0], sizes[1]);
  EXPECT_LT(sizes[1], sizes[2]);
}

TEST_F(FrameRendererTest, BuffersAreReusedAndPaddingIgnored) {
  desktop.setScreens({Screen{1, Rect{0, 0, 1920, 1080}, 1.0, "plain"}});
  placePointer(Point{200, 100}); // on the picture, so blending meets the padding byte
  auto first =
      renderer.renderFrame(halves(800, 400, 0x00).view(), Size{480, 480}, 1, std::nullopt, "");
  ASSERT_TRUE(first);
  std::vector<std::uint8_t> firstBytes(first->begin(), first->end());
  auto second =
      renderer.renderFrame(halves(800, 400, 0xff).view(), Size{480, 480}, 1, std::nullopt, "");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->data(), first->data());
  EXPECT_EQ(std::vector<std::uint8_t>(second->begin(), second->end()), firstBytes);

  JpegEncoder encoder;
  BgraImage picture = halves(64, 48);
  auto a = encoder.encode(picture.view(), 90);
  ASSERT_TRUE(a);
  const std::uint8_t* where = a->data();
  auto b = encoder.encode(picture.view(), 10);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->data(), where);
  EXPECT_FALSE(encoder.encode(ImageView{}, 90));
}

} // namespace
} // namespace tovel
