#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovel::test {

class ProcessGroup;

// A private headless GNOME session for tests: a D-Bus session bus, PipeWire with WirePlumber and
// Mutter as a Wayland compositor with one 1920 x 1080 virtual monitor, all in a process group of
// their own with their own runtime directory, and all stopped together when the object goes away.
class GnomeSession {
public:
  struct Options {
    bool sessionManager = true; // WirePlumber, which links streams to their nodes
  };

  // The program a session needs that is not installed, if any: tests skip with it as the reason.
  static std::optional<std::string> missingProgram();

  GnomeSession() : GnomeSession(Options{}) {}
  explicit GnomeSession(Options options);
  ~GnomeSession();
  GnomeSession(const GnomeSession&) = delete;
  GnomeSession& operator=(const GnomeSession&) = delete;

  // Whether the session came up: Mutter owns its remote-desktop, screen-cast and display-config
  // names on the bus.
  bool running() const { return running_; }
  const std::string& waylandDisplay() const { return waylandDisplay_; } // e.g. "tovel-123-1"
  // Environment entries for a child that should use this session and nothing else: DISPLAY is
  // emptied so that nothing can fall back to an X server.
  std::vector<std::string> environment() const;
  // Runs a shell command in the session's environment and returns its standard output.
  std::string run(const std::string& command) const;
  // Kills Mutter (as a crash would) and starts it again; true once the new one owns its names.
  // Its Wayland clients go with it.
  bool restartCompositor();
  // What the session's programs printed, to explain a failure.
  std::string log() const;

private:
  void stop();
  // Whether Mutter owns its remote-desktop, screen-cast and display-config names, and the unique
  // name that owns the first ("" when none).
  bool compositorOnBus(std::string* owner = nullptr) const;

  std::unique_ptr<ProcessGroup> group_; // the session's processes, led by dbus-run-session
  std::string runtimeDirectory_;
  std::string busAddress_;
  std::string waylandDisplay_;
  bool running_ = false;
};

} // namespace tovel::test
