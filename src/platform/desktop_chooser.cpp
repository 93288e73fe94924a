#include "platform/desktop_chooser.h"

#include <cstdlib>

#include "platform/gnome/gnome_desktop.h"
#include "platform/sim/virtual_desktop.h"
#include "platform/wlroots/wlroots_desktop.h"
#include "platform/x11/x11_desktop.h"

namespace tovel {

namespace {

constexpr const char* kNoWindowList =
    " gives other programs no window list: streams asked to follow a window show the screen "
    "instead.";

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

} // namespace

ChosenDesktop chooseDesktop(Clock& clock, Log& log) {
  ChosenDesktop chosen;
  std::string wayland; // why this Wayland session cannot be driven; empty outside one
  if (GnomeDesktop::inWaylandSession()) {
    std::string gnomeWhy, wlrootsWhy;
    if (std::unique_ptr<GnomeDesktop> gnome = GnomeDesktop::open(log, gnomeWhy)) {
      GnomeDesktop* desktop = gnome.get();
      chosen.lines = {"Using the GNOME Wayland display " + gnome->waylandDisplay() +
                          " through Mutter's remote desktop.",
                      std::string("GNOME") + kNoWindowList};
      chosen.releaseHeldInput = [desktop] { desktop->releaseHeldInput(); };
      chosen.platform = std::move(gnome);
      return chosen;
    }
    if (std::unique_ptr<WlrootsDesktop> wlroots = WlrootsDesktop::open(wlrootsWhy)) {
      WlrootsDesktop* desktop = wlroots.get();
      chosen.lines = {"Using the Wayland display " + wlroots->waylandDisplay() +
                          " through the wlroots protocols (virtual pointer, virtual keyboard, "
                          "screencopy); not through GNOME's remote desktop: " +
                          gnomeWhy + ".",
                      std::string("This compositor") + kNoWindowList};
      chosen.releaseHeldInput = [desktop] { desktop->releaseHeldInput(); };
      chosen.platform = std::move(wlroots);
      return chosen;
    }
    wayland = "this Wayland session cannot be driven: neither GNOME's remote desktop (" + gnomeWhy +
              ") nor the wlroots protocols (" + wlrootsWhy + ")";
  }
  if (std::unique_ptr<X11Desktop> x11 = X11Desktop::open("")) {
    X11Desktop* desktop = x11.get();
    std::string name = environment("DISPLAY");
    chosen.lines = {wayland.empty() ? "Using the X display " + name + "."
                                    : "Using the X display " + name +
                                          " (Xwayland, whose windows are the only "
                                          "ones reached): " +
                                          wayland + "."};
    chosen.releaseHeldInput = [desktop] { desktop->releaseHeldInput(); };
    chosen.platform = std::move(x11);
    return chosen;
  }
  chosen.lines = {wayland.empty()
                      ? std::string("Using the built-in virtual desktop (1920x1080): no X "
                                    "display could be opened.")
                      : "Using the built-in virtual desktop (1920x1080): " + wayland +
                            ", and no X display could be opened."};
  chosen.releaseHeldInput = [] {};
  chosen.platform = std::make_unique<VirtualDesktop>(clock);
  return chosen;
}

} // namespace tovel
