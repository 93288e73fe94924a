#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/desktop_session.h"

namespace tovel::test {

// A private headless GNOME session for tests: a D-Bus session bus, PipeWire with WirePlumber and
// Mutter as a Wayland compositor with one 1920 x 1080 virtual monitor. Up once Mutter owns its
// remote-desktop, screen-cast and display-config names on the bus.
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

  std::vector<std::string> environment() const override;
  // Kills Mutter (as a crash would) and starts it again; true once the new one owns its names.
  // Its Wayland clients go with it.
  bool restartCompositor();

private:
  // Whether Mutter owns its names, and the unique name that owns the first ("" when none).
  bool compositorOnBus(std::string* owner = nullptr) const;

  std::string busAddress_;
};

} // namespace tovel::test
