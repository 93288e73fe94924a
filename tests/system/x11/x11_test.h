#pragma once

// GoogleTest first: Xlib defines macros (None, Bool) that clash with its names.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_error_trap.h"
#include "support/process.h"
#include "support/wait.h"
#include "support/xvfb.h"

namespace tovel::test {

using namespace std::chrono_literals;

// The backend talks to the X server from several threads, each on its own connection; Xlib wants
// to know before the first call, as the program's own start does.
inline const bool xThreadsReady = [] {
  XInitThreads();
  installX11ErrorHandlers();
  return true;
}();

// Splits the root into two monitors side by side, the right one primary: root x 960 is global 0.
inline constexpr const char* kTwoMonitors =
    "xrandr --setmonitor left 960/254x1080/286+0+0 none; "
    "xrandr --setmonitor '*right' 960/254x1080/286+960+0 screen";

// A witness client (tovel_x_witness with these arguments) showing its window; id is that window.
struct Witness {
  Witness(const XvfbServer& server, const std::vector<std::string>& arguments,
          ChildProcess::Input input = ChildProcess::Input::emptyFile)
      : process(TOVEL_X_WITNESS, arguments, input, server.environment()) {
    EXPECT_TRUE(process.waitForOutput("ready 0x", 10s)) << arguments.front();
    std::string output = process.output();
    std::sscanf(output.c_str() + std::min(output.find("ready "), output.size()), "ready %lx", &id);
  }
  std::string name() const { return std::to_string(id); } // for xdotool, xprop and xwininfo

  ChildProcess process;
  unsigned long id = 0;
};

// Each test with a 1920x1080 server of its own, with or without a window manager, a connection of
// the test's own to it and the backend's connections.
template <bool kWindowManager = false> class X11Test : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_NE(display, nullptr); }

  XvfbServer server{{.windowManager = kWindowManager}};
  Display* display = server.probe();
  ThreadConnections connections{server.display()};
};

} // namespace tovel::test
