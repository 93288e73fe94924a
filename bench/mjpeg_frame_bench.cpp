// Costs of one MJPEG frame on a private 1920x1080 Xvfb showing a busy desktop-like picture: the
// whole step (capture, scale, marker, JPEG) for both default output sizes and each quality, then
// each part on its own.
//   tovel_mjpeg_frame_bench [--benchmark_filter=...]
#include <X11/Xlib.h>
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "mjpeg/frame_renderer.h"
#include "mjpeg/jpeg_encoder.h"
#include "platform/scale.h"
#include "platform/x11/x11_desktop.h"
#include "support/xvfb.h"

namespace tovel {
namespace {

constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;

// A gradient background, overlapping windows with title bars, and rows of text and glyph-sized
// specks: JPEG cost depends on content, and a flat screen would flatter the encoder.
void drawDesktop(const std::string& displayName) {
  Display* display = XOpenDisplay(displayName.c_str());
  if (!display)
    return;
  Window root = DefaultRootWindow(display);
  GC gc = XCreateGC(display, root, 0, nullptr);
  for (int y = 0; y < kScreenHeight; ++y) {
    XSetForeground(display, gc,
                   (unsigned long)((y * 255 / kScreenHeight) << 16 | 0x30 << 8 | 0x60));
    XDrawLine(display, root, gc, 0, y, kScreenWidth - 1, y);
  }
  std::mt19937 random(7);
  for (int w = 0; w < 12; ++w) {
    int x = int(random() % 1500), y = int(random() % 800);
    int width = 300 + int(random() % 500), height = 200 + int(random() % 400);
    XSetForeground(display, gc, 0xf0f0f0 - (random() % 0x202020));
    XFillRectangle(display, root, gc, x, y, width, height);
    XSetForeground(display, gc, random() & 0xffffff);
    XFillRectangle(display, root, gc, x, y, width, 24);
    for (int line = 40; line + 14 < height; line += 16) {
      XSetForeground(display, gc, random() % 2 ? 0x202020 : random() & 0x7f7f7f);
      static const char text[] = "The quick brown fox jumps over the lazy dog 0123456789";
      XDrawString(display, root, gc, x + 8, y + line + 10, text, int(std::strlen(text)));
      for (int c = 8; c < width - 8; c += 7)
        if (random() % 3)
          XFillRectangle(display, root, gc, x + c, y + line, 1 + int(random() % 5),
                         2 + int(random() % 9));
    }
  }
  XFreeGC(display, gc);
  XSync(display, False);
  XCloseDisplay(display);
}

const std::string& desktopDisplay() {
  static test::XvfbServer server;
  static bool drawn = (drawDesktop(server.display()), true);
  (void)drawn;
  return server.display();
}

struct Desktop {
  std::unique_ptr<X11Desktop> platform = X11Desktop::open(desktopDisplay());
  std::unique_ptr<ScreenCapturer> capturer = platform ? platform->createScreenCapturer() : nullptr;
  DisplayId display = 0;
  bool ready = false;

  Desktop() {
    if (!capturer)
      return;
    auto screens = platform->screens();
    if (!screens.empty() && screens.front().number) {
      display = *screens.front().number;
      ready = true;
    }
  }
};

// One grabbed screen kept in memory, so the parts below measure only themselves.
const BgraImage& grabbedScreen() {
  static BgraImage copy = [] {
    BgraImage image;
    Desktop desktop;
    if (!desktop.ready)
      return image;
    if (auto picture = desktop.capturer->capture(desktop.display, std::nullopt)) {
      image.resize(picture->width, picture->height);
      for (int y = 0; y < picture->height; ++y)
        std::memcpy(image.row(y), picture->data + y * picture->stride, image.stride());
    }
    return image;
  }();
  return copy;
}

// What a stream pays per frame: grab the whole display, then render and encode.
void frameStep(benchmark::State& state, double maxSide, const char* target) {
  Desktop desktop;
  if (!desktop.ready) {
    state.SkipWithError("no X11 capture");
    return;
  }
  FrameRenderer renderer(*desktop.platform);
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto picture = desktop.capturer->capture(desktop.display, std::nullopt);
    auto jpeg = picture ? renderer.renderFrame(*picture, Size{maxSide, maxSide}, desktop.display,
                                               std::nullopt, target)
                        : std::nullopt;
    if (!jpeg) {
      state.SkipWithError("frame failed");
      return;
    }
    bytes = jpeg->size();
  }
  state.counters["jpegBytes"] = double(bytes);
}
// The X server copies the pixels, so wall time is what counts.
BENCHMARK_CAPTURE(frameStep, out480x270_q90, 480, "/screen.mjpg?quality=high")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(frameStep, out480x270_q30, 480, "/screen.mjpg")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(frameStep, out480x270_q10, 480, "/screen.mjpg?quality=low")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(frameStep, out1280x720_q90, 1280, "/screen.mjpg?highres=true&quality=high")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(frameStep, out1280x720_q30, 1280, "/screen.mjpg?highres=true")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(frameStep, out1280x720_q10, 1280, "/screen.mjpg?highres=true&quality=low")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

void captureWholeScreen(benchmark::State& state) {
  Desktop desktop;
  if (!desktop.ready) {
    state.SkipWithError("no X11 capture");
    return;
  }
  for (auto _ : state) {
    auto picture = desktop.capturer->capture(desktop.display, std::nullopt);
    benchmark::DoNotOptimize(picture);
  }
}
BENCHMARK(captureWholeScreen)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Point sampling (the default) and box averaging ("quality=high"); bilinear for comparison.
void scale(benchmark::State& state, int width, int height, ScaleFilter filter) {
  const BgraImage& screen = grabbedScreen();
  if (screen.width() == 0) {
    state.SkipWithError("no capture");
    return;
  }
  BgraImage out(width, height);
  for (auto _ : state) {
    bool ok = scaleBgra(screen.view(), out, width, height, filter);
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK_CAPTURE(scale, to480x270_none, 480, 270, ScaleFilter::nearest)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(scale, to480x270_bilinear, 480, 270, ScaleFilter::bilinear)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(scale, to480x270_box, 480, 270, ScaleFilter::box)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(scale, to1280x720_none, 1280, 720, ScaleFilter::nearest)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(scale, to1280x720_bilinear, 1280, 720, ScaleFilter::bilinear)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(scale, to1280x720_box, 1280, 720, ScaleFilter::box)
    ->Unit(benchmark::kMicrosecond);

BgraImage scaledScreen(int width, int height) {
  BgraImage out;
  if (grabbedScreen().width() > 0)
    scaleForOutput(grabbedScreen().view(), out, width, height, true);
  return out;
}

void marker(benchmark::State& state, int width, int height) {
  BgraImage picture = scaledScreen(width, height);
  if (picture.width() == 0) {
    state.SkipWithError("no capture");
    return;
  }
  Size out{double(width), double(height)};
  MarkerGeometry geometry = markerGeometry(Point{960, 540}, kScreenWidth, out);
  for (auto _ : state) {
    bool ok = drawPointerMarker(picture, out, geometry);
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK_CAPTURE(marker, on480x270, 480, 270)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(marker, on1280x720, 1280, 720)->Unit(benchmark::kMicrosecond);

void encode(benchmark::State& state, int width, int height, int quality) {
  BgraImage picture = scaledScreen(width, height);
  if (picture.width() == 0) {
    state.SkipWithError("no capture");
    return;
  }
  JpegEncoder encoder;
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto jpeg = encoder.encode(picture.view(), quality);
    if (!jpeg) {
      state.SkipWithError("encode failed");
      return;
    }
    bytes = jpeg->size();
  }
  state.counters["jpegBytes"] = double(bytes);
}
BENCHMARK_CAPTURE(encode, of480x270_q90, 480, 270, 90)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(encode, of480x270_q30, 480, 270, 30)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(encode, of480x270_q10, 480, 270, 10)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(encode, of1280x720_q90, 1280, 720, 90)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(encode, of1280x720_q30, 1280, 720, 30)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(encode, of1280x720_q10, 1280, 720, 10)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace tovel

BENCHMARK_MAIN();
