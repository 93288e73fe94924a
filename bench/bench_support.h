#pragma once

// Pieces the stream benchmarks share: CPU time from /proc, percentiles, and ffmpeg as a child
// doing the same work as the host.

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "mp4/live_screen_streamer.h"
#include "support/mp4_stream_reader.h"

namespace tovel::bench {

using Clock = std::chrono::steady_clock;

// The log of an in-process host whose per-frame lines nobody reads.
class DiscardLog final : public Log {
public:
  void print(std::string_view) override {}
};

// User + system CPU seconds of a process ("self" for this one), from /proc.
inline double cpuSeconds(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  if (text.empty())
    return 0;
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14)
      utime = std::stoul(field);
    if (i == 15)
      stime = std::stoul(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

inline double cpuSeconds(pid_t pid) {
  return cpuSeconds(std::to_string(pid));
}

// CPU seconds of the calling thread: a benchmark's own client threads take theirs out of the
// figure for a host running in the same process.
inline double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

inline double percentile(std::vector<double> values, double fraction) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, std::size_t(fraction * double(values.size())))];
}

inline void sleepFor(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

struct RateFigures {
  double framesPerSecond = 0;
  double cpuPerSecond = 0; // CPU seconds per second: 1 is one core
  double cpuMsPerFrame() const {
    return framesPerSecond > 0 ? 1000 * cpuPerSecond / framesPerSecond : 0;
  }
};

// ffmpeg grabbing the display at 60 frames a second with the given output options (codec and
// filters; the output itself is discarded), measured for the given time after a second of
// warming up: frames per second and CPU per second.
inline RateFigures measureFfmpeg(const std::string& display,
                                 const std::vector<std::string>& outputOptions, double seconds) {
  std::string progress = "/tmp/tovel-bench-ffmpeg-" + std::to_string(getpid());
  std::vector<std::string> arguments = {
      "ffmpeg", "-v",          "error",     "-nostdin",    "-f", "x11grab", "-framerate",
      "60",     "-video_size", "1920x1080", "-draw_mouse", "1",  "-i",      display + ".0"};
  arguments.insert(arguments.end(), outputOptions.begin(), outputOptions.end());
  for (const char* option : {"-f", "null", "-progress"})
    arguments.emplace_back(option);
  arguments.push_back(progress);
  arguments.emplace_back("-");
  pid_t pid = fork();
  if (pid == 0) {
    setenv("DISPLAY", display.c_str(), 1);
    // x11grab's own timestamps make the null muxer complain on every frame; the frame count
    // shows whether it worked.
    std::freopen("/dev/null", "w", stderr);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
      argv.push_back(argument.data());
    argv.push_back(nullptr);
    execvp("ffmpeg", argv.data());
    _exit(127);
  }
  sleepFor(1);
  auto frameCount = [&] {
    std::ifstream file(progress);
    std::string line;
    long frames = 0;
    while (std::getline(file, line))
      if (line.rfind("frame=", 0) == 0)
        frames = std::stol(line.substr(6));
    return frames;
  };
  long framesBefore = frameCount();
  double cpuBefore = cpuSeconds(pid);
  auto start = Clock::now();
  sleepFor(seconds);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  double cpu = cpuSeconds(pid) - cpuBefore;
  // The progress file is written about twice a second: the frames it reports are counted over
  // the time between its reports, so the rate comes out right within a few percent.
  long frames = frameCount() - framesBefore;
  kill(pid, SIGINT);
  waitpid(pid, nullptr, 0);
  std::remove(progress.c_str());
  return RateFigures{double(frames) / elapsed, cpu / elapsed};
}

// Milliseconds from each fragment's capture to its arrival at the client, from fragment `from` on;
// fragments whose capture time the streamer no longer keeps are left out.
inline std::vector<double> captureToClientDelaysMs(LiveScreenStreamer& streamer,
                                                   const std::vector<test::Mp4Fragment>& fragments,
                                                   std::size_t from) {
  std::vector<double> delays;
  for (std::size_t i = from; i < fragments.size(); ++i)
    if (auto captured = streamer.captureTimeOf(fragments[i].sequenceNumber))
      delays.push_back(
          (std::chrono::duration<double>(fragments[i].arrived.time_since_epoch()).count() -
           *captured) *
          1000);
  return delays;
}

} // namespace tovel::bench
