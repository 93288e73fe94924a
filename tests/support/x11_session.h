#pragma once

#include <optional>
#include <string>

#include "support/xvfb.h"

namespace tovel::test {

// A private X desktop for the tests of the real program: Xvfb, with or without a window manager,
// as a session of DesktopHostTest.
class X11Session : public XvfbServer {
public:
  using XvfbServer::XvfbServer;

  static std::optional<std::string> missingProgram() {
    for (const char* program : {"Xvfb", "openbox", "xdotool", "xwininfo", "setxkbmap"})
      if (commandOutput(std::string("command -v ") + program + " 2>/dev/null").empty())
        return std::string(program) + " is not installed (scripts/setup-deps.sh)";
    return std::nullopt;
  }
  std::string log() const { return "Xvfb did not start"; }
};

} // namespace tovel::test
