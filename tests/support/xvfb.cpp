#include "support/xvfb.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>

#include <cstdio>
#include <regex>

#include "support/process.h"
#include "support/wait.h"

namespace tovel::test {

using namespace std::chrono_literals;

namespace {

// Asks it to end, so that a server removes its lock file and socket, and kills it only if it
// does not.
void stop(std::unique_ptr<ChildProcess>& process) {
  if (process) {
    process->signal(SIGTERM);
    process->waitForExit(2s);
    process.reset();
  }
}

} // namespace

XvfbServer::XvfbServer(Options options) {
  // Xvfb picks a free display number itself and prints it (-displayfd), which avoids races between
  // tests starting servers at the same time.
  std::string screen = std::to_string(options.width) + "x" + std::to_string(options.height) + "x" +
                       std::to_string(options.depth);
  std::vector<std::string> arguments{"Xvfb", "-displayfd", "1",   "-screen", "0",
                                     screen, "-nolisten",  "tcp", "-noreset"};
  arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
  xvfb_ = std::make_unique<ChildProcess>("/usr/bin/env", arguments, ChildProcess::Input::emptyFile);
  // The number comes on a line of its own, among whatever the server writes to its error output.
  std::smatch number;
  const std::regex line("(^|\n)([0-9]+)\n");
  std::string output;
  if (waitUntil([&] { return std::regex_search(output = xvfb_->output(), number, line); }, 15s))
    display_ = ":" + number[2].str();
  if (display_.empty() || (options.windowManager && !startWindowManager())) {
    stop(windowManager_);
    stop(xvfb_);
    display_.clear();
  }
}

bool XvfbServer::startWindowManager() {
  windowManager_ = std::make_unique<ChildProcess>(
      "/usr/bin/env", std::vector<std::string>{"openbox", "--sm-disable"},
      ChildProcess::Input::emptyFile, environment());
  Display* display = probe();
  if (!display)
    return false;
  // Ready once it has announced itself on the root window...
  Window root = DefaultRootWindow(display);
  Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  bool ready = waitUntil([&] {
    Atom type;
    int format;
    unsigned long count = 0, after;
    unsigned char* data = nullptr;
    XGetWindowProperty(display, root, check, 0, 1, False, XA_WINDOW, &type, &format, &count, &after,
                       &data);
    XFree(data);
    return count == 1;
  });
  // ...and really ready once it maps a window of ours; a request made before it handles them is
  // lost, so ask again until it is answered.
  Window probe = XCreateSimpleWindow(display, root, 0, 0, 10, 10, 0, 0, 0);
  XSelectInput(display, probe, StructureNotifyMask);
  ready = ready && waitUntil([&] {
            XMapWindow(display, probe);
            XEvent event;
            return XCheckTypedWindowEvent(display, probe, MapNotify, &event) == True;
          });
  XDestroyWindow(display, probe);
  XSync(display, False);
  return ready;
}

XvfbServer::~XvfbServer() {
  if (probe_)
    XCloseDisplay(probe_);
  stop(windowManager_);
  stop(xvfb_);
}

std::string XvfbServer::run(const std::string& command) const {
  return commandOutput("export DISPLAY=" + display_ + "; " + command);
}

Display* XvfbServer::probe() {
  if (!probe_ && !display_.empty())
    probe_ = XOpenDisplay(display_.c_str());
  return probe_;
}

std::tuple<int, int, unsigned> XvfbServer::pointer() {
  Window root, child;
  int x = -1, y = -1, windowX, windowY;
  unsigned mask = 0;
  if (probe())
    XQueryPointer(probe_, DefaultRootWindow(probe_), &root, &child, &x, &y, &windowX, &windowY,
                  &mask);
  return {x, y, mask};
}

bool XvfbServer::pointerReaches(int x, int y) {
  return waitUntil([&] {
    auto [px, py, mask] = pointer();
    return px == x && py == y;
  });
}

std::string commandOutput(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      output.append(buffer, n);
    ::pclose(pipe);
  }
  return output;
}

} // namespace tovel::test
