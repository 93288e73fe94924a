#pragma once

#include <memory>
#include <string>
#include <tuple>
#include <vector>

using Display = struct _XDisplay;

namespace tovel::test {

class ChildProcess;

// A private X server for one test: Xvfb on a display number of its own choosing, optionally with
// a window manager (openbox), both stopped when the object goes away.
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

  // A connection of the test's own, to look at what the code under test did (opened on first use,
  // closed with the server; null when the server is not running).
  Display* probe();
  // The pointer's root position and its button and modifier mask, as the server shows them now.
  std::tuple<int, int, unsigned> pointer();
  // Waits until the server shows the pointer there: the code under test sends its requests on
  // connections of its own.
  bool pointerReaches(int x, int y);

private:
  bool startWindowManager();

  std::unique_ptr<ChildProcess> xvfb_;
  std::unique_ptr<ChildProcess> windowManager_;
  std::string display_;
  Display* probe_ = nullptr;
};

// The command's standard output (shell syntax allowed).
std::string commandOutput(const std::string& command);

} // namespace tovel::test
