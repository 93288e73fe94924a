// Encoding speed of the live H.264 encoder at 1920x1080 (CABAC on, zero-latency tuning, no
// B-frames) on a changing desktop-like picture, for the candidate x264 presets with x264's own
// thread count and with one thread. Real time gives frames per second; CPU time is the whole
// process's (x264's slice threads included), so it shows what is left for capture and the host.
//   tovel_h264_encoder_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <string>

#include "mp4/h264_encoder.h"
#include "support/scrolling_picture.h"

namespace tovel {
namespace {

const char* const kPresets[] = {"ultrafast", "superfast", "veryfast", "faster"};

void encodeFrames(benchmark::State& state, const char* preset, int threads, int sourceWidth,
                  int sourceHeight) {
  std::int32_t status = 0;
  auto encoder = H264Encoder::create({.preset = preset, .threads = threads}, nullptr, status);
  if (!encoder) {
    state.SkipWithError(("cannot open the encoder: " + std::to_string(status)).c_str());
    return;
  }
  test::ScrollingPicture picture(sourceWidth, sourceHeight);
  int frame = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ImageView view = picture.frame(frame++);
    state.ResumeTiming();
    auto result = encoder->encode(view, false);
    if (!result.picture) {
      state.SkipWithError("no picture");
      return;
    }
    bytes += result.picture->data.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["fps"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["kB/frame"] = double(bytes) / 1000.0 / double(state.iterations());
}

void registerAll() {
  for (const char* preset : kPresets)
    for (int threads : {0, 1})
      benchmark::RegisterBenchmark(
          (std::string("Encode1080p/") + preset + (threads ? "/threads:1" : "/threads:auto"))
              .c_str(),
          [=](benchmark::State& state) { encodeFrames(state, preset, threads, 1920, 1080); })
          ->Unit(benchmark::kMillisecond)
          ->MeasureProcessCPUTime()
          ->UseRealTime()
          ->MinTime(3);
  // A larger screen scaled down on the way in.
  benchmark::RegisterBenchmark(
      ("Encode1080pFrom1440p/" + std::string(kLivePreset)).c_str(),
      [](benchmark::State& state) { encodeFrames(state, kLivePreset, 0, 2560, 1440); })
      ->Unit(benchmark::kMillisecond)
      ->MeasureProcessCPUTime()
      ->UseRealTime()
      ->MinTime(3);
}

} // namespace
} // namespace tovel

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tovel::registerAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
}
