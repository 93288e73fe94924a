#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "platform/clock.h"
#include "platform/platform.h"

namespace tovel {

// The desktop the host drives, and what start-up says about the choice.
struct ChosenDesktop {
  std::unique_ptr<Platform> platform;
  // The line that names the desktop and why the ones tried before it were passed over, and any
  // line about what it lacks.
  std::vector<std::string> lines;
  // Lets go of every key and button injection holds down, done before this returns (called right
  // before the process exits: the compositor or X server would keep them down).
  std::function<void()> releaseHeldInput;
};

// Tries the desktops in order: in a Wayland session GNOME's compositor when Mutter's interfaces
// are on the session bus, then a wlroots compositor when it offers the virtual pointer, virtual
// keyboard and screencopy protocols; then the X display; else the built-in virtual desktop
// (driven by `clock`). The GNOME desktop tells `log` what happens to its session later. On Wayland
// the X display is Xwayland, which shows none of the native windows: it is only used when the
// session itself cannot be driven.
ChosenDesktop chooseDesktop(Clock& clock, Log& log);

} // namespace tovel
