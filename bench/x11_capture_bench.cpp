// Costs of the X11 capture path on a private 1920x1080 Xvfb:
//   tovel_x11_capture_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include "platform/scale.h"
#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_damage_watcher.h"
#include "platform/x11/x11_shm_grabber.h"
#include "support/xvfb.h"

namespace tovel {
namespace {

test::XvfbServer& server() {
  static test::XvfbServer instance;
  return instance;
}

// The raw XShm grab of a whole 1920x1080 screen, without layout queries.
void grabWholeScreen(benchmark::State& state) {
  auto connection = XConnection::open(server().display());
  auto grabber = connection ? X11ShmGrabber::create(connection->get()) : nullptr;
  if (!grabber || !grabber->usesSharedMemory()) {
    state.SkipWithError("no XShm grabber");
    return;
  }
  const RootArea area{0, 0, 1920, 1080};
  for (auto _ : state) {
    auto picture = grabber->grab(area);
    benchmark::DoNotOptimize(picture);
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * area.width * area.height * 4);
}
// The X server does the copying, so wall time is what counts.
BENCHMARK(grabWholeScreen)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What a stream pays per frame: the monitor and root queries, then the grab.
void captureThroughCapturer(benchmark::State& state, std::optional<Rect> rect) {
  ThreadConnections connections(server().display());
  X11Capture capture(connections);
  auto displays = capture.capturableDisplays();
  auto capturer = capture.createScreenCapturer();
  if (!capturer || !displays || displays->empty()) {
    state.SkipWithError("no capturer");
    return;
  }
  DisplayId display = displays->front().id;
  for (auto _ : state) {
    auto picture = capturer->capture(display, rect);
    if (!picture) {
      state.SkipWithError("capture failed");
      return;
    }
    benchmark::DoNotOptimize(picture);
  }
}
BENCHMARK_CAPTURE(captureThroughCapturer, wholeDisplay, std::nullopt)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(captureThroughCapturer, rect800x480, Rect{560, 300, 800, 480})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// The question a continuous capture asks while the screen stays the same.
void unchangedScreenCheck(benchmark::State& state) {
  auto connection = XConnection::open(server().display());
  auto damage = connection ? X11DamageWatcher::create(connection->get()) : nullptr;
  if (!damage) {
    state.SkipWithError("no XDamage");
    return;
  }
  damage->take();
  for (auto _ : state) {
    bool changed = damage->readEvents();
    if (changed)
      damage->take();
    benchmark::DoNotOptimize(changed);
  }
}
BENCHMARK(unchangedScreenCheck)->UseRealTime();

// Shrinking a grabbed screen for a smaller stream.
void scaleHalf(benchmark::State& state) {
  BgraImage source(1920, 1080), target;
  for (auto _ : state) {
    bool ok = scaleBgra(source.view(), target, 960, 540);
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK(scaleHalf)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace tovel

BENCHMARK_MAIN();
