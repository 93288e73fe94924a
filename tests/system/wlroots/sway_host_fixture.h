#pragma once

#include "support/sway_session.h"
#include "support/witness_host_test.h"

namespace tovel::test {

class SwayHostTest : public DesktopHostTest<SwaySession> {
protected:
  std::string desktopLine() const override {
    return "Using the Wayland display " + session_->waylandDisplay() +
           " through the wlroots protocols";
  }
  void startWitness(WitnessColour colour = kWitnessColour) override {
    startWaylandWitness(TOVEL_WAYLAND_WITNESS, {"--marks"}, colour);
  }
  bool placePointer(double x, double y) override {
    session_->run("swaymsg seat seat0 cursor set " + number(x) + " " + number(y));
    return true;
  }
};

} // namespace tovel::test
