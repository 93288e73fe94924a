// The window list, as a `window=auto` stream reads it every frame, on a private 1920x1080 Xvfb
// with openbox and 20 witness windows:
//   tovel_x11_windows_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/x11_screens.h"
#include "support/process.h"
#include "support/xvfb.h"

namespace tovel {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kWitnesses = 20;

struct Desktop {
  Desktop() {
    for (std::size_t i = 0; i < kWitnesses; ++i) {
      std::string geometry =
          std::to_string(40 + 60 * i) + "," + std::to_string(30 + 30 * i) + ",400,300";
      witnesses.push_back(std::make_unique<test::ChildProcess>(
          TOVEL_X_WITNESS,
          std::vector<std::string>{"--title", "Witness " + std::to_string(i), "--geometry",
                                   geometry},
          test::ChildProcess::Input::emptyFile, server.environment()));
    }
    for (auto& witness : witnesses)
      ready = witness->waitForOutput("ready 0x", 20s) && ready;
    // The window manager lists them once it has framed them all.
    ThreadConnections connections(server.display());
    X11Windows windows(connections);
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (listed(windows) < kWitnesses && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    ready = ready && listed(windows) >= kWitnesses;
  }

  static std::size_t listed(X11Windows& windows) {
    std::size_t count = 0;
    for (const WindowInfo& info : windows.windowList(WindowListOption::onScreenOnlyExcludingDesktop)
                                      .value_or(std::vector<WindowInfo>{}))
      count += info.title && info.title->rfind("Witness ", 0) == 0;
    return count;
  }

  test::XvfbServer server{{.windowManager = true}};
  std::vector<std::unique_ptr<test::ChildProcess>> witnesses;
  bool ready = true;
};

Desktop& desktop() {
  static Desktop instance;
  return instance;
}

void listWindows(benchmark::State& state, WindowListOption option) {
  Desktop& d = desktop();
  if (!d.server.running() || !d.ready) {
    state.SkipWithError("no desktop with 20 witness windows");
    return;
  }
  ThreadConnections connections(d.server.display());
  X11Windows windows(connections);
  std::size_t count = 0;
  for (auto _ : state) {
    auto list = windows.windowList(option);
    if (!list) {
      state.SkipWithError("no window list");
      return;
    }
    count = list->size();
    benchmark::DoNotOptimize(list);
  }
  state.counters["windows"] = double(count);
}
// The X server does most of the waiting, so wall time is what counts.
BENCHMARK_CAPTURE(listWindows, onScreen, WindowListOption::onScreenOnlyExcludingDesktop)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(listWindows, all, WindowListOption::all)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

} // namespace
} // namespace tovel

BENCHMARK_MAIN();
