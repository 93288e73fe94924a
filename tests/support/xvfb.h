#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tovel::test {

// A private X server for one test: Xvfb on a display number of its own choosing, optionally with
// a window manager (openbox), both stopped by process id when the object goes away.
class XvfbServer {
public:
  struct Options {
    int width = 1920;
    int height = 1080;
    bool windowManager = false;
    int depth = 24;
    std::vector<std::string> arguments = {}; // more of Xvfb's, e.g. "-extension", "DAMAGE"
  };

  XvfbServer() : XvfbServer(Options{}) {}
  explicit XvfbServer(Options options);
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool running() const { return !display_.empty(); }
  const std::string& display() const { return display_; } // e.g. ":93"
  // Environment entries for a child that should use this server.
  std::vector<std::string> environment() const { return {"DISPLAY=" + display_}; }

  // Runs a shell command against this server and returns its standard output.
  std::string run(const std::string& command) const;

private:
  bool startWindowManager();

  pid_t xvfb_ = -1;
  pid_t windowManager_ = -1;
  std::string display_;
};

// The command's standard output (shell syntax allowed).
std::string commandOutput(const std::string& command);

} // namespace tovel::test
