#pragma once

#include "support/gnome_session.h"
#include "support/witness_host_test.h"

namespace tovel::test {

class GnomeHostTest : public DesktopHostTest<GnomeSession> {
protected:
  // Until the host's screen cast streams, Mutter 43 places its moves a few pixels beyond their
  // targets, along their direction; startHost's picture says that it streams.
  std::string desktopLine() const override {
    return "Using the GNOME Wayland display " + session_->waylandDisplay() +
           " through Mutter's remote desktop.\n";
  }
};

} // namespace tovel::test
