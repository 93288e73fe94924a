#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace tovel::test {

// A private desktop session for tests: its programs run in a process group of their own (ended
// together) with their own runtime directory, which holds their output (session.log) and is
// removed with the object.
class DesktopSession {
public:
  virtual ~DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  bool running() const { return running_; }
  const std::string& waylandDisplay() const { return waylandDisplay_; }
  // Environment entries for a child that should use this session and nothing else (DISPLAY is
  // emptied, so that nothing falls back to an X server).
  virtual std::vector<std::string> environment() const = 0;
  // Runs a shell command in the session's environment; its standard output.
  std::string run(const std::string& command) const;
  std::string log() const;

protected:
  // The first of the programs that is not installed, as the reason tests skip.
  static std::optional<std::string> missing(std::initializer_list<const char*> programs);
  // Makes the runtime directory, /tmp/tovel-NAME-XXXXXX (0700).
  explicit DesktopSession(const char* name);
  // Starts the program with this process's environment less the variables named, plus the
  // entries added and XDG_RUNTIME_DIR.
  bool start(const std::vector<std::string>& arguments, const std::vector<std::string>& unset,
             const std::vector<std::string>& added);
  // Ends the group (SIGTERM, SIGKILL after 10 s) and waits until it is gone.
  void stop();

  std::string runtimeDirectory_; // empty when it could not be made
  std::string waylandDisplay_;
  bool running_ = false;
  pid_t group_ = -1;
};

// Headless GNOME: a session bus, PipeWire (with WirePlumber unless told otherwise) and Mutter
// with one 1920 x 1080 virtual monitor; up once Mutter owns its names on the bus.
class GnomeSession : public DesktopSession {
public:
  struct Options {
    bool sessionManager = true; // WirePlumber, which links streams to their nodes
  };
  static std::optional<std::string> missingProgram() {
    return missing({"mutter", "pipewire", "wireplumber", "dbus-run-session", "gdbus"});
  }
  GnomeSession() : GnomeSession(Options{}) {}
  explicit GnomeSession(Options options);
  ~GnomeSession() override;
  std::vector<std::string> environment() const override;
  // Kills Mutter (as a crash would) and starts it again; true once the new one owns its names.
  bool restartCompositor();

private:
  // Whether Mutter owns its names, and the unique name that owns the first.
  bool compositorOnBus(std::string* owner = nullptr) const;
  std::string busAddress_;
};

// Headless sway: one 1920 x 1080 output, no Xwayland, no bar; up once its IPC socket reports the
// output. sway will not run as root, so as root it runs as "nobody", whose socket root reaches.
class SwaySession : public DesktopSession {
public:
  static std::optional<std::string> missingProgram() {
    return missing({"sway", "swaymsg", "grim"});
  }
  SwaySession();
  // Also a session bus that does not exist, so that nothing finds GNOME's.
  std::vector<std::string> environment() const override;

private:
  std::string ipcSocket_;
};

} // namespace tovel::test
