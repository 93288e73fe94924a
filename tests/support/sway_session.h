#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovel::test {

class ProcessGroup;

// A private headless sway for tests: one 1920 x 1080 output, no Xwayland, no bar, with its
// own runtime directory and configuration, stopped when the object goes away. sway will not run
// as root, so as root it runs as "nobody" (the runtime directory is that user's); root's own
// clients still reach its socket.
class SwaySession {
public:
  // The program a session needs that is not installed, if any: tests skip with it as the reason.
  static std::optional<std::string> missingProgram();

  SwaySession();
  ~SwaySession();
  SwaySession(const SwaySession&) = delete;
  SwaySession& operator=(const SwaySession&) = delete;

  // Whether sway came up with its output and answers on its IPC socket.
  bool running() const { return running_; }
  const std::string& waylandDisplay() const { return waylandDisplay_; } // e.g. "wayland-1"
  // Environment entries for a child that should use this session and nothing else: DISPLAY is
  // emptied so that nothing falls back to an X server, and the session bus is one that does not
  // exist, so that nothing finds GNOME's.
  std::vector<std::string> environment() const;
  // Runs a shell command in the session's environment (swaymsg, grim) and returns its output.
  std::string run(const std::string& command) const;
  // What sway printed, to explain a failure.
  std::string log() const;

private:
  std::unique_ptr<ProcessGroup> group_;
  std::string runtimeDirectory_;
  std::string waylandDisplay_;
  std::string ipcSocket_;
  bool running_ = false;
};

} // namespace tovel::test
