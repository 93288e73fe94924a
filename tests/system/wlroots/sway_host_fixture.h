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
  std::vector<std::string> witnessOptions() const override { return {"--marks"}; }
};

} // namespace tovel::test
