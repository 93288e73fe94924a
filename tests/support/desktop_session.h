#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace tovel::test {

// What the tests' private desktop sessions share: their programs run in a process group of their
// own (the programs and whatever they start are ended together) with their own runtime directory,
// which holds their output (session.log) and is removed when the object goes away.
class DesktopSession {
public:
  virtual ~DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  // Whether the session came up.
  bool running() const { return running_; }
  const std::string& waylandDisplay() const { return waylandDisplay_; }
  // Environment entries for a child that should use this session and nothing else: DISPLAY is
  // emptied so that nothing can fall back to an X server.
  virtual std::vector<std::string> environment() const = 0;
  // Runs a shell command in the session's environment and returns its standard output.
  std::string run(const std::string& command) const;
  // What the session's programs printed, to explain a failure.
  std::string log() const;

protected:
  // The first of the programs that is not installed, as the reason tests skip.
  static std::optional<std::string> missing(std::initializer_list<const char*> programs);
  // Makes the runtime directory, /tmp/tovel-NAME-XXXXXX (0700, as a runtime directory must be).
  explicit DesktopSession(const char* name);
  // Starts the program with this process's environment without the variables named, with the
  // entries added and XDG_RUNTIME_DIR; `passFd`, if not negative, becomes its descriptor 3.
  bool start(const std::vector<std::string>& arguments, const std::vector<std::string>& unset,
             const std::vector<std::string>& added, int passFd = -1);
  // Ends every process of the group (SIGTERM, then SIGKILL after 10 s) and waits until it is gone.
  void stop();

  std::string runtimeDirectory_; // empty when it could not be made
  std::string waylandDisplay_;
  bool running_ = false;

private:
  pid_t group_ = -1; // led by the program started
};

} // namespace tovel::test
