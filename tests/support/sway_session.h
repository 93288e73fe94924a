#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/desktop_session.h"

namespace tovel::test {

// A private headless sway for tests: one 1920 x 1080 output, no Xwayland, no bar, with its own
// configuration; up once it answers on its IPC socket with its output. sway will not run as root,
// so as root it runs as "nobody" (the runtime directory is that user's); root's own clients still
// reach its socket.
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
